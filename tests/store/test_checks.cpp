// Start-up checks, the article table in step, cash movements and the article
// deletion, against a real database and the simulated printer.
#include "CommonLinkRig.h"
#include "DbTestSupport.h"

#include "app/P00_marker.h"
#include "app/P00_util.h"
#include "app/P00_starttext.h"
#include "store/P31_articledoubt.h"
#include "store/P31_issuednumbers.h"

#include <chrono>
#include <ctime>
#include <functional>

namespace velbrin::test {
namespace {

class ChecksTest : public DbTest {
protected:
    ChecksTest() : rig(*connection, dir.Path(), CommonLinkRig::Printer::Simulator), link(*rig.commonLink) {}

    int PrinterArticles() { return rig.fp->CountArticles(); }
    bool JournalHas(const std::string& text)
    {
        for (const std::string& line : rig.sim->Journal())
            if (line.find(text) != std::string::npos) return true;
        return false;
    }

    CommonLinkRig rig;
    TFormCommonLink& link;
};

// ---------------------------------------------------------------------------
// Database version and readability

TEST_F(ChecksTest, DatabaseVersionOtherThan300EndsTheStartWithMessage5)
{
    struct Case {
        const char* sql;  // what becomes of 'DB_Version'
        bool accepted;
    };
    const Case cases[] = {
        {"update vle set vle_value='300' where vle_key='DB_Version'", true},
        {"update vle set vle_value='299' where vle_key='DB_Version'", false},
        {"update vle set vle_value='3OO' where vle_key='DB_Version'", false},
        {"update vle set vle_value=null where vle_key='DB_Version'", false},
        {"delete from vle where vle_key='DB_Version'", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sql);
        Exec("delete from vle");
        Exec("insert into vle(vle_key,vle_value) values('DB_Version','300')");
        Exec(c.sql);
        DeleteFileReport(rig.ini->VersionIniPath());
        rig.app = FakeAppServices();
        if (c.accepted) {
            EXPECT_NO_THROW(link.CheckDbVersion());
            const std::string version = ReadWholeFile(rig.ini->VersionIniPath());
            EXPECT_NE(version.find("LINK_PRG = 7.4.44"), std::string::npos) << version;
            EXPECT_NE(version.find("LINK_FDB = 300"), std::string::npos) << version;
            EXPECT_TRUE(rig.app.numbered.empty());
            EXPECT_FALSE(rig.app.terminated);
        } else {
            try {
                link.CheckDbVersion();
                ADD_FAILURE() << "accepted";
            } catch (const LinkError& e) {
                EXPECT_EQ(e.Text(), "");
            }
            EXPECT_EQ(rig.app.numbered, std::vector<int>{5});
            EXPECT_TRUE(rig.app.terminated);
            EXPECT_FALSE(FileExists(rig.ini->VersionIniPath()));
        }
    }
}

TEST_F(ChecksTest, ReadableDatabasePasses) { EXPECT_NO_THROW(link.CheckDatabase()); }

TEST_F(ChecksTest, UnreadableDatabaseRaises)
{
    Exec("drop table curr_abc");
    EXPECT_THROW(link.CheckDatabase(), LinkError);
}

// ---------------------------------------------------------------------------
// Fiscalised marker

TEST_F(ChecksTest, FiscalMarkerFollowsThePrinterState)
{
    struct Step {
        const char* control;
        bool warn;
        bool held;
        std::vector<int> shown;
    };
    const Step steps[] = {
        {"fiscal on", true, true, {}},
        {"fiscal on", false, true, {}},
        {"fiscal off", false, false, {}},
        {"fiscal on", false, true, {}},
        {"fiscal off", true, false, {6}},
        {"fiscal off", true, false, {6}},
        {"fiscal on", true, true, {}},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(std::string(s.control) + (s.warn ? " warn" : ""));
        rig.SimControl(s.control);
        rig.app.numbered.clear();
        link.CheckFiscalised(s.warn);
        EXPECT_EQ(link.FiscalMarkerHeld(), s.held);
        // What another program on the workstation sees.
        EXPECT_EQ(TNamedMarker::IsHeld(TFormCommonLink::kFiscalMarker), s.held);
        EXPECT_EQ(FileExists(TNamedMarker::PathOf(TFormCommonLink::kFiscalMarker)), s.held);
        EXPECT_EQ(rig.app.numbered, s.shown);
    }
}

// ---------------------------------------------------------------------------
// Article table in step

TEST_F(ChecksTest, ArticleCountsThatAgreeNeedNoRepair)
{
    rig.InsertArts(*connection, 2, 12);
    rig.ProgramPrinterArticles(1, 13);  // PLU 1 is never assigned by the link and counts extra
    EXPECT_EQ(link.CountExpectedArticles(), 13);
    link.SyncArticles();
    EXPECT_TRUE(rig.app.texts.empty());
    EXPECT_EQ(PrinterArticles(), 13);
    EXPECT_EQ(Scalar("select count(*) from arts"), "12");
}

TEST_F(ChecksTest, EmptyPrinterEmptiesArtsSilently)
{
    rig.InsertArts(*connection, 2, 12);
    link.SyncArticles();
    EXPECT_TRUE(rig.app.texts.empty());
    EXPECT_TRUE(rig.app.numbered.empty());
    EXPECT_EQ(Scalar("select count(*) from arts"), "0");
}

TEST_F(ChecksTest, ArticlesOutOfStepAreRepairedByClosingTheDayAndDeletingAll)
{
    rig.InsertArts(*connection, 2, 12);
    rig.ProgramPrinterArticles(2, 12);
    rig.ProgramPrinterArticles(30, 3);  // programmed by someone else
    rig.SellOnPrinter(2);  // the printer's day is open: only the closing lets the deletion go on
    link.SyncArticles();
    ASSERT_EQ(rig.app.texts.size(), 2u);
    EXPECT_EQ(rig.app.texts[0],
              "Narusena sinhronizacija podataka!\n\nArtikala u stampacu: 15\nArtikala u bazi: 12\n\nProgram ce zatvoriti dan i "
              "sinhronizovati podatke!\n\nSacekajte poruku o uspesnoj ili neuspesnoj sinhronizaciji!");
    EXPECT_EQ(rig.app.texts[1], "Sinhronizacija podataka uspesno zavrsena!\n\nMozete nastaviti sa radom!");
    EXPECT_TRUE(JournalHas("Z "));
    EXPECT_EQ(Scalar("select count(*) from zets where dtm_tran is not null"), "1");
    EXPECT_EQ(PrinterArticles(), 0);
    EXPECT_EQ(Scalar("select count(*) from arts"), "0");
}

// A stop between an article command and its row in arts leaves that article in
// doubt: the start settles it from the record and the printer, never with a Z.
TEST_F(ChecksTest, ArticleCommandCutOffBeforeItsRowIsSettledAloneWithoutAZReport)
{
    struct Case {
        const char* name;
        char op;
        int plu;
        const char* price;
        const char* sent;  // what reached the printer ("" nothing)
        const char* arts;  // arts afterwards: count, then the row's price ("-" gone)
    };
    const Case cases[] = {
        // a define is known by its number, the next after arts's highest: it goes again
        {"define taken", '-', 13, "5.00", "PA13,5.00,0.000,Novi", "11 -"},
        {"define never sent", '-', 13, "5.00", "", "11 -"},
        {"delete taken", 'D', 12, "1.00", "D12", "10 -"},
        {"price taken", 'C', 12, "7.50", "C12,7.50", "11 7.5000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Exec("delete from arts");
        rig.SimControl("factory");
        rig.InsertArts(*connection, 2, 11);
        rig.ProgramPrinterArticles(2, 11);
        rig.SellOnPrinter(2);  // a day with figures: a repair would print a Z report
        TArticleCommand command;
        command.op = c.op;
        command.plu = c.plu;
        command.artId = "ART" + std::to_string(c.plu);
        command.taxId = "0";
        command.name = "Novi";
        command.price = Money::Parse(c.price);
        TArticleInDoubt(*connection, *rig.fp, *rig.ini, link.LinkLog).Record(command);
        if (*c.sent) rig.fp->ProgramArticle(c.sent);
        rig.app.texts.clear();
        link.SyncArticles();
        EXPECT_TRUE(rig.app.texts.empty());
        EXPECT_FALSE(JournalHas("Z "));
        EXPECT_EQ(Scalar("select count(*) from arts") + " " +
                      Scalar("select coalesce(max(cena), '-') from arts where plu_id = '" + std::to_string(c.plu) + "'"),
                  c.arts);
        EXPECT_EQ(PrinterArticles(), link.CountExpectedArticles());
    }
}

// A difference nothing explains: a stop while the message waits changes nothing,
// a stop in the middle leaves the repair to the next start, which finishes it
// without a second Z report; a printer day without figures needs none at all.
TEST_F(ChecksTest, ArticleRepairPrintsOneZReportOnlyForADayWithFiguresAndResumesWhereItStopped)
{
    auto zReports = [&] {
        int n = 0;
        for (const std::string& line : rig.sim->Journal()) n += line.rfind("Z ", 0) == 0;
        return n;
    };
    rig.InsertArts(*connection, 2, 12);
    rig.ProgramPrinterArticles(2, 12);
    rig.ProgramPrinterArticles(30, 3);  // programmed by someone else
    rig.SellOnPrinter(2);
    rig.app.onShowText = [&] { rig.app.terminated = true; };
    link.SyncArticles();
    EXPECT_EQ(rig.app.texts.size(), 1u);
    EXPECT_EQ(zReports(), 0);
    EXPECT_EQ(PrinterArticles(), 15);
    EXPECT_EQ(Scalar("select count(*) from arts"), "12");

    rig.app.terminated = false;
    rig.app.onShowText = nullptr;
    rig.app.onProgress = [&](const FakeAppServices::ProgressCall& p) {
        if (p.what == TLinkText::ProgressArticleDelete && p.done == 4) rig.app.terminated = true;
    };
    link.SyncArticles();
    EXPECT_EQ(zReports(), 1);
    EXPECT_GT(PrinterArticles(), 0);
    EXPECT_EQ(rig.app.texts.size(), 2u) << "the stopped repair is no failure for the operator";

    rig.app.terminated = false;
    rig.app.onProgress = nullptr;
    link.SyncArticles();
    EXPECT_EQ(zReports(), 1);
    EXPECT_EQ(PrinterArticles(), 0);
    EXPECT_EQ(Scalar("select count(*) from arts"), "0");
    EXPECT_EQ(Scalar("select count(*) from zets where dtm_tran is not null"), "1");
    EXPECT_EQ(rig.app.texts.back(), "Sinhronizacija podataka uspesno zavrsena!\n\nMozete nastaviti sa radom!");

    rig.ProgramPrinterArticles(2, 3);  // the day closed above has no figures
    link.SyncArticles();
    EXPECT_EQ(zReports(), 1);
    EXPECT_EQ(PrinterArticles(), 0);
}

TEST_F(ChecksTest, RepairThatCannotCloseTheDayRaisesAndKeepsTheArticles)
{
    rig.InsertArts(*connection, 2, 12);
    rig.ProgramPrinterArticles(2, 12);
    rig.ProgramPrinterArticles(30, 3);  // programmed by someone else
    rig.fp->OpenReceipt();  // an open fiscal receipt: the printer refuses the Z report
    EXPECT_THROW(link.SyncArticles(), LinkError);
    EXPECT_EQ(rig.app.texts.size(), 1u) << "the warning, but no success text";
    EXPECT_EQ(Scalar("select count(*) from arts"), "12");
    EXPECT_EQ(Scalar("select count(*) from zets where dtm_tran is not null"), "0");
}

// A database put back from an older copy would give receipt and day numbers a
// second time: the start names it and ends; one that is whole keeps the record up.
TEST_F(ChecksTest, DatabaseOlderThanTheNumbersGivenEndsTheStartByName)
{
    link.SetLogPath(dir.File("LINK_log.txt"));
    TIssuedNumbers issued(*rig.ini);
    EXPECT_TRUE(link.CheckDatabaseAge()) << "no record yet: the database is taken as it is";
    EXPECT_TRUE(issued.Recorded().known);
    Exec("insert into zets(zet_id, trm_id) values('000012', '1')");
    Exec("insert into payments(zet_id, bon_id, iznos) values('000012', 120, 1)");
    EXPECT_TRUE(link.CheckDatabaseAge());
    EXPECT_EQ(issued.Recorded().bon, 120);
    EXPECT_EQ(issued.Recorded().day, 12);
    issued.Raise(145, 14);  // what the lost newer database had given
    EXPECT_FALSE(link.CheckDatabaseAge());
    EXPECT_TRUE(rig.app.terminated);
    ASSERT_EQ(rig.app.texts.size(), 1u);
    EXPECT_EQ(rig.app.texts[0], FillMsg(rig.messages.GetMsg(kMsgDatabaseOlder),
                                        {rig.ini->DbPath(), "120", "000012", "145", "000014", issued.Path()}));
    EXPECT_NE(ReadWholeFile(dir.File("LINK_log.txt")).find("is older than the numbers the link has given"),
              std::string::npos);
}

// ---------------------------------------------------------------------------
// Clock difference

TEST_F(ChecksTest, ClockDifferenceAboveTimeAlertWarns)
{
    rig.ini->WriteString("Osnovno", "TimeAlert", "30");
    // The printer's clock has whole seconds: the computer's is read the same way,
    // and a reading that straddles a second is taken again.
    const auto wholeSecond = [] {
        const std::time_t t = std::time(nullptr);
        std::tm tm{};
        localtime_r(&t, &tm);
        DateTime d;
        DateTime::TryMake(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, 0, d);
        return d;
    };
    link.SetClock(wholeSecond);
    struct Case {
        int printerOffset;  // seconds the printer is ahead of the computer
        bool warns;
    };
    const Case cases[] = {
        {-31 * 60, true}, {-(30 * 60 + 59), false}, {31 * 60, true}, {30 * 60 + 59, false}, {0, false},
        {-24 * 3600, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.printerOffset);
        rig.SimControl("clock " + std::to_string(c.printerOffset));
        bool sameSecond = false;
        for (int attempt = 0; attempt < 5 && !sameSecond; ++attempt) {
            rig.app.numbered.clear();
            const std::time_t before = std::time(nullptr);
            link.CheckTimeDifference();
            sameSecond = std::time(nullptr) == before;
        }
        ASSERT_TRUE(sameSecond);
        EXPECT_EQ(rig.app.numbered, c.warns ? std::vector<int>{4} : std::vector<int>{});
    }
}

// ---------------------------------------------------------------------------
// Cash

TEST_F(ChecksTest, CashMovementsGoToThePrinterThenIntoCash)
{
    rig.ini->WriteString("Osnovno", "TerminalNo", "0'9");
    link.CashMovement(Money::Parse("100.00"));
    link.CashMovement(Money::Parse("-12.50"));
    TSqlQuery q(*connection);
    q.SetSQL("select * from cash order by cash_in desc");
    q.Open();
    struct Row {
        const char* in;
        const char* out;
    };
    for (const Row& row : {Row{"100", "0"}, Row{"0", "12.5"}}) {
        ASSERT_FALSE(q.Eof());
        EXPECT_EQ(q.AsMoney("cash_in"), Money::Parse(row.in));
        EXPECT_EQ(q.AsMoney("cash_out"), Money::Parse(row.out));
        EXPECT_EQ(q.AsString("usr_id"), "XXXX");
        EXPECT_EQ(q.AsString("trm_id"), "0'9");
        EXPECT_EQ(q.AsString("zet_id"), "000001");
        EXPECT_EQ(q.AsString("dtm_tran").size(), 23u);
        q.Next();
    }
    EXPECT_TRUE(q.Eof());
    q.Close();
    EXPECT_EQ(JournalHas("CASH 100.00"), true);
    EXPECT_EQ(JournalHas("CASH -12.50"), true);
}

TEST_F(ChecksTest, CashRefusedByThePrinterLeavesNoRow)
{
    rig.fp->OpenNonFiscal();
    EXPECT_THROW(link.CashMovement(Money::Parse("5")), LinkError);
    EXPECT_EQ(Scalar("select count(*) from cash"), "0");
}

// ---------------------------------------------------------------------------
// Deleting every article

TEST_F(ChecksTest, DeletingArticlesWithTheDayOpenRefusesAndDeletesNothing)
{
    for (const char* language : {"SRB", "ENG"}) {
        SCOPED_TRACE(language);
        rig.messages.SetLanguage(language);
        rig.InsertArts(*connection, 2, 3);
        rig.ProgramPrinterArticles(2, 3);
        rig.SellOnPrinter(2);
        // Action 140: printer first, the database only when the printer is done.
        try {
            link.DeleteAllArticlesInPrinter();
            link.DeleteAllArticlesInDb();
            ADD_FAILURE() << "deleted with the day open";
        } catch (const LinkError& e) {
            EXPECT_EQ(e.Text(), rig.messages.GetMsg(50));
        }
        EXPECT_EQ(PrinterArticles(), 3);
        EXPECT_EQ(Scalar("select count(*) from arts"), "3");
        rig.SimControl("factory");
        Exec("delete from arts");
    }
}

TEST_F(ChecksTest, DeletingArticlesRemovesThoseOfArtsAndThoseOnlyThePrinterKnows)
{
    struct Case {
        int arts;           // PLUs 2.. in arts and in the printer
        int printerOnly;    // PLUs 500.. only in the printer
    };
    for (const Case& c : {Case{0, 0}, Case{4, 0}, Case{0, 7}, Case{3, 5}}) {
        SCOPED_TRACE(std::to_string(c.arts) + "+" + std::to_string(c.printerOnly));
        rig.InsertArts(*connection, 2, c.arts);
        rig.ProgramPrinterArticles(2, c.arts);
        rig.ProgramPrinterArticles(500, c.printerOnly);
        link.DeleteAllArticlesInPrinter();
        EXPECT_EQ(PrinterArticles(), 0);
        link.DeleteAllArticlesInDb();
        EXPECT_EQ(Scalar("select count(*) from arts"), "0");
    }
}

// The walk goes on until the printer answers "F"; what stands in field 0 of a
// found article is the printer's business.
TEST_F(ChecksTest, ArticleWalkEndsOnlyOnNoFurtherArticle)
{
    for (const char* mark : {"P", "A", "1"}) {
        SCOPED_TRACE(mark);
        rig.SimControl(std::string("artmark ") + mark);
        rig.ProgramPrinterArticles(500, 6);
        link.DeleteAllArticlesInPrinter();
        EXPECT_EQ(PrinterArticles(), 0);
    }
    rig.SimControl("reset");
}

TEST_F(ChecksTest, PrinterThatStopsAnsweringMidWalkEndsWithMessage52)
{
    rig.ProgramPrinterArticles(500, 10);
    // count, state, count, first, delete, next: the second delete meets a dead line
    rig.SimControl("cut 6");
    const auto started = std::chrono::steady_clock::now();
    try {
        link.DeleteAllArticlesInPrinter();
        ADD_FAILURE() << "reported success";
    } catch (const LinkError& e) {
        EXPECT_EQ(e.Text(), rig.messages.GetMsg(52));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
    EXPECT_TRUE(rig.app.terminated);
    rig.SimControl("cut off");
    EXPECT_EQ(PrinterArticles(), 9);
}

}  // namespace
}  // namespace velbrin::test
