// The real link on a virtual display with a tray host (trayer) that the test
// starts after the link: the icon moves into the tray when it appears, and the
// state the tray shows, read back through velbrin-status's query on the link's
// local channel, follows what the link does: working with its last answer,
// waiting while a message is open. The window of long printer work appears only
// after two seconds and leaves the keyboard where it was. With VELBRIN_SHOT_DIR
// set, the tray with its tooltip and the progress window are drawn into that
// folder (tray.png, progress.png).
#include <gtest/gtest.h>

#include <QApplication>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPixmap>
#include <QScreen>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "LinkProcess.h"
#include "app/P00_linkstatus.h"
#include "app/P00_marker.h"
#include "app/shell/P00_formprogress.h"
#include "app/shell/P00_qtappservices.h"
#include "tools/fp550sim/Fp550Simulator.h"

using namespace velbrin;
using namespace velbrin::test;

namespace {

TStatusAnswer AskLink(const LinkInstallation& inst) {
    std::string text;
    if (!AskLocalSocket(inst.runtime + "/ZorvexFocus", "status", text, 3000)) return {};
    return ParseStatusAnswer(text);
}

bool LinkSays(const LinkInstallation& inst, const std::string& state, const std::string& text,
              int ms) {
    return WaitFor(
        [&] {
            TStatusAnswer a = AskLink(inst);
            return a.state == state && a.text.find(text) != std::string::npos;
        },
        ms);
}

std::string Shell(const std::string& command) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return out;
    char buf[512];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    ::pclose(p);
    return out;
}

// Visible windows of the link: its hidden main window is never one, so a visible
// window without an open message is the icon inside a tray.
std::string VisibleLinkWindows() {
    return Shell("xdotool search --onlyvisible --classname velbrin-link 2>/dev/null");
}

void Drop(const LinkInstallation& inst, const std::string& sample) {
    const std::string to = inst.root + "/Exch/Lnk/To_FP/";
    ASSERT_TRUE(CopyFileOverwrite(std::string(VELBRIN_DEMO_DIR) + "/" + sample, to + ".part"));
    ASSERT_EQ(std::rename((to + ".part").c_str(), (to + sample).c_str()), 0);
}

// A tray host as a panel at the top right, started and ended by the test.
struct Tray {
    Tray() {
        pid = std::atoi(Shell("trayer --edge top --align right --widthtype request --height 24 "
                              "--transparent false >/dev/null 2>&1 & echo $!")
                            .c_str());
    }
    ~Tray() {
        if (pid > 0) ::kill(pid, SIGTERM);
    }
    int pid = 0;
};

// Points at the icon so that its tooltip opens, and draws the top right corner.
void DrawTray(const std::string& window, const std::string& path) {
    Shell("xdotool mousemove --window " + window + " 10 10; sleep 2");
    QScreen* screen = QGuiApplication::primaryScreen();
    const QRect all = screen->geometry();
    QPixmap shot = screen->grabWindow(0, all.width() - 520, 0, 520, 110);
    shot.save(QString::fromStdString(path));
}

}  // namespace

TEST(TrayOnDisplay, IconJoinsALaterTrayAndShowsWhatTheLinkDoes) {
    LinkInstallation inst;
    sim::Fp550Simulator printer(inst.dir.Path() + "/printer.state");
    inst.Ini("[Portovi]\nFP=" + printer.Start() + "\n[Osnovno]\nLanguage=ENG\n");
    LinkProcess link(inst, {});

    ASSERT_TRUE(LinkSays(inst, "working", "Working; no request yet", 60000)) << inst.LinkLog();
    EXPECT_EQ(AskLink(inst).tray, "no");
    EXPECT_EQ(VisibleLinkWindows(), "");

    // a tray that appears after the link has started gets the icon
    Tray tray;
    ASSERT_TRUE(WaitFor(
        [&] { return AskLink(inst).tray == "yes" && !VisibleLinkWindows().empty(); }, 20000));

    Drop(inst, "ABC_0001.zvx");
    ASSERT_TRUE(LinkSays(inst, "working", "(ABC_0001.ok)", 30000)) << inst.LinkLog();
    TStatusAnswer a = AskLink(inst);
    EXPECT_NE(a.text.find("Working; last answer at "), std::string::npos) << a.text;
    EXPECT_NE(a.lastAnswer.find(" ABC_0001.ok"), std::string::npos) << a.lastAnswer;
    EXPECT_EQ(a.status.size(), 12u) << a.status;  // the printer's last status bytes
    if (const char* dir = std::getenv("VELBRIN_SHOT_DIR"))
        DrawTray(VisibleLinkWindows().substr(0, VisibleLinkWindows().find('\n')),
                 std::string(dir) + "/tray.png");

    // paper out: the link waits for the operator and says so until the message is closed
    printer.Control("paper off");
    Drop(inst, "ABC_0002.csv");
    ASSERT_TRUE(
        LinkSays(inst, "waiting-for-operator", "Waiting for the operator: MSG - 1003", 30000))
        << AskLink(inst).text;
    printer.Control("paper on");
    Shell(
        "w=$(xdotool search --onlyvisible --name '^MSG - 1003$' | head -n 1); xdotool windowfocus "
        "$w; sleep 0.3; "
        "xdotool key Return");
    EXPECT_TRUE(LinkSays(inst, "working", "(ABC_0002.ok)", 30000)) << AskLink(inst).text;

    link.Stop();
    EXPECT_EQ(link.WaitExit(15000), 0);
}

TEST(ProgressOnDisplay, AppearsAfterTwoSecondsLeavesTheKeyboardAndClosesAtTheEnd) {
    // the cash register application's window, which has the keyboard
    QLineEdit till;
    till.setWindowTitle("till");
    till.show();
    till.activateWindow();
    ASSERT_TRUE(WaitFor(
        [&] {
            QApplication::processEvents();
            return Shell("xdotool getwindowfocus getwindowname 2>/dev/null") == "till\n";
        },
        10000));

    TMsgTable english;
    english.SetLanguage("ENG");
    TFormProgress window(english);
    TQtAppServices app;
    app.SetProgressWindow(&window);
    bool shownEarly = false, shownLater = false, focusKept = true;
    QString caption;
    {
        TProgress progress(app, TLinkText::ProgressArticleDelete, 120);
        const auto start = std::chrono::steady_clock::now();
        for (long i = 0; i < 120; ++i) {
            progress.Step(i);
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - start);
            if (ms.count() < 1800 && window.isVisible()) shownEarly = true;
            if (ms.count() > 2500 && window.isVisible() && !shownLater) {
                shownLater = true;
                QApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
                focusKept = Shell("xdotool getwindowfocus getwindowname 2>/dev/null") == "till\n";
                if (const char* dir = std::getenv("VELBRIN_SHOT_DIR"))
                    window.grab().save(QString::fromStdString(std::string(dir) + "/progress.png"));
            }
            caption = window.Caption();
        }
    }
    EXPECT_FALSE(shownEarly);
    EXPECT_TRUE(shownLater);
    EXPECT_TRUE(focusKept);
    EXPECT_TRUE(caption.startsWith("Deleting the printer's articles: 11")) << caption.toStdString();
    EXPECT_TRUE(caption.endsWith(" / 120")) << caption.toStdString();
    EXPECT_FALSE(window.isVisible());  // the work has ended
    EXPECT_TRUE(till.hasFocus() || QApplication::focusWidget() == &till);
}

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
