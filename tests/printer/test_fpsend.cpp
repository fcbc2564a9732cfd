#include "FakePort.h"

#include "printer/P00_fpsend.h"

#include <gtest/gtest.h>

namespace velbrin::test {
namespace {

std::string Bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) s += static_cast<char>(v);
    return s;
}

struct FrameRig {
    FakeClock clock;
    FakePort port{clock};
    TFpSend send{port, clock};
    TFrameFields f;

    int Send(int command, const std::string& data = "") {
        f.command = command;
        f.data = data;
        send.SendFrame(f);
        return f.resultCode;
    }
};

TEST(FrameLayout, ExampleFramesByteForByte) {
    FrameRig r;
    r.port.answerByDefault = true;
    ASSERT_EQ(r.Send(62), 0);
    ASSERT_EQ(r.Send(90, "1"), 0);
    ASSERT_EQ(r.port.writes.size(), 2u);
    EXPECT_EQ(r.port.writes[0], Bytes({0x01, 0x24, 0x20, 0x3E, 0x05, 0x30, 0x30, 0x38, 0x37, 0x03}));
    EXPECT_EQ(r.port.writes[1], Bytes({0x01, 0x25, 0x21, 0x5A, 0x31, 0x05, 0x30, 0x30, 0x3D, 0x36, 0x03}));
}

TEST(FrameLayout, SequenceWrapsFrom7FTo20) {
    FrameRig r;
    r.port.answerByDefault = true;
    for (int i = 0; i < 96; ++i) ASSERT_EQ(r.Send(62), 0);
    EXPECT_EQ(r.send.SequenceCounter(), 0x7F);
    EXPECT_EQ(r.Send(62), 0);
    EXPECT_EQ(static_cast<uint8_t>(r.port.writes.back()[2]), 0x20);
    EXPECT_EQ(r.f.sequence, 0x20);
}

TEST(FrameLayout, RefusedCommandsAndSequenceNumbers) {
    struct Case {
        int command;
        size_t dataSize;
        int result;
        uint8_t counterAfter;  // starts at 0x1F
        bool sent;
        uint8_t lengthByte;
    };
    const Case cases[] = {
        {0x1F, 0, 1, 0x1F, false, 0},      // command below range: no sequence spent
        {0x80, 0, 1, 0x1F, false, 0},      // above range
        {0x20, 0, 0, 0x20, true, 0x24},    // empty data
        {0x7F, 204, 0, 0x20, true, 0xF0},  // longest data is sent
        {0x30, 205, 2, 0x20, false, 0xF1}, // one byte too many: sequence spent, nothing sent
    };
    for (const Case& c : cases) {
        FrameRig r;
        r.port.answerByDefault = true;
        EXPECT_EQ(r.Send(c.command, std::string(c.dataSize, 'x')), c.result) << c.command << "/" << c.dataSize;
        EXPECT_EQ(r.send.SequenceCounter(), c.counterAfter) << c.command << "/" << c.dataSize;
        EXPECT_EQ(!r.port.writes.empty(), c.sent) << c.command << "/" << c.dataSize;
        if (c.sent) {
            EXPECT_EQ(static_cast<uint8_t>(r.port.writes[0][1]), c.lengthByte);
            EXPECT_EQ(r.port.writes[0].size(), c.dataSize + 10);
        }
        if (c.result == 2) {
            EXPECT_EQ(r.f.length, c.lengthByte);
        }
    }
}

std::string WithChecksumByte(std::string frame, char c) {
    frame[frame.size() - 2] = c;
    return frame;
}

