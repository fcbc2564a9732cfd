#include "tools/harness/HarnessFbServer.h"

#include "tools/harness/LoopbackPort.h"

#include "app/P00_util.h"
#include "tools/harness/HarnessSession.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#ifndef VELBRIN_HARNESS_FB_SERVER
#define VELBRIN_HARNESS_FB_SERVER ""  // the server package was not found: the server runs skip
#define VELBRIN_HARNESS_FB_ROOT ""
#define VELBRIN_HARNESS_ISQL ""
#define VELBRIN_HARNESS_USER_SCRIPT ""
#endif

namespace velbrin::harness {

namespace {

using loopback::Accepts;
using loopback::FreePort;
using loopback::ShellWord;
const auto Run = loopback::RunShell;


}  // namespace

FbServer::FbServer(std::string root) : root_(std::move(root)) {}

FbServer::~FbServer() { Stop(SIGTERM); }

std::string FbServer::Start() {
    const std::string program = VELBRIN_HARNESS_FB_SERVER, engine = VELBRIN_HARNESS_FB_ROOT;
    if (program.empty() || !FileExists(program)) return "the Firebird 3 server package is not installed";
    if (engine.empty() || !FileExists(engine + "/firebird.msg")) return "the Firebird 3 engine files are missing";
    if (!ForceDirectories(root_ + "/lock") || !ForceDirectories(root_ + "/intl") || !ForceDirectories(root_ + "/data"))
        return "cannot make " + root_;
    // The engine's own files are shared; configuration and security database are the harness's.
    for (const char* shared : {"plugins", "lib", "UDF", "firebird.msg", "plugins.conf", "fbtrace.conf"})
        if (::symlink((engine + "/" + shared).c_str(), (root_ + "/" + shared).c_str()) != 0)
            return "cannot link " + engine + "/" + shared;
    // Linked, the character set module loads but WIN1250 stays unknown: copied.
    for (const char* file : {"intl/libfbintl.so", "intl/fbintl.conf"})
        if (!CopyFileOverwrite(engine + "/" + file, root_ + "/" + file)) return "cannot copy " + engine + "/" + file;
    port_ = FreePort();
    if (port_ == 0) return "no free port on 127.0.0.1";
    const std::string security = root_ + "/security3.fdb";
    WriteWholeFile(root_ + "/firebird.conf", "RemoteServicePort = " + std::to_string(port_) +
                                                 "\nRemoteBindAddress = 127.0.0.1\nWireCrypt = Required\n"
                                                 "SecurityDatabase = " + security + "\n");
    WriteWholeFile(root_ + "/databases.conf", "security.db = " + security + "\n");
    // The embedded engine under this configuration makes the security database
    // and gives the administrator his password.
    const std::string env = "env FIREBIRD=" + ShellWord(root_) + " FIREBIRD_LOCK=" + ShellWord(root_ + "/lock") + " ";
    int code = 0;
    std::string text =
        Run("echo \"create database '" + security + "';\" | " + env + VELBRIN_HARNESS_ISQL " -q -b", code);
    if (code != 0) return "cannot make the security database: " + text;
    text = Run("echo \"create or alter user SYSDBA password '" + Admin().password + "' using plugin Srp; commit;\" | " +
                   env + VELBRIN_HARNESS_ISQL " -q -b -user SYSDBA " + ShellWord(security),
               code);
    if (code != 0) return "cannot set the administrator's password: " + text;
    return Launch();
}

std::string FbServer::Launch() {
    child_.Start({VELBRIN_HARNESS_FB_SERVER}, {{"FIREBIRD", root_}, {"FIREBIRD_LOCK", root_ + "/lock"}},
                 root_ + "/server.out");
    if (!WaitUntil([&] { return Accepts(port_) || !child_.Running(); }, 15000) || !child_.Running())
        return "the server did not listen on port " + std::to_string(port_) + " (see " + root_ + "/server.out)";
    return "";
}

void FbServer::Stop(int sig) {
    if (!child_.Running()) return;
    child_.Signal(sig);
    if (child_.Wait(5000) == -1 && child_.Running()) child_.Kill();
}

std::string FbServer::Restart() {
    if (child_.Running()) return "the server was not stopped";
    // A port the killed server held may take a moment to be free again.
    std::string why;
    for (int tries = 0; tries < 5; ++tries) {
        why = Launch();
        if (why.empty()) return why;
        child_.Kill();
        WaitMs(500);
    }
    return why;
}

long long FbServer::CpuTicks() const {
    std::ifstream in("/proc/" + std::to_string(child_.Pid()) + "/stat");
    std::string stat;
    if (child_.Pid() <= 0 || !std::getline(in, stat)) return -1;
    // Fields after the command name (which may hold spaces): state is the 3rd,
    // utime the 14th and stime the 15th of the line.
    std::istringstream rest(stat.substr(stat.rfind(')') + 2));
    std::string field;
    long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14) utime = StrToInt(field);
        if (i == 15) stime = StrToInt(field);
    }
    return utime + stime;
}

std::string FbServer::Path(const std::string& file) const {
    return "127.0.0.1/" + std::to_string(port_) + ":" + file;
}

std::string FbServer::NewTillDatabase(const Tools& tools, const std::string& name) {
    const std::string file = root_ + "/data/" + name + ".fdb";
    if (!CopyFileOverwrite(tools.templateDb, file)) throw LinkError("cannot copy " + tools.templateDb);
    int code = 0;
    const std::string text =
        Run("env ISQL=" VELBRIN_HARNESS_ISQL " ISC_USER=SYSDBA ISC_PASSWORD=" + ShellWord(Admin().password) +
                " VELBRIN_DB_USER_PASSWORD=" + ShellWord(TillLogin().password) + " sh " VELBRIN_HARNESS_USER_SCRIPT " " +
                ShellWord(Path(file)) + " " + TillLogin().user + " </dev/null",
            code);
    if (code != 0) throw LinkError("the till's user could not be made on " + file + ": " + text);
    return file;
}

void FbServer::MoveOnto(Session& s, const std::string& name, const std::string& extra) {
    const std::string file = NewTillDatabase(s.inst.tools, name);
    s.inst.WriteIni(s.printer.Device(), "[Osnovno]\nDbPath=" + Path(file) + "\n" + extra +
                                            "[Praxolt]\nSaljiAnalitikeUvek=D\n");
    // The login lives in the settings store, which only its owner may read.
    WriteWholeFile(s.inst.registry, "[Software\\Helvane\\Velbrin]\nLocal_Install_Dir=" + s.inst.root +
                                        "\nRemote_Exch_Lnk=\nDb_Server_User=" + TillLogin().user +
                                        "\nDb_Server_Password=" + TillLogin().password + "\n");
    ::chmod(s.inst.registry.c_str(), 0600);
    s.database = Path(file);
    s.dbLogin = Admin();
}

}  // namespace velbrin::harness
