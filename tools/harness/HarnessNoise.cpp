// The noisy line: dropped bytes, flipped bits, stray 0x16 and 0x15 and answers
// late near the time limits. Receipts must complete through the repetitions of
// the frame protocol, or fail with an answer, never print twice.
#include "app/P00_util.h"
#include "tools/harness/HarnessRuns.h"
#include "tools/harness/HarnessSession.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace velbrin::harness {

namespace {

// Frames the printer saw again (the link repeated them) or could not read.
int Repetitions(const std::string& trace) {
    std::istringstream in(trace);
    std::string line;
    int n = 0;
    while (std::getline(in, line))
        if (line.find("repeated frame") != std::string::npos || line.find("RX bad frame") != std::string::npos) ++n;
    return n;
}

int CountLines(const std::string& path) {
    if (!FileExists(path)) return 0;
    const std::string text = ReadWholeFile(path);
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

}  // namespace

RunResult RunNoise(const Tools& tools, const std::string& root, int requests, unsigned seed) {
    RunResult result;
    result.name = "noise";
    Session s(tools, root, seed);
    if (!s.StartLinkOrNote(result.faults)) return result;
    s.printer.Control("noise 0.004 " + std::to_string(seed));
    for (int i = 0; i < requests; ++i) {
        // Receipts of both formats between the command, article and text files.
        const std::vector<SentRequest> batch = s.NextMixed(i);
        s.DropAll(batch);
        if (!s.WaitAnsweredAll(batch, 90000)) {
            result.faults.push_back(batch.back().name + " unanswered on the noisy line");
            break;
        }
        if ((i + 1) % 10 == 0) {
            std::printf("  %d/%d requests, link started %d times\n", i + 1, requests, s.link.Starts());
            std::fflush(stdout);
        }
    }
    s.printer.Control("noise off");
    // A receipt left to the next start is settled on a quiet line.
    s.Nurse();
    const Verdict v = s.Check();
    result.faults.insert(result.faults.end(), v.faults.begin(), v.faults.end());
    const int retries = Repetitions(ReadWholeFile(s.printer.TracePath()));
    const int failedCommands = CountLines(s.inst.Logs() + "/FP550_log.txt");
    result.figures = {"receipts: " + std::to_string(v.sent) + ", answered ok " + std::to_string(v.answeredOk) +
                          ", failures answered " + std::to_string(v.answeredErr) + " (+ Comm.err " +
                          std::to_string(s.cash.CommErr().size()) + ")",
                      "command, article and text files and cancelled receipts: " + std::to_string(s.others.size()) +
                          ", faults among them and the ledger: " + std::to_string(v.requestFaults) +
             ", article tables repaired by the link (closing the day): " + std::to_string(v.repairs),
                      "frames repeated or unreadable at the printer: " + std::to_string(retries) +
                          ", failed commands in the printer log: " + std::to_string(failedCommands),
                      "operator messages closed: " + std::to_string(s.dialogs) + ", link starts: " +
                          std::to_string(s.link.Starts()),
                      "double prints: " + std::to_string(v.duplicated) + ", lost: " + std::to_string(v.lost),
                      std::string("database totals equal to the printer's: ") + (v.totalsEqual ? "yes" : "NO")};
    return result;
}

}  // namespace velbrin::harness
