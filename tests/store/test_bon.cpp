#include "ReceiptTestSupport.h"

#include "app/P00_util.h"

#include <utility>
#include <vector>

namespace velbrin::test {
namespace {

class Bon : public ReceiptTest {
protected:
    // A receipt file taken in: header, lines (art, price, quantity), KRAJBONA and trailer rows.
    void TakeIn(const std::vector<std::vector<std::string>>& lines,
                const std::vector<std::pair<std::string, std::string>>& trailer = {})
    {
        AbcHeader("ABC_7.zvx");
        int seq = 1;
        for (const auto& l : lines) AbcRow(seq++, l[0], "1", "Item " + l[0], l[1], l[2]);
        AbcRow(seq++, "KRAJBONA", "", "", "0", "0");
        for (const auto& [key, value] : trailer)
            AbcRow(seq++, key, "", value, key.rfind("PAY", 0) == 0 || key.rfind("pay", 0) == 0 ? value : "0", "0");
    }
    // Opens the receipt and sells (or cancels) its first n lines, as the intake does.
    void PrintLines(int n)
    {
        bon->BeginReceipt();
        rig.Exec("update curr_abc set tax_id='S' where seq=0");
        for (int seq = 1; seq <= n; ++seq) {
            auto line = Line(seq);
            if (line->Kolicina() > Money())
                line->Sell();
            else
                TSaleItem::FindSaleToStorno(*rig.store, *bon, line->ArtId(), line->Kolicina())->Storno();
        }
    }
    // What the database says was taken in all, against the printer's day total.
    Money DatabaseTotal()
    {
        return rig.ScalarMoney("select sum(pay_1 + pay_2 + pay_3 + pay_4 + pay_5 + pay_6 - kusur) from payments");
    }
    Money PrinterDayTotal() { return Money::FromHundredths(rig.sim->State().DayTotal()); }
    long long Rows(const std::string& table) { return rig.ScalarInt("select count(*) from " + table); }
};

TEST_F(Bon, TrailerIsReadInOnePassInItsFixedOrder)
{
    struct Case {
        std::vector<std::pair<std::string, std::string>> rows;
        std::string expected;  // pay1..4|usr_id|usr_name|line7|card
    };
    const std::vector<Case> cases = {
        {{{"PAY_1", "12.5"}, {"USR_ID", "KASA01"}, {"CARD_ID", "C-0123456789ABCDEFGHIJ"}},
         "12.50|0.00|0.00|0.00|KASA|||C-0123456789ABCDEFGH"},
        {{{"USR_NAME", "Ana"}, {"PAY_1", "5"}, {"CARD_ID", "C1"}}, "0.00|0.00|0.00|0.00||Ana||"},
        {{{"usr_id", "ab"}, {"Cmd159", "Hvala"}}, "0.00|0.00|0.00|0.00|ab||Hvala|"},
        {{{"PAY_1", "1"}, {"PAY_2", "2"}, {"PAY_3", "3"}, {"PAY_4", "4"}, {"USR_ID", "U1"}, {"USR_NAME", "Ana"},
          {"CMD159", "L7"}, {"CARD_ID", "K"}},
         "1.00|2.00|3.00|4.00|U1|Ana|L7|K"},
        {{{"PAY_2", "2"}, {"OTHER", "x"}, {"USR_ID", "U1"}}, "0.00|2.00|0.00|0.00||||"},
        {{}, "0.00|0.00|0.00|0.00||||"},
    };
    for (const Case& c : cases) {
        rig.Exec("delete from curr_abc");
        TakeIn({{"A1", "1", "1"}}, c.rows);
        bon->ReadTrailer();
        std::string got;
        for (int i = 1; i <= 4; ++i) got += bon->TrailerPay(i).Format(2) + "|";
        got += bon->UsrId() + "|" + bon->UsrName() + "|" + bon->Line7Text() + "|" + bon->CardId();
        EXPECT_EQ(got, c.expected);
    }
}

TEST_F(Bon, NumberingContinuesFromTheDayOrFromTheLastClosedDay)
{
    struct Case {
        const char* bonIdSetting;  // nullptr: no 'BonID' row
        std::vector<int> todaysReceipts;
        bool earlierDay;  // receipt 900 of a closed day
        int64_t expected;
    };
    const std::vector<Case> cases = {
        {nullptr, {}, false, 0}, {"127", {}, false, 127}, {"127", {3, 45, 12}, false, 45},
        {"x", {}, false, 0},     {"127", {}, true, 127},
    };
    for (const Case& c : cases) {
        rig.Exec("delete from vle where vle_key='BonID'");
        rig.Exec("delete from payments");
        if (c.bonIdSetting)
            rig.Exec(std::string("insert into vle(vle_key,vle_value) values('BonID','") + c.bonIdSetting + "')");
        const std::string today = rig.zets->CurrentDayId();
        for (int b : c.todaysReceipts)
            rig.Exec("insert into payments(zet_id,bon_id) values('" + today + "'," + std::to_string(b) + ")");
        if (c.earlierDay) rig.Exec("insert into payments(zet_id,bon_id) values('000000',900)");
        bon->LoadLastBonId();
        EXPECT_EQ(bon->BonId(), c.expected) << (c.bonIdSetting ? c.bonIdSetting : "none");
    }
    bon->BeginReceipt();
    EXPECT_EQ(bon->BonId(), 128);
    EXPECT_NE(Failure([&] { bon->BeginReceipt(); }), "no error");  // a receipt is open already
    EXPECT_EQ(bon->BonId(), 128);
}

TEST_F(Bon, ReceiptIsClosedWithItsChangeAndMovedIntoTheArchive)
{
    Article("A1", 2, "30");
    TakeIn({{"A1", "30", "1"}});
    PrintLines(1);
    EXPECT_EQ(bon->FileName(), "ABC_7.zvx");
    EXPECT_TRUE(bon->AbcWasSent());
    EXPECT_NE(Failure([&] { bon->CloseAndArchive(true); }), "no error");  // not paid yet
    EXPECT_EQ(Rows("sales"), 0);
    TPayItem(*rig.store, *bon, Money::FromUnits(50), 3).Pay();
    EXPECT_EQ(bon->PaidSum(), Money::FromUnits(50));
    bon->CloseAndArchive(false);
    EXPECT_EQ(rig.Scalar("select bon_id || '|' || iznos || '|' || kusur || '|' || pay_3 from payments"),
              "1|30.0000|20.0000|50.0000");
    EXPECT_EQ(Rows("sales"), 1);
    EXPECT_EQ(Rows("curr_sales") + Rows("curr_payments"), 0);
    EXPECT_EQ(Rows("curr_abc"), 3);  // kept when not asked to delete it
    EXPECT_EQ(DatabaseTotal(), PrinterDayTotal());
    EXPECT_EQ(bon->PaidSum(), Money());

    rig.Exec("delete from curr_abc");
    TakeIn({{"A1", "30", "1"}});
    PrintLines(1);
    bon->PayWholeTotal();
    EXPECT_EQ(bon->CurrentPayment(), nullptr);
    bon->CloseAndArchive(true);
    EXPECT_TRUE(bon->AbcIsEmpty());
    EXPECT_EQ(rig.Scalar("select bon_id || '|' || kusur || '|' || pay_1 from payments where bon_id=2"),
              "2|0.0000|30.0000");
    EXPECT_EQ(DatabaseTotal(), PrinterDayTotal());
}

TEST_F(Bon, StornoAllCancelsEverySoldLineOrRefusesToMarkThem)
{
    Article("A1", 2, "10");
    Article("B1", 3, "4");
    TakeIn({{"A1", "10", "2"}, {"B1", "4", "1"}, {"B1", "4", "-1"}, {"A1", "10", "1"}});
    PrintLines(3);  // the fourth line never reached the printer
    bon->StornoAll();
    EXPECT_EQ(rig.JournalCount("VOID 1 2 10.00 2.000"), 1);
    EXPECT_EQ(rig.JournalCount("VOID "), 2);  // B1 was voided by its own line already
    EXPECT_EQ(bon->PrinterTotal(), Money());
    EXPECT_EQ(rig.ScalarInt("select count(*) from curr_sales where ind_storno='N'"), 0);

    Restart();
    rig.Exec("delete from curr_abc");
    rig.Exec("delete from curr_sales");
    TakeIn({{"A1", "10", "1"}});
    rig.PrinterCommand(52, "3#4.00");  // a sale the receipt does not know of
    rig.Exec("insert into curr_sales(dtm_tran,art_id,kolicina,ind_storno) values('x','A1',1,'N')");
    EXPECT_EQ(Failure([&] { bon->StornoAll(); }), "Exc-102 update");
    EXPECT_EQ(rig.ScalarInt("select count(*) from curr_sales where ind_storno='N'"), 1);
}

TEST_F(Bon, WhollyVoidedReceiptClosedWithoutItsZeroPaymentKeepsAPaymentRow)
{
    Article("A1", 2, "10");
    TakeIn({{"A1", "10", "2"}});
    PrintLines(1);
    bon->StornoAll();
    // The state question before the zero payment is answered garbled every time.
    rig.sim->Control("oncmd 103");
    rig.sim->Control("badlen 1000");
    EXPECT_NE(Failure([&] { bon->PayWholeTotal(); }), "no error");
    rig.sim->Control("reset");
    bon->CloseAndArchive(true);
    EXPECT_EQ(rig.JournalCount("PAY "), 0);
    EXPECT_EQ(rig.JournalCount("CLOSE 1 0.00 0.00"), 1);
    EXPECT_EQ(rig.Scalar("select iznos || '|' || pay_1 from payments where bon_id=1"), "0.0000|0.0000");
    EXPECT_EQ(rig.ScalarInt("select count(*) from sales where bon_id=1"), 1);
}

TEST_F(Bon, PrinterTotalFailsWhenTheStateCannotBeRead)
{
    rig.sim->Control("nak 100");
    EXPECT_EQ(Failure([&] { bon->PrinterTotal(); }), "Exc-103 FP");
    EXPECT_EQ(Failure([&] { bon->PayWholeTotal(); }), "Exc-103 FP");
    EXPECT_EQ(bon->CurrentPayment(), nullptr);
    rig.sim->Control("reset");
    EXPECT_EQ(bon->PrinterTotal(), Money());
}

TEST_F(Bon, AFailedArchiveCopyKeepsItsRowsUntilTheNextReceiptMovesThem)
{
    rig.Exec("create exception velbrin_test_fault 'injected fault'");
    struct Case {
        const char* table;   // where the fault is put
        const char* event;   // before insert / before delete
        const char* keeps;   // current table that keeps its rows
    };
    const Case cases[] = {{"payments", "insert", "curr_payments"},
                          {"sales", "insert", "curr_sales"},
                          {"curr_sales", "delete", "curr_sales"}};
    Article("A1", 2, "30");
    int receipt = 0;
    for (const Case& c : cases) {
        rig.Exec("delete from curr_abc");
        TakeIn({{"A1", "30", "1"}});
        PrintLines(1);
        ++receipt;
        bon->PayWholeTotal();
        rig.Exec(std::string("create trigger velbrin_test_fault for ") + c.table + " before " + c.event +
                 " as begin exception velbrin_test_fault; end");
        const auto logBefore = rig.LinkLogLines().size();
        bon->CloseAndArchive(true);  // the failure is logged, not raised
        const auto log = rig.LinkLogLines();
        ASSERT_GT(log.size(), logBefore) << c.table;
        // "yyyy-mm-dd hh:nn:ss " + receipt number + " " + the database's text
        EXPECT_EQ(log[logBefore].substr(20, 2), std::to_string(receipt) + " ") << log[logBefore];
        std::string logged;
        for (auto i = logBefore; i < log.size(); ++i) logged += log[i] + "\n";
        EXPECT_NE(logged.find("injected fault"), std::string::npos) << logged;
        EXPECT_EQ(Rows(c.keeps), 1) << c.table;
        EXPECT_TRUE(bon->AbcIsEmpty());

        // While the fault lasts, no receipt is opened on top of the rows left behind.
        const int opened = rig.JournalCount("OPEN ");
        EXPECT_EQ(Failure([&] { bon->BeginReceipt(); }).rfind("Exc-104 " + std::string(c.keeps), 0), 0u);
        EXPECT_EQ(rig.JournalCount("OPEN "), opened);
        rig.Exec("drop trigger velbrin_test_fault");

        rig.Exec("delete from curr_abc");
        TakeIn({{"A1", "30", "1"}});
        PrintLines(1);  // the leftovers go into the archive first, each row once
        ++receipt;
        EXPECT_EQ(Rows("curr_payments"), 0);
        EXPECT_EQ(Rows("curr_sales"), 1);
        EXPECT_EQ(rig.ScalarInt("select count(*) from sales where bon_id=" + std::to_string(receipt - 1)), 1);
        EXPECT_EQ(rig.ScalarInt("select count(*) from payments where bon_id=" + std::to_string(receipt - 1)), 1);
        EXPECT_NE(rig.LinkLogLines().back().find(std::string(c.keeps) + " moved into"), std::string::npos);
        bon->PayWholeTotal();
        bon->CloseAndArchive(true);
    }
    EXPECT_EQ(Rows("payments"), receipt);
    EXPECT_EQ(Rows("sales"), receipt);
    EXPECT_EQ(DatabaseTotal(), PrinterDayTotal());
}

TEST_F(Bon, RecoveryLeavesEveryReceiptOnceInTheArchiveAsThePrinterHasIt)
{
    enum Crash { None, AfterClose, AfterCloseUnpaidInDb, NotSent, LinesNoPayment, PartlyPaid, PaymentNotStored };
    struct Case {
        const char* name;
        Crash crash;
        int state;
        long long bonId;       // after Recover
        long long archived;    // payments rows afterwards
        long long abcLeft;     // curr_abc rows afterwards
        const char* payments;  // pay_1|pay_3|kusur|iznos|card of the archived row, when there is one
        std::vector<std::string> printed;  // journal lines the recovery adds
    };
    const std::vector<Case> cases = {
        {"nothing", None, 1, 0, 0, 0, "", {}},
        {"closed, archive missing", AfterClose, 2, 1, 1, 0, "0.0000|50.0000|20.0000|30.0000|K9", {}},
        {"closed, payment not in db", AfterCloseUnpaidInDb, 2, 1, 1, 0, "30.0000|0.0000|0.0000|30.0000|K9", {}},
        {"closed, never marked sent", NotSent, 2, 0, 0, 4, "", {}},
        {"lines, no payment", LinesNoPayment, 3, 1, 1, 4, "0.0000|0.0000|0.0000|0.0000|K9",
         {"VOID 1 2 10.00 3.000 -30.00", "PAY 1 P 0.00", "CLOSE 1 0.00 0.00"}},
        {"partly paid", PartlyPaid, 4, 1, 1, 0, "30.0000|10.0000|10.0000|30.0000|K9",
         {"PAY 1 P 30.00", "CLOSE 1 30.00 40.00"}},
        {"payment not stored", PaymentNotStored, 4, 1, 1, 0, "40.0000|0.0000|10.0000|30.0000|K9",
         {"PAY 1 P 30.00", "CLOSE 1 30.00 40.00"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        rig.Exec("delete from curr_abc");
        rig.Exec("delete from curr_sales");
        rig.Exec("delete from curr_payments");
        rig.Exec("delete from sales");
        rig.Exec("delete from payments");
        rig.Exec("delete from arts");
        rig.sim->Control("factory");
        Restart();
        if (c.crash != None) {
            Article("A1", 2, "10");
            TakeIn({{"A1", "10", "3"}}, {{"CARD_ID", "K9"}});
            bon->ReadTrailer();
            PrintLines(1);
        }
        switch (c.crash) {
        case AfterClose:
        case NotSent:
            TPayItem(*rig.store, *bon, Money::FromUnits(50), 3).Pay();
            rig.fp->CloseReceipt();
            if (c.crash == NotSent) rig.Exec("update curr_abc set tax_id='0' where seq=0");
            break;
        case AfterCloseUnpaidInDb:
            rig.fp->AddPayment(TFormFP::PaymentData(1, Money::FromUnits(30)));
            rig.fp->CloseReceipt();
            break;
        case PartlyPaid:
            TPayItem(*rig.store, *bon, Money::FromUnits(10), 3).Pay();
            break;
        case PaymentNotStored:
            rig.fp->AddPayment(TFormFP::PaymentData(1, Money::FromUnits(10)));
            break;
        default:
            break;
        }
        const auto journal = rig.Journal();
        const int opened = rig.JournalCount("OPEN ");
        EXPECT_EQ(rig.fp->ReadTransactionState(), c.state);

        Restart();
        bon->Recover();

        EXPECT_EQ(bon->BonId(), c.bonId);
        EXPECT_EQ(rig.fp->ReadTransactionState(), c.crash == None ? 1 : 2);
        const auto after = rig.Journal();
        EXPECT_EQ(std::vector<std::string>(after.begin() + static_cast<long>(journal.size()), after.end()),
                  c.printed);
        EXPECT_EQ(rig.JournalCount("OPEN "), opened);
        EXPECT_EQ(Rows("payments"), c.archived);
        EXPECT_EQ(Rows("curr_abc"), c.abcLeft);
        if (c.archived > 0) {
            EXPECT_EQ(rig.Scalar("select pay_1 || '|' || pay_3 || '|' || kusur || '|' || iznos || '|' || card_id "
                                 "from payments"),
                      c.payments);
            EXPECT_EQ(rig.ScalarInt("select count(*) from payments where bon_id=1"), 1);
            EXPECT_EQ(Rows("curr_sales") + Rows("curr_payments"), 0);
            EXPECT_EQ(DatabaseTotal(), Money::FromHundredths(rig.sim->State().lastAmount));
        }
        if (c.crash == LinesNoPayment) {
            EXPECT_EQ(rig.ScalarInt("select count(*) from sales where ind_storno='D'"), 1);
            bon->BeginReceipt();  // printed anew under the next number
            EXPECT_EQ(bon->BonId(), 2);
            EXPECT_EQ(rig.Journal().back(), "OPEN 2");
        }
    }
}

TEST_F(Bon, AReceiptOpenedBehindAGarbledAnswerIsSettledUnderItsOwnNumber)
{
    Article("A1", 2, "10");
    TakeIn({{"A1", "10", "1"}}, {{"PAY_2", "15"}});
    bon->ReadTrailer();
    PrintLines(1);
    TPayItem(*rig.store, *bon, Money::FromUnits(15), 2).Pay();
    bon->CloseAndArchive(true);
    TakeIn({{"A1", "10", "1"}});
    // Every repetition of the open is answered with a bad checksum; the
    // printer opened the receipt at the first.
    rig.sim->Control("badsum 4");
    EXPECT_NE(Failure([&] { bon->BeginReceipt(); }), "");
    rig.sim->Control("reset");
    EXPECT_EQ(rig.Journal().back(), "OPEN 2");
    EXPECT_EQ(bon->BonId(), 2);
    // As the cancellation does: pay what is due (nothing) and archive.
    bon->PayWholeTotal();
    bon->CloseAndArchive(true);
    EXPECT_EQ(rig.ScalarInt("select count(*) from payments where bon_id=1"), 1);
    EXPECT_EQ(rig.Scalar("select kusur from payments where bon_id=1"), "5.0000");
    EXPECT_EQ(rig.Scalar("select iznos || '|' || kusur from payments where bon_id=2"), "0.0000|0.0000");
}

TEST_F(Bon, CommandsCarriedOutBehindAGarbledAnswerAreStoredOnceAsThePrinterHasThem)
{
    // Every repetition of the one command is answered with a bad checksum; the
    // printer carried it out at the first. The link asks the printer and goes on.
    enum Step { kSale, kVoid, kPayment, kClose };
    Article("A1", 2, "10");
    for (const Step garbled : {kSale, kVoid, kPayment, kClose}) {
        SCOPED_TRACE(garbled);
        rig.Exec("delete from curr_abc");
        TakeIn({{"A1", "10", "1"}, {"A1", "10", "1"}, {"A1", "10", "-1"}}, {{"PAY_2", "10"}});
        bon->ReadTrailer();
        bon->BeginReceipt();
        rig.Exec("update curr_abc set tax_id='S' where seq=0");
        static constexpr int kCommandOf[] = {52, 52, 53, 56};
        auto garble = [&](Step step) {
            if (step != garbled) return;
            rig.sim->Control("oncmd " + std::to_string(kCommandOf[step]));
            rig.sim->Control("badsum 4");
        };
        for (int seq = 1; seq <= 2; ++seq) {
            if (seq == 2) garble(kSale);
            Line(seq)->Sell();
        }
        rig.sim->Control("reset");
        garble(kVoid);
        TSaleItem::FindSaleToStorno(*rig.store, *bon, "A1", Money::FromUnits(-1))->Storno();
        rig.sim->Control("reset");
        garble(kPayment);
        TPayItem(*rig.store, *bon, Money::FromUnits(10), 2).Pay();
        rig.sim->Control("reset");
        garble(kClose);
        bon->CloseAndArchive(true);
        rig.sim->Control("reset");
        EXPECT_EQ(rig.ScalarInt("select count(*) from sales where bon_id=" + std::to_string(bon->BonId())), 2);
        EXPECT_EQ(rig.Scalar("select pay_2 || '|' || iznos from payments where bon_id=" + std::to_string(bon->BonId())),
                  "10.0000|10.0000");
        EXPECT_EQ(rig.JournalCount("CLOSE"), garbled + 1) << "one receipt each round";
        EXPECT_EQ(DatabaseTotal(), Money::FromHundredths(rig.sim->State().DayTotal()));
        EXPECT_EQ(Rows("curr_sales") + Rows("curr_payments"), 0);
    }
}

TEST_F(Bon, TotalOfAPrintedReceiptStandsWhenThePrinterAnswersOnlyGarbled)
{
    Article("A1", 2, "10");
    TakeIn({{"A1", "10", "1"}, {"A1", "2.5", "2"}}, {{"PAY_2", "20"}});
    bon->ReadTrailer();
    PrintLines(2);
    rig.sim->Control("oncmd 76");
    rig.sim->Control("badsum 1000");
    // Change and the first payment row are figured without the printer's word.
    TPayItem(*rig.store, *bon, Money::FromUnits(20), 2).Pay();
    bon->CloseAndArchive(true);
    EXPECT_EQ(bon->ReceiptTotal(), Money::FromUnits(15)) << "the archived payment row";
    rig.sim->Control("reset");
    EXPECT_EQ(rig.Scalar("select iznos || '|' || kusur from payments where bon_id=1"), "15.0000|5.0000");
    EXPECT_EQ(bon->ReceiptTotal(), Money::FromUnits(15)) << "the printer's";
    EXPECT_EQ(DatabaseTotal(), Money::FromHundredths(rig.sim->State().DayTotal()));
}

TEST_F(Bon, APaymentThePrinterTookIsStoredWhenTheLineGoesDownRightAfter)
{
    Article("A1", 2, "10");
    TakeIn({{"A1", "10", "1"}}, {{"PAY_2", "10"}});
    bon->ReadTrailer();
    PrintLines(1);
    // The display and the payment are answered, then the cable is pulled.
    rig.sim->Control("cut 2");
    TPayItem(*rig.store, *bon, Money::FromUnits(10), 2).Pay();
    rig.sim->Control("cut off");
    EXPECT_EQ(rig.sim->State().ReceiptPaid(), 1000);
    EXPECT_EQ(rig.Scalar("select iznos || '|' || pay_2 from curr_payments"), "10.0000|10.0000");
}

TEST_F(Bon, RecoveryWithAnUnreadableStateChangesNothing)
{
    bon->SetBonId(5);
    TakeIn({{"A1", "1", "1"}});
    rig.sim->Control("nak 100");
    bon->Recover();
    rig.sim->Control("reset");
    EXPECT_EQ(bon->BonId(), 5);
    EXPECT_EQ(Rows("curr_abc"), 3);
    EXPECT_EQ(rig.JournalCount(""), 0);
}

}  // namespace
}  // namespace velbrin::test
