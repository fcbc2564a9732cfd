// Day numbers and the database half of the day closing on a real database.
#include "DbTestSupport.h"

#include "app/P00_inilink.h"
#include "app/P00_msg.h"
#include "app/P00_util.h"
#include "closing/P32_zets.h"
#include "app/P00_starttext.h"
#include "formats/P00_convert.h"
#include "printer/P00_fp.h"
#include "store/P30_commonlink.h"
#include "tools/fp550sim/Fp550Simulator.h"

#include <ctime>
#include <filesystem>

#include <map>

namespace velbrin::test {
namespace {

class ZetsTest : public DbTest {
protected:
    ZetsTest() : registry(dir.Path(), dir.File("install"))
    {
        ini = std::make_unique<TIniLink>();
        ini->WriteString("Osnovno", "TerminalNo", "007");
        Build("NONE");  // a port name the link leaves closed: these tests need no printer
    }

    // The printer side on the given port, and the day closing over it.
    void Build(const std::string& port)
    {
        zets.reset();
        commonLink.reset();
        fp.reset();
        def.reset();
        ini->WriteString("Portovi", "FP", port);
        def = std::make_unique<TFormFPDef>(*ini);
        fp = std::make_unique<TFormFP>(*def, app, SteadyClock());
        commonLink = std::make_unique<TFormCommonLink>(*connection, *ini, *fp, messages, app, convert);
        zets = std::make_unique<TFormZets>(*connection, *ini, *fp, *commonLink);
        commonLink->AttachZets(*zets);
    }

    // A Z report answer: field 1 the day total, fields 2..9 the tax groups.
    static TFormZets::AnswerFieldFn Answer(std::map<int, std::string> fields)
    {
        return [fields](int n) {
            auto it = fields.find(n);
            return it == fields.end() ? std::string("0") : it->second;
        };
    }

    void AddReceipt(const std::string& zet, int bon, const std::string& kusur, const std::string& pay1,
                    const std::string& pay3, int lines, int voided)
    {
        Exec("insert into payments(zet_id,trm_id,dtm_tran,bon_id,usr_id,iznos,kusur,pay_1,pay_2,pay_3,pay_4,"
             "pay_5,pay_6,items_no,ind_popust,ind_storno) values('" + zet + "','007','2027-03-01 10:00:00:000'," +
             std::to_string(bon) + ",'U1',0," + kusur + "," + pay1 + ",0," + pay3 + ",0,0,0,1,'N','N')");
        for (int i = 0; i < lines; ++i)
            Exec("insert into sales(zet_id,bon_id,art_id,ind_storno) values('" + zet + "'," + std::to_string(bon) +
                 ",'A','" + (i < voided ? "D" : "N") + "')");
    }

    ScopedRegistry registry;
    FakeAppServices app;
    TMsgTable messages;
    TFormConvert convert;
    std::unique_ptr<TIniLink> ini;
    std::unique_ptr<TFormCommonLink> commonLink;
    std::unique_ptr<TFormFPDef> def;
    std::unique_ptr<TFormFP> fp;
    std::unique_ptr<TFormZets> zets;
};

// The whole closing against the printer simulator on a pseudo-terminal.
class CloseDayTest : public ZetsTest {
protected:
    CloseDayTest() : sim(dir.File("fp550.state")) { Build(sim.Start()); }
    ~CloseDayTest() override
    {
        zets.reset();
        commonLink.reset();
        fp.reset();
        def.reset();
        sim.Stop();
    }

    // One paid receipt on the printer: PLU 2 in tax group 1 ("B").
    void PrintReceipt(const std::string& price)
    {
        fp->ProgramArticle("PB2," + price + ",1.000,HLEB");
        fp->OpenReceipt();
        fp->SellItem("2#" + price);
        fp->AddPayment(TFormFP::PaymentData(1, Money::Parse(price)));
        fp->CloseReceipt();
    }

