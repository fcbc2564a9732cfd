#include "PtyPair.h"

#include "printer/P00_fpdef.h"
#include "support/TestSupport.h"

#include "app/P00_inilink.h"
#include "app/P00_util.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace velbrin::test {
namespace {

using namespace std::chrono_literals;

TEST(ComPortNames, DevicePathsAndOpeningAtStart) {
    struct Case {
        const char* name;
        const char* device;
        bool qualifies;
    };
    const Case cases[] = {
        {"COM1", "/dev/ttyS0", true},        {"com3", "/dev/ttyS2", true},   {"COM12", "/dev/ttyS11", true},
        {"/dev/ttyUSB0", "/dev/ttyUSB0", true}, {"/tmp/fp-link", "/tmp/fp-link", true},
        {"COM0", "", true},  // opened at start, and fails there with a text naming it
        {"COMX", "", true},  {"LPT1", "", false}, {"", "", false},       {"ttyS0", "", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ComPortDevicePath(c.name), c.device) << c.name;
        EXPECT_EQ(ComPortNameQualifies(c.name), c.qualifies) << c.name;
    }
}

TEST(ComPortOpen, FailuresNameThePort) {
    TempDir dir;
    WriteWholeFile(dir.File("plain"), "x");
    struct Case {
        std::string name;
        std::string expected;
    };
    const Case cases[] = {
        {dir.File("missing"), "Port " + dir.File("missing") + ": cannot be opened: No such file or directory"},
        {dir.File("plain"), "Port " + dir.File("plain") + ": cannot be opened: not a serial port"},
        {"COMX", "Port COMX: cannot be opened: not a serial port name"},
    };
    for (const Case& c : cases) {
        TPosixComPort port(c.name);
        try {
            port.Open();
            FAIL() << c.name;
        } catch (const LinkError& e) {
            EXPECT_EQ(e.Text().substr(0, c.expected.size()), c.expected);
        }
        EXPECT_FALSE(port.IsOpen());
    }
}

// Opens the port as an unprivileged user; returns the error text (empty when
// the open succeeded).
std::string OpenAsNobody(const std::string& path) {
    return AsOrdinaryUser([&path] {
        try {
            TPosixComPort port(path);
            port.Open();
        } catch (const LinkError& e) {
            return e.Text();
        }
        return std::string();
    });
}

TEST(ComPortOpen, MissingPermissionMentionsTheDialoutGroup) {
    PtyPair pty;
    // Root drops to an unprivileged user in the child; anyone else loses the owner bits.
    ::chmod(pty.SlavePath().c_str(), ::geteuid() == 0 ? 0600 : 0);
    std::string text = OpenAsNobody(pty.SlavePath());
    EXPECT_NE(text.find("Port " + pty.SlavePath() + ": cannot be opened: permission denied"), std::string::npos) << text;
    // the device's owner, group and mode; with no rights for the group, joining
    // it would not help, so neither the group nor a new login is asked for
    struct stat st {};
    ASSERT_EQ(::stat(pty.SlavePath().c_str(), &st), 0);
    const std::string owner = ::getpwuid(st.st_uid) ? ::getpwuid(st.st_uid)->pw_name : std::to_string(st.st_uid);
    EXPECT_NE(text.find(" belongs to " + owner + ":"), std::string::npos) << text;
    EXPECT_NE(text.find(::geteuid() == 0 ? " with mode 0600" : " with mode 0000"), std::string::npos) << text;
    EXPECT_NE(text.find("udev rule"), std::string::npos) << text;
    EXPECT_EQ(text.find("log in again"), std::string::npos) << text;
    EXPECT_EQ(text.find("needs to be a member"), std::string::npos) << text;
}

TEST(ComPortOpen, GroupWithRightsTheUserLacksIsNamed) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the device to another group";
    PtyPair pty;
    const group* dialout = ::getgrnam("dialout");
    const gid_t gid = dialout ? dialout->gr_gid : 20;
    ASSERT_EQ(::chown(pty.SlavePath().c_str(), 0, gid), 0);
    ::chmod(pty.SlavePath().c_str(), 0660);
    std::string text = OpenAsNobody(pty.SlavePath());
    EXPECT_NE(text.find(" with mode 0660; the user needs to be a member of the group "), std::string::npos) << text;
    EXPECT_NE(text.find("then log in again"), std::string::npos) << text;
}

struct OpenPort {
    PtyPair pty;
    TPosixComPort port{pty.SlavePath()};
    OpenPort() { port.Open(); }
};

