// The server login of the settings store and the rule that keeps its password
// away from the other users of the machine.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "app/P00_iniappl.h"
#include "app/P00_util.h"
#include "support/TestSupport.h"

namespace velbrin::test {
namespace {

struct Store {
    explicit Store(const std::string& values, mode_t mode)
        : registry(dir.Path(), dir.Path() + "/inst") {
        path = TIniAppl::RegistryPath();
        WriteWholeFile(path,
                       "[Software\\Helvane\\Velbrin]\nLocal_Install_Dir=/srv/velbrin\n" + values);
        ::chmod(path.c_str(), mode);
    }
    TempDir dir;
    ScopedRegistry registry;
    std::string path;
};

TEST(ServerLogin, ValuesAreTakenAsWrittenFromAStoreOnlyTheLinkCanRead) {
    for (mode_t mode : {0600, 0640, 0400}) {
        Store store("Db_Server_User=KASA1\nDb_Server_Password=~x;y=z\n", mode);
        const TDbLogin login = TIniAppl::ReadDbServerLogin();
        EXPECT_EQ(login.user, "KASA1");
        EXPECT_EQ(login.password, "~x;y=z") << "no home folder put in front of a password";
    }
}

TEST(ServerLogin, PasswordEveryUserCanReadIsRefusedNamingTheFile) {
    for (mode_t mode : {0644, 0604, 0444}) {
        Store store("Db_Server_User=KASA1\nDb_Server_Password=Tajna\n", mode);
        try {
            TIniAppl::ReadDbServerLogin();
            ADD_FAILURE() << "mode " << mode << " accepted";
        } catch (const LinkError& e) {
            const std::string text = e.what();
            EXPECT_NE(text.find(store.path), std::string::npos) << text;
            EXPECT_EQ(text.find("Tajna"), std::string::npos) << text;
        }
    }
}

TEST(ServerLogin, StoreWithoutAPasswordStaysReadableForEveryone) {
    // The embedded installations keep the store the package installs.
    Store store("Db_Server_User=KASA1\n", 0644);
    EXPECT_EQ(TIniAppl::ReadDbServerLogin().user, "KASA1");
    EXPECT_EQ(TIniAppl::ReadDbServerLogin().password, "");
    Store empty("", 0644);
    EXPECT_EQ(TIniAppl::ReadDbServerLogin().user, "");
}

}  // namespace
}  // namespace velbrin::test
