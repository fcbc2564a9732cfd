// Test doubles of the printer port: a clock the tests drive, and a port that
// answers each whole frame written with scripted bytes or with an answer frame
// built from scripted answer data and status bytes.
#pragma once

#include "printer/P00_fpsend.h"

#include <array>
#include <deque>
#include <string>
#include <utility>
#include <vector>

namespace velbrin::test {

class FakeClock : public TClock {
public:
    int64_t NowMs() override { return now; }
    int64_t now = 0;
};

// Bytes of an answer frame as the printer sends it; each status byte gets bit 7,
// which the link must ignore.
std::string AnswerFrame(uint8_t sequence, uint8_t command, const std::string& data,
                        std::array<uint8_t, 6> status = {});

struct ScriptedAnswer {
    std::string data;
    std::array<uint8_t, 6> status{};
};

class FakePort : public TComPort {
public:
    // One reply per whole frame written: each piece is handed out by reads without
    // crossing into the next piece; an empty piece is one empty read.
    using Reply = std::vector<std::string>;

    explicit FakePort(FakeClock& clock) : clock_(clock) {}

    void Open() override;
    bool IsOpen() const override { return open; }
    void Close() override { open = false; }
    void Purge() override;
    size_t Write(const uint8_t* bytes, size_t k) override;
    size_t Read(uint8_t* buffer, size_t k) override;
    std::string Name() const override { return "COM1"; }

    // Script: raw replies first, then answers built for the frame, then (when
    // answerByDefault) an empty successful answer; otherwise silence.
    std::deque<Reply> replies;
    std::deque<ScriptedAnswer> answers;
    bool answerByDefault = false;
    std::deque<size_t> writeLimits;  // most bytes each next write takes
    bool busyForever = false;        // an empty input yields busyByte instead of silence
    int64_t busyUntilMs = 0;         // every read yields 0x16 until the clock reaches this
    uint8_t busyByte = 0x16;
    std::string openError;           // Open raises this when not empty
    std::string readError;           // Read raises this when not empty

    bool open = false;
    int opens = 0, purges = 0;
    std::vector<std::string> writes;                    // bytes taken by each write
    std::vector<std::pair<int, std::string>> commands;  // command and data of each whole frame

private:
    FakeClock& clock_;
    std::deque<std::string> input_;
};

}  // namespace velbrin::test
