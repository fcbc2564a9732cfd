// The printer's frame layer: one call of SendFrame is one command, sent in a
// frame with sequence number and checksum, retransmitted on time-outs and
// corrupt answers, ending with a verified answer (result 0) or a link result code.
#pragma once

#include "printer/P00_fpdef.h"

#include <array>
#include <cstdint>
#include <string>

namespace velbrin {

// Milliseconds on a monotonic clock; injected so that tests of long waits run at once.
class TClock {
public:
    virtual ~TClock() = default;
    virtual int64_t NowMs() = 0;
};

// The process's monotonic clock.
TClock& SteadyClock();

// The fields of one command that the frame layer reads (command, data) and writes.
struct TFrameFields {
    int32_t command = 0;
    std::string data;
    int32_t resultCode = 0;
    uint8_t sequence = 0;
    uint8_t answerCommand = 0;
    uint8_t length = 0;
    int32_t checksum = 0;
    std::string answerData;
    std::array<uint8_t, 6> status{};
    std::array<std::array<bool, 6>, 6> statusBits{};
};

// Link result codes of SendFrame.
enum : int32_t {
    kFrameOk = 0,
    kFrameBadCommand = 1,    // command number outside 0x20..0x7F, nothing sent
    kFrameTooLong = 2,       // more than 204 data bytes, nothing sent
    kFrameNoAnswer = 3,      // no start of answer (also: printer busy beyond the wait limit)
    kFrameNaks = 4,          // the printer rejected the frame more than 3 times
    kFrameNoLength = 5,      // start of answer without a length byte
    kFrameBadLength = 6,     // answer length byte below 0x20
    kFrameCutAnswer = 7,     // the rest of the answer did not arrive
    kFrameCorrupt = 8,       // every answer was corrupt
    kFrameWriteStuck = 9,    // the port never took a whole frame
};

class TFpSend {
public:
    static constexpr int kMaxData = 204;
    static constexpr int kAttempts = 4;
    static constexpr int kMaxNaks = 3;
    static constexpr int kStartMisses = 7;     // consecutive empty reads before a time-out
    static constexpr int kRestReads = 6;       // reads allowed for the rest of an answer
    static constexpr int kWholeFrameWrites = 3;  // writes of one frame before giving up
    // A printer that keeps reporting "still working" (0x16, about every 60 ms) is
    // waited for as long as it does: a Z report or a periodic report over a long
    // range may take many minutes. Bytes that are neither 0x16 nor the start of an
    // answer (a noisy or foreign line) keep the wait going only this long after the
    // last 0x16; a silent line ends the wait after kStartMisses empty reads.
    static constexpr int64_t kNoSignOfLifeLimitMs = 10 * 1000;

    TFpSend(TComPort& port, TClock& clock) : port_(port), clock_(clock) {}

    // Sends f.command with f.data and fills the rest of f. Never raises by itself;
    // port failures pass on as LinkError.
    void SendFrame(TFrameFields& f);

    // Number of the last command sent (0x1F before the first).
    uint8_t SequenceCounter() const { return sequence_; }

    // Builds a command frame into out (at least 214 bytes); returns its length.
    static size_t BuildFrame(uint8_t sequence, uint8_t command, const std::string& data, uint8_t* out);
    // The checksum text: four bytes 0x30 + nibble, most significant first.
    static void PutChecksum(uint16_t sum, uint8_t* out);

private:
    enum class Wait { Start, Nak, TimedOut, Garbled };
    Wait WaitForStart();
    bool ReadAnswer(TFrameFields& f, uint8_t sent);
    bool EndsAnswerFrame(size_t got) const;

    TComPort& port_;
    TClock& clock_;
    uint8_t sequence_ = 0x1F;
    uint8_t buffer_[248] = {};
};

}  // namespace velbrin
