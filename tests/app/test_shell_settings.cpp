// The real program refusing to start: settings that cannot work, a port it may
// not open, a start marker it cannot open. Each refusal names what is wrong, in
// the link log (and on stderr where there may be no box), and touches nothing
// on the printer.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "LinkProcess.h"
#include "tools/fp550sim/Fp550Simulator.h"

using namespace velbrin;
using namespace velbrin::test;

namespace {

// The link started with the given environment, as an unprivileged user when the
// test runs as root (root could open any file), with stderr into a file and
// without a display unless the environment names one.
class UserLink {
public:
    UserLink(const LinkInstallation& inst, std::map<std::string, std::string> env,
             bool unprivileged)
        : stderrPath_(inst.dir.Path() + "/stderr.txt") {
        env["VELBRIN_REGISTRY"] = inst.registry;
        env["VELBRIN_RUNTIME_DIR"] = inst.runtime;
        env.try_emplace("XDG_RUNTIME_DIR", inst.xdg);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::unsetenv("DISPLAY");
            ::unsetenv("WAYLAND_DISPLAY");
            ::unsetenv("QT_QPA_PLATFORM");
            for (const auto& [k, v] : env) ::setenv(k.c_str(), v.c_str(), 1);
            if (unprivileged && ::geteuid() == 0 &&
                (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
                ::_exit(126);
            if (!std::freopen(stderrPath_.c_str(), "w", stderr)) ::_exit(125);
            ::execl(VELBRIN_LINK_BINARY, "velbrin-link", static_cast<char*>(nullptr));
            ::_exit(127);
        }
    }
    ~UserLink() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    int WaitExit(int ms) {
        WaitFor(
            [this] {
                int status = 0;
                if (!exited_ && ::waitpid(pid_, &status, WNOHANG) == pid_) {
                    exited_ = true;
                    code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                }
                return exited_;
            },
            ms);
        return exited_ ? code_ : -1;
    }
    void Stop() {
        if (!exited_) ::kill(pid_, SIGTERM);
    }
    std::string Stderr() const { return FileExists(stderrPath_) ? ReadWholeFile(stderrPath_) : ""; }

private:
    std::string stderrPath_;
    pid_t pid_ = -1;
    bool exited_ = false;
    int code_ = -1;
};

// Everything the unprivileged link may need to write.
void OpenToEveryone(const LinkInstallation& inst) {
    std::string cmd =
        "chmod -R a+rwX '" + inst.dir.Path() + "' && chmod 1777 '" + inst.runtime + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
}

}  // namespace

// Values pasted with their comments, or in a form the link does not know: the
// start ends with a text naming the key and the value, before the printer hears
// a single command.
TEST(ShellSettings, ValuesThatCannotWorkAreRefusedByName) {
    struct Case {
        std::string ini;     // after [Portovi] FP=<simulator>, unless it names FP itself
        std::string logged;  // in the link log
        bool keptAsItWas = false;  // LINK.INI is not completed either
    };
    const Case cases[] = {
        {"[Osnovno]\nTerminalNo=007 ; this workstation's terminal number\n",
         "[Osnovno] TerminalNo=007 ; this workstation's terminal number | Komentar iza vrednosti "
         "nije dozvoljen"},
        {"[Osnovno]\nTerminalNo=K-0001-0002-0003-0004\n",
         "[Osnovno] TerminalNo=K-0001-0002-0003-0004 | Broj terminala mora imati od 1 do 20 "
         "znakova"},
        {"[Osnovno]\nTerminalNo=\n", "[Osnovno] TerminalNo= | Broj terminala"},
        {"[Osnovno]\nTerminalNo=01/2\n", "[Osnovno] TerminalNo=01/2 | Broj terminala"},
        {"[Osnovno]\nDbPath=DataBase/Zorvex.fdb\n",
         "[Osnovno] DbPath=DataBase/Zorvex.fdb | Putanja baze mora biti"},
        {"[Osnovno]\nDbPath=...           ; default\n",
         "[Osnovno] DbPath=...           ; default | Komentar"},
        {"[Portovi]\nFP=ttyUSB0\n",
         "[Portovi] FP=ttyUSB0 | Port nije prepoznat. Dozvoljeno je \"COMn\""},
        {"[Portovi]\nFP=~/ttyUSB0\n", "[Portovi] FP=~/ttyUSB0 | Port nije prepoznat"},
        {"[Portovi]\nFP=COM1              ; COMn is /dev/ttyS(n-1)\n",
         "[Portovi] FP=COM1              ; COMn"},
        {"[Portovi]\nFP=COMX\n", "[Portovi] FP=COMX | Port nije prepoznat"},
        {"[Portovi]\nFP=ttyUSB0\n[Osnovno]\nLanguage=ENG\n",
         "A setting in LINK.INI cannot work: | [Portovi] FP=ttyUSB0 | The port is not recognised. "
         "Accepted are "
         "\"COMn\""},
        // what a power cut can leave of a file rewritten in place: DbPath and
        // TerminalNo must not be traded for the defaults
        {std::string("[Osnovno]\nTerminalNo=017\n\0\0\0\0\0\0\0\0", 33),
         "LINK.INI ne moze da se procita: | ", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ini);
        LinkInstallation inst;
        sim::Fp550Simulator printer(inst.dir.Path() + "/printer.state");
        const std::string port = printer.Start();
        inst.Ini(c.ini.find("[Portovi]") == 0 ? c.ini : "[Portovi]\nFP=" + port + "\n" + c.ini);
        LinkProcess link(inst, {{"QT_QPA_PLATFORM", "offscreen"}});
        EXPECT_TRUE(
            WaitFor([&] { return inst.LinkLog().find(c.logged) != std::string::npos; }, 15000))
            << inst.LinkLog();
        // the box waits for the operator; the start never reached the printer
        EXPECT_TRUE(link.Running());
        link.Stop();
        EXPECT_EQ(link.WaitExit(10000), 0);
        EXPECT_EQ(printer.FramesReceived(), 0);
        EXPECT_TRUE(printer.Journal().empty());
        EXPECT_FALSE(FileExists(inst.root + "/DataBase/Zorvex.fdb"));
        if (c.keptAsItWas) {
            EXPECT_NE(inst.LinkLog().find("LINK.INI cannot be read: | " + inst.root + "/Appl/LINK.INI | (holds NUL bytes"),
                      std::string::npos) << inst.LinkLog();
            EXPECT_EQ(ReadWholeFile(inst.root + "/Appl/LINK.INI"), "[Portovi]\nFP=" + port + "\n" + c.ini);
        }
    }
}

// A port that cannot be opened still leaves the installation the first start
// makes, and says whose device it is and what would help.
TEST(ShellSettings, FailedPortLeavesAUsableInstallationAndNamesTheDevicesRights) {
    LinkInstallation inst;
    sim::Fp550Simulator printer(inst.dir.Path() + "/printer.state");
    const std::string device = printer.Start();
    // The shop user may not open the device: as root the link runs as another
    // user on root's 0600 device; otherwise the owner has taken his own rights.
    const bool root = ::geteuid() == 0;
    ASSERT_EQ(::chmod(device.c_str(), root ? 0600 : 0), 0);
    if (root) {
        ASSERT_EQ(::chown(device.c_str(), 0, 0), 0);
    }
    inst.Ini("[Portovi]\nFP=" + device + "\n[Osnovno]\nLanguage=ENG\n");  // the texts checked below
    OpenToEveryone(inst);
    UserLink link(inst, {{"QT_QPA_PLATFORM", "offscreen"}}, true);
    const std::string expected = "Port " + device + ": cannot be opened: permission denied (" +
                                 device + " belongs to " + (root ? "root:root with mode 0600" : "");
    EXPECT_TRUE(WaitFor([&] { return inst.LinkLog().find(expected) != std::string::npos; }, 15000))
        << inst.LinkLog() << link.Stderr();
    EXPECT_NE(inst.LinkLog().find("its group may not read and write it"), std::string::npos)
        << inst.LinkLog();
    EXPECT_EQ(inst.LinkLog().find("log in again"), std::string::npos) << inst.LinkLog();
    link.Stop();
    EXPECT_EQ(link.WaitExit(10000), 0);

    EXPECT_TRUE(FileExists(inst.root + "/Appl/LINK.INI"));
    EXPECT_TRUE(FileExists(inst.root + "/DataBase/Zorvex.fdb"));
    EXPECT_TRUE(DirectoryExists(inst.root + "/Exch/Lnk/To_FP"));
    EXPECT_TRUE(DirectoryExists(inst.root + "/Exch/Lnk/From_FP"));
    EXPECT_EQ(printer.FramesReceived(), 0);
}

// A start marker that another user left unreadable: the start ends at once, and
// without a display the reason is on stderr and in the link log.
TEST(ShellSettings, MarkerThatCannotBeOpenedIsReported) {
    LinkInstallation inst;
    inst.Ini("[Osnovno]\nLanguage=ENG\n");
    OpenToEveryone(inst);
    const std::string marker = inst.runtime + "/ZorvexStarted";
    WriteWholeFile(marker, "");
    ASSERT_EQ(::chmod(marker.c_str(), ::geteuid() == 0 ? 0600 : 0), 0);
    UserLink link(inst, {}, true);
    EXPECT_EQ(link.WaitExit(10000), 0);
    const std::string err = link.Stderr();
    EXPECT_NE(err.find("The program's start marker cannot be opened:\n" + marker +
                       "\n(Permission denied; owner "),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("delete the marker: sudo rm " + marker), std::string::npos) << err;
    EXPECT_NE(inst.LinkLog().find("The program's start marker cannot be opened: | " + marker),
              std::string::npos)
        << inst.LinkLog();
    EXPECT_TRUE(FileExists(marker));
}
