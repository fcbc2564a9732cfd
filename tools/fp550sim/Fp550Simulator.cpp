#include "tools/fp550sim/Fp550Simulator.h"

#include <cerrno>
#include <cstdio>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

namespace velbrin::sim {

namespace {

using Clock = std::chrono::steady_clock;

// A frame start that sees no further byte for this long is dropped: the link
// waits far longer before it sends its frame again.
constexpr auto kStaleFrame = std::chrono::milliseconds(300);
// An answer the link does not read within this time is dropped.
constexpr int kWriteLimitMs = 1000;

std::string Hex(const StatusBytes& st)
{
    std::string out;
    char buf[3];
    for (uint8_t b : st) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        out += buf;
    }
    return out;
}

// One frame as a trace line shows it; control bytes of the data as <HH>.
std::string Describe(uint8_t seq, uint8_t cmd, const std::string& data)
{
    char head[32];
    std::snprintf(head, sizeof head, "seq=%02X cmd=%d data=", seq, cmd);
    std::string out = head;
    for (char c : data) {
        const auto b = static_cast<uint8_t>(c);
        if (b < 0x20 || b == 0x7F) {
            char buf[5];
            std::snprintf(buf, sizeof buf, "<%02X>", b);
            out += buf;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

}  // namespace

Fp550Simulator::Fp550Simulator(std::string statePath)
    : statePath_(std::move(statePath)),
      state_(LoadStateFile(statePath_)),
      journal_(statePath_ + ".journal"),
      fiscal_(state_, journal_)
{
}

Fp550Simulator::~Fp550Simulator()
{
    Stop();
    if (trace_)
        std::fclose(trace_);
}

void Fp550Simulator::Trace(const std::string& line)
{
    if (!trace_)
        return;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started_).count();
    std::fprintf(trace_, "%lld %s\n", static_cast<long long>(ms), line.c_str());
    std::fflush(trace_);
}

std::string Fp550Simulator::Start()
{
    if (master_ >= 0)
        return device_;
    auto fail = [this](const std::string& text) {
        const std::string reason = text + ": " + std::strerror(errno);
        if (master_ >= 0)
            ::close(master_);
        master_ = -1;
        return std::runtime_error(reason);
    };
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
        throw fail("cannot open a pseudo-terminal");
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0)
        throw fail("cannot name the pseudo-terminal");
    device_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (slave_ < 0)
        throw fail("cannot open " + device_);
    // Raw until the link applies its own settings, so that no byte is changed on the way.
    termios tio{};
    if (tcgetattr(slave_, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(slave_, TCSANOW, &tio);
    }
    stop_ = false;
    thread_ = std::thread([this] { Serve(); });
    return device_;
}

void Fp550Simulator::Stop()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    if (slave_ >= 0)
        ::close(slave_);
    if (master_ >= 0)
        ::close(master_);
    slave_ = master_ = -1;
}

std::string Fp550Simulator::Control(const std::string& command)
{
    std::lock_guard lock(mu_);
    if (command.rfind("trace ", 0) == 0) {
        std::string path = command.substr(6);
        while (!path.empty() && (path.back() == '\n' || path.back() == '\r' || path.back() == ' '))
            path.pop_back();
        if (trace_)
            std::fclose(trace_);
        trace_ = nullptr;
        if (path != "off" && !(trace_ = std::fopen(path.c_str(), "ab")))
            throw std::invalid_argument("cannot open trace file " + path);
        return "ok";
    }
    if (command.rfind("ledger ", 0) == 0) {
        std::string v = command.substr(7);
        while (!v.empty() && (v.back() == '\n' || v.back() == '\r' || v.back() == ' '))
            v.pop_back();
        if (v != "on" && v != "off")
            throw std::invalid_argument("ledger on|off: " + command);
        fiscal_.SetLedgerLines(v == "on");
        return "ok";
    }
    bool changed = false;
    const std::string reply = ApplyControl(command, faults_, state_, changed);
    baud_ = faults_.baud;
    if (changed) {
        SaveStateFile(statePath_, state_);
        last_.valid = false;  // a changed printer answers afresh
    }
    return reply;
}

std::vector<std::string> Fp550Simulator::Journal() const
{
    std::lock_guard lock(mu_);
    return SimJournal::ReadLines(journal_.Path());
}

SimState Fp550Simulator::State() const
{
    std::lock_guard lock(mu_);
    return state_;
}

bool Fp550Simulator::Noise()
{
    if (faults_.noiseRate <= 0)
        return false;
    return std::uniform_real_distribution<double>(0.0, 1.0)(faults_.noise) < faults_.noiseRate;
}

void Fp550Simulator::Serve()
{
    CommandParser parser;
    auto lastByte = Clock::now();
    uint8_t buf[256];
    while (!stop_) {
        pollfd p{master_, POLLIN, 0};
        const int r = ::poll(&p, 1, 20);
        if (r < 0 && errno != EINTR)
            break;
        if (parser.InFrame() && Clock::now() - lastByte > kStaleFrame)
            parser.Reset();
        if (r <= 0 || !(p.revents & POLLIN))
            continue;
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n <= 0)
            continue;
        lastByte = Clock::now();
        for (ssize_t i = 0; i < n && !stop_; ++i) {
            uint8_t b = buf[i];
            {
                std::lock_guard lock(mu_);
                if (Noise()) {
                    if (faults_.noise() % 2)
                        continue;  // dropped on the line
                    b ^= static_cast<uint8_t>(1u << (faults_.noise() % 8));
                }
            }
            try {
                switch (parser.Feed(b)) {
                case CommandParser::Result::Frame:
                    HandleFrame(parser.Frame());
                    break;
                case CommandParser::Result::Bad:
                    HandleBadFrame();
                    break;
                case CommandParser::Result::None:
                    break;
                }
            } catch (const std::exception& e) {
                // A state or journal file that cannot be written must not take the
                // line down; the command stays unanswered and the link retries.
                std::fprintf(stderr, "fp550-sim: %s\n", e.what());
            }
        }
    }
}

