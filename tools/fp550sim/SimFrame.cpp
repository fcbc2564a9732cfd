#include "tools/fp550sim/SimFrame.h"

namespace velbrin::sim {

void AppendChecksum(std::string& out, unsigned sum)
{
    for (int shift = 12; shift >= 0; shift -= 4)
        out.push_back(static_cast<char>(0x30 + ((sum >> shift) & 0x0F)));
}

bool DecodeChecksum(std::string_view four, unsigned& sum)
{
    if (four.size() != 4)
        return false;
    sum = 0;
    for (char c : four) {
        const auto b = static_cast<uint8_t>(c);
        if (b < 0x30 || b > 0x3F)
            return false;
        sum = (sum << 4) | (b - 0x30u);
    }
    return true;
}

std::string BuildAnswerFrame(uint8_t seq, uint8_t cmd, std::string_view data, const StatusBytes& status)
{
    if (data.size() > kMaxAnswerData)
        data = data.substr(0, kMaxAnswerData);
    std::string f;
    f.reserve(data.size() + 17);
    f.push_back(static_cast<char>(kSoh));
    f.push_back(static_cast<char>(0x2B + data.size()));
    f.push_back(static_cast<char>(seq));
    f.push_back(static_cast<char>(cmd));
    f.append(data);
    f.push_back(static_cast<char>(kSep));
    for (uint8_t s : status)
        f.push_back(static_cast<char>(0x80 | (s & 0x3F)));
    f.push_back(static_cast<char>(kEnq));
    unsigned sum = 0;
    for (std::size_t i = 1; i < f.size(); ++i)
        sum += static_cast<uint8_t>(f[i]);
    AppendChecksum(f, sum & 0xFFFF);
    f.push_back(static_cast<char>(kEtx));
    return f;
}

CommandParser::Result CommandParser::Feed(uint8_t byte)
{
    switch (state_) {
    case State::Idle:
        if (byte == kSoh)
            state_ = State::Length;
        return Result::None;
    case State::Length:
        if (byte < 0x24 || byte > 0xF0) {
            // Not a frame of ours; a new start byte may follow right away.
            state_ = byte == kSoh ? State::Length : State::Idle;
            return Result::None;
        }
        length_ = byte;
        // seq .. 05 is length - 0x21 bytes, then four checksum bytes and 03.
        need_ = static_cast<std::size_t>(byte - 0x21) + 5;
        body_.clear();
        state_ = State::Body;
        return Result::None;
    case State::Body:
        body_.push_back(static_cast<char>(byte));
        if (body_.size() < need_)
            return Result::None;
        state_ = State::Idle;
        return Finish();
    }
    return Result::None;
}

CommandParser::Result CommandParser::Finish()
{
    const std::size_t enq = need_ - 6;  // index of the 05 byte in body_
    if (static_cast<uint8_t>(body_.back()) != kEtx || static_cast<uint8_t>(body_[enq]) != kEnq)
        return Result::Bad;
    unsigned sum = length_;
    for (std::size_t i = 0; i <= enq; ++i)
        sum += static_cast<uint8_t>(body_[i]);
    unsigned got = 0;
    if (!DecodeChecksum(std::string_view(body_).substr(enq + 1, 4), got) || got != (sum & 0xFFFF))
        return Result::Bad;
    frame_.seq = static_cast<uint8_t>(body_[0]);
    frame_.cmd = static_cast<uint8_t>(body_[1]);
    frame_.data.assign(body_, 2, enq - 2);
    return Result::Frame;
}

}  // namespace velbrin::sim
