#include "app/P00_inilink.h"
#include "app/P00_marker.h"
#include "app/P00_util.h"
#include "app/P00_yellowmsg.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <chrono>
#include <regex>
#include <thread>

using namespace velbrin;

namespace {

const std::string kStamp = "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}";

struct Dialog {
    test::TempDir dir;
    test::ScopedRegistry registry{dir.Path(), dir.Path() + "/inst"};
    TIniLink ini;
    TMsgTable messages;
    TLogFile linkLog{dir.Path() + "/inst/Logs/LINK_log.txt"};
    TYellowMsg msg{messages, ini, linkLog};

    Dialog() {
        ForceDirectories(ini.FromFpDir());
        ::setenv("VELBRIN_RUNTIME_DIR", (dir.Path() + "/run").c_str(), 1);
    }
    ~Dialog() { ::unsetenv("VELBRIN_RUNTIME_DIR"); }
    std::string Log() const { return FileExists(linkLog.Path()) ? ReadWholeFile(linkLog.Path()) : ""; }
    std::string NoPaper() const { return JoinPath(ini.FromFpDir(), "NoPaper.err"); }
};

}  // namespace

TEST(YellowMsg, TitleTextAndLogEntryOfNumberedMessages) {
    struct Case { int n; const char* language; const char* title; const char* logged; };
    const Case cases[] = {
        {1, "SRB", "MSG - 1001", "Prekid komunikacije sa FP-550!"},
        {1, "ENG", "MSG - 1001", "Communication with FP-550 interupted!"},
        {3, "eng", "MSG - 1003", "Nestalo je papira na BON-u ili JOURNAL-u!"},
        {50, "SRB", "MSG - 1050", ""},  // one line: logged with an empty text
        {0, "SRB", "MSG - 1000", "Baza podataka necitljiva!"},
        {7, "SRB", "MSG - 1007", ""},
    };
    for (const Case& c : cases) {
        Dialog d;
        d.messages.SetLanguage(c.language);
        d.msg.PrepareNumbered(c.n);
        EXPECT_EQ(d.msg.Title(), c.title);
        EXPECT_EQ(d.msg.Text(), d.messages.GetMsg(c.n));
        EXPECT_TRUE(std::regex_match(d.Log(), std::regex(kStamp + " " + c.logged + "\r\n"))) << c.n << ": " << d.Log();
        EXPECT_EQ(FileExists(d.NoPaper()), c.n == 3) << c.n;
    }
}

TEST(YellowMsg, FreeTextsAreShownWholeAndLoggedByTheirFirstLine) {
    struct Case { const char* text; const char* logged; };
    const Case cases[] = {
        {"Firmware 3.00 is not supported", ""},
        {"Cannot open /dev/ttyS0\nNo such device", "Cannot open /dev/ttyS0"},
        {"\nafter an empty first line", ""},
        {"", ""},
    };
    for (const Case& c : cases) {
        Dialog d;
        d.msg.PrepareText(c.text);
        EXPECT_EQ(d.msg.Title(), "MSG - 9999");
        EXPECT_EQ(d.msg.Text(), c.text);
        EXPECT_TRUE(std::regex_match(d.Log(), std::regex(kStamp + " " + c.logged + "\r\n"))) << c.text;
        EXPECT_FALSE(FileExists(d.NoPaper()));
    }
}

TEST(YellowMsg, PaperOutSignalHoldsOnlyTheLastShowing) {
    Dialog d;
    WriteWholeFile(d.NoPaper(), "2000-01-01 00:00:00\r\nold content that is much longer than one line\r\n");
    d.msg.PrepareNumbered(3);
    std::string first = ReadWholeFile(d.NoPaper());
    EXPECT_TRUE(std::regex_match(first, std::regex(kStamp + "\r\n"))) << first;
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    d.msg.PrepareNumbered(3);
    std::string second = ReadWholeFile(d.NoPaper());
    EXPECT_TRUE(std::regex_match(second, std::regex(kStamp + "\r\n"))) << second;
    EXPECT_NE(first, second);
}

TEST(YellowMsg, MissingExchangeFolderDoesNotStopTheDialog) {
    Dialog d;
    std::filesystem::remove_all(d.ini.FromFpDir());
    EXPECT_NO_THROW(d.msg.PrepareNumbered(3));
    EXPECT_EQ(d.msg.Title(), "MSG - 1003");
}

TEST(YellowMsg, MarkerIsHeldOnlyWhileOpen) {
    Dialog d;
    EXPECT_FALSE(TNamedMarker::IsHeld("YellowMsg"));
    d.msg.Opened();
    EXPECT_TRUE(TNamedMarker::IsHeld("YellowMsg"));
    d.msg.Closed();
    EXPECT_FALSE(TNamedMarker::IsHeld("YellowMsg"));
    d.msg.Opened();
    d.msg.Opened();
    d.msg.Closed();
    EXPECT_FALSE(TNamedMarker::IsHeld("YellowMsg"));
}

TEST(YellowMsg, LayoutFromTheMeasuredLabel) {
    struct Case { int w, h; int labelW, groupH, clientW, clientH, buttonL, buttonT; };
    const Case cases[] = {
        {120, 13, 260, 61, 292, 123, 96, 77},     // short: label widened to 260
        {229, 13, 260, 61, 292, 123, 96, 77},
        {230, 13, 230, 61, 262, 123, 81, 77},     // 230 is wide enough
        {401, 182, 401, 230, 433, 292, 166, 246}, // odd width: button position rounds down
        {0, 0, 260, 48, 292, 110, 96, 64},
    };
    for (const Case& c : cases) {
        TYellowMsgLayout l = TYellowMsg::Layout(c.w, c.h);
        EXPECT_EQ(l.labelLeft, 16);
        EXPECT_EQ(l.labelTop, 24);
        EXPECT_EQ(l.labelWidth, c.labelW) << c.w;
        EXPECT_EQ(l.labelHeight, c.h);
        EXPECT_EQ(l.groupHeight, c.groupH) << c.w;
        EXPECT_EQ(l.clientWidth, c.clientW) << c.w;
        EXPECT_EQ(l.clientHeight, c.clientH) << c.w;
        EXPECT_EQ(l.buttonLeft, c.buttonL) << c.w;
        EXPECT_EQ(l.buttonTop, c.buttonT) << c.w;
        EXPECT_EQ(l.buttonWidth, 100);
        EXPECT_EQ(l.buttonHeight, 30);
    }
}
