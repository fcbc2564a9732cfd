// The real program with a printer port that cannot be opened: the operator sees
// the port named, and the technician finds the same text in the link log.
#include "LinkProcess.h"

#include <gtest/gtest.h>

using namespace velbrin;
using namespace velbrin::test;

TEST(ShellPort, PortThatCannotBeOpenedIsNamedInTheLog) {
    struct Case {
        std::string port, language, logged;
    };
    LinkInstallation probe;  // only for a folder name that surely has no device
    const std::string missing = probe.dir.Path() + "/ttyUSB0";
    const Case cases[] = {
        {missing, "ENG", "Port " + missing + ": cannot be opened: No such file or directory (check the cable"},
        {"COM200", "ENG", "Port COM200 (/dev/ttyS199): cannot be opened: No such file or directory"},
        // the operator's language: Serbian unless LINK.INI says ENG
        {"COM200", "SRB", "Port COM200 (/dev/ttyS199): ne moze da se otvori: No such file or directory (proverite kabl"},
    };
    for (const Case& c : cases) {
        LinkInstallation inst;
        inst.Ini("[Portovi]\nFP=" + c.port + "\n[Osnovno]\nLanguage=" + c.language + "\n");
        LinkProcess link(inst, {{"QT_QPA_PLATFORM", "offscreen"}});
        EXPECT_TRUE(WaitFor([&] { return inst.LinkLog().find(c.logged) != std::string::npos; }, 15000))
            << c.port << ": " << inst.LinkLog();
        // the error box waits for the operator; a stop request ends it with 0 as well
        link.Stop();
        EXPECT_EQ(link.WaitExit(10000), 0) << c.port;
    }
}
