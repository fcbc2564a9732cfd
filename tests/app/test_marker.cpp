#include "app/P00_marker.h"
#include "app/P00_util.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

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

// What another program on the workstation sees: `flock -n FILE true` fails while held.
bool OtherProgramSeesMarker(const std::string& name) {
    std::string cmd = "flock -n '" + TNamedMarker::PathOf(name) + "' true 2>/dev/null";
    return std::system(cmd.c_str()) != 0;
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
