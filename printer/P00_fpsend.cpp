#include "printer/P00_fpsend.h"

#include <chrono>
#include <cstring>

namespace velbrin {

namespace {

class TSteadyClock : public TClock {
public:
    int64_t NowMs() override {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    }
};

constexpr uint8_t kSoh = 0x01, kEot = 0x03, kSep = 0x04, kEnq = 0x05, kNak = 0x15, kSyn = 0x16;

}  // namespace

TClock& SteadyClock() {
    static TSteadyClock clock;
    return clock;
}

void TFpSend::PutChecksum(uint16_t sum, uint8_t* out) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(0x30 + ((sum >> (12 - 4 * i)) & 0x0F));
}

size_t TFpSend::BuildFrame(uint8_t sequence, uint8_t command, const std::string& data, uint8_t* out) {
    const size_t n = data.size();
    const uint8_t length = static_cast<uint8_t>(0x24 + n);
    out[0] = kSoh;
    out[1] = length;
    out[2] = sequence;
    out[3] = command;
    std::memcpy(out + 4, data.data(), n);
    out[4 + n] = kEnq;
    uint16_t sum = 0;
    for (size_t i = 1; i <= 4 + n; ++i) sum = static_cast<uint16_t>(sum + out[i]);
    PutChecksum(sum, out + 5 + n);
    out[9 + n] = kEot;
    return 10 + n;
}

void TFpSend::SendFrame(TFrameFields& f) {
    f.length = 0;
    f.answerData.clear();
    f.checksum = 0;
    f.answerCommand = static_cast<uint8_t>(f.command & 0xFF);
    f.status.fill(0);
    for (auto& byte : f.statusBits) byte.fill(false);

    if (f.command < 0x20 || f.command > 0x7F) {
        f.resultCode = kFrameBadCommand;
        return;
    }
    // The sequence number advances once per command, even for one refused as too long.
    ++sequence_;
    if (sequence_ > 0x7F || sequence_ < 0x20) sequence_ = 0x20;
    f.sequence = sequence_;
    const uint8_t sent = sequence_;
    const uint8_t command = static_cast<uint8_t>(f.command);

    const size_t length = f.data.size() + 0x24;
    f.length = static_cast<uint8_t>(length);
    if (length < 36 || length > 240) {
        f.resultCode = kFrameTooLong;
        return;
    }
    int32_t checksum = static_cast<int32_t>(length) + sent + command + kEnq;
    for (unsigned char c : f.data) checksum += c;
    f.checksum = checksum;
    f.resultCode = kFrameOk;

    int naks = 0;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        port_.Purge();
        // The answer overwrites the buffer, so the frame is built again for every transmission.
        const size_t frameSize = BuildFrame(sent, command, f.data, buffer_);
        bool whole = false;
        for (int w = 0; w < kWholeFrameWrites && !whole; ++w) whole = port_.Write(buffer_, frameSize) == frameSize;
        if (!whole) {
            f.resultCode = kFrameWriteStuck;
            return;
        }

        switch (WaitForStart()) {
        case Wait::TimedOut:
            f.resultCode = kFrameNoAnswer;
            continue;
        case Wait::Garbled:
            // Only noise on the line: sending the frame again only waits again.
            f.resultCode = kFrameNoAnswer;
            return;
        case Wait::Nak:
            if (++naks > kMaxNaks) {
                f.resultCode = kFrameNaks;
                return;
            }
            continue;
        case Wait::Start:
            break;
        }

        uint8_t lengthByte = 0;
        bool gotLength = false;
        for (int misses = 0; misses < kStartMisses && !gotLength; ++misses)
            gotLength = port_.Read(&lengthByte, 1) == 1;
        if (!gotLength) {
            f.resultCode = kFrameNoLength;
            continue;
        }
        f.length = lengthByte;
        if (lengthByte < 0x20) {
            f.resultCode = kFrameBadLength;
            return;
        }
        if (ReadAnswer(f, sent)) {
            f.resultCode = kFrameOk;
            return;
        }
    }
    // The last time-out on the way wins over corrupt answers.
    if (f.resultCode == kFrameOk) f.resultCode = kFrameCorrupt;
}

TFpSend::Wait TFpSend::WaitForStart() {
    int64_t lastSign = clock_.NowMs();  // start of the wait, then the last 0x16
    int misses = 0;
    for (;;) {
        uint8_t b = 0;
        if (port_.Read(&b, 1) == 0) {
            if (++misses >= kStartMisses) return Wait::TimedOut;
            continue;
        }
        if (b == kSoh) return Wait::Start;
        if (b == kNak) return Wait::Nak;
        // 0x16 (still working) or line noise: keep waiting, but noise alone only
        // for a while.
        misses = 0;
        const int64_t now = clock_.NowMs();
        if (b == kSyn)
            lastSign = now;
        else if (now - lastSign >= kNoSignOfLifeLimitMs)
            return Wait::Garbled;
    }
}

// Separator, six status bytes, 0x05, four checksum bytes and 0x03 close every answer;
// 0x03 and 0x05 occur nowhere else in it.
bool TFpSend::EndsAnswerFrame(size_t got) const {
    return got >= 15 && buffer_[got - 1] == kEot && buffer_[got - 6] == kEnq && buffer_[got - 13] == kSep;
}

// Reads the answer after its length byte and checks it; false sends the frame again.
bool TFpSend::ReadAnswer(TFrameFields& f, uint8_t sent) {
    const size_t m = static_cast<size_t>(f.length) - 28;
    size_t got = 0;
    for (int reads = 0; got < m; ++reads) {
        if (reads == kRestReads) {
            f.resultCode = kFrameCutAnswer;
            return false;
        }
        const size_t n = port_.Read(buffer_ + got, m - got);
        // A read waits 100 ms per byte asked for: one that got nothing means the printer
        // stopped sending, and five more such waits would stall the till for a minute.
        if (n == 0) {
            f.resultCode = kFrameCutAnswer;
            return false;
        }
        got += n;
        // The line went quiet on a whole frame shorter than its length byte claims: the
        // length was damaged on the way, and the rest will never come.
        if (got < m && EndsAnswerFrame(got)) return false;
    }
    f.sequence = buffer_[0];
    if (buffer_[0] != sent) return false;
    f.answerCommand = buffer_[1];
    if (static_cast<int32_t>(buffer_[1]) != f.command) return false;
    // Room for sequence, command, separator, six status bytes, 0x05, checksum and 0x03.
    if (m < 15) return false;
    if (buffer_[m - 1] != kEot || buffer_[m - 6] != kEnq || buffer_[m - 13] != kSep) return false;
    uint32_t sum = f.length;
    for (size_t i = 0; i <= m - 6; ++i) sum += buffer_[i];
    int32_t received = 0;
    for (size_t i = m - 5; i <= m - 2; ++i) received = (received << 4) | (buffer_[i] & 0x0F);
    f.checksum = received;
    if (static_cast<int32_t>(sum & 0xFFFF) != received) return false;

    const uint8_t* data = buffer_ + 2;
    const size_t dataSize = m - 15;
    const void* nul = std::memchr(data, 0, dataSize);
    f.answerData.assign(reinterpret_cast<const char*>(data),
                        nul ? static_cast<const uint8_t*>(nul) - data : dataSize);
    for (int i = 0; i < 6; ++i) {
        f.status[i] = buffer_[m - 12 + i] & 0x3F;
        for (int j = 0; j < 6; ++j) f.statusBits[i][j] = (f.status[i] >> j) & 1;
    }
    return true;
}

}  // namespace velbrin
