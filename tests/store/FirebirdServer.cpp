#include "FirebirdServer.h"

#include "tools/harness/LoopbackPort.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "DbTestSupport.h"
#include "app/P00_util.h"

extern char** environ;

namespace velbrin::test {
namespace {

using loopback::Accepts;
using loopback::FreePort;
using loopback::ShellWord;

bool Alive(pid_t pid) {
    return pid > 0 && ::waitpid(pid, nullptr, WNOHANG) == 0;
}

}  // namespace

FirebirdServer::FirebirdServer(const std::string& wireCrypt) : root_(dir_.File("root")) {
    failure_ = Start(wireCrypt);
}

FirebirdServer::~FirebirdServer() { Stop(); }

void FirebirdServer::Stop() {
    if (server_ <= 0) return;
    // The server ends at once on SIGTERM unless a refused login keeps it waiting
    // for a while; its databases are the test's and may go as they are.
    ::kill(server_, SIGTERM);
    for (int i = 0; i < 20 && Alive(server_); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (Alive(server_)) ::kill(server_, SIGKILL);
    ::waitpid(server_, nullptr, 0);
    server_ = 0;
}

std::string FirebirdServer::Restart() {
    if (server_ > 0 || port_ == 0) return "the server was not stopped";
    return Launch();
}

std::string FirebirdServer::Path(const std::string& file) const {
    return "127.0.0.1/" + std::to_string(port_) + ":" + file;
}

int FirebirdServer::Gfix(const std::string& options, const std::string& file, std::string* output) const {
    if (std::string(VELBRIN_GFIX).empty()) return -1;
    int code = 0;
    std::string text = Run("env ISC_USER=SYSDBA ISC_PASSWORD=" + ShellWord(Admin().password) + " " VELBRIN_GFIX " " +
                               options + " " + ShellWord(Path(file)),
                           code);
    if (output != nullptr) *output = text;
    return code;
}

std::string FirebirdServer::Run(const std::string& command, int& code) const {
    return loopback::RunShell(command, code);
}

int FirebirdServer::MakeLinkUser(const std::string& file, const TDbLogin& user,
                                 std::string* output) const {
    int code = 0;
    std::string text = Run(
        "env ISQL=" VELBRIN_ISQL_FB " ISC_USER=SYSDBA ISC_PASSWORD=" + ShellWord(Admin().password) +
            " VELBRIN_DB_USER_PASSWORD=" + ShellWord(user.password) +
            " sh " VELBRIN_SERVER_USER_SCRIPT " " + ShellWord(Path(file)) + " " +
            ShellWord(user.user) + " </dev/null",
        code);
    if (output != nullptr) *output = text;
    return code;
}

std::string FirebirdServer::NewDatabase(const std::string& name) const {
    const std::string path = dir_.File(name);
    if (!CopyFileOverwrite(TemplateDbPath(), path))
        throw LinkError("cannot copy " + TemplateDbPath());
    return path;
}

std::string FirebirdServer::Start(const std::string& wireCrypt) {
    if (!FileExists(VELBRIN_FIREBIRD_SERVER)) return "firebird3.0-server is not installed";
    // The engine's own files are shared; the configuration and security database are ours.
    const std::string engine = VELBRIN_FIREBIRD_ROOT;
    if (!ForceDirectories(root_ + "/lock")) return "cannot make " + root_;
    for (const char* shared :
         {"plugins", "lib", "UDF", "firebird.msg", "plugins.conf", "fbtrace.conf"})
        if (::symlink((engine + "/" + shared).c_str(), (root_ + "/" + shared).c_str()) != 0)
            return "cannot link " + engine + "/" + shared;
    // The character sets are copied: through a link the server loads the module
    // and then does not know WIN1250.
    if (!ForceDirectories(root_ + "/intl")) return "cannot make " + root_ + "/intl";
    for (const char* file : {"intl/libfbintl.so", "intl/fbintl.conf"})
        if (!CopyFileOverwrite(engine + "/" + file, root_ + "/" + file))
            return "cannot copy " + engine + "/" + file;
    port_ = FreePort();
    if (port_ == 0) return "no free port";
    const std::string security = root_ + "/security3.fdb";
    WriteWholeFile(root_ + "/firebird.conf",
                   "RemoteServicePort = " + std::to_string(port_) +
                       "\nRemoteBindAddress = 127.0.0.1\nWireCrypt = " + wireCrypt +
                       "\nSecurityDatabase = " + security + "\n");
    WriteWholeFile(root_ + "/databases.conf", "security.db = " + security + "\n");

    // The security database is made by the embedded engine under this configuration,
    // which knows it as its own, and gets the administrator's password.
    const std::string env = "env FIREBIRD='" + root_ + "' FIREBIRD_LOCK='" + root_ + "/lock' ";
    int code = 0;
    std::string text = Run(
        "echo \"create database '" + security + "';\" | " + env + VELBRIN_ISQL_FB " -q -b", code);
    if (code != 0) return "cannot make the security database: " + text;
    text = Run("echo \"create or alter user SYSDBA password '" + Admin().password +
                   "' using plugin Srp; commit;\" | " + env +
                   VELBRIN_ISQL_FB " -q -b -user SYSDBA " + security,
               code);
    if (code != 0) return "cannot set the administrator's password: " + text;

    return Launch();
}

std::string FirebirdServer::Launch() {
    // Everything the child needs is made before the fork: the test process has threads.
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e)
        if (std::strncmp(*e, "FIREBIRD=", 9) != 0 && std::strncmp(*e, "FIREBIRD_LOCK=", 14) != 0)
            environment.emplace_back(*e);
    environment.push_back("FIREBIRD=" + root_);
    environment.push_back("FIREBIRD_LOCK=" + root_ + "/lock");
    std::vector<char*> envp;
    for (std::string& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    const int log =
        ::open((root_ + "/server.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (log < 0) return "cannot write the server's log";
    server_ = ::fork();
    if (server_ == 0) {
        ::dup2(log, 1);
        ::dup2(log, 2);
        ::execle(VELBRIN_FIREBIRD_SERVER, VELBRIN_FIREBIRD_SERVER, static_cast<char*>(nullptr),
                 envp.data());
        ::_exit(127);
    }
    ::close(log);
    if (server_ < 0) return "fork failed";
    for (int i = 0; i < 200 && !Accepts(port_); ++i) {
        if (!Alive(server_)) return "the server ended at once";
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return Accepts(port_) ? std::string()
                          : "the server does not listen on port " + std::to_string(port_);
}

}  // namespace velbrin::test
