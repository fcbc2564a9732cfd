// Cost of the link's side of a printer command: commands per second and CPU time
// per command against a port in memory that answers every frame at once, beside
// the time the same bytes take on the wire at 19200 baud (10 bits a character).
#include "printer/P00_fp.h"

#include "app/P00_appservices.h"

#ifdef VELBRIN_BENCH_SIM
#include "tools/fp550sim/Fp550Simulator.h"

#include <filesystem>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

using namespace velbrin;

namespace {

class AnsweringPort : public TComPort {
public:
    explicit AnsweringPort(std::string answerData) : answerData_(std::move(answerData)) {}
    void Open() override { open_ = true; }
    bool IsOpen() const override { return open_; }
    void Close() override { open_ = false; }
    void Purge() override { size_ = at_ = 0; }
    size_t Write(const uint8_t* bytes, size_t k) override {
        written_ += k;
        // Answer: 01 len seq cmd data 04 status*6 05 checksum 03.
        uint8_t* p = answer_;
        *p++ = 0x01;
        *p++ = static_cast<uint8_t>(0x2B + answerData_.size());
        *p++ = bytes[2];
        *p++ = bytes[3];
        std::memcpy(p, answerData_.data(), answerData_.size());
        p += answerData_.size();
        *p++ = 0x04;
        for (int i = 0; i < 6; ++i) *p++ = 0x80;
        *p++ = 0x05;
        unsigned sum = 0;
        for (uint8_t* q = answer_ + 1; q < p; ++q) sum += *q;
        TFpSend::PutChecksum(static_cast<uint16_t>(sum), p);
        p += 4;
        *p++ = 0x03;
        size_ = static_cast<size_t>(p - answer_);
        at_ = 0;
        read_ += size_;
        return k;
    }
    size_t Read(uint8_t* buffer, size_t k) override {
        size_t n = std::min(k, size_ - at_);
        std::memcpy(buffer, answer_ + at_, n);
        at_ += n;
        return n;
    }
    std::string Name() const override { return "memory"; }
    size_t WireBytes() const { return written_ + read_; }

private:
    std::string answerData_;
    uint8_t answer_[256] = {};
    size_t size_ = 0, at_ = 0, written_ = 0, read_ = 0;
    bool open_ = false;
};

class QuietServices : public TAppServices {
public:
    void Terminate() override {}
    bool Terminated() const override { return false; }
    void ProcessMessages() override {}
    void ShowNumbered(int) override {}
    void ShowText(const std::string&) override {}
    void ShowError(const std::string&) override {}
    void ShowNotice(const std::string&) override {}
};

double CpuSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

template <class Run>
void Measure(const char* name, AnsweringPort& port, int count, Run run) {
    size_t wireBefore = port.WireBytes();
    auto wallStart = std::chrono::steady_clock::now();
    double cpuStart = CpuSeconds();
    for (int i = 0; i < count; ++i) run();
    double cpu = CpuSeconds() - cpuStart;
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    double wirePerCommand = static_cast<double>(port.WireBytes() - wireBefore) / count * 10.0 / 19200.0;
    double cpuPerCommand = cpu / count;
    std::printf("%-34s %10.0f cmd/s  cpu %7.3f us/cmd  wire %7.3f ms/cmd  wire/cpu %8.0f\n", name, count / wall,
                cpuPerCommand * 1e6, wirePerCommand * 1e3, wirePerCommand / cpuPerCommand);
}

}  // namespace

int main() {
    const int count = 200000;
    QuietServices app;
    {
        auto owned = std::make_unique<AnsweringPort>("");
        AnsweringPort& port = *owned;
        TFormFPDef def(std::move(owned));
        TFormFP fp(def, app);
        TFpCommand& cmd = fp.Command();
        Measure("Execute 52 \"17#2.50*3.000\"", port, count, [&] { cmd.Execute(52, "17#2.50*3.000"); });
        Measure("SellItem (RunCommand)", port, count, [&] { fp.SellItem("17#2.50*3.000"); });
    }
    {
        auto owned = std::make_unique<AnsweringPort>("3.01CG 11JUN09 1530,91F7,0000,SRB,ZK123456,18");
        AnsweringPort& port = *owned;
        TFormFPDef def(std::move(owned));
        TFormFP fp(def, app);
        Measure("ReadFirmwareVersion (90, fields)", port, count, [&] { fp.ReadFirmwareVersion(); });
    }
#ifdef VELBRIN_BENCH_SIM
    {
        // The same commands over a pseudo-terminal to the printer simulator: the
        // pseudo-terminal does not pace bytes, so this is the cost of both programs.
        std::string state = std::filesystem::temp_directory_path() / ("bench-fp550-" + std::to_string(::getpid()));
        {
            velbrin::sim::Fp550Simulator sim(state);
            std::string device = sim.Start();
            TFormFPDef def(std::make_unique<TPosixComPort>(device));
            TFormFP fp(def, app);
            const int simCount = 2000;
            auto wallStart = std::chrono::steady_clock::now();
            double cpuStart = CpuSeconds();
            for (int i = 0; i < simCount; ++i) fp.ReadDateTime();
            double cpu = (CpuSeconds() - cpuStart) / simCount;
            double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count() / simCount;
            // Command 62 without data, and its answer around the date and time.
            double wire = static_cast<double>(10 + 17 + fp.Command().AnswerData().size()) * 10.0 / 19200.0;
            std::printf("%-34s %10.0f cmd/s  cpu %7.3f us/cmd  wire %7.3f ms/cmd  wire/wall %7.1f\n",
                        "ReadDateTime via simulator (pty)", 1.0 / wall, cpu * 1e6, wire * 1e3, wire / wall);
        }
        std::filesystem::remove(state);
        std::filesystem::remove(state + ".journal");
    }
#endif
    return 0;
}
