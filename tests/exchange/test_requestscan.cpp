#include "exchange/P30_requestscan.h"

#include "app/P00_util.h"
#include "support/TestSupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace velbrin;
using velbrin::test::TempDir;

namespace {

void Touch(const TempDir& dir, const std::string& name) { WriteWholeFile(dir.File(name), "x"); }

std::vector<std::string> ReaddirOrder(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    while (dirent* e = ::readdir(d))
        if (e->d_name[0] != '.') names.push_back(e->d_name);
    ::closedir(d);
    return names;
}

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

TEST(RequestScan, ABusyFileStopsTheScanWhateverItsName) {
    TempDir dir;
    for (const char* n : {"ABC_1.zvx", "ABC_2.zvx", "ABC_3.zvx", "ABC_4.zvx", "busy.log", "TXT_1.zvx"}) Touch(dir, n);
    int writer = ::open(dir.File("busy.log").c_str(), O_WRONLY);
    ASSERT_GE(writer, 0);
    EXPECT_FALSE(TRequestScan::IsReleased(dir.File("busy.log")));
    std::vector<std::string> before;
    for (const std::string& n : ReaddirOrder(dir.Path())) {
        if (n == "busy.log") break;
        before.push_back(n);
    }
    std::sort(before.begin(), before.end());
    EXPECT_EQ(TRequestScan::WorkList(dir.Path()), before);
    ::close(writer);
    EXPECT_TRUE(TRequestScan::IsReleased(dir.File("busy.log")));
    EXPECT_EQ(TRequestScan::WorkList(dir.Path()).size(), 5u);
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

TEST(RequestScan, FifoIsNeverOpened) {
    TempDir dir;
    ASSERT_EQ(::mkfifo(dir.File("ABC_fifo.zvx").c_str(), 0644), 0);
    Touch(dir, "ABC_1.zvx");
    EXPECT_EQ(TRequestScan::WorkList(dir.Path()), std::vector<std::string>{"ABC_1.zvx"});
}
