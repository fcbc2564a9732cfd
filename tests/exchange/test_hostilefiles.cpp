// Request files that are not what they seem: links, pipes and huge sparse files
// under request names, names no answer or database column can carry, names a
// journal line cannot hold, and the same file dropped again. One such file
// costs one ".err" at most: nothing outside ToFpDir is read, written or
// followed, nothing is carried out twice and the requests behind it are served.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "RequestFilesRig.h"
#include "app/P00_util.h"
#include "exchange/P30_outbox.h"

namespace velbrin::test {
namespace {

const std::vector<AbcRow> kOne = {Line("1001", "12.50"), EndRow()};

class HostileFilesTest : public RequestFilesTest {
protected:
    int Closed() { return ReadBooks(rig->Journal()).closed; }
    void Cycles(int n) {
        for (int i = 0; i < n; ++i) work->PollExchange();
    }
};

TEST_F(HostileFilesTest, NothingOutsideToFpIsReadWrittenOrFollowedAndNothingHoldsTheNextReceipt) {
    Start();
    TempDir outside;
    const std::string secret = outside.File("secret.zvx"), victim = outside.File("victim"),
                      created = outside.File("created");
    const std::string secretBytes = AbcPacket({Line("1001", "99.00"), EndRow()});
    WriteWholeFile(secret, secretBytes);
    WriteWholeFile(victim, "keep me");
    // A link under a receipt's name; links and a pipe under the names of the
    // packets CSV requests convert to; a sparse file of 2 GiB.
    ASSERT_EQ(::symlink(secret.c_str(), ToFp("ABC_1.zvx").c_str()), 0);
    Drop("ABC_2.csv", AbcCsv(kOne));
    ASSERT_EQ(::symlink(victim.c_str(), ToFp("ABC_2.zvx").c_str()), 0);
    Drop("ABC_3.csv", AbcCsv(kOne));
    ASSERT_EQ(::symlink(created.c_str(), ToFp("ABC_3.zvx").c_str()), 0);
    Drop("ABC_4.csv", AbcCsv(kOne));
    ASSERT_EQ(::mkfifo(ToFp("ABC_4.zvx").c_str(), 0644), 0);
    const int sparse = ::open(ToFp("ABC_5.zvx").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_EQ(::ftruncate(sparse, 2LL << 30), 0);
    ::close(sparse);
    DropReceipt("ABC_6.zvx", kOne);

    Cycles(3);
    EXPECT_EQ(ReadWholeFile(secret), secretBytes);
    EXPECT_EQ(ReadWholeFile(victim), "keep me");
    EXPECT_FALSE(::access(created.c_str(), F_OK) == 0) << "nothing made outside";
    EXPECT_EQ(Closed(), 1) << "only the sound receipt is printed";
    EXPECT_EQ(Answer("ABC_6.ok"), "12.50\r\n");
    EXPECT_NE(Answer("ABC_1.err").find("is not a plain file"), std::string::npos);
    EXPECT_NE(Answer("ABC_5.err").find("is larger than"), std::string::npos);
    EXPECT_EQ(Answers(), (std::vector<std::string>{"ABC_1.err", "ABC_2.err", "ABC_3.err", "ABC_4.err", "ABC_5.err",
                                                   "ABC_6.ok"}));
    EXPECT_TRUE(Names(rig->ini->ToFpDir()).empty()) << "links and the pipe removed, not what they point to";
    EXPECT_NE(Answer("ABC_2.err").find("is not a plain file"), std::string::npos);
    bool told = false;
    for (const std::string& line : rig->LinkLogLines()) told = told || line.find("ABC_2.zvx is in the way") != std::string::npos;
    EXPECT_TRUE(told) << "the CSV request is refused, naming the file in the way";
}

TEST_F(HostileFilesTest, NamesNoAnswerOrDatabaseCanCarryAreRefusedBeforeAnythingIsPrinted) {
    Start();
    const std::string longReceipt = "ABC_" + std::string(100, 'x') + ".zvx";  // its answer fits, the column not
    const std::string longest = "CMD_" + std::string(247, 'y') + ".zvx";      // 255 bytes: no answer name fits
    DropReceipt(longReceipt, kOne);
    Drop(longest, CommandPacket({{"50", "10.00"}}));
    DropReceipt("ABC_7.zvx", kOne);
    Cycles(2);
    EXPECT_EQ(Closed(), 1);
    EXPECT_EQ(rig->sim->State().cashIn, 0);
    EXPECT_NE(Answer(ChangeFileExt(longReceipt, ".err")).find("longer than 100"), std::string::npos);
    const std::string shortened = TAnswerOutbox::FittingName(ChangeFileExt(longest, ".err"));
    EXPECT_LE(shortened.size(), TAnswerOutbox::kMaxAnswerName);
    EXPECT_NE(Answer(shortened).find("longer than 200"), std::string::npos);
    EXPECT_EQ(Answer("ABC_7.ok"), "12.50\r\n");
    EXPECT_TRUE(Names(rig->ini->ToFpDir()).empty());
    // Nothing waits behind them, after a restart either.
    Restart();
    DropReceipt("ABC_8.zvx", kOne);
    Cycles(1);
    EXPECT_EQ(Answer("ABC_8.ok"), "12.50\r\n");
}

TEST_F(HostileFilesTest, NamesAJournalLineCannotHoldAreCarriedOutOnceAcrossARestart) {
    Start();
    const std::vector<std::string> names = {"ABC_\n1.zvx", "ABC_ 2 .zvx", "ABC_%41 #3.zvx"};
    for (const std::string& name : names) DropReceipt(name, kOne);
    // A read-only view of ToFpDir: only the journal keeps them from being printed again.
    const auto readOnly = ReadOnlyToFp();
    if (!readOnly) GTEST_SKIP() << "needs a read-only bind mount (root)";
    Cycles(2);
    Restart();
    Cycles(2);
    EXPECT_EQ(Closed(), 3);
    EXPECT_EQ(Answers().size(), 3u);
    for (const std::string& name : names) EXPECT_EQ(Answer(ChangeFileExt(name, ".ok")), "12.50\r\n") << name;
}

TEST_F(HostileFilesTest, TheSameFileDroppedAgainIsAnsweredAgainAndNeverCarriedOutAgain) {
    StartTraced();
    DropReceipt("ABC_1.zvx", kOne);
    Drop("CMD_1.csv", "50,10.00\r\n");
    // The same files (inode, time, bytes) kept aside, as a sync tool would.
    const std::string keep = rig->ini->OtherDir();
    ASSERT_EQ(::link(ToFp("ABC_1.zvx").c_str(), (keep + "/ABC_1").c_str()), 0);
    ASSERT_EQ(::link(ToFp("CMD_1.csv").c_str(), (keep + "/CMD_1").c_str()), 0);
    Cycles(1);
    ASSERT_EQ(Answers(), (std::vector<std::string>{"ABC_1.ok", "CMD_1.ok"}));
    for (const char* answer : {"ABC_1.ok", "CMD_1.ok"}) DeleteFileReport(FromFp(answer));
    ASSERT_EQ(::link((keep + "/ABC_1").c_str(), ToFp("ABC_1.zvx").c_str()), 0);
    ASSERT_EQ(::link((keep + "/CMD_1").c_str(), ToFp("CMD_1.csv").c_str()), 0);
    Cycles(1);
    EXPECT_EQ(Answer("ABC_1.ok"), "12.50\r\n") << "its first answer again";
    EXPECT_EQ(Answer("CMD_1.ok"), "\r\n");
    EXPECT_EQ(Closed(), 1);
    EXPECT_EQ(rig->sim->State().cashIn, 1000);
    EXPECT_TRUE(Names(rig->ini->ToFpDir()).empty());
}

}  // namespace
}  // namespace velbrin::test
