// The power-cut file system against what a power cut keeps: a file's bytes
// after its fsync, a name after its folder's fsync, everything present at mount.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>

#include "PowercutRig.h"

using velbrin::test::Blocks;
using velbrin::test::PowercutRig;
using velbrin::test::PutFile;
using velbrin::test::SyncDir;

namespace {

using Tree = std::map<std::string, std::string>;

#define SKIP_WITHOUT_FUSE() \
    if (std::string why = PowercutRig::Unusable(); !why.empty()) GTEST_SKIP() << why

void Seed(PowercutRig& rig) {
    std::filesystem::create_directories(rig.Backing("d"));
    PutFile(rig.Backing("old.txt"), "mount-time", false);
    PutFile(rig.Backing("d/kept.txt"), "kept", false);
    PutFile(rig.Backing("big"), Blocks("abcdefgh"), false);
}

Tree SeededTree() {
    return {{"old.txt", "mount-time"},
            {"d", "<dir>"},
            {"d/kept.txt", "kept"},
            {"big", Blocks("abcdefgh")}};
}

void Check(int rc, const char* what) {
    if (rc != 0) throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

struct Case {
    const char* name;
    std::function<void(PowercutRig&)> act;
    std::map<std::string, std::optional<std::string>> changes;  // nullopt: gone
};

}  // namespace

TEST(PowercutFs, CutKeepsWhatWasSyncedAndNothingElse)
{
    SKIP_WITHOUT_FUSE();
    auto m = [](PowercutRig& r, const char* rel) { return r.Mounted(rel); };
    auto rename = [&](PowercutRig& r, const char* a, const char* b) {
        Check(std::rename(m(r, a).c_str(), m(r, b).c_str()), "rename");
    };
    auto syncRoot = [&](PowercutRig& r) { SyncDir(m(r, "")); };
    const Case cases[] = {
        {"nothing done", [](PowercutRig&) {}, {}},
        {"unsynced overwrite",
         [&](PowercutRig& r) { PutFile(m(r, "old.txt"), "new", false, O_TRUNC); },
         {}},
        {"synced overwrite",
         [&](PowercutRig& r) { PutFile(m(r, "old.txt"), "new", true, O_TRUNC); },
         {{"old.txt", "new"}}},
        {"only synced blocks",
         [&](PowercutRig& r) {
             int fd = ::open(m(r, "big").c_str(), O_WRONLY);
             Check(::pwrite(fd, Blocks("X").data(), 4096, 2 * 4096) == 4096 ? 0 : -1, "pwrite");
             Check(::fsync(fd), "fsync");
             Check(::pwrite(fd, Blocks("Y").data(), 4096, 5 * 4096) == 4096 ? 0 : -1, "pwrite");
             Check(::pwrite(fd, "Z", 1, 9 * 4096) == 1 ? 0 : -1, "pwrite");
             ::close(fd);
         },
         {{"big", Blocks("abXdefgh")}}},
        {"unsynced truncation",
         [&](PowercutRig& r) { Check(::truncate(m(r, "big").c_str(), 100), "truncate"); },
         {}},
        {"new name, folder not synced",
         [&](PowercutRig& r) { PutFile(m(r, "new"), "n", true); },
         {}},
        {"new name, folder synced",
         [&](PowercutRig& r) {
             PutFile(m(r, "new"), "n", true);
             syncRoot(r);
         },
         {{"new", "n"}}},
        {"new name, folder synced, data not",
         [&](PowercutRig& r) {
             PutFile(m(r, "new"), "n", false);
             syncRoot(r);
         },
         {{"new", ""}}},
        {"rename, folder not synced", [&](PowercutRig& r) { rename(r, "old.txt", "renamed"); }, {}},
        {"rename, folder synced",
         [&](PowercutRig& r) {
             rename(r, "old.txt", "renamed");
             syncRoot(r);
         },
         {{"old.txt", std::nullopt}, {"renamed", "mount-time"}}},
        {"replacing rename, folder not synced",
         [&](PowercutRig& r) {
             PutFile(m(r, "tmp"), "fresh", true);
             rename(r, "tmp", "old.txt");
         },
         {}},
        {"replacing rename, folder synced",
         [&](PowercutRig& r) {
             PutFile(m(r, "tmp"), "fresh", true);
             rename(r, "tmp", "old.txt");
             syncRoot(r);
         },
         {{"old.txt", "fresh"}}},
        {"unlink, folder not synced",
         [&](PowercutRig& r) { Check(::unlink(m(r, "old.txt").c_str()), "unlink"); },
         {}},
        {"unlink, folder synced",
         [&](PowercutRig& r) {
             Check(::unlink(m(r, "old.txt").c_str()), "unlink");
             syncRoot(r);
         },
         {{"old.txt", std::nullopt}}},
        {"unlinked open file synced through its handle",
         [&](PowercutRig& r) {
             int fd = ::open(m(r, "old.txt").c_str(), O_WRONLY);
             Check(::unlink(m(r, "old.txt").c_str()), "unlink");
             Check(::pwrite(fd, "MOUNT", 5, 0) == 5 ? 0 : -1, "pwrite");
             Check(::fsync(fd), "fsync");
             ::close(fd);
         },
         {{"old.txt", "MOUNT-time"}}},
        {"O_SYNC and O_DSYNC writes",
         [&](PowercutRig& r) {
             PutFile(m(r, "old.txt"), "SYNC", false, O_SYNC);
             PutFile(m(r, "dsync"), "dsync", false, O_DSYNC);
             syncRoot(r);
         },
         {{"old.txt", "SYNCt-time"}, {"dsync", "dsync"}}},
        {"move between folders, both synced",
         [&](PowercutRig& r) {
             rename(r, "d/kept.txt", "moved");
             syncRoot(r);
             SyncDir(m(r, "d"));
         },
         {{"d/kept.txt", std::nullopt}, {"moved", "kept"}}},
        {"move between folders, only the new one synced",
         [&](PowercutRig& r) {
             rename(r, "d/kept.txt", "moved");
             syncRoot(r);
         },
         {{"moved", "kept"}}},
        {"new folders: names need the parent's sync, entries their own",
         [&](PowercutRig& r) {
             Check(::mkdir(m(r, "n").c_str(), 0755), "mkdir");
             PutFile(m(r, "n/f"), "f", true);
             syncRoot(r);
             Check(::mkdir(m(r, "n2").c_str(), 0755), "mkdir");
         },
         {{"n", "<dir>"}}},
        {"folder emptied and removed, not synced",
         [&](PowercutRig& r) {
             Check(::unlink(m(r, "d/kept.txt").c_str()), "unlink");
             Check(::rmdir(m(r, "d").c_str()), "rmdir");
         },
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PowercutRig rig;
        Seed(rig);
        ASSERT_EQ(rig.Mount(), "");
        try {
            c.act(rig);
        } catch (const std::exception& e) {
            ADD_FAILURE() << e.what();
        }
        ASSERT_EQ(rig.Cut(), "ok cut");
        Tree want = SeededTree();
        for (const auto& [path, content] : c.changes) {
            if (content)
                want[path] = *content;
            else
                want.erase(path);
        }
        Tree got = rig.BackingTree();
        for (const auto& [path, content] : want) {
            EXPECT_EQ(got.count(path), 1U) << path << " is missing";
            if (got.count(path) != 0 && got[path] != content) ADD_FAILURE() << path << " differs";
        }
        for (const auto& [path, content] : got)
            EXPECT_EQ(want.count(path), 1U) << path << " survived";
    }
}

TEST(PowercutFs, TornWritesKeepARepeatableSubsetOfBlocks)
{
    SKIP_WITHOUT_FUSE();
    auto run = [](unsigned seed) {
        PowercutRig rig;
        Seed(rig);
        EXPECT_EQ(rig.Mount(seed), "");
        EXPECT_EQ(rig.Control("torn on"), "ok torn on");
        PutFile(rig.Mounted("big"), Blocks("XXXXXXXX"), false);
        EXPECT_EQ(rig.Cut(), "ok cut");
        return rig.BackingTree()["big"];
    };
    std::string torn = run(7);
    ASSERT_EQ(torn.size(), 8U * 4096);
    int survived = 0;
    for (int b = 0; b < 8; ++b) {
        std::string block = torn.substr(b * 4096, 4096);
        bool fresh = block == Blocks("X");
        EXPECT_TRUE(fresh || block == Blocks(std::string(1, static_cast<char>('a' + b)))) << b;
        survived += fresh ? 1 : 0;
    }
    EXPECT_GT(survived, 0);
    EXPECT_LT(survived, 8);
    EXPECT_EQ(run(7), torn);
}

TEST(PowercutFs, CutAtFreezesAndCountsSyncs)
{
    SKIP_WITHOUT_FUSE();
    PowercutRig rig;
    Seed(rig);
    ASSERT_EQ(rig.Mount(), "");
    EXPECT_EQ(rig.Control("cut-at 3"), "ok cut-at 3");
    EXPECT_EQ(::mkdir(rig.Mounted("a").c_str(), 0755), 0);
    SyncDir(rig.Mounted(""));
    EXPECT_NE(::mkdir(rig.Mounted("b").c_str(), 0755), 0);
    EXPECT_EQ(errno, EIO);
    struct stat st {};
    EXPECT_NE(::stat(rig.Mounted("old.txt").c_str(), &st), 0);
    std::string stats = rig.Control("stats");
    EXPECT_NE(stats.find("ok fsync=0 fsyncdir=1 "), std::string::npos) << stats;
    EXPECT_NE(stats.find(" frozen=1"), std::string::npos) << stats;
    EXPECT_EQ(rig.Control("sync-all").rfind("error", 0), 0U);
    EXPECT_EQ(rig.Cut(), "ok cut");
    Tree want = SeededTree();
    want["a"] = "<dir>";
    EXPECT_EQ(rig.BackingTree().size(), want.size());
    EXPECT_EQ(rig.BackingTree().count("a"), 1U);
}

TEST(PowercutFs, LocksWorkAndACleanStopKeepsWhatSyncAllMadeDurable)
{
    SKIP_WITHOUT_FUSE();
    PowercutRig rig;
    Seed(rig);
    ASSERT_EQ(rig.Mount(), "");
    PutFile(rig.Mounted("f"), "written", false);
    int a = ::open(rig.Mounted("f").c_str(), O_RDWR);
    int b = ::open(rig.Mounted("f").c_str(), O_RDWR);
    EXPECT_EQ(::flock(a, LOCK_EX | LOCK_NB), 0);
    EXPECT_NE(::flock(b, LOCK_EX | LOCK_NB), 0);
    ::flock(a, LOCK_UN);
    struct flock range {};
    range.l_type = F_WRLCK;
    range.l_len = 1;
    EXPECT_EQ(::fcntl(a, F_OFD_SETLK, &range), 0);
    EXPECT_NE(::fcntl(b, F_OFD_SETLK, &range), 0);
    ::close(a);
    ::close(b);
    EXPECT_EQ(rig.Control("sync-all"), "ok sync-all");
    PutFile(rig.Mounted("g"), "never synced", true);
    int status = rig.Terminate();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(rig.BackingTree()["f"], "written");
    EXPECT_EQ(rig.BackingTree().count("g"), 0U);

    // A new mount takes everything it finds as durable.
    ASSERT_EQ(rig.Mount(), "");
    PutFile(rig.Mounted("f"), "lost", false, O_TRUNC);
    EXPECT_EQ(rig.Cut(), "ok cut");
    EXPECT_EQ(rig.BackingTree()["f"], "written");
}
