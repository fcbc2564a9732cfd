// The real program with its database on a server: a server that refuses or cannot
// be reached ends the start like a database that cannot be opened, named with the
// user in the box and the link log, and a readable server password stops it first.
#include <arpa/inet.h>
#include "tools/harness/LoopbackPort.h"
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "LinkProcess.h"
#include "app/P00_linkstatus.h"
#include "tools/fp550sim/Fp550Simulator.h"

using namespace velbrin;
using namespace velbrin::test;

namespace {

// Starts the link on a server database with the given settings-store mode and
// returns what the link log holds once the start has failed.
std::string FailedStartLog(mode_t storeMode, const std::string& expected) {
    LinkInstallation inst;
    sim::Fp550Simulator sim(inst.dir.Path() + "/printer.state");
    inst.Ini("[Portovi]\nFP=" + sim.Start() +
             "\n[Osnovno]\nDbPath=127.0.0.1/1:/srv/velbrin/kasa1.fdb\n");
    WriteWholeFile(inst.registry, "[Software\\Helvane\\Velbrin]\nLocal_Install_Dir=" + inst.root +
                                      "\nDb_Server_User=KASA1\nDb_Server_Password=Tajna-77\n");
    ::chmod(inst.registry.c_str(), storeMode);
    LinkProcess link(inst, {{"QT_QPA_PLATFORM", "offscreen"}});
    EXPECT_TRUE(WaitFor([&] { return inst.LinkLog().find(expected) != std::string::npos; }, 15000))
        << inst.LinkLog();
    // the error box waits for the operator; a stop request ends it with 0 as well
    link.Stop();
    EXPECT_EQ(link.WaitExit(10000), 0);
    EXPECT_FALSE(FileExists(inst.root + "/DataBase/Zorvex.fdb"))
        << "no local copy for a server database";
    return inst.LinkLog();
}

}  // namespace

TEST(ShellServer, ServerThatCannotBeReachedIsNamedWithTheUserNeverThePassword) {
    const std::string log = FailedStartLog(0600, "Server: 127.0.0.1/1, user: KASA1");
    EXPECT_NE(log.find("Baza: 127.0.0.1/1:/srv/velbrin/kasa1.fdb"), std::string::npos) << log;
    EXPECT_EQ(log.find("Tajna-77"), std::string::npos) << log;
}

TEST(ShellServer, ServerPasswordThatEveryUserCanReadStopsTheStart) {
    const std::string log = FailedStartLog(0644, "password is in a file every user can read");
    EXPECT_NE(log.find("registry.ini"), std::string::npos) << log;
    EXPECT_EQ(log.find("Baza:"), std::string::npos) << "the server is not asked: " << log;
    EXPECT_EQ(log.find("Tajna-77"), std::string::npos) << log;
}

namespace {

using loopback::SilentListener;

// A database path on a server whose host hangs.
std::string SilentDbPath(const SilentListener& silent) {
    return "127.0.0.1/" + std::to_string(silent.Port()) + ":/srv/velbrin/kasa1.fdb";
}

double SecondsSince(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

std::string LinkState(const LinkInstallation& inst) {
    std::string text;
    if (!AskLocalSocket(inst.runtime + "/ZorvexFocus", "status", text, 1000)) return {};
    return ParseStatusAnswer(text).state;
}

}  // namespace

TEST(ShellServer, ServerThatNeverAnswersEndsTheStartWithinItsTimeoutAndAStopEndsTheWait) {
    SilentListener silent;
    for (const int timeout : {3, 60}) {
        SCOPED_TRACE("DbConnectTimeout=" + std::to_string(timeout));
        LinkInstallation inst;
        sim::Fp550Simulator sim(inst.dir.Path() + "/printer.state");
        inst.Ini("[Portovi]\nFP=" + sim.Start() + "\n[Osnovno]\nDbPath=" + SilentDbPath(silent) +
                 "\nDbConnectTimeout=" + std::to_string(timeout) + "\n");
        WriteWholeFile(inst.registry, "[Software\\Helvane\\Velbrin]\nLocal_Install_Dir=" + inst.root +
                                          "\nDb_Server_User=KASA1\nDb_Server_Password=Tajna-77\n");
        ::chmod(inst.registry.c_str(), 0600);
        const auto started = std::chrono::steady_clock::now();
        LinkProcess link(inst, {{"QT_QPA_PLATFORM", "offscreen"}});
        // While it waits, the tray and velbrin-status say for what.
        EXPECT_TRUE(WaitFor([&] { return LinkState(inst) == "connecting-to-database"; }, 5000));
        if (timeout == 3) {
            EXPECT_TRUE(WaitFor(
                [&] { return inst.LinkLog().find("did not answer within 3 s") != std::string::npos; }, 8000))
                << inst.LinkLog();
            const double told = SecondsSince(started);
            std::printf("[ measure  ] a silent server was told %.1f s after the start\n", told);
            EXPECT_LT(told, 3 + 1.5) << "the wait ends at the time-out it names";
            EXPECT_NE(inst.LinkLog().find("Server: 127.0.0.1/"), std::string::npos) << inst.LinkLog();
            EXPECT_EQ(inst.LinkLog().find("rejected"), std::string::npos) << inst.LinkLog();
        }
        const auto stop = std::chrono::steady_clock::now();
        link.Stop();
        EXPECT_EQ(link.WaitExit(10000), 0);
        const double stopped = SecondsSince(stop);
        std::printf("[ measure  ] a stop request ended the link in %.1f s\n", stopped);
        EXPECT_LT(stopped, 2.5);
    }
}
