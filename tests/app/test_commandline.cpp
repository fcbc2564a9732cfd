// The three programs' command lines: --help and --version answer at once without
// touching a port, a window or the installation; the link without a display says
// so plainly and exits with 0.
#include <gtest/gtest.h>

#include <unistd.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>

#include "LinkProcess.h"

using namespace velbrin;
using namespace velbrin::test;

namespace {

struct Outcome {
    int code = -1;
    std::string out;  // stdout and stderr together
};

// Runs a shell command line with the given environment prefix (env -u ... VAR=...).
Outcome RunLine(const std::string& command) {
    Outcome r;
    FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    if (!p) return r;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    int status = ::pclose(p);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

std::string Quote(const std::string& s) {
    return "'" + s + "'";
}

std::string InInstallation(const LinkInstallation& inst) {
    return "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM VELBRIN_REGISTRY=" +
           Quote(inst.registry) + " VELBRIN_RUNTIME_DIR=" + Quote(inst.runtime) +
           " XDG_RUNTIME_DIR=" + Quote(inst.xdg) + " ";
}

}  // namespace

TEST(CommandLine, HelpAndVersionAnswerWithoutStartingAnything) {
    const std::string programs[] = {VELBRIN_LINK_BINARY, VELBRIN_STATUS_BINARY, FP550_SIM_PROGRAM};
    for (const std::string& program : programs) {
        LinkInstallation inst;
        // a port that exists but is no printer: whoever opens it would fail loudly
        inst.Ini("[Portovi]\nFP=/dev/null\n");
        const std::string before = ReadWholeFile(inst.root + "/Appl/LINK.INI");

        Outcome help = RunLine(InInstallation(inst) + Quote(program) + " --help");
        EXPECT_EQ(help.code, 0) << program << help.out;
        EXPECT_EQ(help.out.rfind("usage: ", 0), 0u) << program << help.out;
        EXPECT_NE(help.out.find("--version"), std::string::npos) << program;

        Outcome version = RunLine(InInstallation(inst) + Quote(program) + " --version");
        EXPECT_EQ(version.code, 0) << program << version.out;
        EXPECT_NE(version.out.find(" 7.4.44 (build "), std::string::npos) << program << version.out;
        EXPECT_EQ(std::count(version.out.begin(), version.out.end(), '\n'), 1) << version.out;

        // nothing was started: no marker, no log, LINK.INI as it was
        EXPECT_FALSE(FileExists(inst.runtime + "/ZorvexStarted")) << program;
        EXPECT_FALSE(FileExists(inst.root + "/Logs")) << program;
        EXPECT_EQ(ReadWholeFile(inst.root + "/Appl/LINK.INI"), before) << program;
    }
}

TEST(CommandLine, ToolsRefuseAWrongCommandLineWithStatusTwo) {
    LinkInstallation inst;
    for (const std::string& line :
         {Quote(VELBRIN_STATUS_BINARY) + " --txt", Quote(FP550_SIM_PROGRAM) + " --state",
          Quote(FP550_SIM_PROGRAM) + " --link x --state"}) {
        Outcome r = RunLine(InInstallation(inst) + line);
        EXPECT_EQ(r.code, 2) << line << r.out;
        EXPECT_NE(r.out.find("usage: "), std::string::npos) << line << r.out;
    }
}

// A display number no X server on this machine has (other tests run Xvfb servers).
std::string AbsentDisplay() {
    for (int n = 700;; ++n)
        if (!FileExists("/tmp/.X" + std::to_string(n) + "-lock") &&
            ::access(("/tmp/.X11-unix/X" + std::to_string(n)).c_str(), F_OK) != 0)
            return ":" + std::to_string(n);
}

TEST(CommandLine, LinkWithoutADisplaySaysSoInTheOperatorsLanguageAndExitsWithZero) {
    struct Case {
        std::string ini;
        std::string env;
        std::string text;
    };
    const Case cases[] = {
        {"", "", "velbrin-link: nema ekrana (DISPLAY) za ikonu programa; program nije pokrenut"},
        {"[Osnovno]\nLanguage=ENG\n", "",
         "velbrin-link: no display (DISPLAY) to show the tray icon on; the link did not start"},
        // a display named but not there
        {"[Osnovno]\nLanguage=ENG\n", "DISPLAY=" + AbsentDisplay() + " ",
         "velbrin-link: no display (DISPLAY) to show the tray icon on"},
    };
    for (const Case& c : cases) {
        LinkInstallation inst;
        if (!c.ini.empty()) inst.Ini(c.ini);
        Outcome r = RunLine(InInstallation(inst) + c.env + Quote(VELBRIN_LINK_BINARY));
        EXPECT_EQ(r.code, 0) << r.out;
        EXPECT_NE(r.out.find(c.text), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("Reinstalling"), std::string::npos) << r.out;
        EXPECT_NE(inst.LinkLog().find(c.text), std::string::npos) << inst.LinkLog();
        // the next start is not blocked by this one
        EXPECT_EQ(RunLine("flock -n " + Quote(inst.runtime + "/ZorvexStarted") + " true").code, 0);
    }
}
