// The printer status tool against the simulated printer, and what it says when it
// cannot read: the link holds the port, another program does, no device, no printer.
#include "app/P00_marker.h"
#include "app/P00_util.h"
#include "app/status/P00_fpstatus.h"
#include "printer/P00_fpdef.h"
#include "ScopedEnv.h"
#include "support/TestSupport.h"
#include "tools/fp550sim/Fp550Simulator.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>

using namespace velbrin;
using namespace velbrin::test;

namespace {

// An installation whose LINK.INI names the simulated printer, with runtime folder of its own.
struct StatusRig {
    TempDir dir;
    std::string root = dir.Path() + "/inst";
    ScopedRegistry registry{dir.Path(), root};
    ScopedEnv runtime{"VELBRIN_RUNTIME_DIR", dir.Path() + "/run"};
    sim::Fp550Simulator printer{dir.File("fp550.state")};
    std::string device = printer.Start();

    StatusRig() { Port(device); }
    void Port(const std::string& name) {
        ForceDirectories(root + "/Appl");
        WriteWholeFile(root + "/Appl/LINK.INI", "[Portovi]\nFP=" + name + "\n");
    }
};

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST(StatusTool, TextShowsIdentificationAndEveryBoxOfTheSimulatedPrinter) {
    StatusRig rig;
    TFpStatusReading r = TFpStatusProbe().Read();
    ASSERT_TRUE(r.answered) << r.problem;
    std::string expected = "Status\nPort: " + rig.device +
                           "\n"
                           "Identification: 3.01CG 11JUN09 1530,91F7,00000000,1,ZK123456,50123456\n"
                           "RecvData: \n"
                           "RecvStatus: 000000000038\n"
                           "FP550 Status\n";
    const char* const groups[6] = {"0 - General", "1 - General", "2 - General", "3 - Switches", "4 - FiscalMemory", "5 - FiscalMem"};
    const char* const bits[6][6] = {
        {"#SyntaxError", "#InvalidCmd", "DateTime Not Set", "Display Not Conn", "#PrintingMech", "GeneralError#"},
        {"MathOverflow", "#ExecDisable", "#EmergencyClr", "#3 NotUsed", "#RamDestroyed", "CoverOpen"},
        {"#NoPaper", "PaperNearEnd", "NoPaperJrnl", "FiscReceiptOpen", "PapNearEndJrnl", "NonFiscOpen"},
        {"1-AutoCut", "Jrnl 100% height", "TransparentDsp", "Baud Low", "4 NotUsed", "5 NotUsed"},
        {"*FMWriteError", "1 NotUsed", "NoFModule", "FMem <50", "*FMemFull", "FMemAll*"},
        {"*FMemRO", "FMemFrmt", "*2 NotUsed", "IsFiscalized", "TaxProgramm", "SerialProgramm"},
    };
    for (int i = 0; i < 6; ++i) {
        expected += std::string("  ") + groups[i] + "\n";
        for (int j = 0; j < 6; ++j) expected += std::string(i == 5 && j >= 3 ? "    [x] " : "    [ ] ") + bits[i][j] + "\n";
    }
    EXPECT_EQ(FormatStatusText(r), expected);
}

// A paper or display fault is what the tool is for: it must show the bits, not
// wait for the operator to put paper in as the link does.
TEST(StatusTool, PrinterFaultsShowAsTickedBoxes) {
    struct Case {
        const char* control;
        std::vector<std::string> ticked, clear;  // box captions
    };
    const Case cases[] = {
        {"display off", {"Display Not Conn"}, {"#NoPaper"}},
        {"paper off", {"#NoPaper"}, {"Display Not Conn", "NoPaperJrnl"}},
        {"paper journal", {"#NoPaper", "NoPaperJrnl"}, {}},
        {"fiscal off", {}, {"IsFiscalized"}},
    };
    for (const Case& c : cases) {
        StatusRig rig;
        rig.printer.Control(c.control);
        auto started = std::chrono::steady_clock::now();
        TFpStatusReading r = TFpStatusProbe().Read();
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3)) << c.control;
        ASSERT_TRUE(r.answered) << c.control << ": " << r.problem;
        std::string text = FormatStatusText(r);
        for (const std::string& t : c.ticked) EXPECT_TRUE(Has(text, "[x] " + t + "\n")) << c.control << ": " << t << "\n" << text;
        for (const std::string& t : c.clear) EXPECT_TRUE(Has(text, "[ ] " + t + "\n")) << c.control << ": " << t << "\n" << text;
    }
}

