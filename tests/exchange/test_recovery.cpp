// Interrupted receipts: the customer display unplugged, the printer line cut at
// chosen points of a receipt, and the settling of each at the next start. After
// every story no receipt is lost, none is printed twice, and the archive of the
// database holds what the printer closed.
#include "ExchangeRig.h"

#include "app/P00_util.h"

#include <unistd.h>

#include <cstdio>
#include <ostream>
#include <sstream>

using namespace velbrin;
using namespace velbrin::test;

namespace {

class RecoveryTest : public ExchangeTest {
protected:
    // The printer commands a receipt sends, in order, found by printing it once
    // with the simulator's frame trace on.
    std::vector<int> CommandsOf(const std::string& name, const std::vector<AbcRow>& rows) {
        const std::string trace = rig->dir.File("trace.txt");
        std::remove(trace.c_str());
        rig->sim->Control("trace " + trace);
        DropReceipt(name, rows);
        work->PollExchange();
        rig->sim->Control("trace off");
        std::vector<int> commands;
        std::istringstream in(ReadWholeFile(trace));
        for (std::string line; std::getline(in, line);) {
            const std::size_t rx = line.find("RX seq=");
            const std::size_t cmd = line.find(" cmd=");
            if (rx != std::string::npos && cmd != std::string::npos)
                commands.push_back(std::atoi(line.c_str() + cmd + 5));
        }
        return commands;
    }

    // Commands up to and including the nth (from 1) occurrence of command.
    static int CountThrough(const std::vector<int>& commands, int command, int nth) {
        for (std::size_t i = 0; i < commands.size(); ++i)
            if (commands[i] == command && --nth == 0) return static_cast<int>(i) + 1;
        ADD_FAILURE() << "command " << command << " not sent";
        return 0;
    }