    sim::Fp550Simulator sim;
};

TEST_F(CloseDayTest, ZReportTotalsAndPrinterClockCloseTheDayAndTheNextOneOpens)
{
    sim.Control("clock +86400");  // the printer's clock runs a day ahead of the computer's
    const std::string day = zets->CurrentDayId();
    AddReceipt(day, 1, "0", "12.50", "0", 1, 0);
    PrintReceipt("12.50");
    zets->CloseDay();

    std::time_t tomorrow = std::time(nullptr) + 86400;
    char date[16];
    std::strftime(date, sizeof date, "%Y-%m-%d", std::localtime(&tomorrow));
    const std::string stamp = Scalar("select dtm_tran from zets where zet_id='" + day + "'");
    ASSERT_EQ(stamp.size(), 19u) << stamp;
    EXPECT_EQ(stamp.substr(0, 10), date);
    EXPECT_EQ(Scalar("select fp_iznos from zets where zet_id='" + day + "'"), "12.5000");
    EXPECT_EQ(Scalar("select fp_vat1 from zets where zet_id='" + day + "'"), "12.5000");
    EXPECT_EQ(Scalar("select fp_vat0 from zets where zet_id='" + day + "'"), "0.0000");
    EXPECT_EQ(Scalar("select dtm_zet from payments where zet_id='" + day + "'"), stamp);
    EXPECT_EQ(Scalar("select vle_value from vle where vle_key='BonID'"), "1");
    EXPECT_EQ(Scalar("select zet_id from zets where dtm_tran is null"), FormatDayId(StrToInt(day) + 1));
    EXPECT_NE(sim.Control("status").find("day=0.00"), std::string::npos) << sim.Control("status");
    EXPECT_TRUE(app.notices.empty()) << "the books agree";

    // A receipt the database does not know: the closing says so, by day and amounts.
    commonLink->SetLogPath(dir.File("LINK_log.txt"));
    const std::string next = zets->CurrentDayId();
    AddReceipt(next, 2, "0", "73.00", "0", 1, 0);
    for (const char* price : {"73.00", "203.50"}) {
        fp->OpenReceipt();
        fp->SellItem(std::string("2#") + price);
        fp->AddPayment(TFormFP::PaymentData(1, Money::Parse(price)));
        fp->CloseReceipt();
    }
    zets->CloseDay();
    ASSERT_EQ(app.notices.size(), 1u);
    EXPECT_EQ(app.notices[0], FillMsg(messages.GetMsg(kMsgDayTotalsDiffer), {next, "276.50", "73.00", "203.50"}));
    EXPECT_NE(ReadWholeFile(commonLink->LinkLog.Path()).find("Day " + next + " closed with different totals: the "
                                                             "printer's Z report 276.50, the database 73.00, difference 203.50"),
              std::string::npos);
}

TEST_F(CloseDayTest, ProgressFollowsTheZReportTheDatabaseAndTheExportAndThenEnds)
{
    ini->WriteString("Praxolt", "SaljiAnalitikeUvek", "D");
    ForceDirectories(ini->FromFpDir());
    AddReceipt(zets->CurrentDayId(), 1, "0", "3.00", "0", 1, 0);
    PrintReceipt("3.00");
    zets->CloseDay();
    using P = FakeAppServices::ProgressCall;
    constexpr TLinkText day = TLinkText::ProgressDayClosing;
    EXPECT_EQ(app.progress, (std::vector<P>{{day, 0, 3}, {day, 1, 3}, {day, 2, 3}, {day, 3, 3}}));
    EXPECT_FALSE(std::filesystem::is_empty(ini->FromFpDir())) << "the day was not exported";
}

TEST_F(CloseDayTest, ExportCutShortIsWrittenAgainUnderItsNumberByTheNextStart)
{
    ini->WriteString("Praxolt", "SaljiAnalitikeUvek", "D");
    ForceDirectories(ini->FromFpDir());
    AddReceipt(zets->CurrentDayId(), 1, "0", "3.00", "0", 1, 0);
    PrintReceipt("3.00");
    ini->WriteString("Osnovno", "ExportFormat", "XML");
    const std::string number = ini->ReadString("Osnovno", "TerminalNo") + "1";
    // The day's payments file cannot be put in place: the export stops after its lines.
    const std::string blocked = JoinPath(ini->FromFpDir(), "ZB" + number + ".xml");
    ForceDirectories(blocked);
    EXPECT_THROW(zets->CloseDay(), LinkError);
    ::rmdir(blocked.c_str());
    zets->SettleClosingBegun();
    std::vector<std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(ini->FromFpDir()))
        files.push_back(e.path().filename().string());
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"ZA" + number + ".xml", "ZB" + number + ".xml", "ZC" + number + ".xml"}));
    zets->SettleClosingBegun();
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(ini->FromFpDir()), {}), 3) << "written once";
}

