// What the link puts in place before it opens its database: the shipped
// template, the database copied from it, the exchange folders, and no file where
// the database lives on a server.
#include "app/P00_durable.h"
#include "app/P00_inilink.h"
#include "app/P00_util.h"
#include "startup/P00_install.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

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

namespace {
struct Installation {
    test::TempDir dir;
    std::string root = dir.Path() + "/inst";
    test::ScopedRegistry registry;
    explicit Installation(const std::string& remote = "") : registry(dir.Path(), dir.Path() + "/inst", remote) {}
    void Ini(const std::string& text) {
        ForceDirectories(root + "/Appl");
        WriteWholeFile(root + "/Appl/LINK.INI", text);
    }
    void Template(const std::string& bytes) {
        ForceDirectories(root + "/Other/DB_Clear");
        WriteWholeFile(root + "/Other/DB_Clear/Zorvex.fdb", bytes);
    }
};
}  // namespace

TEST(PrepareInstallation, MissingDatabaseIsCopiedFromTheTemplate) {
    Installation inst;
    inst.Template("TEMPLATE");
    TIniLink ini;
    PrepareInstallation(ini);
    EXPECT_EQ(ReadWholeFile(inst.root + "/DataBase/Zorvex.fdb"), "TEMPLATE");
    EXPECT_TRUE(DirectoryExists(inst.root + "/Exch/Lnk/To_FP"));
    EXPECT_TRUE(DirectoryExists(inst.root + "/Exch/Lnk/From_FP"));
}

TEST(PrepareInstallation, ExistingDatabaseIsNeverReplaced) {
    Installation inst;
    inst.Template("TEMPLATE");
    ForceDirectories(inst.root + "/db");
    WriteWholeFile(inst.root + "/db/shop.fdb", "RECEIPTS");
    inst.Ini("[Osnovno]\nDbPath=" + inst.root + "/db/shop.fdb\n");
    TIniLink ini;
    PrepareInstallation(ini);
    EXPECT_EQ(ReadWholeFile(inst.root + "/db/shop.fdb"), "RECEIPTS");
}

TEST(PrepareInstallation, MissingTemplateOrServerPathIsNoFailure) {
    {
        Installation inst;
        TIniLink ini;
        EXPECT_NO_THROW(PrepareInstallation(ini));
        EXPECT_FALSE(FileExists(inst.root + "/DataBase/Zorvex.fdb"));
    }
    {
        Installation inst;
        inst.Template("TEMPLATE");
        inst.Ini("[Osnovno]\nDbPath=dbhost:/var/lib/zorvex/Zorvex.fdb\n");
        TIniLink ini;
        test::TempDir cwd;
        std::filesystem::path old = std::filesystem::current_path();
        std::filesystem::current_path(cwd.Path());
        PrepareInstallation(ini);
        std::filesystem::current_path(old);
        EXPECT_TRUE(std::filesystem::is_empty(cwd.Path()));  // nothing made for a server path
    }
}

TEST(PrepareInstallation, RemoteExchangeFoldersAreMadeThere) {
    test::TempDir share;
    Installation inst(share.Path() + "/shop/Exch");
    TIniLink ini;
    PrepareInstallation(ini);
    EXPECT_TRUE(DirectoryExists(share.Path() + "/shop/Exch/To_FP"));
    EXPECT_TRUE(DirectoryExists(share.Path() + "/shop/Exch/From_FP"));
    EXPECT_FALSE(DirectoryExists(inst.root + "/Exch"));
}

TEST(PrepareInstallation, ServerPathsAreToldFromFiles) {
    struct Case { const char* path; bool server; };
    // The client library takes any colon after the first character for a server,
    // even inside a folder name, so the start must not make a file there either.
    const Case cases[] = {{"localhost:/var/db/Zorvex.fdb", true}, {"10.0.0.5:/db.fdb", true},
                          {"shop-srv/3051:/db.fdb", true}, {"/srv/db/Zorvex.fdb", false},
                          {"/srv/a:b/Zorvex.fdb", true}, {"Zorvex.fdb", false}, {":x", false}};
    for (const Case& c : cases) EXPECT_EQ(IsServerDbPath(c.path), c.server) << c.path;
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

