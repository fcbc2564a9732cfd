// Real windows under a display (run through xvfb-run): the important-message
// dialog closed by a key press, the error box of a failed start, and the
// numbered message of a printer that never answers.
#include "LinkProcess.h"

#include "app/P00_inilink.h"
#include "app/P00_marker.h"
#include "app/shell/P00_formyellowmsg.h"
#ifdef VELBRIN_HAVE_PRINTER
#include "tools/fp550sim/Fp550Simulator.h"
#endif

#include <gtest/gtest.h>
#include <sys/file.h>
#include <cerrno>

#include <QApplication>
#include <QTimer>

#include <fcntl.h>
#include <stdlib.h>

#include <atomic>
#include <cstdio>
#include <regex>

using namespace velbrin;
using namespace velbrin::test;

namespace {

const std::string kStamp = "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}";

// Finds the visible window with this exact title, gives it the focus and types a
// key, as an operator would; again while the window is still there (bounded).
// 0 once the window has gone.
int PressKeyIn(const std::string& title, const std::string& key, int timeoutSeconds) {
    std::string script =
        "w=$(timeout " + std::to_string(timeoutSeconds) + " xdotool search --sync --onlyvisible --name '^" + title +
        "$' 2>/dev/null | head -n 1); [ -n \"$w\" ] || exit 1; "
        "for i in 1 2 3 4 5 6 7 8 9 10; do "
        "xdotool windowfocus $w 2>/dev/null; sleep 0.2; xdotool key " + key + " 2>/dev/null; sleep 0.5; "
        "xdotool search --onlyvisible --name '^" + title + "$' 2>/dev/null | grep -qx \"$w\" || exit 0; "
        "done; exit 2";
    std::string cmd = "bash -c \"" ;
    for (char ch : script) {
        if (ch == '"' || ch == '$' || ch == '\\') cmd += '\\';
        cmd += ch;
    }
    cmd += "\" >/dev/null 2>&1";
    return std::system(cmd.c_str());
}

// Looks at the marker file itself: changing the environment here would race
// with std::system on the key-pressing thread.
[[maybe_unused]] bool HeldIn(const std::string& runtime, const char* name) {
    int fd = ::open((runtime + "/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return held;
}

}  // namespace

TEST(DialogOnDisplay, AnyKeyClosesItAndItHeldTheMarkerWhileOpen) {
    struct Case { int n; std::string key; std::string logged; };
    const Case cases[] = {{3, "x", "Nestalo je papira na BON-u ili JOURNAL-u!"}, {50, "Escape", "Akcija zahteva ZATVARANJE dana!"}, {2, "Return", "Kabl DISPLAY-ja za kupca verovatno u prekidu!"}};
    for (const Case& c : cases) {
        TempDir dir;
        ScopedRegistry registry(dir.Path(), dir.Path() + "/inst");
        ::setenv("VELBRIN_RUNTIME_DIR", (dir.Path() + "/run").c_str(), 1);
        TIniLink ini;
        ForceDirectories(ini.FromFpDir());
        TMsgTable messages;
        TLogFile linkLog(ini.LogsDir() + "/LINK_log.txt");
        TYellowMsg logic(messages, ini, linkLog);
        TFormYellowMsg dialog(logic);

        bool heldWhileOpen = false, onTop = false;
        int keyResult = -1;
        QSize shown;
        std::atomic<bool> looked{false};
        QTimer::singleShot(0, [&] {
            heldWhileOpen = TNamedMarker::IsHeld("YellowMsg");
            onTop = dialog.windowFlags().testFlag(Qt::WindowStaysOnTopHint);
            shown = dialog.size();
            looked = true;
        });
        // the key press comes from outside, while the dialog runs its own loop
        std::thread presser([&] {
            WaitFor([&] { return looked.load(); }, 20000);
            keyResult = PressKeyIn("MSG - " + std::to_string(c.n + 1000), c.key, 20);
        });
        dialog.ShowNumbered(c.n);
        presser.join();
        ::unsetenv("VELBRIN_RUNTIME_DIR");

        EXPECT_EQ(keyResult, 0) << c.n;
        EXPECT_TRUE(heldWhileOpen) << c.n;
        EXPECT_FALSE(TNamedMarker::IsHeld("YellowMsg")) << c.n;
        EXPECT_TRUE(onTop);
        EXPECT_EQ(shown.width(), dialog.LastLayout().clientWidth) << c.n;
        EXPECT_EQ(shown.height(), dialog.LastLayout().clientHeight) << c.n;
        if (c.n == 50) {
            EXPECT_EQ(dialog.LastLayout().clientWidth, 292);  // short text: label made 260 wide
        }
        // one entry: the stamp, the first line, then the rest of the message
        const std::string log = ReadWholeFile(linkLog.Path());
        EXPECT_TRUE(std::regex_match(log.substr(0, 20), std::regex(kStamp + " "))) << log;
        EXPECT_EQ(log.substr(20), OneLogEntry(messages.GetMsg(c.n)) + "\r\n");
        EXPECT_EQ(log.substr(20).rfind(c.logged, 0), 0u) << log;
        EXPECT_EQ(FileExists(ini.FromFpDir() + "/NoPaper.err"), c.n == 3);
    }
}

TEST(ProgramOnDisplay, FailedStartShowsTheErrorBoxAndExitsWithZero) {
    LinkInstallation inst;
    ForceDirectories(inst.root + "/Appl/LINK.INI");  // a folder where the file must be written
    LinkProcess link(inst, {});
    EXPECT_EQ(PressKeyIn("Velbrin - LINK", "Return", 20), 0);
    EXPECT_EQ(link.WaitExit(10000), 0);
}

TEST(ProgramOnDisplay, SilentPrinterShowsNumberedMessageOneAndEnds) {
#ifndef VELBRIN_HAVE_PRINTER
    GTEST_SKIP() << "needs the printer link test in the start-up";
#else
    int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    std::string slave = ::ptsname(master);
    LinkInstallation inst;
    inst.Ini("[Portovi]\nFP=" + slave + "\n");
    LinkProcess link(inst, {});
    // the test holds the other end and never answers
    bool held = false;
    std::thread watcher([&] { held = WaitFor([&] { return HeldIn(inst.runtime, "YellowMsg"); }, 60000); });
    EXPECT_EQ(PressKeyIn("MSG - 1001", "Return", 60), 0);
    watcher.join();
    EXPECT_TRUE(held);
    EXPECT_EQ(link.WaitExit(15000), 0);
    EXPECT_TRUE(std::regex_search(inst.LinkLog(), std::regex(kStamp + " Prekid komunikacije sa FP-550! \\| Program ce biti prekinut! \\| Preporuka:")))
        << inst.LinkLog();
    ::close(master);
#endif
}

TEST(ProgramOnDisplay, ReceiptsAreAnsweredOnceFromFpDirIsBackWithoutARestart) {
#ifndef VELBRIN_HAVE_PRINTER
    GTEST_SKIP() << "needs the printer";
#else
    LinkInstallation inst;
    sim::Fp550Simulator printer(inst.dir.Path() + "/printer.state");
    inst.Ini("[Portovi]\nFP=" + printer.Start() + "\n");
    LinkProcess link(inst, {});
    const std::string to = inst.root + "/Exch/Lnk/To_FP", from = inst.root + "/Exch/Lnk/From_FP";
    ASSERT_TRUE(WaitFor([&] { return HeldIn(inst.runtime, "ZorvexStarted") && DirectoryExists(from); }, 20000));
    auto drop = [&](const std::string& name) {
        WriteWholeFile(to + "/." + name, "1001,1,\"Hleb\",1.50,1\r\nKRAJBONA,0,-,0,0\r\n");
        ::rename((to + "/." + name).c_str(), (to + "/" + name).c_str());
    };
    auto gone = [&](const std::string& name) { return !FileExists(to + "/" + name); };
    // FromFpDir replaced by a plain file, as a share that drops would leave it.
    ASSERT_EQ(::rename(from.c_str(), (from + ".away").c_str()), 0);
    WriteWholeFile(from, "");
    drop("ABC_1.csv");
    EXPECT_TRUE(WaitFor([&] { return gone("ABC_1.csv") && gone("ABC_1.zvx"); }, 20000));
    // The operator is told in a box that does not stop the link; closed by a key.
    EXPECT_EQ(PressKeyIn("Velbrin - LINK", "Return", 20), 0);
    drop("ABC_2.csv");
    EXPECT_TRUE(WaitFor([&] { return gone("ABC_2.csv") && gone("ABC_2.zvx"); }, 20000)) << "still taking receipts";
    ASSERT_EQ(::unlink(from.c_str()), 0);
    ASSERT_EQ(::rename((from + ".away").c_str(), from.c_str()), 0);
    drop("ABC_3.csv");
    EXPECT_TRUE(WaitFor([&] { return FileExists(from + "/ABC_3.ok"); }, 20000)) << inst.LinkLog();
    for (const char* name : {"ABC_1.ok", "ABC_2.ok", "ABC_3.ok"})
        EXPECT_EQ(FileExists(from + "/" + name) ? ReadWholeFile(from + "/" + name) : "<none>", "1.50\r\n") << name;
    EXPECT_TRUE(link.Running());
    link.Stop();
    EXPECT_EQ(link.WaitExit(15000), 0);
    const std::string log = inst.LinkLog();
    EXPECT_NE(log.find("ABC_1.ok waits"), std::string::npos) << log;
    EXPECT_NE(log.find("delivered again"), std::string::npos) << log;
#endif
}

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
