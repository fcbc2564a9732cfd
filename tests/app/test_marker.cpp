#include "app/P00_marker.h"
#include "app/P00_util.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

using namespace velbrin;

namespace {

// Points VELBRIN_RUNTIME_DIR at a private folder for one test.
struct RuntimeDir {
    test::TempDir dir;
    RuntimeDir() { ::setenv("VELBRIN_RUNTIME_DIR", dir.Path().c_str(), 1); }
    ~RuntimeDir() { ::unsetenv("VELBRIN_RUNTIME_DIR"); }
};

// What another program on the workstation sees with the check the README gives:
// the lock file exists and cannot be locked. The file is opened read-only, so the
// check never makes it.
bool OtherProgramSeesMarker(const std::string& name) {
    const std::string path = "'" + TNamedMarker::PathOf(name) + "'";
    std::string cmd = "test -e " + path + " && ! flock -n 9 9<" + path + " 2>/dev/null";
    return std::system(cmd.c_str()) == 0;
}

}  // namespace

TEST(NamedMarker, HeldWhileOwnedAndGoneOnRelease) {
    RuntimeDir rt;
    for (const char* name : {"ZorvexStarted", "FP550Fiskalizovan", "YellowMsg"}) {
        TNamedMarker m(name);
        EXPECT_FALSE(TNamedMarker::IsHeld(name));
        ASSERT_TRUE(m.Acquire()) << name;
        EXPECT_TRUE(m.Acquire());  // twice is harmless
        EXPECT_EQ(TNamedMarker::PathOf(name), rt.dir.Path() + "/" + name);
        EXPECT_TRUE(TNamedMarker::IsHeld(name));
        EXPECT_TRUE(OtherProgramSeesMarker(name)) << name;
        TNamedMarker rival(name);
        EXPECT_FALSE(rival.Acquire()) << name;
        m.Release();
        EXPECT_FALSE(FileExists(TNamedMarker::PathOf(name)));
        EXPECT_FALSE(OtherProgramSeesMarker(name));
        EXPECT_TRUE(rival.Acquire()) << name;
    }
}

TEST(NamedMarker, DestructionReleases) {
    RuntimeDir rt;
    { TNamedMarker m("YellowMsg"); ASSERT_TRUE(m.Acquire()); }
    EXPECT_FALSE(TNamedMarker::IsHeld("YellowMsg"));
    EXPECT_FALSE(FileExists(TNamedMarker::PathOf("YellowMsg")));
}

TEST(NamedMarker, AHolderThatDiesLeavesNothingStuck) {
    RuntimeDir rt;
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        TNamedMarker* leaked = new TNamedMarker("ZorvexStarted");  // never released: the process dies holding it
        ::_exit(leaked->Acquire() ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(FileExists(TNamedMarker::PathOf("ZorvexStarted")));  // the file remains...
    EXPECT_FALSE(OtherProgramSeesMarker("ZorvexStarted"));           // ...but nobody holds it
    TNamedMarker m("ZorvexStarted");
    EXPECT_TRUE(m.Acquire());
}

TEST(NamedMarker, RuntimeFolderIsMadeWhenMissing) {
    RuntimeDir rt;
    std::string deeper = rt.dir.Path() + "/a/b";
    ::setenv("VELBRIN_RUNTIME_DIR", deeper.c_str(), 1);
    TNamedMarker m("YellowMsg");
    EXPECT_TRUE(m.Acquire());
    EXPECT_TRUE(FileExists(deeper + "/YellowMsg"));
}

// A lock file that another user left (root running the check by hand, or an
// older `flock FILE true`): readable, it still locks; unreadable, the failure
// names the file's owner and mode instead of passing for "already running".
TEST(NamedMarker, LockFileOfAnotherUser) {
    RuntimeDir rt;
    ::chmod(rt.dir.Path().c_str(), 01777);
    const std::string path = TNamedMarker::PathOf("ZorvexStarted");
    EXPECT_FALSE(OtherProgramSeesMarker("ZorvexStarted"));
    EXPECT_FALSE(FileExists(path)) << "the check made the file it checks";
    const bool root = ::geteuid() == 0;
    for (mode_t mode : {0644, 0600}) {
        WriteWholeFile(path, "");
        // as root the file is root's and the link runs as another user; otherwise
        // the owner takes away his own rights
        ::chmod(path.c_str(), root ? mode : (mode == 0644 ? 0444 : 0));
        const std::string result = test::AsOrdinaryUser([] {
            TNamedMarker m("ZorvexStarted");
            if (m.Acquire()) return std::string(TNamedMarker::IsHeld("ZorvexStarted") ? "held" : "not held");
            return "refused: " + m.OpenFailure();
        });
        if (mode == 0644) {
            EXPECT_EQ(result, "held");
        } else {
            EXPECT_NE(result.find("refused: Permission denied; owner "), std::string::npos) << result;
            EXPECT_NE(result.find(root ? ", mode 0600" : ", mode 0000"), std::string::npos) << result;
        }
        ::unlink(path.c_str());
    }
}