TEST(StatusTool, SaysPlainlyWhyItCannotRead) {
    struct Case {
        const char* name;
        std::function<std::shared_ptr<void>(StatusRig&)> arrange;  // what it returns is kept during the read
        std::function<std::string(StatusRig&)> problem;            // the expected text, or its beginning
        bool whole;
    };
    const Case cases[] = {
        {"the link runs",
         [](StatusRig&) {
             auto m = std::make_shared<TNamedMarker>(TFpStatusProbe::kLinkMarker);
             m->Acquire();
             return std::shared_ptr<void>(m);
         },
         [](StatusRig& r) { return TFpStatusProbe::LinkRunningText(r.device); }, true},
        {"another program has the port",
         [](StatusRig& r) {
             auto p = std::make_shared<TPosixComPort>(r.device);
             p->Open();
             return std::shared_ptr<void>(p);
         },
         [](StatusRig& r) { return "Port " + r.device + ": cannot be opened: in use by another program"; }, true},
        {"no such device",
         [](StatusRig& r) {
             r.Port(r.dir.File("ttyUSB0"));
             return nullptr;
         },
         [](StatusRig& r) {
             return "Port " + r.dir.File("ttyUSB0") +
                    ": cannot be opened: No such file or directory (check the cable or adapter and the port named "
                    "in LINK.INI [Portovi] FP)";
         },
         true},
        {"not a port name",
         [](StatusRig& r) {
             r.Port("LPT1");
             return nullptr;
         },
         [](StatusRig&) { return TFpStatusProbe::NotAPortText("LPT1"); }, true},
        {"printer does not answer",
         [](StatusRig& r) {
             r.printer.Control("cut 0");
             return nullptr;
         },
         [](StatusRig& r) { return "Port " + r.device + ", command 90:\nStampac se ne javlja"; }, false},
    };
    for (const Case& c : cases) {
        StatusRig rig;
        std::shared_ptr<void> keep = c.arrange(rig);
        TFpStatusReading r = TFpStatusProbe().Read();
        EXPECT_FALSE(r.answered) << c.name;
        std::string expected = c.problem(rig);
        EXPECT_EQ(c.whole ? r.problem : r.problem.substr(0, expected.size()), expected) << c.name;
        EXPECT_EQ(FormatStatusText(r), "Status\nPort: " + r.port + "\n" + r.problem + "\n") << c.name;
        if (std::string(c.name) == "the link runs") {
            EXPECT_EQ(rig.printer.FramesReceived(), 0) << "asked the printer";
        }
    }
}

TEST(StatusTool, WithoutAnInstallationNamesTheSettingsStore) {
    TempDir dir;
    ScopedRegistry registry(dir.Path(), "");
    TFpStatusReading r = TFpStatusProbe().Read();
    EXPECT_FALSE(r.answered);
    EXPECT_EQ(r.problem, TFpStatusProbe::NoInstallationText(dir.File("registry.ini")));
    EXPECT_FALSE(DirectoryExists("/Appl")) << "made folders outside any installation";
}

TEST(StatusTool, LeavesThePortFreeForTheLink) {
    StatusRig rig;
    ASSERT_TRUE(TFpStatusProbe().Read().answered);
    TPosixComPort link(rig.device);
    EXPECT_NO_THROW(link.Open());
}

TEST(ComPortOpen, PortIsExclusiveUntilClosed) {
    StatusRig rig;
    TPosixComPort first(rig.device), second(rig.device);
    first.Open();
    EXPECT_EQ(Error([&] { second.Open(); }), "Port " + rig.device + ": cannot be opened: in use by another program");
    EXPECT_FALSE(second.IsOpen());
    first.Close();
    EXPECT_NO_THROW(second.Open());
}

TEST(ComPortOpen, FailureTextsNameThePortAndTheUsualCause) {
    struct Case {
        const char* name;
        const char* what;
        int err;
        const char* text;
    };
    const Case cases[] = {
        {"COM1", "cannot be opened", EACCES,
         "Port COM1 (/dev/ttyS0): cannot be opened: permission denied (the user needs to be a member of the dialout "
         "group)"},
        {"/dev/ttyUSB0", "cannot be opened", ENOENT,
         "Port /dev/ttyUSB0: cannot be opened: No such file or directory (check the cable or adapter and the port "
         "named in LINK.INI [Portovi] FP)"},
        {"COM3", "cannot be opened", ENXIO,
         "Port COM3 (/dev/ttyS2): cannot be opened: No such device or address (check the cable or adapter and the "
         "port named in LINK.INI [Portovi] FP)"},
        {"/dev/ttyUSB0", "cannot be opened", EWOULDBLOCK, "Port /dev/ttyUSB0: cannot be opened: in use by another program"},
        {"/dev/ttyUSB0", "cannot be opened", EBUSY, "Port /dev/ttyUSB0: cannot be opened: in use by another program"},
        {"COM2", "is not open", 0, "Port COM2 (/dev/ttyS1): is not open"},
        {"COM2", "read failed", EIO, "Port COM2 (/dev/ttyS1): read failed: Input/output error"},
    };
    for (const Case& c : cases) EXPECT_EQ(ComPortFailureText(c.name, c.what, c.err), c.text) << c.name << " " << c.err;
}
