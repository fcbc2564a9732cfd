// The same connection and queries through a Firebird server on loopback
// ("localhost:/path"), as a workstation that keeps its database on a server uses them.
// The test starts the server itself and stops it by its process id afterwards.
#include "DbTestSupport.h"

#include "app/P00_util.h"
#include "store/P30_commonlink.h"

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace velbrin::test {
namespace {

const char* const kInitScript = "/etc/init.d/firebird3.0";
const char* const kServerPidFile = "/var/run/firebird3.0/firebird.pid";

// Process id of the running guard process, 0 when none runs.
pid_t GuardPid()
{
    FILE* pipe = ::popen("pidof fbguard", "r");
    if (pipe == nullptr) return 0;
    long pid = 0;
    if (std::fscanf(pipe, "%ld", &pid) != 1) pid = 0;
    ::pclose(pipe);
    return static_cast<pid_t>(pid);
}

bool Alive(pid_t pid) { return pid > 0 && ::kill(pid, 0) == 0; }

// Waits at most about two seconds for a process to end.
bool WaitGone(pid_t pid)
{
    for (int i = 0; i < 40 && Alive(pid); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return !Alive(pid);
}

class ServerProcess {
public:
    // Starts the server with the init script; empty text on success, else why not.
    std::string Start()
    {
        if (std::system(("env -u FIREBIRD_LOCK " + std::string(kInitScript) + " start >/dev/null 2>&1").c_str()) != 0)
            return "the init script failed to start the server";
        for (int i = 0; i < 100 && (guard_ = GuardPid()) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (guard_ == 0) return "the server did not come up";
        // The guard writes the server's process id; the server listens shortly after.
        for (int i = 0; i < 100 && server_ == 0; ++i) {
            long pid = 0;
            if (FILE* f = std::fopen(kServerPidFile, "r")) {
                if (std::fscanf(f, "%ld", &pid) != 1) pid = 0;
                std::fclose(f);
            }
            server_ = static_cast<pid_t>(pid);
            if (server_ == 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return {};
    }

    ~ServerProcess()
    {
        // Ending the guard ends the server it watches; the server is ended itself if it stays.
        if (Alive(guard_)) {
            ::kill(guard_, SIGTERM);
            WaitGone(guard_);
        }
        if (Alive(server_)) {
            ::kill(server_, SIGTERM);
            if (!WaitGone(server_)) ::kill(server_, SIGKILL);
        }
    }

private:
    pid_t guard_ = 0;
    pid_t server_ = 0;
};

TEST(ServerConnection, WorksThroughALoopbackServer)
{
    if (::geteuid() != 0) GTEST_SKIP() << "starting the Firebird server needs root";
    if (!FileExists(kInitScript) || !FileExists("/usr/sbin/fbguard"))
        GTEST_SKIP() << "firebird3.0-server is not installed";
    if (GuardPid() != 0) GTEST_SKIP() << "a Firebird server already runs here; it is left alone";
    const passwd* firebirdUser = ::getpwnam("firebird");
    if (firebirdUser == nullptr) GTEST_SKIP() << "no user 'firebird'";

    UseTestFirebirdLock();
    TempDir dir;
    const std::string path = dir.File("Zorvex.fdb");
    ASSERT_TRUE(CopyFileOverwrite(TemplateDbPath(), path));
    // While no server runs, the embedded engine gives SYSDBA the program's password. It runs in
    // a process of its own: an engine keeps the security database open for a while after use,
    // and the server could not log anybody in while this process held it.
    const std::string setPassword = std::string("echo \"create or alter user SYSDBA password '") +
                                    TSqlConnection::Password() + "' using plugin Srp; commit;\" | " VELBRIN_ISQL_FB
                                    " -q -b -user SYSDBA " + path;
    ASSERT_EQ(std::system(setPassword.c_str()), 0) << setPassword;
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0755), 0);
    ASSERT_EQ(::chown(path.c_str(), firebirdUser->pw_uid, firebirdUser->pw_gid), 0);

    ServerProcess server;
    const std::string failure = server.Start();
    if (!failure.empty()) GTEST_SKIP() << failure;

    std::unique_ptr<TFormConnection> connection;
    for (int attempt = 0; attempt < 40 && connection == nullptr; ++attempt) {
        try {
            connection = std::make_unique<TFormConnection>("localhost:" + path);
        } catch (const LinkError&) {
            if (attempt == 39) throw;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    TSqlQuery q(*connection);
    q.SetSQL("insert into arts(art_id,tax_id,plu_id,plu_naziv,cena,update_typ) "
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

    TFormCommonLink link(*connection);
    link.StoreLastBonId(77);
    q.SetSQL("select vle_value from vle where vle_key='BonID'");
    q.Open();
    EXPECT_EQ(q.AsInteger("vle_value"), 77);
    q.Close();
}

}  // namespace
}  // namespace velbrin::test
