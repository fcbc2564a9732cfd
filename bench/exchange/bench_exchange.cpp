// Exchange benchmark against the printer simulator on a pty (no line delay):
//  1. a 250-line receipt: the link's own time per line (database and processing,
//     i.e. everything but waiting on the port) beside the wire time the same
//     frames would take at 19200 baud, and their ratio;
//  2. a one-line receipt: time from dropping the file to its answer, for one
//     exchange cycle (bench_link measures it through the program, where the
//     cycle starts when the file lands).
#include "exchange/P30_lnkwork.h"
#include "formats/P00_convert.h"
#include "store/P31_bon.h"
#include "support/LinkRig.h"
#include "closing/P32_zets.h"
#include "store/P30_commonlink.h"

#include "app/P00_util.h"

#include <algorithm>
#include <cstdlib>
#include <sys/resource.h>
#include <chrono>
#include <cstdio>
#include <vector>

using namespace velbrin;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// User and system time of the calling thread (the link's; the simulator has its own).
double ThreadCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    auto sec = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6; };
    return sec(u.ru_utime) + sec(u.ru_stime);
}

// The real port, with the time spent inside it and the bytes that crossed it.
class CountingPort : public TComPort {
public:
    explicit CountingPort(const std::string& device) : port_(device) {}
    void Open() override { port_.Open(); }
    bool IsOpen() const override { return port_.IsOpen(); }
    void Close() override { port_.Close(); }
    void Purge() override { port_.Purge(); }
    size_t Write(const uint8_t* bytes, size_t k) override {
        const auto t = Clock::now();
        const size_t n = port_.Write(bytes, k);
        inPort += Clock::now() - t;
        bytesOut += n;
        return n;
    }
    size_t Read(uint8_t* buffer, size_t k) override {
        const auto t = Clock::now();
        const size_t n = port_.Read(buffer, k);
        inPort += Clock::now() - t;
        bytesIn += n;
        return n;
    }
    std::string Name() const override { return port_.Name(); }
    void Reset() {
        inPort = {};
        bytesIn = bytesOut = 0;
    }
    Clock::duration inPort{};
    size_t bytesIn = 0, bytesOut = 0;

private:
    TPosixComPort port_;
};

std::string Packet(int lines) {
    TDataPacket p;
    p.LoadFromText(TFormConvert::EmptyPacket("ABC_"));
    auto row = [&](const char* art, const char* cena, const char* qty) {
        const std::size_t r = p.AppendRow();
        p.SetValue(r, "ART_ID", art);
        p.SetValue(r, "TAX_ID", "1");
        p.SetValue(r, "PLU_NAZIV", std::string("ART ") + art);
        p.SetValue(r, "CENA", cena);
        p.SetValue(r, "KOLICINA", qty);
    };
    for (int i = 0; i < lines; ++i) row(i % 2 ? "1002" : "1001", "1.25", "2");
    row("KRAJBONA", "0", "0");
    return p.SaveToText();
}

// One run of both measurements on a fresh installation. With asyncWrites the
// database copy is switched to unforced writes first, which shows what the disk's
// synchronous writes (a few per committed statement) cost on this machine.
void Measure(bool asyncWrites) {
    test::LinkRig rig;
    rig.store.reset();
    rig.zets.reset();
    rig.commonLink.reset();
    rig.fp.reset();
    rig.fpDef.reset();
    if (asyncWrites) {
        rig.connection.reset();
        const std::string cmd = "gfix -write async -user SYSDBA -password " VELBRIN_BENCH_DB_PASSWORD " '" +
                                rig.ini->DbPath() + "'";
        if (std::system(cmd.c_str()) != 0) throw LinkError("gfix failed: " + cmd);
        rig.connection = std::make_unique<TFormConnection>(rig.ini->DbPath());
    }
    auto owned = std::make_unique<CountingPort>(rig.sim->DevicePath());
    CountingPort& port = *owned;
    rig.fpDef = std::make_unique<TFormFPDef>(std::move(owned));
    rig.fp = std::make_unique<TFormFP>(*rig.fpDef, rig.app);
    rig.fp->SetTaxGroupFlags(rig.fp->ReadTaxGroups());
    rig.RebuildNeighbours();
    TFormConvert convert;
    TFormLnkWork work(*rig.store, convert, *rig.commonLink);
    work.CreateReceipt();
    const std::string to = rig.ini->ToFpDir(), from = rig.ini->FromFpDir();

    const TSqlConnection& db = rig.connection->SQLConnection1;
    auto run = [&](const std::string& name, int lines) {
        WriteWholeFile(JoinPath(to, name + ".zvx"), Packet(lines));
        const auto t = Clock::now();
        work.PollExchange();
        const auto d = Clock::now() - t;
        if (!FileExists(JoinPath(from, name + ".ok"))) throw LinkError(name + " was not answered with .ok");
        return d;
    };

    std::printf("== database writes %s\n", asyncWrites ? "unforced (gfix -write async)" : "forced, as shipped");
    run("ABC_WARM", 4);  // articles defined, day opened, first attach paid
    constexpr int kLines = 250;
    const uint64_t oneLine0 = db.Commits();
    run("ABC_ONE", 1);
    const uint64_t oneLine = db.Commits() - oneLine0;
    port.Reset();
    const uint64_t commits0 = db.Commits();
    const double cpu0 = ThreadCpuSeconds();
    const auto wall = run("ABC_250", kLines);
    const double cpu = ThreadCpuSeconds() - cpu0;
    const uint64_t commits = db.Commits() - commits0;
    const double own = Seconds(wall - port.inPort);
    const double wire = static_cast<double>(port.bytesIn + port.bytesOut) * 10.0 / 19200.0;
    std::printf("250-line receipt, whole cycle      %8.1f ms (in the port %.1f ms)\n", Seconds(wall) * 1e3,
                Seconds(port.inPort) * 1e3);
    std::printf("  bytes over the line               %8zu out, %zu in\n", port.bytesOut, port.bytesIn);
    std::printf("  link's own time per line          %8.3f ms (CPU of the link's thread %.3f ms)\n",
                own * 1e3 / kLines, cpu * 1e3 / kLines);
    std::printf("  wire time per line at 19200 baud  %8.3f ms\n", wire * 1e3 / kLines);
    std::printf("  ratio own / wire                  %8.3f  (aim: 0.04)\n", own / wire);
    std::printf("  commits                           %8llu for 250 lines, %.2f per line; %llu for a one-line receipt\n",
                static_cast<unsigned long long>(commits), static_cast<double>(commits - oneLine) / (kLines - 1),
                static_cast<unsigned long long>(oneLine));

    std::vector<double> drop;
    for (int i = 0; i < 10; ++i) drop.push_back(Seconds(run("ABC_ONE" + std::to_string(i), 1)) * 1e3);
    std::sort(drop.begin(), drop.end());
    std::printf("one-line receipt, drop to answer   %8.1f ms median, %.1f ms worst of %zu cycles\n",
                drop[drop.size() / 2], drop.back(), drop.size());
    std::printf("  (the cycle alone; bench_link measures it through the program)\n");
}

}  // namespace

int main() {
    try {
        Measure(false);
        Measure(true);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_exchange: %s\n", e.what());
        return 1;
    }
}
