// Article files and unreadable request packets through the exchange cycle,
// against the printer simulator and a real database.
#include <algorithm>

#include "RequestFilesRig.h"
#include "app/P00_durable.h"
#include "exchange/P30_requestjournal.h"
#include "app/P00_util.h"
#include "store/P31_articledoubt.h"

using namespace velbrin;
using namespace velbrin::test;

namespace {

class ArticleFileTest : public RequestFilesTest {
protected:
    // An article row: code, name, price, quantity, tax group 1.
    static AbcRow Art(const std::string& id, const std::string& name, const std::string& cena,
                      const std::string& kolicina = "0") {
        return {id, "1", name, cena, kolicina};
    }
    void DropArticles(const std::string& name, const std::vector<AbcRow>& rows) {
        Drop(name, AbcPacket(rows));
    }
    long long Plu(const std::string& art) {
        return rig->ScalarInt("select plu_id from arts where art_id='" + art + "'");
    }
    // The simulator's article of a PLU: "price quantity name", or "<none>".
    std::string PrinterArticle(long long plu) {
        const sim::SimState st = rig->sim->State();
        const auto it = st.articles.find(static_cast<int>(plu));
        if (it == st.articles.end()) return "<none>";
        return sim::FormatFixed(it->second.price, 2) + " " +
               sim::FormatFixed(it->second.quantity, 3) + " " + it->second.name;
    }
    // A receipt that leaves the printer's day open.
    void SellSomething() {
        DropReceipt("ABC_9.zvx", {Line("SOLD", "1.00"), EndRow()});
        work->PollExchange();
        ASSERT_EQ(Answer("ABC_9.ok"), "1.00\r\n");
        ASSERT_FALSE(rig->fp->IsReceiptClosed());
    }
};

TEST_F(ArticleFileTest, StockRowBegunBeforeAStopIsNeverAddedTwice) {
    Start();
    DropArticles("ART-N1.zvx", {Art("B", "Mleko", "80.00", "5"), Art("A", "Hleb", "50.00")});
    work->PollExchange();
    const long long b = Plu("B");
    // A run stopped in the first row of a stock file, the stock before its
    // command written down; the printer's stock now tells whether it took it.
    struct Case {
        const char* file;
        const char* before;  // written down
        bool taken;          // the printer took the row's 2.5 before the stop
        const char* stock;   // afterwards, with the second row's 1
        const char* answer;
    };
    const Case cases[] = {
        {"ART-K1.zvx", "5", true, "80.00 8.500 Mleko", "ART-K1.ok"},
        {"ART-K2.zvx", "8.5", false, "80.00 12.000 Mleko", "ART-K2.ok"},
        // matching neither: left for the operator to check, never sent on a guess
        {"ART-K3.zvx", "1", false, "80.00 13.000 Mleko", "ART-K3.err"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        DropArticles(c.file, {Art("B", "Mleko", "0", "2.5"), Art("B", "Mleko", "0", "1")});
        const std::string id = FileIdentityOf(ToFp(c.file));
        TRequestJournal journal(JoinPath(rig->ini->OtherDir(), "Requests.journal"));
        journal.Load();
        journal.MarkRowBegun(id, 0, "-");
        TArticleCommand stock;
        stock.op = 'A';
        stock.plu = b;
        stock.artId = "B";
        stock.quantity = Money::Parse("2.5");
        stock.stockBefore = Money::Parse(c.before);
        stock.owner = id + " 0";
        TArticleInDoubt(*rig->store).Record(stock);
        if (c.taken) rig->fp->ProgramArticle("A" + std::to_string(b) + ",2.500");
        Restart();
        // A receipt that changes a price goes before the article file: its
        // article command must not take the stock row's record with it.
        const std::string price = std::to_string(51 + (&c - cases)) + ".00";
        DropReceipt(std::string("ABC_") + c.file, {Line("A", price), EndRow()});
        work->PollExchange();
        EXPECT_TRUE(FileExists(FromFp(std::string("ABC_") + ChangeFileExt(c.file, ".ok"))));
        EXPECT_EQ(PrinterArticle(b), c.stock);
        EXPECT_TRUE(FileExists(FromFp(c.answer)));
    }
}

TEST_F(ArticleFileTest, DeleteRowCarriedOutBeforeAStopIsFinishedInTheDatabase) {
    Start();
    DropArticles("ART-N1.zvx", {Art("B", "Mleko", "80.00", "5")});
    work->PollExchange();
    const long long b = Plu("B");
    DropArticles("ART-D1.zvx", {Art("B", "Mleko", "0")});
    TRequestJournal journal(JoinPath(rig->ini->OtherDir(), "Requests.journal"));
    journal.Load();
    journal.MarkRowBegun(FileIdentityOf(ToFp("ART-D1.zvx")), 0, "-");
    TArticleCommand del;
    del.op = 'D';
    del.plu = b;
    del.artId = "B";
    del.owner = FileIdentityOf(ToFp("ART-D1.zvx")) + " 0";
    TArticleInDoubt(*rig->store).Record(del);
    rig->fp->ProgramArticle("D" + std::to_string(b));  // the printer's half, before the stop
    Restart();
    work->PollExchange();
    EXPECT_EQ(PrinterArticle(b), "<none>");
    EXPECT_EQ(rig->ScalarInt("select count(*) from arts where art_id='B'"), 0);
    EXPECT_EQ(Answer("ART-D1.ok"), "\r\n");
}

TEST_F(ArticleFileTest, EachOperationOnKnownAndUnknownArticles) {
    Start();
    DropArticles("ART-N1.zvx", {Art("A", "Hleb", "50.00"), Art("B", "Mleko", "80.00", "5")});
    work->PollExchange();
    ASSERT_EQ(Answer("ART-N1.ok"), "\r\n");
    const long long a = Plu("A"), b = Plu("B");
    ASSERT_GT(a, 1);
    ASSERT_GT(b, a);
    EXPECT_EQ(PrinterArticle(a), "50.00 0.000 Hleb");
    EXPECT_EQ(PrinterArticle(b), "80.00 5.000 Mleko");

    struct Case {
        std::string file;
        std::vector<AbcRow> rows;
        std::string printerA, printerB;  // the articles under their first PLUs afterwards
        long long artsRows;
    };
    const std::vector<Case> cases = {
        // A known article in ART-N changes nothing; an unknown one is added.
        {"ART-N2.zvx",
         {Art("A", "Drugi hleb", "99.00"), Art("C", "Jaja", "12.00")},
         "50.00 0.000 Hleb",
         "80.00 5.000 Mleko",
         3},
        // ART-K adds to the quantity of known articles; an unknown one is passed over.
        {"ART-K1.zvx",
         {Art("B", "Mleko", "0", "2.5"), Art("Z", "Nepoznat", "1.00", "3")},
         "50.00 0.000 Hleb",
         "80.00 7.500 Mleko",
         3},
        // Any other operation reads the rows and changes nothing.
        {"ART-X1.zvx",
         {Art("A", "Treci", "1.00"), Art("Q", "Novi", "2.00")},
         "50.00 0.000 Hleb",
         "80.00 7.500 Mleko",
         3},
        // ART-D deletes known articles (the day is closed: nothing was sold).
        {"art-d1.zvx",
         {Art("B", "Mleko", "0"), Art("Z", "Nepoznat", "0")},
         "50.00 0.000 Hleb",
         "<none>",
         2},
    };
    for (const Case& c : cases) {
        DropArticles(c.file, c.rows);
        work->PollExchange();
        EXPECT_EQ(Answer(ChangeFileExt(c.file, ".ok")), "\r\n") << c.file;
        EXPECT_FALSE(FileExists(ToFp(c.file))) << c.file;
        EXPECT_EQ(PrinterArticle(a), c.printerA) << c.file;
        EXPECT_EQ(PrinterArticle(b), c.printerB) << c.file;
        EXPECT_EQ(rig->ScalarInt("select count(*) from arts"), c.artsRows) << c.file;
    }
    EXPECT_EQ(Plu("A"), a);
    EXPECT_EQ(Plu("B"), 0);
    EXPECT_EQ(rig->LinkLogLines(), std::vector<std::string>{});
}

// Applied in the cycle that closed the day: a receipt taken before the next
// cycle would open the day again, and the replacement would close it once more.
TEST_F(ArticleFileTest, ReplaceClosesAnOpenDayAndIsAppliedAtOnceBeforeAReceiptOpensItAgain) {
    Start();
    DropArticles("ART-N1.zvx", {Art("A", "Hleb", "50.00")});
    work->PollExchange();
    const long long old = Plu("A");
    SellSomething();

    DropArticles("ART-R1.zvx", {Art("A", "Hleb novi", "55.00"), Art("N", "Novi", "3.00")});
    work->PollExchange();
    EXPECT_EQ(rig->JournalCount("Z "), 1);
    EXPECT_EQ(rig->ScalarInt("select count(*) from zets where dtm_tran is not null"), 1);
    EXPECT_EQ(Answer("ART-R1.ok"), "\r\n");
    EXPECT_FALSE(FileExists(ToFp("ART-R1.zvx")));
    EXPECT_EQ(PrinterArticle(old), "<none>");
    EXPECT_GT(Plu("A"), old) << "programmed anew under a new PLU";
    EXPECT_EQ(PrinterArticle(Plu("A")), "55.00 0.000 Hleb novi");
    EXPECT_EQ(PrinterArticle(Plu("N")), "3.00 0.000 Novi");

    SellSomething();
    work->PollExchange();
    EXPECT_EQ(rig->JournalCount("Z "), 1);
}

// A start after the replacement's Z report (the link stopped before it applied
// the file) finds a receipt waiting too: the replacement goes first, while the
// day is closed, and no second Z report is printed.
TEST_F(ArticleFileTest, ReplacementWaitingOnAClosedDayGoesBeforeTheReceipts) {
    Start();
    DropArticles("ART-N1.zvx", {Art("A", "Hleb", "50.00")});
    work->PollExchange();
    SellSomething();
    rig->zets->CloseDay();
    DropArticles("ART-R1.zvx", {Art("A", "Hleb novi", "55.00")});
    DropReceipt("ABC_1.zvx", {Line("A", "55.00"), EndRow()});
    work->PollExchange();
    EXPECT_EQ(rig->JournalCount("Z "), 1);
    EXPECT_EQ(Answer("ART-R1.ok"), "\r\n");
    EXPECT_EQ(Answer("ABC_1.ok"), "55.00\r\n");
}

TEST_F(ArticleFileTest, DeleteWaitsCycleAfterCycleUntilTheDayIsClosed) {
    Start();
    DropArticles("ART-N1.zvx", {Art("A", "Hleb", "50.00")});
    work->PollExchange();
    const long long plu = Plu("A");
    SellSomething();

    DropArticles("ART-D1.zvx", {Art("A", "Hleb", "0")});
    for (int cycle = 0; cycle < 3; ++cycle) {
        work->PollExchange();
        EXPECT_TRUE(FileExists(ToFp("ART-D1.zvx"))) << cycle;
        EXPECT_EQ(Answer("ART-D1.ok"), "<none>") << cycle;
        EXPECT_EQ(PrinterArticle(plu), "50.00 0.000 Hleb") << cycle;
    }
    EXPECT_EQ(rig->JournalCount("Z "), 0) << "a deletion never closes the day itself";

    // A day closing by command file goes first in the same cycle.
    Drop("CMD_1.zvx", CommandPacket({{"90", ""}}));
    work->PollExchange();
    EXPECT_EQ(Answer("CMD_1.ok"), "\r\n");
    EXPECT_EQ(Answer("ART-D1.ok"), "\r\n");
    EXPECT_EQ(PrinterArticle(plu), "<none>");
    EXPECT_EQ(Plu("A"), 0);
}

TEST_F(ArticleFileTest, FailingArticleIsLoggedAndTheOthersApplied) {
    Start();
    std::vector<AbcRow> rows;
    for (int i = 1; i <= 10; ++i)
        rows.push_back(
            Art("A" + std::to_string(i), "Artikal " + std::to_string(i), i == 4 ? "-1" : "2.00"));
    DropArticles("ART-N10.zvx", rows);
    work->PollExchange();

    EXPECT_EQ(Answer("ART-N10.err"), "Artikli koji nisu prosli se nalaze u log-u!\r\n");
    EXPECT_FALSE(FileExists(ToFp("ART-N10.zvx")));
    EXPECT_EQ(rig->ScalarInt("select count(*) from arts"), 9);
    EXPECT_EQ(Plu("A4"), 0);
    EXPECT_GT(Plu("A10"), 0);
    EXPECT_EQ(rig->sim->State().articles.size(), 9u);
    std::vector<std::string> errors;
    for (const std::string& line : rig->LinkLogLines())
        if (line.find(" Error: ") != std::string::npos) errors.push_back(line);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find(" ART-N10.zvx Error: A4 , Artikal 4 : Artikal: A4"), std::string::npos)
        << errors[0];

    // An article the printer cannot take fails when it is built: the log names only the file.
    DropArticles("ART-N11.zvx",
                 {{"B1", "9", "Los porez", "1.00", "0"}, Art("B2", "Dobar", "1.00")});
    work->PollExchange();
    EXPECT_EQ(Answer("ART-N11.err"), "Artikli koji nisu prosli se nalaze u log-u!\r\n");
    EXPECT_GT(Plu("B2"), 0);
    errors.clear();
    for (const std::string& line : rig->LinkLogLines())
        if (line.find(" Error: ") != std::string::npos) errors.push_back(line);
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_NE(errors[1].find(" ART-N11.zvx Error: "), std::string::npos) << errors[1];
    EXPECT_EQ(errors[1].find("B1 ,"), std::string::npos) << errors[1];
}

TEST_F(ArticleFileTest, LostPrinterLineKeepsTheFileForTheNextStart) {
    Start();
    SilenceAfter(0);
    DropArticles("ART-N1.zvx", {Art("A", "Hleb", "50.00"), Art("B", "Mleko", "80.00")});
    work->PollExchange();
    EXPECT_TRUE(rig->app.Terminated());
    EXPECT_EQ(Answer("Comm.err").rfind("Artikal: A\r\n", 0), 0u) << Answer("Comm.err");
    EXPECT_EQ(Answers(), std::vector<std::string>{"Comm.err"});
    EXPECT_TRUE(FileExists(ToFp("ART-N1.zvx")));
    EXPECT_EQ(rig->LinkLogLines(), std::vector<std::string>{});
}

TEST_F(ArticleFileTest, FailingDayClosingOfAReplacement) {
    Start();
    // A fiscal receipt left open: the printer refuses the Z report.
    rig->PrinterCommand(107, "PB1,1.00,0.000,X");
    rig->PrinterCommand(48, "1,4826,1");
    rig->PrinterCommand(52, "1#1.00");
    DropArticles("ART-R1.zvx", {Art("A", "Hleb", "50.00")});
    work->PollExchange();
    const std::string answer = Answer("ART-R1.err");
    EXPECT_EQ(answer.rfind("Komanda 69 - Zatvaranje dana neuspesno\n", 0), 0u) << answer;
    EXPECT_FALSE(FileExists(ToFp("ART-R1.zvx"))) << "answered, not retried every cycle";
    EXPECT_EQ(rig->ScalarInt("select count(*) from arts"), 0);

    // A lost line: the next start may still close the day, so the file waits.
    SilenceAfter(0);
    DropArticles("ART-R2.zvx", {Art("A", "Hleb", "50.00")});
    work->PollExchange();
    EXPECT_TRUE(rig->app.Terminated());
    EXPECT_NE(Answer("Comm.err"), "<none>");
    EXPECT_EQ(Answer("ART-R2.err"), "<none>");
    EXPECT_TRUE(FileExists(ToFp("ART-R2.zvx")));
}

// The printer printed its Z report, then the export of the closed day failed:
// the file stays and the next cycle, with the day closed, applies it.
TEST_F(ArticleFileTest, ReplacementWaitsWhenTheClosingFailsAfterTheZReport) {
    Start();
    DropArticles("ART-N1.zvx", {Art("A", "Hleb", "50.00")});
    work->PollExchange();
    SellSomething();
    rig->ini->WriteString("Praxolt", "SaljiAnalitikeUvek", "D");
    const std::string from = rig->ini->FromFpDir();
    ASSERT_EQ(::rename(from.c_str(), (from + ".away").c_str()), 0);
    WriteWholeFile(from, "not a folder");  // the export has nowhere to go

    DropArticles("ART-R1.zvx", {Art("A", "Hleb novi", "55.00")});
    EXPECT_NO_THROW(work->PollExchange());
    EXPECT_EQ(rig->JournalCount("Z "), 1);
    EXPECT_TRUE(FileExists(ToFp("ART-R1.zvx"))) << "kept for the next cycle";
    const std::vector<std::string> log = rig->LinkLogLines();
    ASSERT_FALSE(log.empty());
    EXPECT_NE(log.back().find("ART-R1.zvx waits: the day closing failed after the Z report"), std::string::npos)
        << log.back();

    ::unlink(from.c_str());
    ASSERT_EQ(::rename((from + ".away").c_str(), from.c_str()), 0);
    work->PollExchange();
    EXPECT_EQ(Answer("ART-R1.ok"), "\r\n");
    EXPECT_FALSE(FileExists(ToFp("ART-R1.zvx")));
    EXPECT_EQ(rig->JournalCount("Z "), 1);
    EXPECT_EQ(PrinterArticle(Plu("A")), "55.00 0.000 Hleb novi");
}

TEST_F(ArticleFileTest, UnreadablePacketsAreAnsweredAndRemovedWhileTheNextFileIsServed) {
    Start();
    const std::vector<std::string> broken = {"ABC_1.zvx", "ART-N1.zvx", "ART-R1.zvx", "CMD_1.zvx",
                                             "TXT_1.zvx"};
    for (const std::string& name : broken) Drop(name, "<DATAPACKET Version=\"2.0\"><METADATA>");
    DropReceipt("ABC_2.zvx", {Line("7", "4.00"), EndRow()});
    Drop("TXT_2.zvx", TextPacket({"posle"}));
    work->PollExchange();
    // The day was closed: the replacement went first, was found unreadable,
    // and closed no day.
    EXPECT_EQ(rig->JournalCount("Z "), 0);
    work->PollExchange();
    for (const std::string& name : broken) {
        const std::string answer = Answer(ChangeFileExt(name, ".err"));
        EXPECT_NE(answer, "<none>") << name;
        EXPECT_GT(answer.size(), 2u) << name << " names the load failure";
        EXPECT_FALSE(FileExists(ToFp(name))) << name;
    }
    EXPECT_EQ(Answer("ABC_2.ok"), "4.00\r\n");
    EXPECT_EQ(Answer("TXT_2.ok"), "\r\n");
    EXPECT_EQ(Names(rig->ini->ToFpDir()), std::vector<std::string>{});
}

}  // namespace
