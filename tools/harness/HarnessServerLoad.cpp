// Server load: 1, 4 and 8 tills, each its own installation, printer and link,
// all on one database server of the harness's own, every till dropping a
// 30-line receipt as soon as the answer to the last came. Once with the printer
// at its real line speed and once without it, for the given seconds each; the
// answer times and the server's processor time make a table. The books of
// every till are checked at the end.
#include "app/P00_util.h"
#include "tools/harness/HarnessFbServer.h"
#include "tools/harness/HarnessRuns.h"
#include "tools/harness/HarnessSession.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace velbrin::harness {

namespace {

constexpr int kLines = 30;
constexpr int kLineSpeed = 19200;  // the printer's own serial line

struct Till {
    std::unique_ptr<Session> s;
    std::string pending;  // the request waiting for its answer
    long long dropped = 0;
    std::vector<long long> ms;  // drop-to-answer of this phase
};

long long Percentile(std::vector<long long> v, int p) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, v.size() * static_cast<std::size_t>(p) / 100)];
}

}  // namespace

RunResult RunServerLoad(const Tools& tools, const std::string& root, int seconds, unsigned seed) {
    RunResult result;
    result.name = "server load";
    ForceDirectories(root);
    FbServer server(root + "/server");
    if (const std::string why = server.Start(); !why.empty()) return Skip(result, why);
    std::vector<Till> tills;
    result.figures.push_back("tills  line speed  receipts per till  drop-to-answer median / p95 ms (per till)"
                             "  server CPU");
    const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
    for (const int baud : {kLineSpeed, 0}) {
        for (const std::size_t n : {1u, 4u, 8u}) {
            while (tills.size() < n) {
                const std::string name = "till" + std::to_string(tills.size() + 1);
                Till t;
                t.s = std::make_unique<Session>(tools, root + "/" + name, seed + static_cast<unsigned>(tills.size()));
                server.MoveOnto(*t.s, name);
                if (!t.s->StartLink()) {
                    result.faults.push_back(name + ": the link did not start");
                    return result;
                }
                tills.push_back(std::move(t));
            }
            for (std::size_t i = 0; i < n; ++i) {
                tills[i].s->printer.Control(baud ? "baud " + std::to_string(baud) : "baud off");
                tills[i].ms.clear();
            }
            std::printf("  %zu tills, %s: %d s\n", n, baud ? "19200 baud" : "no line delay", seconds);
            std::fflush(stdout);
            const long long start = NowMs(), end = start + 1000LL * seconds;
            const long long cpuBefore = server.CpuTicks();
            for (;;) {
                bool waiting = false;
                const long long now = NowMs();
                for (std::size_t i = 0; i < n; ++i) {
                    Till& t = tills[i];
                    if (!t.pending.empty()) {
                        t.s->cash.Collect();
                        if (t.s->cash.Answered(t.pending)) {
                            t.ms.push_back(now - t.dropped);
                            t.pending.clear();
                        }
                    }
                    if (t.pending.empty() && now < end) {
                        const SentReceipt r = MakeReceipt(t.s->nextK++, t.s->rng, "zvx", kLines);
                        t.s->sent.push_back(r);
                        t.s->cash.Drop(r.name, r.bytes);
                        t.pending = r.request;
                        t.dropped = NowMs();
                    }
                    waiting = waiting || !t.pending.empty();
                    // Looking for windows starts xdotool: only when a message is up,
                    // so that the looks do not slow the loop that times the answers.
                    if (t.s->link.DialogShown()) t.s->AnswerMessages();
                }
                if (!waiting) break;
                if (now > end + 120000) {
                    result.faults.push_back(std::to_string(n) + " tills: receipts unanswered 120 s after the run");
                    break;
                }
                WaitMs(5);
            }
            const double wall = static_cast<double>(NowMs() - start) / 1000.0;
            const long long cpuAfter = server.CpuTicks();
            std::vector<long long> all, medians;
            std::size_t fewest = SIZE_MAX, most = 0;
            for (std::size_t i = 0; i < n; ++i) {
                all.insert(all.end(), tills[i].ms.begin(), tills[i].ms.end());
                medians.push_back(Percentile(tills[i].ms, 50));
                fewest = std::min(fewest, tills[i].ms.size());
                most = std::max(most, tills[i].ms.size());
                if (!tills[i].s->link.Running()) result.faults.push_back("till " + std::to_string(i + 1) + " ended");
            }
            std::sort(medians.begin(), medians.end());
            char row[256];
            std::snprintf(row, sizeof row, "%5zu  %-10s  %6zu-%-10zu  %6lld / %-6lld (medians %lld-%lld)  %5.1f %%", n,
                          baud ? "19200" : "no delay", fewest, most, Percentile(all, 50), Percentile(all, 95),
                          medians.front(), medians.back(),
                          cpuBefore < 0 || cpuAfter < 0 ? -1.0 : 100.0 * (cpuAfter - cpuBefore) / ticks / wall);
            result.figures.push_back(row);
            std::printf("  %s\n", row);
            std::fflush(stdout);
        }
    }
    result.figures.push_back("server CPU: the server process's processor time over the run's wall time, % of one core");
    int receipts = 0;
    for (std::size_t i = 0; i < tills.size(); ++i) {
        try {
            const Verdict v = tills[i].s->Check();
            receipts += v.sent;
            for (const std::string& f : v.faults) result.faults.push_back("till " + std::to_string(i + 1) + ": " + f);
        } catch (const std::exception& e) {
            result.faults.push_back("till " + std::to_string(i + 1) + ": the books cannot be read: " + e.what());
        }
    }
    result.figures.push_back("receipts checked in the books of " + std::to_string(tills.size()) +
                             " tills: " + std::to_string(receipts));
    return result;
}

}  // namespace velbrin::harness