void Fp550Simulator::HandleBadFrame()
{
    {
        std::lock_guard lock(mu_);
        Trace(faults_.cut ? "RX bad frame, line cut" : "RX bad frame, NAK");
        if (faults_.cut)
            return;
    }
    ++received_;
    WriteRaw(std::string(1, static_cast<char>(kNak)));
}

void Fp550Simulator::HandleFrame(const CommandFrame& frame)
{
    ++received_;
    // the frame's own time on the line (01 len seq cmd data 05 bcc 03)
    LineTime(frame.data.size() + 10);
    SimAnswer answer;
    int delay = 0;
    {
        std::lock_guard lock(mu_);
        Trace("RX " + Describe(frame.seq, frame.cmd, frame.data));
        if (faults_.cut) {
            Trace("line cut: ignored");
            return;
        }
        if (faults_.noAnswer > 0) {
            --faults_.noAnswer;
            Trace("noanswer: ignored");
            return;
        }
        if (faults_.nak > 0) {
            --faults_.nak;
            Trace("nak: NAK");
            WriteRaw(std::string(1, static_cast<char>(kNak)));
            return;
        }
        const bool repeat = last_.valid && last_.frame.seq == frame.seq && last_.frame.cmd == frame.cmd &&
                            last_.frame.data == frame.data;
        if (repeat) {
            // A retransmission: the printer has done this already and only repeats its answer.
            answer = last_.answer;
            Trace("repeated frame: previous answer");
        } else {
            if (faults_.cutAfter == 0) {
                faults_.cut = true;
                Trace("line cut: ignored");
                return;
            }
            if (faults_.cutAfter > 0)
                --faults_.cutAfter;
            SimHardware hw = faults_.hardware;
            if (auto r = faults_.refuse.find(frame.cmd); r != faults_.refuse.end() && r->second > 0) {
                --r->second;
                hw.refuseCommand = frame.cmd;
            }
            answer = fiscal_.Execute(frame.cmd, frame.data, hw);
            ++executed_;
            if (answer.changed)
                SaveStateFile(statePath_, state_);
            last_ = {true, frame, answer};
            delay = faults_.DelayFor(frame.cmd);
        }
    }
    BusyWait(delay);
    SendAnswer(frame, answer);
}

void Fp550Simulator::BusyWait(int ms)
{
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!stop_ && Clock::now() < end) {
        int interval;
        {
            std::lock_guard lock(mu_);
            interval = faults_.synIntervalMs;
        }
        WriteRaw(std::string(1, static_cast<char>(kSyn)));
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        std::this_thread::sleep_for(std::chrono::milliseconds(std::max<long long>(0, std::min<long long>(interval, left))));
    }
}

void Fp550Simulator::Pause(int ms)
{
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!stop_ && Clock::now() < end)
        std::this_thread::sleep_for(std::min<Clock::duration>(std::chrono::milliseconds(20), end - Clock::now()));
}

