// The link's database on a server that goes away while the link works: the
// request at hand is held as it stands, the printer is not driven further for it,
// requests wait, and once the server is back everything is settled and answered
// once, without a restart. Each test starts a server of its own and skips when
// none can be started.
#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>

#include "DbTestSupport.h"
#include "FirebirdServer.h"
#include "RequestFilesRig.h"
#include "app/P00_util.h"
#include "store/P00_connection.h"
#include "store/P31_articledoubt.h"

namespace velbrin::test {
namespace {

const TDbLogin kLinkUser{"KASA1", "Kasa1-lozinka"};

// The simulator's port, which runs an action right after the n-th frame of a
// printer command has gone out (once armed): the printer has the command, the
// link has not yet heard back.
class HookAfterPort : public TComPort {
public:
    HookAfterPort(const std::string& device, std::function<void()> action)
        : inner_(device), action_(std::move(action)) {}
    void Arm(int command, int n) {
        command_ = command;
        n_ = n;
    }
    void Open() override { inner_.Open(); }
    bool IsOpen() const override { return inner_.IsOpen(); }
    void Close() override { inner_.Close(); }
    void Purge() override { inner_.Purge(); }
    size_t Write(const uint8_t* bytes, size_t k) override {
        const size_t written = inner_.Write(bytes, k);
        if (k > 3 && bytes[0] == 0x01 && bytes[3] == command_ && --n_ == 0) action_();
        return written;
    }
    size_t Read(uint8_t* buffer, size_t k) override { return inner_.Read(buffer, k); }
    std::string Name() const override { return inner_.Name(); }

private:
    TPosixComPort inner_;
    int command_ = 0;
    int n_ = 0;
    std::function<void()> action_;
};

double SecondsSince(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

class DbLostTest : public RequestFilesTest {
protected:
    // The link on its database through the server, the printer reached through a
    // port that stops the server once armed (hook).
    void StartOnServer() {
        Start();
        work.reset();
        rig->store.reset();
        rig->zets.reset();
        rig->commonLink.reset();
        rig->connection.reset();
        const std::string file = rig->ini->DbPath();
        std::string output;
        ASSERT_EQ(server.MakeLinkUser(file, kLinkUser, &output), 0) << output;
        for (int attempt = 0; !rig->connection; ++attempt) {
            try {
                rig->connection = std::make_unique<TFormConnection>(server.Path(file), kLinkUser);
            } catch (const LinkError&) {
                ASSERT_LT(attempt, 20);
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
        rig->fp.reset();
        auto port = std::make_unique<HookAfterPort>(rig->sim->DevicePath(), [this] { server.Stop(); });
        hook = port.get();
        rig->fpDef = std::make_unique<TFormFPDef>(std::move(port));
        rig->fp = std::make_unique<TFormFP>(*rig->fpDef, rig->app);
        rig->fp->SetLogPath(JoinPath(rig->ini->LogsDir(), "FP550_log.txt"));
        rig->fp->SetTaxGroupFlags(rig->fp->ReadTaxGroups());
        rig->RebuildNeighbours();
        work = std::make_unique<TFormLnkWork>(*rig->store, convert, *rig->commonLink);
        work->CreateReceipt();
        work->RecoverExchange();
    }

    // Held while the server is down: nothing answered, the tray says why, the
    // operator was told once with the server named.
    void ExpectHeld(const std::vector<std::string>& answers, std::size_t notices = 1) {
        EXPECT_TRUE(work->DatabaseLost());
        EXPECT_EQ(Answers(), answers);
        EXPECT_EQ(rig->app.status.Shown(), TLinkState::DbLost);
        ASSERT_EQ(rig->app.notices.size(), notices);
        EXPECT_NE(rig->app.notices.back().find("Server: 127.0.0.1/"), std::string::npos) << rig->app.notices.back();
        EXPECT_TRUE(rig->app.errors.empty());
    }

    // Starts the server again and runs cycles until `answer` is there; seconds taken.
    double ResumeUntil(const std::string& answer) {
        EXPECT_EQ(server.Restart(), "");
        const auto back = std::chrono::steady_clock::now();
        while (Answer(answer) == "<none>" && SecondsSince(back) < 30) {
            work->PollExchange();
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        const double seconds = SecondsSince(back);
        std::printf("[ measure  ] %s answered %.1f s after the server was back\n", answer.c_str(), seconds);
        EXPECT_FALSE(work->DatabaseLost());
        EXPECT_NE(rig->app.status.Shown(), TLinkState::DbLost);
        return seconds;
    }

    // Cycles while the server is down, past a few attempts to attach again.
    void PollWhileDown(double seconds) {
        const auto start = std::chrono::steady_clock::now();
        while (SecondsSince(start) < seconds) {
            work->PollExchange();
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }

    void SetUp() override {
        UseTestFirebirdLock();
        if (!server.Failure().empty()) GTEST_SKIP() << server.Failure();
    }

    FirebirdServer server;
    HookAfterPort* hook = nullptr;
};

TEST_F(DbLostTest, ServerStoppedBetweenReceiptsHoldsTheNextUntilItIsBack) {
    StartOnServer();
    DropReceipt("ABC_1.zvx", {Line("1001", "10.00"), Line("1002", "5.00"), EndRow()});
    work->PollExchange();
    ASSERT_EQ(Answer("ABC_1.ok"), "15.00\r\n");

    server.Stop();
    DropReceipt("ABC_2.zvx", {Line("1001", "10.00"), EndRow()});
    const auto stopped = std::chrono::steady_clock::now();
    work->PollExchange();
    std::printf("[ measure  ] the lost server was noticed in %.2f s\n", SecondsSince(stopped));
    DropReceipt("ABC_3.zvx", {Line("1002", "5.00"), Line("1002", "5.00"), EndRow()});
    PollWhileDown(5);
    ExpectHeld({"ABC_1.ok"});
    EXPECT_EQ(Names(rig->ini->ToFpDir()), (std::vector<std::string>{"ABC_2.zvx", "ABC_3.zvx"}));
    EXPECT_EQ(ReadBooks(rig->Journal()).opened, 1) << "nothing printed while the database is gone";

    ResumeUntil("ABC_3.ok");
    EXPECT_EQ(Answers(), (std::vector<std::string>{"ABC_1.ok", "ABC_2.ok", "ABC_3.ok"}));
    EXPECT_EQ(Answer("ABC_2.ok"), "10.00\r\n");
    EXPECT_EQ(Answer("ABC_3.ok"), "10.00\r\n");
    EXPECT_EQ(ReadBooks(rig->Journal()).closed, 3);
    ExpectBooksBalance();
}

TEST_F(DbLostTest, ServerStoppedInTheMiddleOfAReceiptLeavesItWholeAndAnsweredOnce) {
    // The server goes after the printer took the 10th of 30 sales.
    StartOnServer();
    hook->Arm(52, 10);
    DropReceipt("ABC_1.zvx", Lines(30, "1001", "16.00"));
    work->PollExchange();
    ExpectHeld({});
    JournalBooks printed = ReadBooks(rig->Journal());
    EXPECT_EQ(printed.sales, 10);
    EXPECT_EQ(printed.closed, 0) << "no payment and no close without the database";
    EXPECT_TRUE(printed.payments.empty());
    DropReceipt("ABC_2.zvx", {Line("1002", "5.00"), EndRow()});
    PollWhileDown(3);
    ExpectHeld({});

    ResumeUntil("ABC_2.ok");
    EXPECT_EQ(Answers(), (std::vector<std::string>{"ABC_1.ok", "ABC_2.ok"}));
    EXPECT_EQ(Answer("ABC_1.ok"), "480.00\r\n");
    printed = ReadBooks(rig->Journal());
    // The cut receipt was voided whole and printed anew; nothing partial was paid.
    EXPECT_EQ(printed.voids, 10);
    EXPECT_EQ(printed.closedTotal, Money::Parse("485.00"));
    ExpectBooksBalance();
    // Every line the printer took is on record, the voided ones too; only those
    // were voided, no void went to the printer for a line it never took.
    EXPECT_EQ(rig->ScalarInt("select count(*) from sales where ind_storno = 'D'"), 10);
    EXPECT_EQ(rig->ScalarInt("select count(*) from sales"), 41);
    const std::string printerLog = JoinPath(rig->ini->LogsDir(), "FP550_log.txt");
    EXPECT_EQ((FileExists(printerLog) ? ReadWholeFile(printerLog) : "").find("S=52 \"-"), std::string::npos)
        << ReadWholeFile(printerLog);
}

TEST_F(DbLostTest, ServerRestartedWhileTheLinkWasIdleIsAttachedAgainAtOnce) {
    StartOnServer();
    DropReceipt("ABC_1.zvx", {Line("1001", "10.00"), EndRow()});
    work->PollExchange();
    ASSERT_EQ(Answer("ABC_1.ok"), "10.00\r\n");
    server.Stop();
    ASSERT_EQ(server.Restart(), "");
    // The next receipt finds the connection dead: it is not held for a server
    // that answers already.
    DropReceipt("ABC_2.zvx", {Line("1002", "5.00"), EndRow()});
    const auto dropped = std::chrono::steady_clock::now();
    for (int cycle = 0; cycle < 3 && Answer("ABC_2.ok") == "<none>"; ++cycle) work->PollExchange();
    const double seconds = SecondsSince(dropped);
    std::printf("[ measure  ] answered %.2f s after the drop to a link whose server was restarted\n", seconds);
    EXPECT_EQ(Answer("ABC_2.ok"), "5.00\r\n");
    EXPECT_LT(seconds, 2.0);
    EXPECT_TRUE(rig->app.notices.empty());
    EXPECT_FALSE(work->DatabaseLost());
    ExpectBooksBalance();
}

// The settling of an article in doubt asks arts for its highest number: a
// server gone at that moment must leave the printer's articles alone.
TEST_F(DbLostTest, ArticleSettlingOnAServerThatIsGoneDeletesNothingInThePrinter) {
    StartOnServer();
    DropReceipt("ABC_1.zvx", {Line("1001", "10.00"), EndRow()});
    work->PollExchange();
    ASSERT_EQ(Answer("ABC_1.ok"), "10.00\r\n");
    const long long plu = rig->ScalarInt("select plu_id from arts where art_id='1001'");
    ASSERT_TRUE(rig->fp->ReadArticle(plu).found);
    server.Stop();
    EXPECT_THROW(TArticleInDoubt(*rig->store).SettleLast(), LinkError);
    EXPECT_TRUE(rig->fp->ReadArticle(plu).found);
    ASSERT_EQ(server.Restart(), "");
}

TEST_F(DbLostTest, CommandRowsCutByTheLostServerAreSettledOnceWhenItIsBack) {
    // The server goes right after the printer took the cash deposit.
    StartOnServer();
    hook->Arm(70, 1);
    Drop("CMD_1.zvx", CommandPacket({{"50", "100.00"}, {"70", ""}}));
    work->PollExchange();
    ExpectHeld({});
    EXPECT_TRUE(FileExists(ToFp("CMD_1.zvx"))) << "the file waits";
    ResumeUntil("CMD_1.ok");
    EXPECT_EQ(Answers(), std::vector<std::string>{"CMD_1.ok"});
    EXPECT_EQ(rig->JournalCount("CASH 100.00"), 1) << "the deposit is not made twice";
    EXPECT_EQ(rig->ScalarMoney("select sum(cash_in) from cash"), Money::FromUnits(100));

    // A day closing cut right after the printer's Z report is finished from the
    // printer's figures, once.
    DropReceipt("ABC_1.zvx", {Line("1001", "10.00"), EndRow()});
    work->PollExchange();
    ASSERT_EQ(Answer("ABC_1.ok"), "10.00\r\n");
    hook->Arm(69, 1);
    Drop("CMD_2.zvx", CommandPacket({{"90", ""}}));
    work->PollExchange();
    ExpectHeld({"ABC_1.ok", "CMD_1.ok"}, 2);
    ResumeUntil("CMD_2.ok");
    EXPECT_EQ(Answers(), (std::vector<std::string>{"ABC_1.ok", "CMD_1.ok", "CMD_2.ok"}));
    EXPECT_EQ(rig->JournalCount("Z "), 1);
    EXPECT_EQ(rig->ScalarInt("select count(*) from zets where dtm_tran is not null"), 1);
    ExpectBooksBalance();
}

}  // namespace
}  // namespace velbrin::test
