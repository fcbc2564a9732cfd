#include "FakePort.h"

#include "app/P00_util.h"

#include <algorithm>
#include <cstring>

namespace velbrin::test {

std::string AnswerFrame(uint8_t sequence, uint8_t command, const std::string& data, std::array<uint8_t, 6> status) {
    std::string body;
    body += static_cast<char>(0x2B + data.size());
    body += static_cast<char>(sequence);
    body += static_cast<char>(command);
    body += data;
    body += '\x04';
    for (uint8_t s : status) body += static_cast<char>(0x80 | s);
    body += '\x05';
    unsigned sum = 0;
    for (unsigned char c : body) sum += c;
    uint8_t check[4];
    TFpSend::PutChecksum(static_cast<uint16_t>(sum), check);
    return "\x01" + body + std::string(reinterpret_cast<char*>(check), 4) + "\x03";
}

void FakePort::Open() {
    if (!openError.empty()) throw LinkError(openError);
    open = true;
    ++opens;
}

void FakePort::Purge() {
    ++purges;
    input_.clear();
}

size_t FakePort::Write(const uint8_t* bytes, size_t k) {
    size_t take = k;
    if (!writeLimits.empty()) {
        take = std::min(k, writeLimits.front());
        writeLimits.pop_front();
    }
    writes.emplace_back(reinterpret_cast<const char*>(bytes), take);
    clock_.now += 1 + static_cast<int64_t>(take) / 2;  // about the wire time at 19200 baud
    if (take != k) return take;
    if (k >= 10) commands.emplace_back(bytes[3], std::string(reinterpret_cast<const char*>(bytes) + 4, k - 10));
    if (!replies.empty()) {
        for (auto& piece : replies.front()) input_.push_back(piece);
        replies.pop_front();
    } else if (!answers.empty()) {
        input_.push_back(AnswerFrame(bytes[2], bytes[3], answers.front().data, answers.front().status));
        answers.pop_front();
    } else if (answerByDefault) {
        input_.push_back(AnswerFrame(bytes[2], bytes[3], ""));
    }
    return k;
}

size_t FakePort::Read(uint8_t* buffer, size_t k) {
    if (!readError.empty()) throw LinkError(readError);
    if ((input_.empty() && busyForever) || clock_.now < busyUntilMs) {
        buffer[0] = clock_.now < busyUntilMs ? 0x16 : busyByte;
        clock_.now += 60;
        return 1;
    }
    if (input_.empty() || input_.front().empty()) {
        if (!input_.empty()) input_.pop_front();
        clock_.now += 100 + 100 * static_cast<int64_t>(k);
        return 0;
    }
    std::string& piece = input_.front();
    size_t n = std::min(k, piece.size());
    std::memcpy(buffer, piece.data(), n);
    piece.erase(0, n);
    if (piece.empty()) input_.pop_front();
    return n;
}

}  // namespace velbrin::test
