#include "SimTestLine.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

namespace velbrin::test {

std::string BuildCommandFrame(uint8_t seq, uint8_t cmd, const std::string& data)
{
    std::string f;
    f.push_back(0x01);
    f.push_back(static_cast<char>(0x24 + data.size()));
    f.push_back(static_cast<char>(seq));
    f.push_back(static_cast<char>(cmd));
    f += data;
    f.push_back(0x05);
    unsigned sum = 0;
    for (std::size_t i = 1; i < f.size(); ++i)
        sum += static_cast<uint8_t>(f[i]);
    for (int shift = 12; shift >= 0; shift -= 4)
        f.push_back(static_cast<char>(0x30 + ((sum >> shift) & 0xF)));
    f.push_back(0x03);
    return f;
}

std::string LineReply::StatusHex() const
{
    std::string out;
    char buf[3];
    for (uint8_t s : status) {
        std::snprintf(buf, sizeof buf, "%02X", s & 0x3F);
        out += buf;
    }
    return out;
}

std::string LineReply::Field(int index) const
{
    std::size_t start = 0;
    for (int i = 0; i < index; ++i) {
        start = data.find(',', start);
        if (start == std::string::npos)
            return "";
        ++start;
    }
    const auto end = data.find(',', start);
    return data.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

SimTestLine::SimTestLine(const std::string& device)
{
    fd_ = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd_ < 0)
        throw std::runtime_error("cannot open " + device + ": " + std::strerror(errno));
    termios tio{};
    tcgetattr(fd_, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd_, TCSANOW, &tio);
    tcflush(fd_, TCIOFLUSH);
}

SimTestLine::~SimTestLine()
{
    if (fd_ >= 0)
        ::close(fd_);
}

void SimTestLine::WriteBytes(const std::string& bytes)
{
    std::size_t done = 0;
    for (int guard = 0; done < bytes.size() && guard < 1000; ++guard) {
        const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else
            ::usleep(1000);
    }
}

int SimTestLine::ReadByte(int timeoutMs)
{
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0)
        return -1;
    uint8_t b;
    return ::read(fd_, &b, 1) == 1 ? b : -1;
}

LineReply SimTestLine::ReadReply(int silenceMs)
{
    LineReply r;
    int b;
    for (;;) {
        b = ReadByte(silenceMs);
        if (b < 0)
            return r;  // Silence
        if (b == 0x15) {
            r.kind = LineReply::Nak;
            return r;
        }
        if (b == 0x01)
            break;
        if (b == 0x16)
            ++r.syns;
    }
    r.kind = LineReply::Corrupt;
    const int len = ReadByte(silenceMs);
    if (len < 0)
        return r;
    r.raw.push_back(static_cast<char>(len));
    if (len < 0x2B)
        return r;
    const int rest = len - 0x1C;  // seq .. 03
    for (int i = 0; i < rest; ++i) {
        b = ReadByte(silenceMs);
        if (b < 0)
            return r;
        r.raw.push_back(static_cast<char>(b));
    }
    const std::string& f = r.raw;
    const std::size_t enq = f.size() - 6, sep = enq - 7;
    if (f.back() != 0x03 || f[enq] != 0x05 || f[sep] != 0x04)
        return r;
    unsigned sum = 0, got = 0;
    for (std::size_t i = 0; i <= enq; ++i)
        sum += static_cast<uint8_t>(f[i]);
    for (std::size_t i = enq + 1; i < enq + 5; ++i)
        got = (got << 4) | (static_cast<uint8_t>(f[i]) & 0x0F);
    if (got != (sum & 0xFFFF))
        return r;
    r.seq = static_cast<uint8_t>(f[1]);
    r.cmd = static_cast<uint8_t>(f[2]);
    r.data = f.substr(3, sep - 3);
    for (int i = 0; i < 6; ++i)
        r.status[i] = static_cast<uint8_t>(f[sep + 1 + i]);
    r.kind = LineReply::Answer;
    return r;
}

LineReply SimTestLine::Command(int cmd, const std::string& data, int silenceMs)
{
    seq_ = static_cast<uint8_t>(seq_ >= 0x7F ? 0x20 : seq_ + 1);
    lastFrame_ = BuildCommandFrame(seq_, static_cast<uint8_t>(cmd), data);
    tcflush(fd_, TCIFLUSH);
    WriteBytes(lastFrame_);
    return ReadReply(silenceMs);
}

LineReply SimTestLine::Repeat(int silenceMs)
{
    tcflush(fd_, TCIFLUSH);
    WriteBytes(lastFrame_);
    return ReadReply(silenceMs);
}

}  // namespace velbrin::test
