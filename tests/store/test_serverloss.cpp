// A database server that goes away under the link, and one that never answers:
// the connection tells a lost server from a failed statement, attaches again once
// the server is back, and gives up on a silent server within its time-out.
#include <arpa/inet.h>
#include "tools/harness/LoopbackPort.h"
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "DbTestSupport.h"
#include "FirebirdServer.h"
#include "app/P00_util.h"
#include "store/P00_query.h"

namespace velbrin::test {
namespace {

const TDbLogin kLinkUser{"VELBRIN_LINK", "Kasa-1'x"};

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(ServerLoss, StoppedServerIsALostConnectionThatAttachesAgainWhenBack) {
    UseTestFirebirdLock();
    FirebirdServer server;
    if (!server.Failure().empty()) GTEST_SKIP() << server.Failure();
    const std::string file = server.NewDatabase("Zorvex.fdb");
    std::string output;
    ASSERT_EQ(server.MakeLinkUser(file, kLinkUser, &output), 0) << output;
    TFormConnection connection(server.Path(file), kLinkUser);
    TSqlConnection& sql = connection.SQLConnection1;
    TSqlQuery insert(connection);
    insert.SetSQL("insert into vle(vle_key,vle_value) values(:k,'1')");
    insert.SetString("k", "A");
    insert.ExecSQL();
    // A statement's own failure leaves the connection as it is.
    insert.SetString("k", "A");
    try {
        insert.ExecSQL();
        ADD_FAILURE() << "a duplicate key was stored";
    } catch (const TDbLostError& e) {
        ADD_FAILURE() << "a failed statement was taken for a lost server: " << e.what();
    } catch (const LinkError&) {
    }
    EXPECT_FALSE(sql.Lost());

    server.Stop();
    insert.SetString("k", "B");
    EXPECT_THROW(insert.ExecSQL(), TDbLostError);
    EXPECT_TRUE(sql.Lost());
    TSqlQuery select(connection);
    select.SetSQL("select count(*) from vle where vle_key in ('A', 'B', 'C')");
    EXPECT_THROW(select.Open(), TDbLostError) << "every statement raises while the server is gone";
    std::string why;
    EXPECT_FALSE(sql.Reattach({2, {}}, why));
    EXPECT_NE(why.find("Server: " + server.Path(file).substr(0, server.Path(file).find(':'))), std::string::npos)
        << why;
    EXPECT_TRUE(sql.Lost());

    ASSERT_EQ(server.Restart(), "");
    bool back = false;
    for (int i = 0; i < 30 && !(back = sql.Reattach({2, {}}, why)); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_TRUE(back) << why;
    EXPECT_FALSE(sql.Lost());
    // The statement prepared under the lost attachment is prepared anew.
    insert.SetString("k", "C");
    EXPECT_NO_THROW(insert.ExecSQL());
    select.Open();
    EXPECT_EQ(select.AsInteger(0), 2);
    select.Close();
}

using loopback::SilentListener;

TEST(ServerLoss, ServerThatNeverAnswersFailsWithinTheTimeoutOrAtAStopRequest) {
    SilentListener silent;
    ASSERT_NE(silent.Port(), 0);
    const std::string path = "127.0.0.1/" + std::to_string(silent.Port()) + ":/srv/kasa1.fdb";
    TSqlConnection connection;
    auto start = std::chrono::steady_clock::now();
    std::string text;
    try {
        connection.Open(path, kLinkUser, {2, {}});
    } catch (const LinkError& e) {
        text = e.what();
    }
    const double waited = SecondsSince(start);
    EXPECT_GE(waited, 1.5);
    EXPECT_LT(waited, 3.5);
    EXPECT_NE(text.find("Server: 127.0.0.1/" + std::to_string(silent.Port()) + ", user: VELBRIN_LINK"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("did not answer within 2 s"), std::string::npos) << text;
    EXPECT_EQ(text.find("rejected"), std::string::npos) << text;

    // A stop request ends the wait at once, whatever the time-out.
    start = std::chrono::steady_clock::now();
    text.clear();
    try {
        connection.Open(path, kLinkUser, {30, [&] { return SecondsSince(start) < 0.3; }});
    } catch (const LinkError& e) {
        text = e.what();
    }
    EXPECT_LT(SecondsSince(start), 1.0) << text;
    EXPECT_NE(text.find("given up"), std::string::npos) << text;
    EXPECT_FALSE(connection.Connected());
}

}  // namespace
}  // namespace velbrin::test
