// Kill points: the link is killed with SIGKILL at a random moment of a receipt,
// started again, and must settle the receipt from its database and the printer.
#include "app/P00_util.h"
#include "tools/harness/HarnessRuns.h"
#include "tools/harness/HarnessSession.h"

#include <sys/stat.h>

#include <cstdio>
#include <regex>
#include <sstream>

namespace velbrin::harness {

namespace {

long long FileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

// Windows widened by the printer's processing time: every command, or one
// command (open, payment, close, article programming, sale) made slow.
const char* const kWideners[] = {"", "delay 30", "delay 300 48", "delay 300 53", "delay 300 56", "delay 200 107",
                                 "delay 150 52"};

}  // namespace

std::string StageFromTrace(const std::string& tail) {
    static const std::regex rx(R"(^\d+ (RX|TX) seq=[0-9A-F]{2} cmd=(\d+) data=(.?))");
    std::string stage = "intake";
    std::istringstream in(tail);
    std::string line;
    bool closeAnswered = false;
    while (std::getline(in, line)) {
        std::smatch m;
        if (!std::regex_search(line, m, rx)) continue;
        const bool rxLine = m[1] == "RX";
        const int cmd = static_cast<int>(StrToInt(m[2].str()));
        if (!rxLine) {
            if (cmd == 56) closeAnswered = true;
            continue;
        }
        if (closeAnswered && cmd == 76) continue;  // the total read for the change, during archiving
        closeAnswered = false;
        switch (cmd) {
        case 33: case 102: case 43: stage = "prepare"; break;
        case 107: stage = "article update"; break;
        case 48: stage = "open"; break;
        case 52: stage = m[3] == "-" ? "voids" : "lines"; break;
        case 53: stage = "payments"; break;
        case 56: stage = "close"; break;
        default: break;  // status reads belong to the stage around them
        }
    }
    return closeAnswered ? "archive" : stage;
}

RunResult RunKills(const Tools& tools, const std::string& root, int kills, unsigned seed) {
    RunResult result;
    result.name = "kill points";
    Session s(tools, root, seed);
    if (!s.StartLinkOrNote(result.faults)) return result;
    // A few receipts without faults give the time a receipt takes once taken in.
    long long slowest = 0;
    for (int i = 0; i < 3; ++i) {
        const SentReceipt r = s.Next();
        s.cash.Drop(r.name, r.bytes);
        WaitUntil([&] { return !FileExists(s.inst.ToFp() + "/" + r.name); }, 30000);
        const long long taken = NowMs();
        if (!s.WaitAnswered({r.request}, 30000)) result.faults.push_back(r.name + " unanswered before any fault");
        slowest = std::max(slowest, NowMs() - taken);
    }
    std::map<std::string, int> stages;
    std::uniform_int_distribution<int> widener(0, static_cast<int>(std::size(kWideners)) - 1);
    for (int i = 0; i < kills; ++i) {
        const SentReceipt r = s.Next(i % 4 == 3 ? "csv" : "zvx");
        const std::string widen = kWideners[widener(s.rng)];
        if (!widen.empty()) s.printer.Control(widen);
        const long long span = slowest + (widen.empty() ? 0 : widen == "delay 30" ? 800 : 300);
        const long long traced = FileSize(s.printer.TracePath());
        s.cash.Drop(r.name, r.bytes);
        if (std::uniform_int_distribution<int>(0, 4)(s.rng) == 0) {
            // before or while the file is taken in
            WaitMs(std::uniform_int_distribution<int>(0, 600)(s.rng));
        } else {
            const std::string packet = s.inst.ToFp() + "/" + ChangeFileExt(r.name, ".zvx");
            WaitUntil([&] { return !FileExists(s.inst.ToFp() + "/" + r.name) && !FileExists(packet); }, 5000);
            WaitMs(std::uniform_int_distribution<int>(0, static_cast<int>(span))(s.rng));
        }
        s.link.Kill();
        std::string tail = ReadWholeFile(s.printer.TracePath());
        tail = tail.substr(std::min<std::size_t>(tail.size(), static_cast<std::size_t>(traced)));
        s.cash.Collect();
        const std::string stage = s.cash.Answered(r.request) ? "answered" : StageFromTrace(tail);
        ++stages[stage];
        s.printer.Control("reset");
        if (!s.StartLink()) result.faults.push_back("the link did not start again after kill " + std::to_string(i + 1));
        if (!s.WaitAnswered({r.request}, 60000))
            result.faults.push_back(r.name + " unanswered after a kill at stage " + stage);
        std::printf("  kill %d/%d at %s%s\n", i + 1, kills, stage.c_str(), widen.empty() ? "" : (" (" + widen + ")").c_str());
        std::fflush(stdout);
    }
    const Verdict v = s.Check();
    result.faults.insert(result.faults.end(), v.faults.begin(), v.faults.end());
    std::string spread;
    for (const auto& [stage, n] : stages) spread += (spread.empty() ? "" : ", ") + stage + " " + std::to_string(n);
    result.figures = {"kill points tried: " + std::to_string(kills) + " (" + spread + ")",
                      "receipts sent: " + std::to_string(v.sent) + ", printed: " + std::to_string(v.printed) +
                          ", answered ok: " + std::to_string(v.answeredOk) + ", err: " + std::to_string(v.answeredErr),
                      "lost: " + std::to_string(v.lost) + ", duplicated: " + std::to_string(v.duplicated) +
                          ", database disagreeing: " + std::to_string(v.dbMismatches),
                      std::string("database totals equal to the printer's: ") + (v.totalsEqual ? "yes" : "NO")};
    return result;
}

}  // namespace velbrin::harness
