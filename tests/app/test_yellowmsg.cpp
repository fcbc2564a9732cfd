#include "app/P00_inilink.h"
#include "app/P00_marker.h"
#include "app/P00_util.h"
#include "app/P00_yellowmsg.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

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

// One entry per message: the stamp, the first line, the other lines behind it.
bool LoggedAs(const std::string& log, const std::string& text) {
    return log.size() > 20 && std::regex_match(log.substr(0, 20), std::regex(kStamp + " ")) &&
           log.substr(20) == text + "\r\n";
}

TEST(YellowMsg, TitleTextAndLogEntryOfNumberedMessages) {
    struct Case { int n; const char* language; const char* title; const char* logged; };
    const Case cases[] = {
        {1, "SRB", "MSG - 1001",
         "Prekid komunikacije sa FP-550! | Program ce biti prekinut! | Preporuka: | 1. Proverite sve kablove | "
         "2. Proverite da li svetli zelena lampica na FP-550 | 3. Proverite da li svetli L1 lampica na GPRS modemu"},
        {1, "ENG", "MSG - 1001",
         "Communication with FP-550 interupted! | Program will shutdown! | Recomendation: | 1. Check all cables | "
         "2. Check green led on FP-550 | 3. Check green led on L1 on GPRS modem"},
        {3, "eng", "MSG - 1003",
         "Nestalo je papira na BON-u ili JOURNAL-u! | Preporuka: | 1. ZAMENITE PAPIR! | 2. VRATITE POLUGU! | "
         "3. ZATVORITE POKLOPAC! | Pritisnite OK kada ga zamenite"},
        {50, "SRB", "MSG - 1050", "Akcija zahteva ZATVARANJE dana!"},
        {0, "SRB", "MSG - 1000", "Baza podataka necitljiva! | Preporuka: | Pozovite Helvane-u"},
        {7, "SRB", "MSG - 1007", ""},
    };
    for (const Case& c : cases) {
        Dialog d;
        d.messages.SetLanguage(c.language);
        d.msg.PrepareNumbered(c.n);
        EXPECT_EQ(d.msg.Title(), c.title);
        EXPECT_EQ(d.msg.Text(), d.messages.GetMsg(c.n));
        EXPECT_TRUE(LoggedAs(d.Log(), c.logged)) << c.n << ": " << d.Log();
        EXPECT_EQ(FileExists(d.NoPaper()), c.n == 3) << c.n;
    }
}

// A printer failure begins with the command's caption; the cause must reach the log.
TEST(YellowMsg, FreeTextsAreShownWholeAndLoggedWhole) {
    struct Case { const char* text; const char* logged; };
    const Case cases[] = {
        {"Firmware 3.00 is not supported", "Firmware 3.00 is not supported"},
        {"Komanda 90\nNema papira", "Komanda 90 | Nema papira"},
        {"Komanda 76\r\n\r\nPrekid komunikacije\n", "Komanda 76 | Prekid komunikacije"},
        {"\nafter an empty first line", " | after an empty first line"},
        {"", ""},
    };
    for (const Case& c : cases) {
        Dialog d;
        d.msg.PrepareText(c.text);
        EXPECT_EQ(d.msg.Title(), "MSG - 9999");
        EXPECT_EQ(d.msg.Text(), c.text);
        const std::string log = d.Log();
        EXPECT_TRUE(LoggedAs(log, c.logged)) << c.text << ": " << log;
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << c.text;
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
