// What an installed program needs on a fresh workstation: the home folder of the
// settings store, and a lock folder the embedded engine can write for a user
// outside its group.
#include "app/P00_inilink.h"
#include "app/P00_startup.h"
#include "app/P00_util.h"
#include "ScopedEnv.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>

using namespace velbrin;
using namespace velbrin::test;

TEST(SettingsStore, TildeStandsForTheHomeFolder) {
    struct Case {
        const char* home;
        const char* value;
        const char* expected;
    };
    const Case cases[] = {
        {"/home/kasa", "~/Velbrin", "/home/kasa/Velbrin"},
        {"/home/kasa/", "~/Velbrin", "/home/kasa/Velbrin"},
        {"/home/kasa", "~", "/home/kasa"},
        {"/home/kasa", "~kasa/Velbrin", "~kasa/Velbrin"},  // another user's home is not looked up
        {"/home/kasa", "/srv/velbrin", "/srv/velbrin"},
        {"/home/kasa", "/srv/~/x", "/srv/~/x"},
        {nullptr, "~/Velbrin", "~/Velbrin"},
        {"", "~/Velbrin", "~/Velbrin"},
    };
    for (const Case& c : cases) {
        ScopedEnv home("HOME", c.home);
        EXPECT_EQ(TIniAppl::ExpandHome(c.value), c.expected) << (c.home ? c.home : "(unset)") << " " << c.value;
    }
}

TEST(SettingsStore, InstallationInTheHomeFolder) {
    TempDir dir;
    ScopedEnv home("HOME", dir.Path().c_str());
    ScopedRegistry registry(dir.Path(), "~/Velbrin", "~/Exch");
    TIniLink ini;
    EXPECT_EQ(ini.LocalInstallDir(), dir.Path() + "/Velbrin");
    EXPECT_EQ(ini.ToFpDir(), dir.Path() + "/Exch/To_FP");
    EXPECT_TRUE(FileExists(dir.Path() + "/Velbrin/Appl/LINK.INI"));
}

TEST(EmbeddedLockDir, ChosenOnlyWhenTheEnginesOwnCannotBeUsed) {
    struct Case {
        const char* name;
        const char* preset;  // FIREBIRD_LOCK before
        int defaultMode;     // 0: the engine's folder does not exist
        bool chosen;
    };
    const Case cases[] = {
        {"engine folder not writable", nullptr, 0770, true},
        {"engine folder writable", nullptr, 0777, false},
        {"engine folder not there yet", nullptr, 0, false},
        {"set by the caller", "/somewhere", 0770, false},
    };
    for (const Case& c : cases) {
        TempDir dir;
        ::chmod(dir.Path().c_str(), 0777);
        const std::string root = dir.Path() + "/inst";
        ForceDirectories(root);
        ::chmod(root.c_str(), 0777);
        const std::string engine = dir.Path() + "/firebird";
        if (c.defaultMode) {
            ForceDirectories(engine);
            ::chmod(engine.c_str(), static_cast<mode_t>(c.defaultMode));
        }
        ScopedEnv preset("FIREBIRD_LOCK", c.preset);
        std::string seen = AsOrdinaryUser([&] {
            std::string chosen = ChooseEmbeddedLockDir(root, engine);
            const char* now = std::getenv("FIREBIRD_LOCK");
            return chosen + "|" + (now ? now : "(unset)") + "|" + (DirectoryExists(chosen) ? "made" : "-");
        });
        const std::string ours = root + "/Other/FirebirdLock";
        std::string expected = c.chosen ? ours + "|" + ours + "|made" : std::string("|") + (c.preset ? c.preset : "(unset)") + "|-";
        EXPECT_EQ(seen, expected) << c.name;
    }
}
