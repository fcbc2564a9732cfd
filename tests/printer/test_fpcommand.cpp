#include "FakePort.h"

#include "printer/P00_fpcommand.h"
#include "support/TestSupport.h"

#include "app/P00_util.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace velbrin::test {
namespace {

struct CommandRig {
    FakeClock clock;
    FakePort port{clock};
    TFpCommand cmd{port, clock};
};

TEST(FpCommand, StatusBytesGiveResultCodes) {
    struct Case {
        std::array<uint8_t, 6> status;
        int result;
        const char* text;
    };
    const Case cases[] = {
        {{0, 0, 0x05, 0, 0, 0}, 98, "Nema JOURNAL papira!\n\nStatus: 000005000000"},
        {{0x20, 0, 0x01, 0, 0, 0}, 99, "Nema BON papira!\n\nStatus: 200001000000"},
        {{0x20, 0, 0, 0, 0, 0}, 100, "Greska 100!\n\nStatus: 200000000000"},
        {{0x28, 0, 0, 0, 0, 0}, 97, "Povezite Display za kupca sa Stampacem!\n\nStatus: 280000000000"},
        {{0x08, 0x20, 0x3E, 0x3F, 0x3F, 0x3F}, 0, ""},  // display, cover, paper near end: still success
        {{0x1F, 0, 0x04, 0, 0, 0}, 0, ""},
    };
    for (const Case& c : cases) {
        CommandRig r;
        r.port.answers = {{"x", c.status}};
        r.cmd.Execute(62, "");
        EXPECT_EQ(r.cmd.ResultCode(), c.result) << c.text;
        EXPECT_EQ(r.cmd.ErrorText(), c.text);
        EXPECT_EQ(r.cmd.AnswerData(), "x");
    }
}

TEST(FpCommand, LinkErrorTexts) {
    struct Case {
        int command;
        std::string data;
        std::vector<FakePort::Reply> replies;
        const char* text;
    };
    const std::string nak = "\x15";
    const Case cases[] = {
        {10, "", {}, "Zadata komanda (10) je van opsega!"},
        {62, std::string(205, 'a'), {}, "Zadato previse podataka!"},
        {62, "", {}, "Stampac se ne javlja - proverite stampac i kabl!"},
        {62, "", {{nak}, {nak}, {nak}, {nak}}, "Stampac javlja greske u komunikaciji - proverite kabl!"},
        {62, "", {{"\x01"}, {"\x01"}, {"\x01"}, {"\x01"}}, "Stampac je prestao da se javlja - proverite stampac i kabl!"},
        {62, "", {{"\x01\x1F"}}, "Stampac je vratio duzinu 31 - van opsega!"},
        {62, "", {{"\x01\x30xx"}, {"\x01\x30xx"}, {"\x01\x30xx"}, {"\x01\x30xx"}},
         "Stampac je prestao da se javlja - proverite stampac i kabl!"},
    };
    for (const Case& c : cases) {
        CommandRig r;
        r.port.replies.assign(c.replies.begin(), c.replies.end());
        r.cmd.Execute(c.command, c.data);
        EXPECT_EQ(r.cmd.ErrorText(), std::string(c.text) + "\n\nStatus: 000000000000");
    }
}

TEST(FpCommand, CorruptAnswersKeepStatusZero) {
    CommandRig r;
    std::string bad = AnswerFrame(0x20, 62, "", {0x3F, 0x3F, 0x3F, 0x3F, 0x3F, 0x3F});
    bad[bad.size() - 2] ^= 1;
    for (int i = 0; i < 4; ++i) r.port.replies.push_back({bad});
    r.cmd.Execute(62, "");
    EXPECT_EQ(r.cmd.ResultCode(), 8);
    EXPECT_EQ(r.cmd.ErrorText(), "Stampac vraca nekonzistentne podatke!\n\nStatus: 000000000000");
}

TEST(FpCommand, OnlyFailedCommandsAreLogged) {
    TempDir dir;
    CommandRig r;
    r.cmd.Log().SetPath(dir.File("Logs/FP550_log.txt"));
    r.port.answers = {{"", {}}, {"7,1", {0, 0, 0x01, 0, 0, 0}}};
    r.cmd.Execute(62, "");
    EXPECT_FALSE(FileExists(dir.File("Logs/FP550_log.txt")));
    r.cmd.Execute(53, "\tP12.50");
    std::string log = ReadWholeFile(dir.File("Logs/FP550_log.txt"));
    EXPECT_EQ(log.substr(19), " ; 000001000000 ; S=53 \"\tP12.50\"; R=53 \"7,1\"; e=99; s=33; l=46\r\n");
    r.cmd.Execute(10, "");
    log = ReadWholeFile(dir.File("Logs/FP550_log.txt"));
    const std::string last = " ; 000000000000 ; S=10 \"\"; R=10 \"\"; e=1; s=33; l=0\r\n";
    ASSERT_GT(log.size(), last.size());
    EXPECT_EQ(log.substr(log.size() - last.size()), last);
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2);
}

