#include "ReceiptTestSupport.h"

#include "app/P00_msg.h"
#include "app/P00_util.h"

namespace velbrin::test {
namespace {

using SaleItem = ReceiptTest;

TEST_F(SaleItem, LineAmountIsTheProductToTheNearestHundredthHalvesUp)
{
    struct Case {
        const char* kolicina;
        const char* cena;
        const char* iznos;
    };
    const Case cases[] = {
        {"1.005", "1.00", "1.01"},  {"0.333", "3.00", "1.00"},   {"2.5", "12.50", "31.25"},
        {"3", "0.335", "1.01"},     {"1", "0.0049", "0.00"},     {"0.3333", "0.3333", "0.11"},
        {"0.001", "0.01", "0.00"},  {"1000", "99999.99", "99999990.00"}, {"0.5", "0.01", "0.01"},
        {"0.499", "0.01", "0.00"},
    };
    for (const Case& c : cases) {
        auto item = ArticleItem("A1", "1", "X", c.cena, c.kolicina);
        item->ComputeAmount();
        EXPECT_EQ(item->Iznos().Format(4), Money::Parse(c.iznos).Format(4)) << c.kolicina << " x " << c.cena;
    }
}

TEST_F(SaleItem, SaleTextCarriesTheQuantityWhenNotOneOrWhenAlwaysFull)
{
    Article("A17", 17, "12.50");
    struct Case {
        const char* kolicina;
        bool full;
        const char* text;
    };
    const Case cases[] = {
        {"1", false, "17#12.50"},          {"1", true, "17#12.50*1.000"}, {"2.5", false, "17#12.50*2.500"},
        {"0.001", false, "17#12.50*0.001"}, {"-1", false, "Kolicina < 0 - sale or storno"},
    };
    for (const Case& c : cases) {
        rig.ini->WriteString("Osnovno", "UvekPunNaziv", c.full ? "D" : "N");
        auto item = ArticleItem("A17", "1", "X", "12.5", c.kolicina);
        EXPECT_EQ(item->PluId(), 17);
        const std::string failure = Failure([&] { item->BuildCommand(); });
        EXPECT_EQ(failure == "no error" ? item->FpCommand() : failure, c.text) << c.kolicina;
    }
}

TEST_F(SaleItem, LoadingChecksQuantityAndTaxGroupAndCleansTheName)
{
    rig.fp->SetTaxGroupFlags("110111111");
    const std::string msg55 = rig.msg.GetMsg(55), msg60 = rig.msg.GetMsg(60);
    struct Case {
        const char* tax;
        const char* name;
        const char* kolicina;
        std::string failure;  // empty: loads
        const char* cleaned;
    };
    const Case cases[] = {
        {"1", "  Sok  \"Jabuka\"   1L ", "1", "", "Sok Jabuka 1L"},
        {"1", "Mleko 'Lepo' `1L`", "2", "", "Mleko Lepo 1L"},
        {"1", "1234567890123456789012345678901234567890", "1", "", "1234567890123456789012345678"},
        {"1", "  ", "1", "", ""},
        {"1", "X", "0", msg55, ""},
        {"2", "X", "1", msg60, ""},   // flag of group 2 is "0"
        {"8", "X", "1", "", "X"},     // group 8 is set in the flags
        {"9", "X", "1", msg60, ""},   // past the end of the flags
        {"-1", "X", "1", msg60, ""},
        {"x", "X", "1", "'x' is not a valid integer value", ""},
        {"", "X", "1", "'' is not a valid integer value", ""},
    };
    int seq = 1;
    for (const Case& c : cases) {
        AbcRow(seq, "A" + std::to_string(seq), c.tax, c.name, "1.00", c.kolicina);
        std::unique_ptr<TSaleItem> item;
        const std::string failure = Failure([&] { item = Line(seq); });
        EXPECT_EQ(failure, c.failure.empty() ? "no error" : c.failure) << c.tax << " " << c.name;
        if (item) {
            EXPECT_EQ(item->PluNaziv(), c.cleaned);
            EXPECT_EQ(item->DtmTran().size(), 23u);
            EXPECT_EQ(item->PluId(), 0);
        }
        ++seq;
    }
    // Article files skip the quantity check but not the tax group.
    EXPECT_EQ(Failure([&] { ArticleItem("B1", "1", "X", "1", "0"); }), "no error");
    EXPECT_EQ(Failure([&] { ArticleItem("B1", "2", "X", "1", "1"); }), msg60);
}

TEST_F(SaleItem, ArticlesAreProgrammedUnderTheNextPluAndFoundByTheirId)
{
    EXPECT_EQ(TSaleItem::MaxPlu(*rig.store), 1);
    auto first = ArticleItem("Sok'1", "1", "  Sok  \"Jabuka\"   1L ", "12.5", "2");
    first->DefineArticle();
    EXPECT_EQ(first->PluId(), 2);
    const auto printer = rig.sim->State().articles;
    ASSERT_EQ(printer.count(2), 1u);
    EXPECT_EQ(printer.at(2).tax, 'B');
    EXPECT_EQ(printer.at(2).price, 1250);
    EXPECT_EQ(printer.at(2).quantity, 2000);
    EXPECT_EQ(printer.at(2).name, "Sok Jabuka 1L");
    EXPECT_EQ(rig.Scalar("select plu_id from arts where art_id = 'Sok''1'"), "2");
    EXPECT_EQ(rig.Scalar("select plu_naziv || '|' || update_typ || '|' || tax_id from arts"), "Sok Jabuka 1L|N|1");
    // Found again by its id, quote and all.
    EXPECT_EQ(ArticleItem("Sok'1", "1", "X", "1", "1")->PluId(), 2);

    Article("P5", 5, "1", false);
    Article("P10", 10, "1", false);
    EXPECT_EQ(TSaleItem::MaxPlu(*rig.store), 10);  // 10 above 5 as numbers, not as text
    auto high = ArticleItem("G8", "8", "Group eight", "1", "0");
    high->DefineArticle();
    EXPECT_EQ(high->PluId(), 11);
    EXPECT_EQ(rig.sim->State().articles.at(11).tax, 'E');

    EXPECT_EQ(TSaleItem::TaxLetter(0), 'A');
    EXPECT_EQ(TSaleItem::TaxLetter(7), 'H');
    EXPECT_EQ(TSaleItem::TaxLetter(8), 'E');
    EXPECT_EQ(TSaleItem::TaxLetter(-1), 'E');
}

TEST_F(SaleItem, ArticleCommandsBehindAGarbledAnswerLeaveBothTablesAlike)
{
    // Every repetition of the one article command is answered with a bad checksum.
    auto garble = [&] {
        rig.sim->Control("oncmd 107");
        rig.sim->Control("badsum 4");
    };
    auto item = ArticleItem("A7", "1", "Hleb", "1.5", "1");
    garble();
    item->DefineArticle();
    garble();
    auto changed = ArticleItem("A7", "1", "Hleb", "2", "1");
    changed->UpdatePrice();
    rig.sim->Control("reset");
    const auto printer = rig.sim->State().articles;
    ASSERT_EQ(printer.count(item->PluId()), 1u);
    EXPECT_EQ(printer.at(item->PluId()).price, 200);
    EXPECT_EQ(rig.Scalar("select plu_id || '|' || cena from arts where art_id = 'A7'"),
              std::to_string(item->PluId()) + "|2.0000");
    garble();
    changed->DeleteArticle();
    rig.sim->Control("reset");
    EXPECT_EQ(rig.sim->State().articles.count(item->PluId()), 0u);
    EXPECT_EQ(rig.ScalarInt("select count(*) from arts where art_id = 'A7'"), 0);
}

TEST_F(SaleItem, ArticleFailuresNameTheArticleAndLeaveArtsUnchanged)
{
    rig.PrinterCommand(107, "PA2,1.00,0.000,TAKEN");  // the printer already has PLU 2
    auto item = ArticleItem("N1", "0", "New", "3", "1");
    const std::string failure = Failure([&] { item->DefineArticle(); });
    EXPECT_EQ(failure.rfind("Artikal: N1\r\nKomanda 107 - Dupli naziv\n", 0), 0u) << failure;
    EXPECT_EQ(rig.ScalarInt("select count(*) from arts"), 0);
    EXPECT_EQ(item->PluId(), 0);

    Article("M1", 7, "2.00", false);  // in arts, not in the printer
    auto missing = ArticleItem("M1", "1", "X", "2.50", "1");
    EXPECT_EQ(Failure([&] { missing->UpdatePrice(); }).rfind("Artikal: M1\r\n", 0), 0u);
    EXPECT_EQ(rig.ScalarMoney("select cena from arts where art_id='M1'"), Money::Parse("2"));
    EXPECT_EQ(Failure([&] { missing->DeleteArticle(); }).rfind("Artikal: M1\r\n", 0), 0u);
    EXPECT_EQ(rig.ScalarInt("select count(*) from arts"), 1);
    EXPECT_EQ(Failure([&] { missing->AddQuantity(); }).rfind("Artikal: M1\r\n", 0), 0u);
}

TEST_F(SaleItem, PriceChangesGoToThePrinterOnlyWhenThePriceDiffers)
{
    Article("A18", 18, "12.50");
    auto same = ArticleItem("A18", "1", "X", "12.5", "1");
    const int before = rig.sim->CommandsExecuted();
    same->UpdatePrice();
    EXPECT_EQ(rig.sim->CommandsExecuted(), before);

    auto dearer = ArticleItem("A18", "1", "X", "13.90", "1");
    dearer->UpdatePrice();
    EXPECT_EQ(rig.sim->State().articles.at(18).price, 1390);
    EXPECT_EQ(rig.ScalarMoney("select cena from arts where art_id='A18'"), Money::Parse("13.9"));

    auto stock = ArticleItem("A18", "1", "X", "13.90", "24");
    stock->AddQuantity();
    EXPECT_EQ(rig.sim->State().articles.at(18).quantity, 24000);
    stock->DeleteArticle();
    EXPECT_EQ(stock->PluId(), 0);
    EXPECT_EQ(rig.sim->State().articles.count(18), 0u);
    EXPECT_EQ(rig.ScalarInt("select count(*) from arts"), 0);

    const int quiet = rig.sim->CommandsExecuted();
    stock->DeleteArticle();  // PLU 0: nothing to do
    stock->AddQuantity();
    EXPECT_EQ(rig.sim->CommandsExecuted(), quiet);
}

TEST_F(SaleItem, SalesAreStoredAfterThePrinterAndStornoCancelsExactlyTheirLine)
{
    Article("A'1", 3, "12.50");
    bon->BeginReceipt();
    AbcRow(1, "A'1", "1", "Sok", "12.50", "2");
    AbcRow(2, "A'1", "1", "Sok", "12.50", "2");
    Line(1)->Sell();
    Line(2)->Sell();  // the same article and quantity again: a line of its own
    EXPECT_EQ(rig.JournalCount("SALE 1 3 12.50 2.000 25.00"), 2);
    EXPECT_EQ(rig.ScalarInt("select count(distinct dtm_tran) from curr_sales"), 2);
    EXPECT_EQ(rig.Scalar("select zet_id || '|' || bon_id || '|' || art_id || '|' || tax_id || '|' || plu_naziv || '|' "
                         "|| iznos || '|' || prc_popust || '|' || ind_storno || '|' || fp_command || '|' || "
                         "coalesce(dtm_zet, 'null') from curr_sales rows 1"),
              "000001|1|A'1|1|Sok|25.0000|0.0000|N|3#12.50*2.000|null");

    auto storno = TSaleItem::FindSaleToStorno(*rig.store, *bon, "A'1", Money::Parse("-2"));
    EXPECT_EQ(storno->FpCommand(), "3#12.50*2.000");
    storno->Storno();
    EXPECT_EQ(storno->FpCommand(), "-3#12.50*2.000");
    EXPECT_EQ(rig.JournalCount("VOID 1 3 12.50 2.000 -25.00"), 1);
    EXPECT_EQ(rig.ScalarInt("select count(*) from curr_sales where ind_storno='D'"), 1);
    TSaleItem::FindSaleToStorno(*rig.store, *bon, "A'1", Money::Parse("-2"))->Storno();
    EXPECT_EQ(rig.ScalarInt("select count(*) from curr_sales where ind_storno='D'"), 2);

    for (const char* qty : {"-2", "-1"})
        EXPECT_EQ(Failure([&] { TSaleItem::FindSaleToStorno(*rig.store, *bon, "A'1", Money::Parse(qty)); }),
                  "Exc-101 select - storno item not exist");
    EXPECT_EQ(rig.fp->ReadTransactionState(), 3);
    EXPECT_EQ(rig.fp->ReceiptAmount(), Money());
}

TEST_F(SaleItem, ARefusedSaleIsNotStored)
{
    Article("A1", 4, "1.00", false);  // in arts, but the printer does not know PLU 4
    bon->BeginReceipt();
    AbcRow(1, "A1", "1", "X", "1.00", "1");
    const std::string failure = Failure([&] { Line(1)->Sell(); });
    EXPECT_EQ(failure.rfind("Artikal: A1\r\nKomanda 52 - Prodaja artikla\n", 0), 0u) << failure;
    EXPECT_EQ(rig.ScalarInt("select count(*) from curr_sales"), 0);
}

}  // namespace
}  // namespace velbrin::test