TEST(FrameExchange, RetriesAndResultCodes) {
    const std::string ok = AnswerFrame(0x20, 0x3E, "06-12-26 21:55:13");
    const std::string badSum = WithChecksumByte(ok, ok[ok.size() - 2] == '0' ? '1' : '0');
    const std::string oldSeq = AnswerFrame(0x7F, 0x3E, "late");
    const std::string otherCmd = AnswerFrame(0x20, 0x3F, "");
    std::string noSep = ok;
    noSep[noSep.size() - 13] = 'x';  // the 0x04 before the status bytes
    const std::string nak = "\x15", busy = Bytes({0x16, 0x16, 0x16});
    const FakePort::Reply silence{};
    struct Case {
        const char* name;
        std::vector<FakePort::Reply> replies;
        int result;
        size_t writes;
    };
    const Case cases[] = {
        {"answer at once", {{ok}}, 0, 1},
        {"0x16 bursts before the answer", {{busy, "", "", "", busy, ok}}, 0, 1},
        {"noise bytes are skipped", {{"zz\x02", ok}}, 0, 1},
        {"a 0x16 restarts the count of empty reads", {{"", "", "", "", "", "", "\x16", "", "", "", "", "", "", ok}}, 0, 1},
        {"six empty reads are not yet a time-out", {{"", "", "", "", "", "", ok}}, 0, 1},
        {"four NAKs", {{nak}, {nak}, {nak}, {nak}}, 4, 4},
        {"three NAKs then a time-out", {{nak}, {nak}, {nak}, silence}, 3, 4},
        {"time-out, corrupt, success", {silence, {badSum}, {ok}}, 0, 3},
        {"time-out then three corrupt", {silence, {badSum}, {badSum}, {badSum}}, 3, 4},
        {"four corrupt answers", {{badSum}, {badSum}, {badSum}, {badSum}}, 8, 4},
        {"late answer with an old sequence", {{oldSeq}, {ok}}, 0, 2},
        {"wrong command echo", {{otherCmd}, {otherCmd}, {otherCmd}, {otherCmd}}, 8, 4},
        {"misplaced separator", {{noSep}, {ok}}, 0, 2},
        {"start without length byte", {{"\x01"}, {"\x01"}, {"\x01"}, {"\x01"}}, 5, 4},
        {"no length then corrupt", {{"\x01"}, {badSum}, {badSum}, {badSum}}, 5, 4},
        {"length byte below 0x20", {{"\x01\x1F" + ok.substr(2)}}, 6, 1},
        {"rest cut short", {{ok.substr(0, 10)}, {ok.substr(0, 10)}, {ok.substr(0, 10)}, {ok.substr(0, 10)}}, 7, 4},
        {"the last time-out wins", {{ok.substr(0, 10)}, silence, {badSum}, {badSum}}, 3, 4},
    };
    for (const Case& c : cases) {
        FrameRig r;
        r.port.replies.assign(c.replies.begin(), c.replies.end());
        EXPECT_EQ(r.Send(0x3E), c.result) << c.name;
        EXPECT_EQ(r.port.writes.size(), c.writes) << c.name;
        EXPECT_EQ(r.port.purges, static_cast<int>(c.writes)) << c.name;
        for (const auto& w : r.port.writes) EXPECT_EQ(w, r.port.writes[0]) << c.name << ": the same frame each time";
        EXPECT_EQ(r.f.answerData, c.result == 0 ? "06-12-26 21:55:13" : "") << c.name;
        EXPECT_EQ(r.send.SequenceCounter(), 0x20) << c.name;
    }
}

TEST(FrameExchange, RestOfAnswerMayTakeSixReadsNotSeven) {
    const std::string ok = AnswerFrame(0x20, 0x3E, "123456");
    // Start and length byte, then the rest in n pieces, one read each.
    for (int pieces : {1, 3, 6, 7}) {
        FakePort::Reply reply{ok.substr(0, 2)};
        std::string rest = ok.substr(2);
        size_t step = (rest.size() + pieces - 1) / pieces;
        for (size_t at = 0; at < rest.size(); at += step) reply.push_back(rest.substr(at, step));
        ASSERT_EQ(reply.size(), static_cast<size_t>(pieces) + 1);
        FrameRig r;
        r.port.replies = {reply, reply, reply, reply};
        EXPECT_EQ(r.Send(0x3E), pieces <= 6 ? 0 : 7) << pieces;
    }
}

