// The same connection and queries through a Firebird server on loopback
// ("127.0.0.1/port:/path"), as a workstation that keeps its database on a shop's
// server uses them: logged in as the link's own user, over an encrypted line.
// Each test starts a server of its own and stops it by its process id afterwards.
#include <chrono>
#include <thread>

#include "CommonLinkRig.h"
#include "DbTestSupport.h"
#include "FirebirdServer.h"
#include "app/P00_msg.h"
#include "app/P00_util.h"
#include "store/P00_forcedwrites.h"

namespace velbrin::test {
namespace {

const TDbLogin kLinkUser{"VELBRIN_LINK", "Kasa-1'x"};

// The text of the LinkError that opening raises, or "opened".
std::string OpenFailure(const std::string& path, const TDbLogin& login) {
    try {
        TFormConnection connection(path, login);
    } catch (const LinkError& e) {
        return e.what();
    }
    return "opened";
}

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        UseTestFirebirdLock();
        if (!server.Failure().empty()) GTEST_SKIP() << server.Failure();
        file = server.NewDatabase("Zorvex.fdb");
        std::string output;
        ASSERT_EQ(server.MakeLinkUser(file, kLinkUser, &output), 0) << output;
    }

    // The server may need a moment for its first attach after it began to listen.
    std::unique_ptr<TFormConnection> Connect(const TDbLogin& login) {
        for (int attempt = 0;; ++attempt) {
            try {
                return std::make_unique<TFormConnection>(server.Path(file), login);
            } catch (const LinkError&) {
                if (attempt == 20) throw;
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
    }

    // The given statement through the link's user fails.
    void ExpectRefused(TFormConnection& connection, const std::string& sql) {
        TSqlQuery q(connection);
        q.SetSQL(sql);
        EXPECT_THROW(q.ExecSQL(), LinkError) << sql;
    }

    FirebirdServer server;
    std::string file;
};

std::string Scalar(TFormConnection& connection, const std::string& sql) {
    TSqlQuery q(connection);
    q.SetSQL(sql);
    q.Open();
    std::string value = q.Eof() ? std::string() : Trim(q.AsString(0));
    q.Close();
    return value;
}

TEST_F(ServerTest, LinkWorksThroughItsOwnUserOnAnEncryptedLine) {
    std::unique_ptr<TFormConnection> connection = Connect(kLinkUser);
    TSqlQuery q(*connection);
    q.SetSQL(
        "insert into arts(art_id,tax_id,plu_id,plu_naziv,cena,update_typ) "
        "values(:art_id,'2','2',:plu_naziv,:cena,'N')");
    q.SetString("art_id", "A'1");
    q.SetString("plu_naziv", "\x8A\x9A\xE8 'x' \"y\"");
    q.SetMoney("cena", Money::Parse("12.3456"));
    q.ExecSQL();
    q.SetSQL("select plu_naziv, cena from arts where art_id=:art_id");
    q.SetString("art_id", "A'1");
    q.Open();
    ASSERT_FALSE(q.Eof());
    EXPECT_EQ(q.AsString("plu_naziv"), "\x8A\x9A\xE8 'x' \"y\"");
    EXPECT_EQ(q.AsMoney("cena"), Money::Parse("12.3456"));
    q.Close();

    TempDir install;
    CommonLinkRig rig(*connection, install.Path());
    rig.commonLink->StoreLastBonId(77);
    EXPECT_EQ(Scalar(*connection, "select vle_value from vle where vle_key='BonID'"), "77");
    EXPECT_EQ(Scalar(*connection, "select current_user from rdb$database"), kLinkUser.user);
    EXPECT_EQ(
        Scalar(*connection, "select rdb$get_context('SYSTEM','WIRE_ENCRYPTED') from rdb$database"),
        "TRUE");

    // The server's own view: every attachment but the administrator's is the link's.
    std::unique_ptr<TFormConnection> admin = Connect(server.Admin());
    EXPECT_EQ(
        Scalar(*admin,
               "select count(*) from mon$attachments a where a.mon$remote_protocol is not null "
               "and a.mon$attachment_id <> current_connection and a.mon$user <> 'VELBRIN_LINK'"),
        "0");
    EXPECT_EQ(
        Scalar(*admin, "select count(*) from mon$attachments a where a.mon$user = 'VELBRIN_LINK'"),
        "1");
}

TEST_F(ServerTest, RefusedLoginNamesServerAndUserButNeverThePassword) {
    Connect(kLinkUser);  // the server is up and the user exists
    const std::string server_part =
        "Server: " + server.Path(file).substr(0, server.Path(file).find(':'));
    const TDbLogin wrongPassword{kLinkUser.user, "Pogresna-99"};
    std::string text = OpenFailure(server.Path(file), wrongPassword);
    EXPECT_NE(text.find("Baza: " + server.Path(file)), std::string::npos) << text;
    EXPECT_NE(text.find(server_part + ", user: VELBRIN_LINK"), std::string::npos) << text;
    EXPECT_NE(text.find("user name and password are not defined"), std::string::npos) << text;
    EXPECT_EQ(text.find(wrongPassword.password), std::string::npos) << text;

    text = OpenFailure(server.Path(file), {"NOBODY_HERE", kLinkUser.password});
    EXPECT_NE(text.find(server_part + ", user: NOBODY_HERE"), std::string::npos) << text;
    EXPECT_EQ(text.find(kLinkUser.password), std::string::npos) << text;

    // Without a login the link does not even ask the server.
    text = OpenFailure(server.Path(file), {});
    EXPECT_NE(text.find("no user and password for the database server"), std::string::npos) << text;
    text = OpenFailure(server.Path(file), {kLinkUser.user, ""});
    EXPECT_NE(text.find("no user and password for the database server"), std::string::npos) << text;
}

// Only the server's administrator may make its database sync its writes: the
// link stops and says what to run, and changes nothing itself.
TEST_F(ServerTest, DatabaseWithoutForcedWritesStopsTheStartWithTheAdministratorsCommand) {
    Connect(kLinkUser);  // the server is up
    std::string output;
    ASSERT_EQ(server.Gfix("-write async", file, &output), 0) << output;
    std::unique_ptr<TFormConnection> connection = Connect(kLinkUser);
    TMsgTable messages;
    messages.SetLanguage("ENG");
    const std::string text = Error([&] { EnsureForcedWrites(*connection, messages); });
    EXPECT_NE(text.find("does not sync its writes (forced writes off):\n" + server.Path(file)), std::string::npos)
        << text;
    EXPECT_NE(text.find("The server's administrator runs: gfix -write sync " + server.Path(file)), std::string::npos)
        << text;
    EXPECT_FALSE(HasForcedWrites(*connection));
    ASSERT_EQ(server.Gfix("-write sync", file, &output), 0) << output;
    connection = Connect(kLinkUser);
    EXPECT_EQ(EnsureForcedWrites(*connection, messages), "");
}

TEST(ServerConnection, UnreachableServerNamesServerAndUser) {
    // Port 1 of loopback has no listener.
    const std::string text = OpenFailure("127.0.0.1/1:/srv/kasa1.fdb", kLinkUser);
    EXPECT_NE(text.find("Server: 127.0.0.1/1, user: VELBRIN_LINK"), std::string::npos) << text;
    EXPECT_EQ(text.find(kLinkUser.password), std::string::npos) << text;
}

TEST_F(ServerTest, LinkUserRunsTheLinksStatementsButCannotChangeMetadataOrUsers) {
    std::unique_ptr<TFormConnection> connection = Connect(kLinkUser);
    TSqlQuery q(*connection);
    for (const char* sql :
         {"insert into vle(vle_key,vle_value) values('X','1')",
          "update vle set vle_value='2' where vle_key='X'", "delete from vle where vle_key='X'",
          "insert into cash(zet_id,trm_id,dtm_tran,usr_id,cash_in,cash_out) "
          "values('000001','001','2027-03-01 09:05:03:007','XXXX',1,0)",
          "insert into zets(zet_id,trm_id) values('000001','001')",
          "update zets set dtm_tran='2027-03-01 22:00:00' where zet_id='000001'",
          "delete from sales where zet_id='000001'",
          "delete from payments where zet_id='000001'"}) {
        q.SetSQL(sql);
        EXPECT_NO_THROW(q.ExecSQL()) << sql;
    }
    ExpectRefused(*connection, "create table t (a integer)");
    ExpectRefused(*connection, "alter table zets add extra integer");
    ExpectRefused(*connection, "drop table cash");
    ExpectRefused(*connection, "create index arts_by_name on arts (plu_naziv)");
    ExpectRefused(*connection, "create user INTRUDER password 'x'");
    ExpectRefused(*connection, "alter user SYSDBA password 'x'");
    ExpectRefused(*connection, "drop user SYSDBA");
    ExpectRefused(*connection, "grant select on sales to user INTRUDER");
    // Day records are never deleted by the link, so its user may not either.
    ExpectRefused(*connection, "delete from zets");
    EXPECT_EQ(Scalar(*connection, "select count(*) from zets"), "1");
}

TEST_F(ServerTest, ScriptRunsAgainOnADatabaseInUseAndKeepsItsData) {
    std::unique_ptr<TFormConnection> connection = Connect(kLinkUser);
    {
        TSqlQuery q(*connection);
        q.SetSQL("insert into vle(vle_key,vle_value) values('BonID','41')");
        q.ExecSQL();
    }
    connection.reset();
    const TDbLogin changed{kLinkUser.user, "Nova-lozinka-2"};
    std::string output;
    ASSERT_EQ(server.MakeLinkUser(file, changed, &output), 0) << output;
    EXPECT_NE(OpenFailure(server.Path(file), kLinkUser), "opened");  // the old password is gone
    connection = Connect(changed);
    EXPECT_EQ(Scalar(*connection, "select vle_value from vle where vle_key='BonID'"), "41");
}

TEST(ServerConnection, ServerThatDoesNotEncryptIsRefused) {
    UseTestFirebirdLock();
    FirebirdServer server("Disabled");
    if (!server.Failure().empty()) GTEST_SKIP() << server.Failure();
    const std::string file = server.NewDatabase("Zorvex.fdb");
    std::string output;
    ASSERT_EQ(server.MakeLinkUser(file, kLinkUser, &output), 0) << output;  // it answers isql-fb
    const std::string text = OpenFailure(server.Path(file), kLinkUser);
    EXPECT_NE(text.find("Server: " + server.Path(file).substr(0, server.Path(file).find(':')) +
                        ", user: VELBRIN_LINK"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("wire encryption"), std::string::npos) << text;
}

TEST(ServerConnection, ServerPathsAreToldFromFiles) {
    EXPECT_TRUE(TSqlConnection::NamesServer("localhost:/var/db/Zorvex.fdb"));
    EXPECT_TRUE(TSqlConnection::NamesServer("shop-srv/3051:/db/kasa1.fdb"));
    EXPECT_TRUE(TSqlConnection::NamesServer("inet://shop-srv/db/kasa1.fdb"));
    EXPECT_FALSE(TSqlConnection::NamesServer("/home/kasa/Velbrin/DataBase/Zorvex.fdb"));
    EXPECT_FALSE(TSqlConnection::NamesServer(":x"));
    EXPECT_EQ(TSqlConnection::ServerOf("shop-srv/3051:/db/kasa1.fdb"), "shop-srv/3051");
}

}  // namespace
}  // namespace velbrin::test
