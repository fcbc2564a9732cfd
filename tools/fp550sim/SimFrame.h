// The printer's side of the wire: parses the command frames the link sends and
// builds the answer frames it reads back. Pure byte functions, no I/O.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace velbrin::sim {

inline constexpr uint8_t kSoh = 0x01;  // start of frame
inline constexpr uint8_t kEtx = 0x03;  // end of frame
inline constexpr uint8_t kSep = 0x04;  // answer data / status separator
inline constexpr uint8_t kEnq = 0x05;  // end of data
inline constexpr uint8_t kNak = 0x15;  // frame rejected
inline constexpr uint8_t kSyn = 0x16;  // still working

// Status bits as the printer keeps them: low six bits of each of the six bytes.
using StatusBytes = std::array<uint8_t, 6>;

// Longest answer data an answer frame can carry (length byte 0x2B + d <= 0xFF).
inline constexpr std::size_t kMaxAnswerData = 0xFF - 0x2B;

// Four checksum characters, most significant nibble first, each 0x30 + nibble.
void AppendChecksum(std::string& out, unsigned sum);
// The value of four checksum characters; false when one is outside 0x30..0x3F.
bool DecodeChecksum(std::string_view four, unsigned& sum);

// Answer frame: 01, len=0x2B+d, seq, cmd, data, 04, six status bytes (sent with
// bit 7 set), 05, checksum over len..05, 03. Data longer than kMaxAnswerData is cut.
std::string BuildAnswerFrame(uint8_t seq, uint8_t cmd, std::string_view data, const StatusBytes& status);

struct CommandFrame {
    uint8_t seq = 0;
    uint8_t cmd = 0;
    std::string data;
};

// Collects a command frame byte by byte: 01, len=0x24+n, seq, cmd, data, 05,
// checksum over len..05, 03. Bytes outside a frame are skipped; a length byte
// outside 0x24..0xF0 drops the frame start (the link never sends one).
class CommandParser {
public:
    enum class Result { None, Frame, Bad };

    // Bad: a complete frame whose markers or checksum are wrong (the printer NAKs it).
    Result Feed(uint8_t byte);
    const CommandFrame& Frame() const { return frame_; }
    bool InFrame() const { return state_ != State::Idle; }
    void Reset() { state_ = State::Idle; body_.clear(); }

private:
    enum class State { Idle, Length, Body };
    Result Finish();

    State state_ = State::Idle;
    uint8_t length_ = 0;
    std::size_t need_ = 0;
    std::string body_;
    CommandFrame frame_;
};

}  // namespace velbrin::sim
