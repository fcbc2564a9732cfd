// The exchange cycle on a whole installation: which files are taken, in which
// order, how foreign encodings are converted and how every request is answered.
#include "ExchangeRig.h"

#include "app/P00_util.h"
#include "exchange/P30_requestscan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace velbrin;
using namespace velbrin::test;

namespace {

// Two lines, 12.50 x 2 + 3.40: 28.40.
const std::vector<AbcRow> kSmall = {Line("1001", "12.50", "2"), Line("1002", "3.40"), EndRow()};

class LnkWorkTest : public ExchangeTest {};

TEST_F(LnkWorkTest, EveryEncodingIsPrintedAndAnsweredWithItsTotal) {
    Start();
    struct Case {
        std::string name;
        std::function<void(const std::string&)> write;
    };
    const std::vector<Case> cases = {
        {"ABC_1.zvx", [&](const std::string& p) { WriteWholeFile(p, AbcPacket(kSmall)); }},
        {"ABC_2.csv", [&](const std::string& p) { WriteWholeFile(p, AbcCsv(kSmall)); }},
        {"ABC_3.TXT", [&](const std::string& p) { WriteWholeFile(p, AbcTxt(kSmall)); }},
        {"ABC_4.dbf", [&](const std::string& p) { WriteAbcDbf(kSmall, p); }},
        {"ABC_5.xml", [&](const std::string& p) { WriteWholeFile(p, AbcPacket(kSmall)); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.write(ToFp(c.name));
        work->PollExchange();
        EXPECT_EQ(Answer(ChangeFileExt(c.name, ".ok")), "28.40\r\n");
        EXPECT_EQ(Names(rig->ini->ToFpDir()), std::vector<std::string>{}) << "request and packet are gone";
    }
    const JournalBooks books = ReadBooks(rig->Journal());
    EXPECT_EQ(books.closed, 5);
    EXPECT_EQ(books.sales, 10);
    EXPECT_EQ(rig->ScalarInt("select count(*) from curr_abc"), 0);
    ExpectBooksBalance();
}

TEST_F(LnkWorkTest, ReceiptsByNameWhileOtherNamesStayUntouched) {
    Start();
    // Each receipt has its own price, so the journal tells the order.
    const std::vector<std::pair<std::string, std::string>> receipts = {
        {"ABC_10.zvx", "3.00"}, {"ABC_0002.zvx", "1.00"}, {"ABC_2.zvx", "4.00"}, {"abc_0010.zvx", "2.00"}};
    for (const auto& [name, price] : receipts) DropReceipt(name, {Line("7", price), EndRow()});
    const std::vector<std::string> waiting = {"ART.zvx", "CMD0001.zvx", "README.TXT", "TXT-0001.zvx",
                                              "cmd.csv"};
    for (const std::string& name : waiting) Drop(name, "left alone " + name);

    work->PollExchange();

    std::vector<std::string> closes;
    for (const std::string& line : rig->Journal())
        if (line.rfind("CLOSE ", 0) == 0) closes.push_back(line.substr(line.find(' ', 6) + 1));
    EXPECT_EQ(closes, (std::vector<std::string>{"1.00 1.00", "2.00 2.00", "3.00 3.00", "4.00 4.00"}));
    EXPECT_EQ(Answer("abc_0010.ok"), "2.00\r\n");
    EXPECT_EQ(Names(rig->ini->ToFpDir()), waiting);
    for (const std::string& name : waiting) EXPECT_EQ(ReadWholeFile(ToFp(name)), "left alone " + name);
    ExpectBooksBalance();
}

TEST_F(LnkWorkTest, BusyFileHoldsTheReceiptsAfterIt) {
    Start();
    DropReceipt("ABC_1.zvx", kSmall);
    const int busy = ::open(ToFp("ABC_0.zvx").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(busy, 0);
    // Name order decides: the receipt after the file still being written waits.
    work->PollExchange();
    EXPECT_FALSE(FileExists(FromFp("ABC_1.ok")));
    EXPECT_TRUE(FileExists(ToFp("ABC_0.zvx")));
    ::close(busy);
    ::unlink(ToFp("ABC_0.zvx").c_str());
    work->PollExchange();
    EXPECT_EQ(Answer("ABC_1.ok"), "28.40\r\n");
}

TEST_F(LnkWorkTest, FailedConversionAnswersTheForeignNameAndEndsTheCycle) {
    Start();
    Drop("ABC_5", "no extension");
    Drop("ABC_6.csv", "1001,1,Name,not-a-number,1\r\n");
    DropReceipt("ABC_7.zvx", kSmall);

    work->PollExchange();
    EXPECT_NE(Answer("ABC_5.err"), "<none>");
    EXPECT_EQ(Names(rig->ini->ToFpDir()), (std::vector<std::string>{"ABC_6.csv", "ABC_7.zvx"}));

    work->PollExchange();
    EXPECT_NE(Answer("ABC_6.err"), "<none>");
    EXPECT_FALSE(FileExists(ToFp("ABC_6.zvx"))) << "the half-made packet goes with the foreign file";
    EXPECT_EQ(Names(rig->ini->ToFpDir()), std::vector<std::string>{"ABC_7.zvx"});

    work->PollExchange();
    EXPECT_EQ(Answer("ABC_7.ok"), "28.40\r\n");
    EXPECT_EQ(ReadBooks(rig->Journal()).closed, 1);
}

TEST_F(LnkWorkTest, WriteResultReplacesCopiesAndCleansUp) {
    Start();
    struct Case {
        std::string file, text;
        bool success;
        std::string answer, bytes;
    };
    const std::vector<Case> cases = {
        {"ABC_1.zvx", "12.00", true, "ABC_1.ok", "12.00\r\n"},
        {"ABC_1.zvx", "Komanda 48\nNema papira", false, "ABC_1.err", "Komanda 48\nNema papira\r\n"},
        {"ABC_7.csv", "two\r\nlines", false, "ABC_7.err", "two\r\nlines\r\n"},
        {"Comm.err", "link lost", false, "Comm.err", "link lost\r\n"},
        {"F_300", "status", true, "F_300.ok", "status\r\n"},
    };
    WriteWholeFile(FromFp("ABC_1.ok"), "an older answer that is longer");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer);
        work->WriteResult(c.file, c.text, c.success);
        EXPECT_EQ(Answer(c.answer), c.bytes);
        EXPECT_FALSE(FileExists(ToFp(c.answer)));
    }
    // An answer that cannot reach FromFpDir is a failure, and its draft must not
    // stay behind to be taken for a request.
    ASSERT_EQ(::chmod(rig->ini->FromFpDir().c_str(), 0500), 0);
    if (::access(rig->ini->FromFpDir().c_str(), W_OK) != 0) {
        EXPECT_THROW(work->WriteResult("ABC_9.zvx", "1.00", true), LinkError);
        EXPECT_FALSE(FileExists(ToFp("ABC_9.ok")));
    }
    ::chmod(rig->ini->FromFpDir().c_str(), 0755);
}

}  // namespace

namespace {

class UndeliveredAnswerTest : public ExchangeTest {};

}  // namespace

TEST_F(UndeliveredAnswerTest, CycleGoesOnWhileFromFpDirRefusesAndDeliversInOrderWhenItIsBack) {
    for (const bool atNextStart : {false, true}) {
        SCOPED_TRACE(atNextStart ? "at the next start" : "in the next cycle");
        Start();
        const std::string from = rig->ini->FromFpDir();
        // A file where the directory should be: refused even to root.
        ASSERT_EQ(::rename(from.c_str(), (from + ".away").c_str()), 0);
        WriteWholeFile(from, "");
        DropReceipt("ABC_5.zvx", kSmall);
        work->PollExchange();
        DropReceipt("ABC_6.zvx", kSmall);
        work->PollExchange();
        work->PollExchange();
        EXPECT_EQ(ReadBooks(rig->Journal()).closed, 2) << "requests are still taken";
        EXPECT_TRUE(Names(rig->ini->ToFpDir()).empty()) << "no draft left to be taken for a request";
        EXPECT_EQ(rig->app.notices.size(), 1u) << "the operator is told once";
        EXPECT_TRUE(rig->app.errors.empty());

        ASSERT_EQ(::unlink(from.c_str()), 0);
        ASSERT_EQ(::rename((from + ".away").c_str(), from.c_str()), 0);
        if (atNextStart)
            Restart();
        else
            work->PollExchange();
        EXPECT_EQ(Names(from), (std::vector<std::string>{"ABC_5.ok", "ABC_6.ok"}));
        EXPECT_EQ(Answer("ABC_5.ok"), "28.40\r\n");
        ::unlink(FromFp("ABC_5.ok").c_str());
        ::unlink(FromFp("ABC_6.ok").c_str());
        work->PollExchange();
        EXPECT_TRUE(Names(from).empty()) << "delivered once";
        EXPECT_EQ(ReadBooks(rig->Journal()).closed, 2);
        const std::string log = ReadWholeFile(JoinPath(rig->ini->LogsDir(), "LINK_log.txt"));
        if (!atNextStart) {
            EXPECT_NE(log.find("ABC_5.ok waits"), std::string::npos) << log;
            EXPECT_NE(log.find("delivered again"), std::string::npos) << log;
        }
        ExpectBooksBalance();
        TearDown();
    }
}

namespace {

class IntakeCommitTest : public ExchangeTest {};

// A receipt file goes into curr_abc whole or not at all, with one commit; printing
// then costs exactly one more commit per line (its curr_sales row, durable before
// the next line goes to the printer), however the articles and prices stand.
TEST_F(IntakeCommitTest, FileTakenInWithOneCommitAndEachPrintedLineWithOneMore) {
    Start();
    const TSqlConnection& db = rig->connection->SQLConnection1;
    DropReceipt("ABC_1.zvx", Lines(20, "1001", "1.25"));
    const uint64_t before = db.Commits();
    work->LoadAbcFile("ABC_1.zvx");
    EXPECT_EQ(db.Commits() - before, 1u);
    EXPECT_EQ(rig->ScalarInt("select count(*) from curr_abc"), 22);
    EXPECT_FALSE(FileExists(ToFp("ABC_1.zvx")));
    rig->Exec("delete from curr_abc");

    // A row the table refuses half-way: nothing of the file stays in curr_abc.
    std::vector<AbcRow> bad = Lines(6, "1001", "1.25");
    bad[3].art = "BADROW";
    std::string packet = AbcPacket(bad);
    const std::size_t at = packet.find("TAX_ID=\"1\"", packet.find("BADROW"));
    ASSERT_NE(at, std::string::npos);
    packet.replace(at, 10, "TAX_ID=\"12345\"");  // wider than the column
    Drop("ABC_2.zvx", packet);
    EXPECT_NE(Error([&] { work->LoadAbcFile("ABC_2.zvx"); }), "(no error)");
    EXPECT_EQ(rig->ScalarInt("select count(*) from curr_abc"), 0);
    DeleteFileReport(ToFp("ABC_2.zvx"));  // (answering it is the handler's part)

    auto cycleCommits = [&](const std::string& name, const std::vector<AbcRow>& rows) {
        DropReceipt(name, rows);
        const uint64_t start = db.Commits();
        work->PollExchange();
        EXPECT_NE(Answer(ChangeFileExt(name, ".ok")), "<none>") << name;
        return db.Commits() - start;
    };
    cycleCommits("ABC_3.zvx", Lines(1, "1001", "1.25"));  // the article defined, the day opened
    const uint64_t one = cycleCommits("ABC_4.zvx", Lines(1, "1001", "1.25"));
    const uint64_t twenty = cycleCommits("ABC_5.zvx", Lines(20, "1001", "1.25"));
    EXPECT_EQ(twenty - one, 19u);
    // A new price is programmed once and stored once, not once per line.
    const uint64_t repriced = cycleCommits("ABC_6.zvx", Lines(20, "1001", "1.30"));
    EXPECT_EQ(repriced - twenty, 1u);
    ExpectBooksBalance();
}

}  // namespace