TEST_F(CloseDayTest, RefusedZReportLeavesTheDatabaseDayOpen)
{
    const std::string day = zets->CurrentDayId();
    fp->ProgramArticle("PB2,1.00,1.000,HLEB");
    fp->OpenReceipt();
    fp->SellItem("2#1.00");  // a fiscal receipt stays open: the printer refuses the Z report
    try {
        zets->CloseDay();
        ADD_FAILURE() << "closed with a receipt open";
    } catch (const LinkError& e) {
        EXPECT_EQ(e.Text().rfind("Komanda 69 - Zatvaranje dana neuspesno\n", 0), 0u) << e.Text();
    }
    EXPECT_EQ(Scalar("select zet_id from zets where dtm_tran is null"), day);
    EXPECT_EQ(Scalar("select count(*) from zets"), "1");
    ASSERT_FALSE(app.progress.empty());
    EXPECT_EQ(app.progress.back().done, app.progress.back().total);  // the window closes
}

TEST_F(ZetsTest, CurrentDayIdOpensTheNextNumberOnlyWhenNoneIsOpen)
{
    struct Case {
        std::vector<std::pair<std::string, bool>> days;  // id, closed
        std::string expected;
        int rowsAfter;
    };
    const Case cases[] = {
        {{}, "000001", 1},
        {{{"000041", true}}, "000042", 2},
        {{{"000998", true}, {"000999", true}}, "001000", 3},
        {{{"000005", true}, {"000006", false}}, "000006", 2},
    };
    for (const Case& c : cases) {
        Exec("delete from zets");
        for (const auto& [id, closed] : c.days)
            Exec("insert into zets(zet_id,trm_id,dtm_tran) values('" + id + "','001'," +
                 (closed ? "'2027-01-01 20:00:00'" : "null") + ")");
        EXPECT_EQ(zets->CurrentDayId(), c.expected);
        EXPECT_EQ(zets->CurrentDayId(), c.expected) << "asked again";
        EXPECT_EQ(Scalar("select count(*) from zets"), std::to_string(c.rowsAfter)) << c.expected;
        EXPECT_EQ(Scalar("select count(*) from zets where dtm_tran is null"), "1");
    }
    EXPECT_EQ(Scalar("select trm_id from zets where zet_id='000006'"), "001");
}

TEST_F(ZetsTest, NewDayCarriesTerminalNumberEvenWithAQuote)
{
    ini->WriteString("Osnovno", "TerminalNo", "0'7");
    EXPECT_EQ(zets->CurrentDayId(), "000001");
    EXPECT_EQ(Scalar("select trm_id from zets where zet_id='000001'"), "0'7");
}

