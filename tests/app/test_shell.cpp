// The real program, two copies at once, without a display.
#include "LinkProcess.h"
#include "ScopedEnv.h"

#include "app/P00_linkstatus.h"
#include "app/P00_marker.h"
#include "app/status/P00_fpstatus.h"
#include "formats/P00_convert.h"
#include "formats/P01_datapacket.h"
#include "tools/fp550sim/Fp550Simulator.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <thread>

using namespace velbrin;
using namespace velbrin::test;

namespace {

bool HeldIn(const LinkInstallation& inst, const char* name) {
    ::setenv("VELBRIN_RUNTIME_DIR", inst.runtime.c_str(), 1);
    bool held = TNamedMarker::IsHeld(name);
    ::unsetenv("VELBRIN_RUNTIME_DIR");
    return held;
}

bool IsSocket(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

// A printer that answers, so the start-up runs through without a dialog.
struct Printer {
    explicit Printer(LinkInstallation& inst, const std::string& extraIni = "")
        : sim(inst.dir.Path() + "/printer.state") {
        inst.Ini("[Portovi]\nFP=" + sim.Start() + "\n" + extraIni);
    }
    sim::Fp550Simulator sim;
};

// A database tool run on a file with the link's lock folder; what it wrote.
std::string RunOnDatabase(const std::string& command) {
    std::string text;
    FILE* pipe = ::popen(("env FIREBIRD_LOCK='" VELBRIN_TEST_FIREBIRD_LOCK "' ISC_USER=SYSDBA " + command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return "popen failed";
    char buffer[1024];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
    ::pclose(pipe);
    return text;
}

}  // namespace

// A database restored or made by hand may not sync its writes; the start turns
// them on before the first query and says so in the link log.
TEST(Shell, DatabaseWithoutForcedWritesHasThemTurnedOnAtStart) {
    if (std::string(VELBRIN_GFIX).empty()) GTEST_SKIP() << "no gfix";
    LinkInstallation inst;
    Printer printer(inst);
    const std::string db = inst.root + "/DataBase/Zorvex.fdb";
    ForceDirectories(inst.root + "/DataBase");
    ASSERT_TRUE(CopyFileOverwrite(inst.root + "/Other/DB_Clear/Zorvex.fdb", db));
    const std::string forced = "echo 'select mon$forced_writes from mon$database;' | " VELBRIN_ISQL_FB " -q '" + db + "'";
    ASSERT_EQ(RunOnDatabase(VELBRIN_GFIX " -write async '" + db + "'"), "");
    ASSERT_NE(RunOnDatabase(forced).find("0"), std::string::npos);
    const std::string logged = "Forced writes were off for " + db + "; turned on";
    {
        LinkProcess link(inst, {{"QT_QPA_PLATFORM", "offscreen"}});
        EXPECT_TRUE(WaitFor([&] { return inst.LinkLog().find(logged) != std::string::npos; }, 15000))
            << inst.LinkLog();
        EXPECT_TRUE(WaitFor([&] { return DirectoryExists(inst.root + "/Exch/Lnk/From_FP"); }, 5000));
        EXPECT_TRUE(link.Running()) << inst.LinkLog();
        link.Stop();
        EXPECT_EQ(link.WaitExit(10000), 0);
    }
    const std::string now = RunOnDatabase(forced);
    EXPECT_NE(now.find("1"), std::string::npos) << now;
    EXPECT_EQ(now.find("0"), std::string::npos) << now;
}

TEST(Shell, SecondCopyExitsWithZeroAndCreatesNoWindow) {
    LinkInstallation inst;
    Printer printer(inst);
    LinkProcess first(inst, {{"QT_QPA_PLATFORM", "offscreen"}});
    ASSERT_TRUE(WaitFor([&] { return HeldIn(inst, "ZorvexStarted") && IsSocket(inst.runtime + "/ZorvexFocus"); },
                        15000));
    // A platform that does not exist: had the second copy started a window
    // system (let alone a window), Qt would abort it with a non-zero code.
    LinkProcess second(inst, {{"QT_QPA_PLATFORM", "velbrin-no-display"}});
    EXPECT_EQ(second.WaitExit(10000), 0);
    EXPECT_TRUE(first.Running());
    EXPECT_TRUE(HeldIn(inst, "ZorvexStarted"));

    first.Stop();
    EXPECT_EQ(first.WaitExit(10000), 0);
    EXPECT_FALSE(FileExists(inst.runtime + "/ZorvexStarted"));
    EXPECT_FALSE(IsSocket(inst.runtime + "/ZorvexFocus"));
}

TEST(Shell, FirstStartCompletesTheInstallation) {
    LinkInstallation inst;
    ASSERT_TRUE(FileExists(inst.root + "/Other/DB_Clear/Zorvex.fdb"));
    ASSERT_FALSE(FileExists(inst.root + "/DataBase/Zorvex.fdb"));
    Printer printer(inst, "[Osnovno]\nTimeAlert=91\nLanguage=eng\n");
    LinkProcess link(inst, {{"QT_QPA_PLATFORM", "offscreen"}});
    ASSERT_TRUE(WaitFor([&] { return HeldIn(inst, "ZorvexStarted"); }, 15000));
    ASSERT_TRUE(WaitFor([&] { return DirectoryExists(inst.root + "/Exch/Lnk/From_FP"); }, 5000));
    std::string ini = ReadWholeFile(inst.root + "/Appl/LINK.INI");
    EXPECT_NE(ini.find("TimeAlert=30"), std::string::npos);
    EXPECT_NE(ini.find("Language=eng"), std::string::npos);
    EXPECT_TRUE(FileExists(inst.root + "/DataBase/Zorvex.fdb")) << "copied from the empty template";
    EXPECT_TRUE(DirectoryExists(inst.root + "/Exch/Lnk/To_FP"));
    link.Stop();
    EXPECT_EQ(link.WaitExit(10000), 0);
}

TEST(Shell, StaleMarkerOfACrashedRunDoesNotBlockTheNextStart) {
    LinkInstallation inst;
    Printer printer(inst);
    {
        LinkProcess crashed(inst, {{"QT_QPA_PLATFORM", "offscreen"}});
        ASSERT_TRUE(WaitFor([&] { return HeldIn(inst, "ZorvexStarted"); }, 15000));
        ::kill(crashed.Pid(), SIGKILL);
        crashed.WaitExit(5000);
    }
    EXPECT_TRUE(FileExists(inst.runtime + "/ZorvexStarted"));
    LinkProcess next(inst, {{"QT_QPA_PLATFORM", "offscreen"}});
    EXPECT_TRUE(WaitFor([&] { return HeldIn(inst, "ZorvexStarted"); }, 15000));
    EXPECT_TRUE(next.Running());
    next.Stop();
    EXPECT_EQ(next.WaitExit(10000), 0);
}

TEST(Shell, StatusToolBesideTheLinkShowsTheIdentificationTheLinkReadAtStart) {
    LinkInstallation inst;
    Printer printer(inst);
    LinkProcess link(inst, {{"QT_QPA_PLATFORM", "offscreen"}});
    ASSERT_TRUE(WaitFor(
        [&] {
            std::string text;
            return AskLocalSocket(inst.runtime + "/ZorvexFocus", "status", text, 3000) &&
                   ParseStatusAnswer(text).state == "working";
        },
        60000))
        << inst.LinkLog();
    std::string shown;
    {
        ScopedEnv registry("VELBRIN_REGISTRY", inst.registry);
        ScopedEnv runtime("VELBRIN_RUNTIME_DIR", inst.runtime);
        shown = FormatStatusText(TFpStatusProbe().Read());
    }
    EXPECT_NE(shown.find("velbrin-link: "), std::string::npos) << shown;  // the link answered, not the port
    EXPECT_NE(shown.find("Identification: 3.01CG 11JUN09 1530,91F7,"), std::string::npos) << shown;

    // While a cycle waits on a slow printer command (a beep of 4 s), the status is still answered at once.
    printer.sim.Control("delay 4000 80");
    TDataPacket beep;
    beep.LoadFromText(TFormConvert::EmptyPacket("CMD_"));
    beep.SetRawValue(beep.AppendRow(), beep.FieldIndex("KOMANDA"), "70");
    WriteWholeFile(inst.root + "/Exch/Lnk/To_FP/CMD_1.zvx", beep.SaveToText());
    ASSERT_TRUE(WaitFor([&] { return !FileExists(inst.root + "/Exch/Lnk/To_FP/CMD_1.zvx") ||
                                     printer.sim.Control("status").find("receipt=0") != std::string::npos; },
                        5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    const auto asked = std::chrono::steady_clock::now();
    std::string during;
    EXPECT_TRUE(AskLocalSocket(inst.runtime + "/ZorvexFocus", "status", during, 1500));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count();
    std::printf("[ measure  ] status answered in %.3f s while the link waited on the printer\n", seconds);
    EXPECT_LT(seconds, 1.0);
    EXPECT_EQ(ParseStatusAnswer(during).state, "working") << during;
    EXPECT_FALSE(FileExists(inst.root + "/Exch/Lnk/From_FP/CMD_1.ok")) << "asked while the beep was under way";
    link.Stop();
    EXPECT_EQ(link.WaitExit(10000), 0);
}
