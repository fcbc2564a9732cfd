// Frame bytes, amount texts, the state file and the control grammar of the
// simulator, without a serial line.
#include "tools/fp550sim/SimControl.h"
#include "tools/fp550sim/SimFrame.h"
#include "tools/fp550sim/SimState.h"

#include "SimTestLine.h"

#include <gtest/gtest.h>

using namespace velbrin::sim;

namespace {

std::string Bytes(std::initializer_list<int> list)
{
    std::string s;
    for (int b : list)
        s.push_back(static_cast<char>(b));
    return s;
}

}  // namespace

TEST(SimFrame, AnswerFrameIsByteExactWithStatusBit7Set)
{
    StatusBytes st{};
    st[5] = 0x08;
    const std::string f = BuildAnswerFrame(0x21, 0x5A, "", st);
    // sum 2B+21+5A+04+80*5+88+05 = 0x3B7
    EXPECT_EQ(f, Bytes({0x01, 0x2B, 0x21, 0x5A, 0x04, 0x80, 0x80, 0x80, 0x80, 0x80, 0x88, 0x05, 0x30, 0x33, 0x3B,
                        0x37, 0x03}));
    const std::string g = BuildAnswerFrame(0x20, 0x3E, "ab", StatusBytes{});
    EXPECT_EQ(g.size(), 19u);
    EXPECT_EQ(static_cast<uint8_t>(g[1]), 0x2D);
    EXPECT_EQ(g.substr(4, 2), "ab");
    // Over-long data are cut so that the length byte still fits.
    const std::string h = BuildAnswerFrame(0x20, 0x3E, std::string(300, 'x'), StatusBytes{});
    EXPECT_EQ(static_cast<uint8_t>(h[1]), 0xFF);
}