TEST_F(ZetsTest, ClosingADayWithReceiptsStoresCountsSumsAndPrinterTotals)
{
    const std::string day = zets->CurrentDayId();
    AddReceipt(day, 5, "10.5", "100", "0", 3, 1);
    AddReceipt(day, 9, "0", "20.25", "7", 2, 0);
    AddReceipt("000000", 99, "1000", "1000", "0", 4, 0);  // an earlier day: must stay untouched
    Exec("update sales set dtm_zet='2026-12-31 21:00:00' where zet_id='000000'");
    zets->CloseDayInDatabase("2027-03-01 21:15:00",
                             Answer({{1, "123456"}, {2, "100"}, {3, "0"}, {4, "99999"}, {9, "1"}}));

    TSqlQuery q(*connection);
    q.SetSQL("select * from zets where zet_id=:id");
    q.SetString("id", day);
    q.Open();
    ASSERT_FALSE(q.Eof());
    EXPECT_EQ(q.AsString("dtm_tran"), "2027-03-01 21:15:00");
    EXPECT_EQ(q.AsInteger("end_bon_id"), 9);
    EXPECT_EQ(q.AsInteger("br_bonova"), 2);
    EXPECT_EQ(q.AsInteger("br_stavki"), 4);
    EXPECT_EQ(q.AsMoney("fp_iznos"), Money::Parse("1234.56"));
    EXPECT_EQ(q.AsMoney("db_kusur"), Money::Parse("10.5"));
    EXPECT_EQ(q.AsMoney("db_pay1"), Money::Parse("120.25"));
    EXPECT_EQ(q.AsMoney("db_pay3"), Money::Parse("7"));
    EXPECT_EQ(q.AsMoney("db_pay2"), Money{});
    EXPECT_EQ(q.AsMoney("fp_vat0"), Money::Parse("1"));
    EXPECT_EQ(q.AsMoney("fp_vat2"), Money::Parse("999.99"));
    EXPECT_EQ(q.AsMoney("fp_vat7"), Money::Parse("0.01"));
    EXPECT_TRUE(q.IsNull("db_pay6"));
    q.Close();

    EXPECT_EQ(Scalar("select vle_value from vle where vle_key='BonID'"), "9");
    EXPECT_EQ(Scalar("select count(*) from sales where dtm_zet='2027-03-01 21:15:00'"), "5");
    EXPECT_EQ(Scalar("select count(*) from payments where dtm_zet='2027-03-01 21:15:00'"), "2");
    EXPECT_EQ(Scalar("select count(*) from sales where dtm_zet='2026-12-31 21:00:00'"), "4");
    EXPECT_EQ(Scalar("select count(*) from payments where dtm_zet is null"), "1");
}

TEST_F(ZetsTest, ClosingADayWithoutReceiptsStoresZeroesAndKeepsBonId)
{
    commonLink->StoreLastBonId(41);
    zets->CloseDayInDatabase("2027-03-02 20:00:00", Answer({{1, "500"}, {5, "250"}}));
    TSqlQuery q(*connection);
    q.SetSQL("select * from zets");
    q.Open();
    ASSERT_FALSE(q.Eof());
    EXPECT_EQ(q.AsString("zet_id"), "000001") << "a missing open day is created, then closed";
    for (const char* column : {"end_bon_id", "br_bonova", "br_stavki"}) {
        EXPECT_FALSE(q.IsNull(column)) << column;
        EXPECT_EQ(q.AsInteger(column), 0) << column;
    }
    for (const char* column : {"db_kusur", "db_pay1", "db_pay2", "db_pay3", "db_pay4", "db_pay5"}) {
        EXPECT_FALSE(q.IsNull(column)) << column;
        EXPECT_EQ(q.AsMoney(column), Money{}) << column;
    }
    EXPECT_EQ(q.AsMoney("fp_iznos"), Money::Parse("5"));
    EXPECT_EQ(q.AsMoney("fp_vat3"), Money::Parse("2.5"));
    q.Close();
    EXPECT_EQ(Scalar("select vle_value from vle where vle_key='BonID'"), "41");
}

TEST_F(ZetsTest, ClosingTwiceClosesAnEmptyDayAndOpensAThird)
{
    for (const char* stamp : {"2027-03-02 20:00:00", "2027-03-02 20:01:00"}) {
        zets->CloseDayInDatabase(stamp, Answer({}));
        zets->CurrentDayId();
    }
    EXPECT_EQ(Scalar("select dtm_tran from zets where zet_id='000001'"), "2027-03-02 20:00:00");
    EXPECT_EQ(Scalar("select dtm_tran from zets where zet_id='000002'"), "2027-03-02 20:01:00");
    EXPECT_EQ(Scalar("select zet_id from zets where dtm_tran is null"), "000003");
    EXPECT_EQ(Scalar("select count(*) from vle where vle_key='BonID'"), "0");
}

TEST_F(ZetsTest, MalformedPrinterTotalRaisesAndLeavesTheDayOpen)
{
    const std::string day = zets->CurrentDayId();
    EXPECT_THROW(zets->CloseDayInDatabase("2027-03-02 20:00:00", Answer({{1, "12x"}})), LinkError);
    EXPECT_EQ(Scalar("select zet_id from zets where dtm_tran is null"), day);
}

}  // namespace
}  // namespace velbrin::test
