#include "exchange/P30_requestscan.h"

#include "app/P00_util.h"
#include "support/TestSupport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <chrono>
#include <sys/stat.h>
#include <unistd.h>

using namespace velbrin;
using velbrin::test::TempDir;

namespace {

void Touch(const TempDir& dir, const std::string& name) { WriteWholeFile(dir.File(name), "x"); }

}  // namespace

TEST(RequestScan, CommandsFirstThenReceiptsArticlesTextsByName) {
    TempDir dir;
    for (const char* n : {"TXT_0001.zvx", "ABC_0010.zvx", "abc_0002.zvx", "ART-N1.zvx", "CMD_0001.zvx",
                          "README.TXT", "ABC_2.zvx", "ABC_10.zvx", "cmd_0000.csv"})
        Touch(dir, n);
    ::mkdir(dir.File("ABC_dir").c_str(), 0755);
    Touch(dir, ".ABC_hidden.zvx");
    std::vector<std::string> expected = {"0cmd_0000.csv", "0CMD_0001.zvx", "abc_0002.zvx", "ABC_0010.zvx",
                                         "ABC_10.zvx",    "ABC_2.zvx",     "ART-N1.zvx",   "TXT_0001.zvx"};
    EXPECT_EQ(TRequestScan::WorkList(dir.Path()), expected);
}

// A clock the test moves by hand.
struct ManualClock {
    std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
    void Pass(int ms) { now += std::chrono::milliseconds(ms); }
};

std::vector<std::string> Taken(TRequestScan& scan, const TempDir& dir) {
    std::vector<std::string> names;
    for (const TScanned& s : scan.Next(TSafeDir(dir.Path()))) names.push_back(s.name + (s.plain ? "" : " (not plain)"));
    return names;
}

TEST(RequestScan, AFileStillBeingWrittenHoldsTheRequestsAfterItForAFewSecondsOnly) {
    TempDir dir;
    for (const char* n : {"ABC_1.zvx", "ABC_2.zvx", "CMD_1.zvx", "busy.log"}) Touch(dir, n);
    ManualClock clock;
    TRequestScan scan;
    scan.SetClock([&] { return clock.now; });
    // Files of no request's name are never opened, busy or not.
    const int log = ::open(dir.File("busy.log").c_str(), O_WRONLY);
    const int writer = ::open(dir.File("ABC_15.zvx").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(writer, 0);
    EXPECT_EQ(Taken(scan, dir), (std::vector<std::string>{"CMD_1.zvx", "ABC_1.zvx"}));
    clock.Pass(TRequestScan::kHoldMs - 1);
    EXPECT_EQ(Taken(scan, dir), (std::vector<std::string>{"CMD_1.zvx", "ABC_1.zvx"}));
    clock.Pass(1);
    EXPECT_EQ(Taken(scan, dir), (std::vector<std::string>{"CMD_1.zvx", "ABC_1.zvx", "ABC_2.zvx"}))
        << "a writer that never finishes does not hold the day";
    ::close(writer);
    EXPECT_EQ(Taken(scan, dir), (std::vector<std::string>{"CMD_1.zvx", "ABC_1.zvx", "ABC_15.zvx", "ABC_2.zvx"}));
    ::close(log);
}

TEST(RequestScan, OnAShareAFileIsTakenOnceItStayedUnchangedAndWhole) {
    TempDir dir;
    ManualClock clock;
    TRequestScan scan;
    scan.SetClock([&] { return clock.now; });
    scan.SetWatch(false);  // the writer is on another machine
    scan.ForceShare(1);
    scan.SetQuietMs(1000);
    WriteWholeFile(dir.File("CMD_1.csv"), "050,10.00\r\n");
    WriteWholeFile(dir.File("ABC_1.zvx"), "<?xml version=\"1.0\"?><DATAPACKET><ROWDATA>");
    EXPECT_TRUE(Taken(scan, dir).empty());
    clock.Pass(999);
    EXPECT_TRUE(Taken(scan, dir).empty());
    // Written again: the quiet time starts over.
    WriteWholeFile(dir.File("CMD_1.csv"), "050,10.00\r\n050,20.00\r\n");
    clock.Pass(1);
    EXPECT_TRUE(Taken(scan, dir).empty());
    clock.Pass(1000);
    EXPECT_EQ(Taken(scan, dir), std::vector<std::string>{"CMD_1.csv"}) << "the packet lacks its closing tag";
    clock.Pass(1000 * TRequestScan::kUnwholeQuietTimes);
    EXPECT_EQ(Taken(scan, dir), (std::vector<std::string>{"CMD_1.csv", "ABC_1.zvx"}))
        << "one that stays unwhole is taken, to be answered by its own checks";
}

TEST(RequestScan, LinksPipesAndSocketsUnderRequestNamesAreRefusedAndFoldersLeftAlone) {
    TempDir dir;
    Touch(dir, "ABC_1.zvx");
    ASSERT_EQ(::symlink("/etc/passwd", dir.File("ABC_2.zvx").c_str()), 0);
    ASSERT_EQ(::symlink("/nonexistent", dir.File("ABC_3.csv").c_str()), 0);
    ASSERT_EQ(::mkfifo(dir.File("ABC_4.zvx").c_str(), 0644), 0);
    ASSERT_EQ(::mkdir(dir.File("ABC_5.zvx").c_str(), 0755), 0);
    ASSERT_EQ(::symlink(dir.File("ABC_5.zvx").c_str(), dir.File("ABC_6.zvx").c_str()), 0);
    TRequestScan scan;
    EXPECT_EQ(Taken(scan, dir), (std::vector<std::string>{"ABC_1.zvx", "ABC_2.zvx (not plain)", "ABC_3.csv (not plain)",
                                                          "ABC_4.zvx (not plain)", "ABC_6.zvx (not plain)"}));
}

TEST(RequestScan, NamesKindsAndPackets) {
    EXPECT_EQ(TRequestScan::FileNameOf("0CMD_1.zvx"), "CMD_1.zvx");
    EXPECT_EQ(TRequestScan::FileNameOf("ABC_1.zvx"), "ABC_1.zvx");
    EXPECT_EQ(TRequestScan::KindOf("abc_5.zvx"), "ABC_");
    EXPECT_EQ(TRequestScan::KindOf("AB"), "AB");
    EXPECT_EQ(TRequestScan::PacketName("ABC_5.csv"), "ABC_5.zvx");
    EXPECT_EQ(TRequestScan::PacketName("ABC_5"), "ABC_5.zvx");
    EXPECT_EQ(TRequestScan::PacketName("ABC_5.x.TXT"), "ABC_5.x.zvx");
    EXPECT_TRUE(TRequestScan::IsPacket("ABC_12.ZVX"));
    EXPECT_FALSE(TRequestScan::IsPacket("ABC_12"));
}