TEST(SimFrame, ParserTakesGoodFramesAndRejectsBadOnes)
{
    struct Case {
        const char* name;
        std::string bytes;
        CommandParser::Result last;
        int seq, cmd;
        std::string data;
    };
    std::string badSum = Bytes({0x01, 0x24, 0x20, 0x3E, 0x05, 0x30, 0x30, 0x38, 0x38, 0x03});
    std::string noEtx = Bytes({0x01, 0x24, 0x20, 0x3E, 0x05, 0x30, 0x30, 0x38, 0x37, 0x04});
    std::string movedEnq = Bytes({0x01, 0x25, 0x21, 0x5A, 0x05, 0x31, 0x30, 0x30, 0x3D, 0x36, 0x03});
    std::string nibbleOutOfRange = Bytes({0x01, 0x24, 0x20, 0x3E, 0x05, 0x30, 0x30, 0x38, 0x47, 0x03});
    const std::string big(204, 'Z');
    const Case cases[] = {
        {"empty data 62", Bytes({0x01, 0x24, 0x20, 0x3E, 0x05, 0x30, 0x30, 0x38, 0x37, 0x03}), CommandParser::Result::Frame, 0x20, 62, ""},
        {"90 with data 1", Bytes({0x01, 0x25, 0x21, 0x5A, 0x31, 0x05, 0x30, 0x30, 0x3D, 0x36, 0x03}), CommandParser::Result::Frame, 0x21, 90, "1"},
        {"garbage before start", "\x16\x15xyz" + velbrin::test::BuildCommandFrame(0x30, 76, "T"), CommandParser::Result::Frame, 0x30, 76, "T"},
        {"length out of range then frame", Bytes({0x01, 0x10}) + velbrin::test::BuildCommandFrame(0x31, 52, "1#2.00"), CommandParser::Result::Frame, 0x31, 52, "1#2.00"},
        {"doubled start byte", Bytes({0x01}) + velbrin::test::BuildCommandFrame(0x32, 56, ""), CommandParser::Result::Frame, 0x32, 56, ""},
        {"longest data", velbrin::test::BuildCommandFrame(0x7F, 42, big), CommandParser::Result::Frame, 0x7F, 42, big},
        {"bad checksum", badSum, CommandParser::Result::Bad, 0, 0, ""},
        {"no end byte", noEtx, CommandParser::Result::Bad, 0, 0, ""},
        {"end of data misplaced", movedEnq, CommandParser::Result::Bad, 0, 0, ""},
        {"checksum nibble out of range", nibbleOutOfRange, CommandParser::Result::Bad, 0, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CommandParser p;
        CommandParser::Result r = CommandParser::Result::None;
        int completed = 0;
        for (char b : c.bytes) {
            r = p.Feed(static_cast<uint8_t>(b));
            if (r != CommandParser::Result::None)
                ++completed;
        }
        EXPECT_EQ(completed, 1);
        ASSERT_EQ(r, c.last);
        if (r == CommandParser::Result::Frame) {
            EXPECT_EQ(p.Frame().seq, c.seq);
            EXPECT_EQ(p.Frame().cmd, c.cmd);
            EXPECT_EQ(p.Frame().data, c.data);
        }
        EXPECT_FALSE(p.InFrame());
    }
}

TEST(SimFrame, EveryTruncationWaitsAndResetRecovers)
{
    const std::string f = velbrin::test::BuildCommandFrame(0x40, 53, "\tP10.00");
    for (std::size_t cut = 0; cut < f.size(); ++cut) {
        CommandParser p;
        for (std::size_t i = 0; i < cut; ++i)
            EXPECT_EQ(p.Feed(static_cast<uint8_t>(f[i])), CommandParser::Result::None) << cut;
        p.Reset();
        CommandParser::Result r = CommandParser::Result::None;
        for (char b : f)
            r = p.Feed(static_cast<uint8_t>(b));
        EXPECT_EQ(r, CommandParser::Result::Frame) << cut;
    }
}

TEST(SimState, FixedAmountsParseAndFormat)
{
    struct Case {
        const char* text;
        int decimals;
        bool ok;
        int64_t value;
    } cases[] = {
        {"12.50", 2, true, 1250}, {"12.5", 2, true, 1250}, {"12", 2, true, 1200}, {"-20.00", 2, true, -2000},
        {"0.001", 3, true, 1},    {".5", 2, true, 50},     {"1.234", 2, false, 0}, {"", 2, false, 0},
        {"-", 2, false, 0},       {"1,5", 2, false, 0},   {"1.5x", 2, false, 0},  {" 1", 2, false, 0},
    };
    for (const Case& c : cases) {
        int64_t v = 0;
        EXPECT_EQ(ParseFixed(c.text, c.decimals, v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
    EXPECT_EQ(FormatFixed(1250, 2), "12.50");
    EXPECT_EQ(FormatFixed(-5, 2), "-0.05");
    EXPECT_EQ(FormatFixed(3000, 3), "3.000");
}

TEST(SimState, TextFormRoundTripsAwkwardNamesAndOpenReceipt)
{
    SimState st;
    st.fiscalised = false;
    st.clockOffset = -3600;
    st.firmware = "2.10CG 10APR05 1030,35C2";
    st.cashierName = "Ana|Bob\\x=1\n";
    st.header[7] = "linija 7";
    st.receiptNumber = 41;
    st.receiptOpen = true;
    st.lines.push_back({5, 'B', 250, 3000, 750, false, true});
    st.lines.push_back({5, 'B', 250, 3000, -750, true, false});
    st.payments.push_back({'D', 100});
    st.lastItems = 2;
    st.dayTax[7] = 123456;
    st.articles[17] = {17, 'H', 99, 1500, "Mleko, 1l | \x8A\xE8"};
    st.articleCursor = 17;
    const SimState back = ParseState(SerializeState(st));
    EXPECT_EQ(SerializeState(back), SerializeState(st));
    EXPECT_EQ(back.cashierName, st.cashierName);
    EXPECT_EQ(back.articles.at(17).name, st.articles.at(17).name);
    EXPECT_EQ(back.lines.size(), 2u);
    EXPECT_TRUE(back.lines[0].voided);
    EXPECT_EQ(back.ReceiptTotal(), 0);

    EXPECT_THROW(ParseState("line=1|A|2\n"), std::runtime_error);
    EXPECT_THROW(ParseState("z_number=abc\n"), std::runtime_error);
    EXPECT_THROW(ParseState("garbage\n"), std::runtime_error);
}

TEST(SimControl, GrammarAcceptsItsLinesAndRefusesOthers)
{
    SimFaults f;
    SimState st;
    bool changed = false;
    const char* good[] = {"noanswer 2", "nak 3",  "lose 1",     "syn 20",      "badsum 4",
                          "badseq 1",   "badlen 1", "trunc 2",  "paper off",   "paper journal",
                          "paper on",   "display off", "fiscal off", "firmware 2.10CG 10APR05 1030,35C2",
                          "clock +3600", "clock -60", "cut 3",    "cut off",     "delay 500",
                          "delay 2000 69", "synint 80", "noise 0.01 42", "noise off", "taxflags 110111111",
                          "status",     "reset"};
    for (const char* line : good)
        EXPECT_NO_THROW(ApplyControl(line, f, st, changed)) << line;
    const char* bad[] = {"", "bogus", "nak", "nak -1", "nak x", "paper maybe", "display", "clock soon",
                         "delay 5 12", "noise 2 1", "noise 0.1", "firmware", "cut"};
    for (const char* line : bad)
        EXPECT_THROW(ApplyControl(line, f, st, changed), std::invalid_argument) << line;

    SimFaults g;
    SimState s2;
    ApplyControl("firmware 2.10CG 10APR05 1030,35C2\r\n", g, s2, changed);
    EXPECT_EQ(s2.firmware, "2.10CG 10APR05 1030,35C2");
    ApplyControl("clock +3600", g, s2, changed);
    EXPECT_EQ(s2.clockOffset, 3600);
    ApplyControl("paper journal", g, s2, changed);
    EXPECT_TRUE(g.hardware.paperOut && g.hardware.journalOut);
    ApplyControl("delay 2000 69", g, s2, changed);
    EXPECT_EQ(g.DelayFor(69), 2000);
    EXPECT_EQ(g.DelayFor(70), 0);
    ApplyControl("reset", g, s2, changed);
    EXPECT_FALSE(g.hardware.paperOut);
    EXPECT_EQ(g.DelayFor(69), 0);
    EXPECT_EQ(s2.clockOffset, 3600);  // reset clears faults, not the printer's memory
}