TEST(ComPortTiming, ReadLimits) {
    struct Case {
        const char* name;
        std::vector<std::pair<int, std::string>> sends;  // at ms, bytes
        size_t ask;
        std::string expected;
        int minMs, maxMs;
    };
    const Case cases[] = {
        {"silence: 100 + 100 per byte", {}, 3, "", 395, 520},
        {"a burst then a gap: 100 ms after the last byte", {{50, "ab"}}, 10, "ab", 145, 260},
        {"everything asked for arrives", {{0, "abcd"}}, 4, "abcd", 0, 80},
        {"slow trickle keeps reading until the total limit", {{350, "a"}, {430, "b"}, {510, "c"}}, 3, "a", 395, 520},
        {"trickle within the interval", {{0, "a"}, {70, "b"}, {140, "c"}}, 3, "abc", 130, 260},
    };
    for (const Case& c : cases) {
        OpenPort p;
        std::thread sender([&] {
            Stopwatch since;
            for (const auto& [at, bytes] : c.sends) {
                while (since.Ms() < at) std::this_thread::sleep_for(1ms);
                p.pty.Send(bytes);
            }
        });
        uint8_t buf[16] = {};
        Stopwatch watch;
        size_t n = p.port.Read(buf, c.ask);
        long long ms = watch.Ms();
        sender.join();
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), n), c.expected) << c.name;
        EXPECT_GE(ms, c.minMs) << c.name;
        EXPECT_LE(ms, c.maxMs) << c.name;
    }
}

TEST(ComPortTiming, WriteStopsAtTheLimitWhileThePrinterHoldsXoff) {
    OpenPort p;
    p.pty.Send("\x13");
    std::this_thread::sleep_for(20ms);
    const uint8_t frame[2] = {0x01, 0x24};
    Stopwatch watch;
    EXPECT_EQ(p.port.Write(frame, 2), 0u);
    long long ms = watch.Ms();
    EXPECT_GE(ms, 1195);
    EXPECT_LE(ms, 1400);
    EXPECT_EQ(p.pty.Receive(50), "");

    // XON lets the waiting write finish.
    std::thread resume([&] {
        std::this_thread::sleep_for(200ms);
        p.pty.Send("\x11");
    });
    Stopwatch again;
    EXPECT_EQ(p.port.Write(frame, 2), 2u);
    resume.join();
    EXPECT_GE(again.Ms(), 190);
    EXPECT_LE(again.Ms(), 700);
    EXPECT_EQ(p.pty.Receive(200), "\x01\x24");
}

TEST(ComPortTiming, FlowControlBytesNeverReachTheLink) {
    OpenPort p;
    p.pty.Send(std::string("a\x13") + "b\x11" + "c");
    uint8_t buf[8] = {};
    size_t n = p.port.Read(buf, 3);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), n), "abc");
}

TEST(ComPortTiming, PurgeDropsPendingInput) {
    OpenPort p;
    p.pty.Send("stale answer");
    std::this_thread::sleep_for(30ms);
    p.port.Purge();
    uint8_t buf[4] = {};
    EXPECT_EQ(p.port.Read(buf, 1), 0u);
    p.pty.Send("z");
    EXPECT_EQ(p.port.Read(buf, 1), 1u);
    EXPECT_EQ(buf[0], 'z');
}

TEST(ComPortTiming, HangUpIsAnErrorNotATimeOut) {
    OpenPort p;
    p.pty.CloseMaster();
    uint8_t buf[4] = {};
    Stopwatch watch;
    EXPECT_THROW(p.port.Read(buf, 4), LinkError);
    EXPECT_LT(watch.Ms(), 100);
    EXPECT_THROW(p.port.Write(buf, 4), LinkError);
}

TEST(FormFPDef, OpensAQualifyingNameAtConstruction) {
    TempDir dir;
    ScopedRegistry registry(dir.Path(), dir.File("Velbrin"));
    PtyPair pty;
    struct Case {
        std::string name;
        bool open;
        bool raises;
    };
    const Case cases[] = {
        {pty.SlavePath(), true, false},
        {"LPT1", false, false},
        {dir.File("no-such-port"), false, true},
    };
    for (const Case& c : cases) {
        TIniLink ini;
        ini.WriteString("Portovi", "FP", c.name);
        if (c.raises) {
            EXPECT_THROW(TFormFPDef def(ini), LinkError) << c.name;
            continue;
        }
        TFormFPDef def(ini);
        EXPECT_EQ(def.ComPortFiskal().IsOpen(), c.open) << c.name;
        EXPECT_EQ(def.ComPortFiskal().Name(), c.open ? c.name : "COM1");
    }
}

}  // namespace
}  // namespace velbrin::test