TEST(FrameExchange, DamagedLengthOrSilentRestIsGivenUpAfterOneRead) {
    const std::string ok = AnswerFrame(0x20, 0x3E, "06-12-26 21:55:13");
    // One read of the rest may wait 100 ms per byte asked for; giving up after it
    // rather than after six keeps the till from stalling on a noisy line.
    const int64_t oneRead = 100 + 100 * (0xF0 - 28);
    for (uint8_t claimed : {uint8_t(ok[1] + 1), uint8_t(0xF0)}) {
        std::string longer = ok;
        longer[1] = static_cast<char>(claimed);  // the whole frame arrives, its length byte damaged
        FrameRig r;
        r.port.replies = {{longer}, {ok}};
        EXPECT_EQ(r.Send(0x3E), 0) << int(claimed);
        EXPECT_EQ(r.port.writes.size(), 2u) << int(claimed);
        EXPECT_LT(r.clock.now, 1000) << int(claimed) << ": waited for bytes that never come";
    }
    FrameRig r;
    const std::string start = std::string("\x01") + static_cast<char>(0xF0);
    r.port.replies = {{start, "", "", "", "", "", ""}, {ok}};
    EXPECT_EQ(r.Send(0x3E), 0);
    EXPECT_LT(r.clock.now, oneRead + 1000) << "a silent rest waited more than one read";
}

TEST(FrameExchange, AnswerFieldsAndStatusBytes) {
    FrameRig r;
    r.port.replies = {{AnswerFrame(0x20, 0x5A, std::string("ab\0cd", 5), {0x01, 0x02, 0x05, 0x3F, 0x00, 0x08})}};
    ASSERT_EQ(r.Send(0x5A), 0);
    EXPECT_EQ(r.f.answerData, "ab");  // cut at the NUL
    const uint8_t expected[6] = {0x01, 0x02, 0x05, 0x3F, 0x00, 0x08};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(r.f.status[i], expected[i]) << i;  // bit 7 of the wire byte dropped
        for (int j = 0; j < 6; ++j) EXPECT_EQ(r.f.statusBits[i][j], ((expected[i] >> j) & 1) != 0) << i << "," << j;
    }
    EXPECT_EQ(r.f.answerCommand, 0x5A);
    EXPECT_EQ(r.f.length, 0x2B + 5);
}

TEST(FrameExchange, EveryTruncatedAnswerFailsCleanly) {
    const std::string ok = AnswerFrame(0x20, 0x3E, "1,2,,4");
    for (size_t n = 1; n < ok.size(); ++n) {
        FrameRig r;
        for (int i = 0; i < 4; ++i) r.port.replies.push_back({ok.substr(0, n)});
        int result = r.Send(0x3E);
        EXPECT_TRUE(result == 5 || result == 7) << n << " gave " << result;
        EXPECT_EQ(r.f.answerData, "") << n;
    }
}

TEST(FrameExchange, PrinterStillWorkingIsWaitedForAsLongAsItTakes) {
    // a periodic report over years of closings: hours of 0x16, then the answer
    FrameRig r;
    r.port.answerByDefault = true;
    r.port.busyUntilMs = 3 * 3600 * 1000;
    EXPECT_EQ(r.Send(0x4F, "010120,311226"), 0);
    EXPECT_EQ(r.port.writes.size(), 1u);
    EXPECT_GE(r.clock.now, r.port.busyUntilMs);
}

TEST(FrameExchange, LineThatOnlyCarriesNoiseEndsAfterTheLimit) {
    for (int64_t working : {0, 60 * 60 * 1000}) {
        // noise from the start, or after an hour of 0x16
        FrameRig r;
        r.port.busyUntilMs = working;
        r.port.busyForever = true;
        r.port.busyByte = 0x55;
        EXPECT_EQ(r.Send(0x45, "0a"), 3);
        EXPECT_EQ(r.port.writes.size(), 1u);
        EXPECT_GE(r.clock.now - working, TFpSend::kNoSignOfLifeLimitMs);
        EXPECT_LT(r.clock.now - working, TFpSend::kNoSignOfLifeLimitMs + 1000);
    }
}

TEST(FrameExchange, PartialWritesAreBounded) {
    {
        FrameRig r;
        r.port.answerByDefault = true;
        r.port.writeLimits = {4, 4, 4};
        EXPECT_EQ(r.Send(0x3E), 9);
        EXPECT_EQ(r.port.writes.size(), 3u);
    }
    {
        FrameRig r;
        r.port.answerByDefault = true;
        r.port.writeLimits = {4, 0};
        EXPECT_EQ(r.Send(0x3E), 0);
        EXPECT_EQ(r.port.writes.size(), 3u);
        EXPECT_EQ(r.port.writes[2].size(), 10u);
    }
}

}  // namespace
}  // namespace velbrin::test
