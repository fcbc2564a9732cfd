// What an installed program needs on a fresh workstation: the shipped empty
// database put into the installation, the home folder of the settings store, and
// a lock folder the embedded engine can write for a user outside its group.
#include "app/P00_durable.h"
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


TEST(InstalledTemplate, FreshInstallationTakesTheShippedDatabase) {
    struct Case {
        const char* name;
        const char* ownTemplate;  // nullptr: the installation has none yet
        const char* shipped;      // nullptr: the program carries none
        const char* expectTemplate;
        const char* expectDb;
    };
    const Case cases[] = {
        {"fresh installation", nullptr, "SHIPPED", "SHIPPED", "SHIPPED"},
        {"installation keeps its own template", "OWN", "SHIPPED", "OWN", "OWN"},
        {"nothing shipped, nothing made", nullptr, nullptr, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const std::string root = dir.Path() + "/inst";
        ScopedRegistry registry(dir.Path(), root);
        if (c.ownTemplate) {
            ForceDirectories(root + "/Other/DB_Clear");
            WriteWholeFile(root + "/Other/DB_Clear/Zorvex.fdb", c.ownTemplate);
        }
        const std::string shipped = dir.File("share/Zorvex.fdb");
        if (c.shipped) {
            ForceDirectories(dir.File("share"));
            WriteWholeFile(shipped, c.shipped);
        }
        TIniLink ini;
        EXPECT_NO_THROW(PrepareInstallation(ini, shipped)) << c.name;
        auto content = [](const std::string& p) { return FileExists(p) ? ReadWholeFile(p) : std::string("(none)"); };
        EXPECT_EQ(content(root + "/Other/DB_Clear/Zorvex.fdb"), c.expectTemplate ? c.expectTemplate : "(none)") << c.name;
        EXPECT_EQ(content(root + "/DataBase/Zorvex.fdb"), c.expectDb ? c.expectDb : "(none)") << c.name;
        EXPECT_TRUE(DirectoryExists(root + "/Exch/Lnk/To_FP")) << c.name;
    }
}

// A copy cut short must never sit under the database's name: the next start
// would take it for the database and never copy again.
TEST(InstalledTemplate, DatabaseCopyThatFailsLeavesNoDatabase) {
    TempDir dir;
    const std::string root = dir.Path() + "/inst";
    ScopedRegistry registry(dir.Path(), root);
    TIniLink ini;
    const std::string templ = root + "/Other/DB_Clear/Zorvex.fdb";
    ForceDirectories(root + "/Other/DB_Clear");
    WriteWholeFile(templ, "TEMPLATE");
    ASSERT_EQ(std::system(("chmod -R a+rwX '" + dir.Path() + "'").c_str()), 0);
    ASSERT_EQ(::chmod(templ.c_str(), 0), 0);
    const std::string error = AsOrdinaryUser([&] { return Error([&] { PrepareInstallation(ini, ""); }); });
    EXPECT_NE(error.find("Cannot open file " + templ), std::string::npos) << error;
    EXPECT_FALSE(FileExists(root + "/DataBase/Zorvex.fdb"));
    EXPECT_TRUE(ListPlainFiles(root + "/DataBase", 10, true).empty()) << "no draft left behind";
}

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