void Fp550Simulator::SendAnswer(const CommandFrame& frame, const SimAnswer& answer)
{
    std::string bytes;
    int syn = 0, synInterval = 0, noiseDelay = 0, pauseMs = 0;
    std::size_t pauseAt = 0;
    std::string notes;
    {
        std::lock_guard lock(mu_);
        // Faults aimed at one command leave every other answer whole.
        const bool aimed = faults_.onlyCmd == 0 || faults_.onlyCmd == frame.cmd;
        if (aimed && faults_.lose > 0) {
            --faults_.lose;
            Trace("lose: answer not sent");
            return;
        }
        uint8_t seq = frame.seq;
        if (aimed && faults_.badSeq > 0) {
            --faults_.badSeq;
            notes += " badseq";
            seq = static_cast<uint8_t>(seq == 0x7F ? 0x20 : seq + 1);
        }
        uint8_t cmd = frame.cmd;
        if (aimed && faults_.badCmd > 0) {
            --faults_.badCmd;
            notes += " badcmd";
            cmd = static_cast<uint8_t>(cmd == 0x7F ? 0x20 : cmd + 1);
        }
        bytes = BuildAnswerFrame(seq, cmd, answer.data, answer.status);
        if (aimed && faults_.badSum > 0) {
            --faults_.badSum;
            notes += " badsum";
            bytes[bytes.size() - 2] = static_cast<char>(bytes[bytes.size() - 2] == 0x30 ? 0x31 : 0x30);
        }
        if (aimed && faults_.badLen > 0) {
            --faults_.badLen;
            notes += " badlen";
            bytes[1] = 0x10;
        }
        if (aimed && faults_.trunc > 0) {
            --faults_.trunc;
            notes += " trunc";
            bytes.resize(bytes.size() / 2);
        }
        syn = faults_.syn;
        faults_.syn = 0;
        synInterval = faults_.synIntervalMs;
        // Now and then an answer comes just about when the link gives up waiting.
        if (Noise())
            noiseDelay = 1200 + static_cast<int>(faults_.noise() % 400);
        noiseDelay += faults_.lateMs;
        faults_.lateMs = 0;
        // ... or stalls in the middle, about as long as the link's pause between two bytes.
        if (bytes.size() > 1 && Noise()) {
            pauseAt = 1 + faults_.noise() % (bytes.size() - 1);
            pauseMs = 60 + static_cast<int>(faults_.noise() % 100);
        }
        if (syn > 0)
            notes += " syn " + std::to_string(syn);
        if (noiseDelay > 0)
            notes += " late " + std::to_string(noiseDelay);
        if (pauseMs > 0)
            notes += " pause " + std::to_string(pauseMs);
        Trace("TX " + Describe(frame.seq, frame.cmd, answer.data) + " status=" + Hex(answer.status) + notes);
    }
    for (int i = 0; i < syn && !stop_; ++i) {
        WriteRaw(std::string(1, static_cast<char>(kSyn)));
        Pause(synInterval);
    }
    Pause(noiseDelay);
    if (pauseMs > 0) {
        Send(bytes.substr(0, pauseAt), true);
        Pause(pauseMs);
        Send(bytes.substr(pauseAt), true);
    } else {
        Send(bytes, true);
    }
}

void Fp550Simulator::Send(const std::string& bytes, bool noisy)
{
    std::string out;
    {
        std::lock_guard lock(mu_);
        if (!noisy || faults_.noiseRate <= 0) {
            out = bytes;
        } else {
            for (char c : bytes) {
                if (!Noise()) {
                    out.push_back(c);
                    continue;
                }
                switch (faults_.noise() % 4) {
                case 0:  // dropped
                    break;
                case 1: {  // one bit flipped; never into XON/XOFF, which would stall the link's port
                    auto b = static_cast<uint8_t>(c ^ (1u << (faults_.noise() % 8)));
                    if (b == 0x11 || b == 0x13)
                        b ^= 0x80;
                    out.push_back(static_cast<char>(b));
                    break;
                }
                case 2:
                    out.push_back(static_cast<char>(kSyn));
                    out.push_back(c);
                    break;
                default:
                    out.push_back(static_cast<char>(kNak));
                    out.push_back(c);
                    break;
                }
            }
        }
    }
    WriteRaw(out);
}

void Fp550Simulator::LineTime(std::size_t bytes)
{
    // read without the lock: answers are written with it held
    const int baud = baud_;
    if (baud > 0)
        std::this_thread::sleep_for(std::chrono::microseconds(static_cast<long long>(bytes) * 10 * 1000000 / baud));
}

void Fp550Simulator::WriteRaw(const std::string& bytes)
{
    LineTime(bytes.size());
    std::size_t done = 0;
    const auto end = Clock::now() + std::chrono::milliseconds(kWriteLimitMs);
    while (done < bytes.size() && !stop_ && Clock::now() < end) {
        const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return;
        pollfd p{master_, POLLOUT, 0};
        ::poll(&p, 1, 20);
    }
}

}  // namespace velbrin::sim
