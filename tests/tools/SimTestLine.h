// The tests' own end of the serial line: a raw termios port on the simulator's
// pty with a tiny frame sender, independent of the link's printer code so that a
// fault in either side shows up instead of cancelling out.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace velbrin::test {

std::string BuildCommandFrame(uint8_t seq, uint8_t cmd, const std::string& data);

struct LineReply {
    enum Kind { Answer, Nak, Silence, Corrupt } kind = Silence;
    uint8_t seq = 0;
    uint8_t cmd = 0;
    std::string data;
    std::array<uint8_t, 6> status{};  // as received, bit 7 included
    int syns = 0;                     // 0x16 bytes seen before the answer
    std::string raw;                  // bytes of the frame from its length byte on

    bool Bit(int byte, int bit) const { return (status[byte] >> bit) & 1; }
    // The low six bits of the six status bytes as "%02X" each.
    std::string StatusHex() const;
    std::string Field(int index) const;
};

class SimTestLine {
public:
    explicit SimTestLine(const std::string& device);
    ~SimTestLine();
    SimTestLine(const SimTestLine&) = delete;
    SimTestLine& operator=(const SimTestLine&) = delete;

    void WriteBytes(const std::string& bytes);
    // Waits up to silenceMs for each byte of the reply.
    LineReply ReadReply(int silenceMs = 600);
    // Sends a command frame with the next sequence number and reads the reply.
    LineReply Command(int cmd, const std::string& data = "", int silenceMs = 600);
    // Sends the previous command frame again, same sequence number.
    LineReply Repeat(int silenceMs = 600);
    uint8_t Seq() const { return seq_; }

private:
    int ReadByte(int timeoutMs);
    int fd_ = -1;
    uint8_t seq_ = 0x1F;
    std::string lastFrame_;
};

}  // namespace velbrin::test