TEST(FpCommand, AnswerFieldSplitsAtCommas) {
    std::string twentyFive;
    for (int i = 0; i < 25; ++i) twentyFive += std::to_string(i) + (i < 24 ? "," : "");
    struct Case {
        std::string answer;
        int index;
        std::string field;
    };
    const Case cases[] = {
        {"1,2,,4", 0, "1"},  {"1,2,,4", 1, "2"},     {"1,2,,4", 2, ""},    {"1,2,,4", 3, "4"},
        {"1,2,,4", 4, ""},   {"1,2,,4", 19, ""},     {"1,2,,4", 20, ""},   {"1,2,,4", -1, ""},
        {"", 0, ""},         {"abc", 0, "abc"},      {",", 1, ""},         {"a,", 0, "a"},
        {twentyFive, 18, "18"}, {twentyFive, 19, "19,20,21,22,23,24"}, {twentyFive, 20, ""},
    };
    for (const Case& c : cases) {
        CommandRig r;
        r.port.answers = {{c.answer, {}}};
        r.cmd.Execute(62, "");
        EXPECT_EQ(r.cmd.AnswerField(c.index), c.field) << c.answer << " #" << c.index;
        EXPECT_EQ(r.cmd.AnswerField(c.index), c.field) << "second read of the same answer";
    }
}

TEST(FpCommand, FieldsFollowTheLatestAnswer) {
    CommandRig r;
    r.port.answers = {{"a,b", {}}, {"c", {}}};
    r.cmd.Execute(62, "");
    EXPECT_EQ(r.cmd.AnswerField(1), "b");
    r.cmd.Execute(62, "");
    EXPECT_EQ(r.cmd.AnswerField(0), "c");
    EXPECT_EQ(r.cmd.AnswerField(1), "");
    r.cmd.Execute(62, "");  // no answer: fields are empty
    EXPECT_EQ(r.cmd.ResultCode(), 3);
    EXPECT_EQ(r.cmd.AnswerField(0), "");
}

TEST(FpCommand, OpensThePortAndClosesItAfterAPortFailure) {
    CommandRig r;
    r.port.answerByDefault = true;
    r.cmd.Execute(62, "");
    r.cmd.Execute(62, "");
    EXPECT_EQ(r.port.opens, 1);
    r.port.readError = "Port COM1: the line was hung up";
    EXPECT_THROW(r.cmd.Execute(62, ""), LinkError);
    EXPECT_FALSE(r.port.IsOpen());
    r.port.readError.clear();
    r.cmd.Execute(62, "");
    EXPECT_EQ(r.port.opens, 2);
    EXPECT_EQ(r.cmd.ResultCode(), 0);

    CommandRig closed;
    closed.port.openError = "Port COM3 (/dev/ttyS2): cannot be opened";
    try {
        closed.cmd.Execute(62, "");
        FAIL() << "no exception";
    } catch (const LinkError& e) {
        EXPECT_EQ(e.Text(), closed.port.openError);
    }
    EXPECT_TRUE(closed.port.writes.empty());
}

}  // namespace
}  // namespace velbrin::test