    std::string SimValue(const std::string& key) {
        std::istringstream in(rig->sim->Control("status"));
        for (std::string word; in >> word;)
            if (word.rfind(key + "=", 0) == 0) return word.substr(key.size() + 1);
        return {};
    }
};

constexpr int kSellItem = 52;
constexpr int kAddPayment = 53;
constexpr int kCloseReceipt = 56;

// Five lines of 2.00, paid 4.00 by card and the rest in cash.
const std::vector<AbcRow> kCutReceipt = {Line("1001", "2.00"), Line("1002", "2.00"), Line("1001", "2.00"),
                                         Line("1002", "2.00"), Line("1001", "2.00"), EndRow(), PayRow(2, "4.00")};

struct CutCase {
    const char* label;
    int command, nth;       // the line goes dead right after this command
    bool openAtCut;         // a fiscal receipt is open on the printer at the cut
    const char* paidAtCut;  // amount paid on the open receipt at the cut
    int closesAfter;        // CLOSE lines the journal gains by the receipt in all
};

void PrintTo(const CutCase& c, std::ostream* os) { *os << c.label; }

const CutCase kCutCases[] = {
    {"after the third sale: voided and printed again", kSellItem, 3, true, "0.00", 2},
    {"after the first payment: completed", kAddPayment, 1, true, "4.00", 1},
    {"after the close: archived", kCloseReceipt, 1, false, "0.00", 1},
};

// Each stage is its own test so that the waits on the dead line run side by side.
class LineCutTest : public RecoveryTest, public ::testing::WithParamInterface<CutCase> {};

TEST_P(LineCutTest, ReceiptIsSettledAtTheNextStart) {
    const CutCase& c = GetParam();
    Start();
    // Calibration prints the receipt once, so its articles are known to the printer.
    CommandsOf("ABC_0.zvx", kCutReceipt);
    const std::vector<int> commands = CommandsOf("ABC_1.zvx", kCutReceipt);
    ASSERT_EQ(Answer("ABC_1.ok"), "10.00\r\n");
    const int before = ReadBooks(rig->Journal()).closed;

    rig->sim->Control("cut " + std::to_string(CountThrough(commands, c.command, c.nth)));
    DropReceipt("ABC_2.zvx", kCutReceipt);
    work->PollExchange();
    EXPECT_EQ(Answer("Comm.err"), Msg(1) + "\r\n");
    EXPECT_TRUE(rig->app.terminated);
    EXPECT_EQ(Answer("ABC_2.ok"), "<none>");
    EXPECT_EQ(rig->Scalar("select tax_id from curr_abc where seq = 0"), "S");
    EXPECT_EQ(SimValue("receipt") != "0", c.openAtCut);
    EXPECT_EQ(SimValue("paid"), c.paidAtCut);

    rig->sim->Control("cut off");
    DropReceipt("ABC_9.zvx", kCutReceipt);  // a leftover request is dropped at start-up
    Restart();
    EXPECT_EQ(Answer("ABC_2.ok"), "10.00\r\n");
    EXPECT_EQ(Answer("ABC_9.ok"), "<none>");
    EXPECT_EQ(Answer("ABC_9.err"), "<none>");
    EXPECT_FALSE(FileExists(ToFp("ABC_9.zvx")));
    EXPECT_EQ(rig->ScalarInt("select count(*) from curr_abc"), 0);
    EXPECT_EQ(ReadBooks(rig->Journal()).closed - before, c.closesAfter);
    EXPECT_EQ(SimValue("receipt"), "0");
    ExpectBooksBalance();
}

std::string CutCaseName(const ::testing::TestParamInfo<CutCase>& info) {
    static const char* const kNames[] = {"AfterThirdSale", "AfterFirstPayment", "AfterClose"};
    return kNames[info.index];
}

INSTANTIATE_TEST_SUITE_P(Stages, LineCutTest, ::testing::ValuesIn(kCutCases), CutCaseName);

TEST_F(RecoveryTest, ReceiptArchivedJustBeforeTheLineWentDownIsAnsweredAtTheNextStart) {
    constexpr int kReceiptState = 76;
    Start();
    CommandsOf("ABC_0.zvx", kCutReceipt);
    const std::vector<int> commands = CommandsOf("ABC_1.zvx", kCutReceipt);
    // Dead right after the printer told the total for the change: the receipt is
    // archived, and the total for its answer is never told.
    std::size_t cut = static_cast<std::size_t>(CountThrough(commands, kCloseReceipt, 1));
    while (cut < commands.size() && commands[cut] != kReceiptState) ++cut;
    ASSERT_LT(cut, commands.size());
    rig->sim->Control("cut " + std::to_string(cut + 1));
    DropReceipt("ABC_2.zvx", kCutReceipt);
    work->PollExchange();
    EXPECT_NE(Answer("Comm.err"), "<none>");
    EXPECT_EQ(Answer("ABC_2.ok"), "<none>");
    ASSERT_EQ(rig->ScalarInt("select count(*) from curr_abc"), 0) << "archived before the line went down";

    rig->sim->Control("cut off");
    Restart();
    EXPECT_EQ(Answer("ABC_2.ok"), "10.00\r\n");
    EXPECT_EQ(Answer("ABC_2.err"), "<none>");
    ExpectBooksBalance();
}

TEST_F(RecoveryTest, DisplayUnpluggedStopsBeforePrintingAndTheNextStartPrints) {
    Start();
    DropReceipt("ABC_1.zvx", {Line("1001", "3.00"), EndRow()});
    work->PollExchange();  // a receipt before, so the printer's last-receipt counters are not zero
    ASSERT_EQ(Answer("ABC_1.ok"), "3.00\r\n");

    rig->sim->Control("display off");
    DropReceipt("ABC_2.zvx", {Line("1001", "3.00", "2"), EndRow()});
    work->PollExchange();
    EXPECT_EQ(Answer("Comm.err"), Msg(2) + "\r\n");
    EXPECT_TRUE(rig->app.terminated);
    EXPECT_EQ(rig->Scalar("select tax_id from curr_abc where seq = 0"), "0");
    EXPECT_EQ(ReadBooks(rig->Journal()).opened, 1);

    rig->sim->Control("display on");
    Restart();  // printer state 2 with an unsent receipt: printed from its start
    EXPECT_EQ(Answer("ABC_2.ok"), "6.00\r\n");
    EXPECT_EQ(ReadBooks(rig->Journal()).closed, 2);
    ExpectBooksBalance();
}

// A start whose printer refuses the transaction-state query keeps the receipt of
// curr_abc: no later file may take its place or delete it, and the first cycle
// in which the printer answers settles it without a restart.
TEST_F(RecoveryTest, ReceiptHeldByAnUnknownStateIsSettledOnceThePrinterAnswers) {
    Start();
    DropReceipt("ABC_1.zvx", {Line("1001", "3.00"), EndRow()});
    work->PollExchange();
    ASSERT_EQ(Answer("ABC_1.ok"), "3.00\r\n");
    rig->sim->Control("display off");
    DropReceipt("ABC_2.zvx", {Line("1001", "3.00", "2"), EndRow()});
    work->PollExchange();
    ASSERT_EQ(rig->Scalar("select plu_naziv from curr_abc where seq = 0"), "ABC_2.zvx");

    Restart("refuse 76 1000000");
    EXPECT_EQ(Answer("ABC_2.ok"), "<none>");
    Drop("ABC_3.zvx", "not a packet at all");
    DropReceipt("ABC_4.zvx", std::vector<AbcRow>(TFormLnkWork::kMaxAbcRows + 1, Line("1001", "1.00")));
    DropReceipt("ABC_5.zvx", {Line("1001", "1.00"), EndRow()});
    for (int cycle = 0; cycle < 3; ++cycle) work->PollExchange();
    for (const char* refused : {"ABC_3.err", "ABC_4.err", "ABC_5.err"}) {
        SCOPED_TRACE(refused);
        EXPECT_NE(Answer(refused).find("not taken in: the receipt ABC_2.zvx is still unfinished"), std::string::npos)
            << Answer(refused);
    }
    EXPECT_EQ(rig->Scalar("select plu_naziv from curr_abc where seq = 0"), "ABC_2.zvx");
    EXPECT_EQ(rig->ScalarInt("select count(*) from curr_abc"), 3);
    EXPECT_EQ(ReadBooks(rig->Journal()).closed, 1);

    rig->sim->Control("refuse 76 0");
    for (int cycle = 0; cycle <= 10 && Answer("ABC_2.ok") == "<none>"; ++cycle) work->PollExchange();
    EXPECT_EQ(Answer("ABC_2.ok"), "6.00\r\n");
    EXPECT_EQ(rig->ScalarInt("select count(*) from curr_abc"), 0);
    DropReceipt("ABC_6.zvx", {Line("1001", "3.00"), EndRow()});
    work->PollExchange();
    EXPECT_EQ(Answer("ABC_6.ok"), "3.00\r\n");
    EXPECT_EQ(ReadBooks(rig->Journal()).closed, 3);
    ExpectBooksBalance();
}

TEST_F(RecoveryTest, ReceiptArchivedJustBeforeTheStopIsAnsweredOnceByTheNextStart) {
    Start();
    DropReceipt("ABC_q'1.zvx", {Line("1001", "2.50", "2"), EndRow(), PayRow(2, "10.00")});
    // The steps of the intake up to the archive; the link stops before its answer.
    work->LoadAbcFile("ABC_q'1.zvx");
    work->PrepareReceipt();
    work->PrintReceipt();
    ASSERT_EQ(rig->ScalarInt("select count(*) from curr_abc"), 0);
    ASSERT_EQ(Names(rig->ini->FromFpDir()), std::vector<std::string>{});

    Restart();
    EXPECT_EQ(Names(rig->ini->FromFpDir()), std::vector<std::string>{"ABC_q'1.ok"});
    EXPECT_EQ(Answer("ABC_q'1.ok"), "5.00\r\n");
    ::unlink(FromFp("ABC_q'1.ok").c_str());
    Restart();
    work->PollExchange();
    EXPECT_EQ(Names(rig->ini->FromFpDir()), std::vector<std::string>{}) << "answered once";
    EXPECT_EQ(ReadBooks(rig->Journal()).closed, 1);
    ExpectBooksBalance();
}

TEST_F(RecoveryTest, ReceiptStoppedBetweenConversionAndDeletingItsOriginalPrintsOnce) {
    Start();
    const std::vector<AbcRow> rows = {Line("1001", "1.25", "4"), EndRow()};
    Drop("ABC_4.csv", AbcCsv(rows));
    DropReceipt("ABC_4.zvx", rows);  // the packet the stopped run had made of it
    Restart();
    work->PollExchange();
    EXPECT_EQ(Names(rig->ini->ToFpDir()), std::vector<std::string>{});
    EXPECT_EQ(Names(rig->ini->FromFpDir()), std::vector<std::string>{"ABC_4.ok"});
    EXPECT_EQ(ReadBooks(rig->Journal()).closed, 1);
    ExpectBooksBalance();
}

TEST_F(RecoveryTest, StartUpSweepOfLeftoverRequests) {
    struct Case {
        std::string label;
        std::vector<std::string> receipts;  // ABC_ packets left in ToFpDir
        std::vector<std::string> answers;   // with the text's answer, in name order
        int printed;
    };
    const std::vector<Case> cases = {
        {"one receipt on a quiet printer is printed", {"ABC_1.zvx"}, {"ABC_1.ok", "TXT_1.err"}, 1},
        {"two receipts: neither printed, each told so", {"ABC_1.zvx", "abc_2.ZVX"},
         {"ABC_1.err", "TXT_1.err", "abc_2.err"}, 0},
        {"none", {}, {"TXT_1.err"}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Start();
        for (const std::string& name : c.receipts) DropReceipt(name, {Line("1001", "1.50"), EndRow()});
        Drop("TXT_1.zvx", "left from the last run");
        Drop("ABC_3.csv", "not a packet: waits for the cycle");
        Drop("README.TXT", "never touched");
        Restart();
        std::vector<std::string> expected = {"ABC_3.csv", "README.TXT"};
        EXPECT_EQ(Names(rig->ini->ToFpDir()), expected);
        // A text of the last run is not printed again, and its answer says so.
        EXPECT_EQ(Names(rig->ini->FromFpDir()), c.answers);
        if (c.receipts.size() > 1) {
            EXPECT_EQ(ReadWholeFile(JoinPath(rig->ini->FromFpDir(), "ABC_1.err")),
                      rig->msg.GetMsg(kMsgReceiptNotTakenAtStart) + "\r\n");
        }
        EXPECT_EQ(ReadBooks(rig->Journal()).closed, c.printed);
        ExpectBooksBalance();
        TearDown();
    }
}

}  // namespace
