// The long run: thousands of receipts through one run of the link, with its
// memory and open files at start and end and the logs checked line by line.
#include "app/P00_util.h"
#include "tools/harness/HarnessRuns.h"
#include "tools/harness/HarnessSession.h"

#include <cstdio>
#include <regex>

namespace velbrin::harness {

namespace {

// Lines that are not "yyyy-mm-dd hh:nn:ss text" ended by CR LF.
int BadLogLines(const std::string& path, int& lines) {
    if (!FileExists(path)) return 0;
    static const std::regex good(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} [^\r\n]*\r$)");
    const std::string text = ReadWholeFile(path);
    int bad = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            ++bad;  // a last line without its line end
            break;
        }
        ++lines;
        if (!std::regex_match(text.substr(start, end - start), good)) ++bad;
        start = end + 1;
    }
    return bad;
}

}  // namespace

RunResult RunLong(const Tools& tools, const std::string& root, int receipts, unsigned seed) {
    RunResult result;
    result.name = "long run";
    Session s(tools, root, seed);
    if (!s.StartLinkOrNote(result.faults)) return result;
    const pid_t pid = s.link.Pid();
    const long long rssStart = ResidentKb(pid);
    const int fdStart = OpenFiles(pid);
    long long rssWarm = -1;
    int fdWarm = -1;
    const int batch = 25;
    const long long started = NowMs();
    for (int done = 0; done < receipts;) {
        std::vector<std::string> requests;
        for (int i = 0; i < batch && done < receipts; ++i, ++done) {
            const SentReceipt r = s.Next(done % 5 == 4 ? "csv" : "zvx");
            s.cash.Drop(r.name, r.bytes);
            requests.push_back(r.request);
        }
        if (!s.WaitAnswered(requests, 120000)) {
            result.faults.push_back("a batch ending at receipt " + std::to_string(done) + " was not answered");
            break;
        }
        if (rssWarm < 0) {
            rssWarm = ResidentKb(pid);
            fdWarm = OpenFiles(pid);
        }
        if (done % 500 < batch) {
            std::printf("  %d receipts, VmRSS %lld kB, open files %d\n", done, ResidentKb(pid), OpenFiles(pid));
            std::fflush(stdout);
        }
    }
    const long long seconds = std::max(1LL, (NowMs() - started) / 1000);
    const long long rssEnd = ResidentKb(pid);
    const int fdEnd = OpenFiles(pid);
    if (s.link.Pid() != pid || s.restarts > 0)
        result.faults.push_back("the link had to be started again " + std::to_string(s.restarts) + " times");
    const Verdict v = s.Check();
    result.faults.insert(result.faults.end(), v.faults.begin(), v.faults.end());
    int lines = 0;
    const int bad = BadLogLines(s.inst.Logs() + "/LINK_log.txt", lines) + BadLogLines(s.inst.Logs() + "/FP550_log.txt", lines);
    if (bad > 0) result.faults.push_back(std::to_string(bad) + " log lines not well-formed");
    // Growth that keeps pace with the receipts would be a leak: allow the
    // engine's caches a margin, not a few kB per receipt.
    if (rssWarm > 0 && rssEnd - rssWarm > 40000 + receipts * 4LL)
        result.faults.push_back("resident memory grew from " + std::to_string(rssWarm) + " to " +
                                std::to_string(rssEnd) + " kB");
    if (fdWarm >= 0 && fdEnd > fdWarm + 2)
        result.faults.push_back("open files grew from " + std::to_string(fdWarm) + " to " + std::to_string(fdEnd));
    result.figures = {
        "receipts: " + std::to_string(v.sent) + " in " + std::to_string(seconds) + " s, answered ok " +
            std::to_string(v.answeredOk) + ", err " + std::to_string(v.answeredErr) + ", lost " +
            std::to_string(v.lost) + ", duplicated " + std::to_string(v.duplicated),
        "VmRSS kB: start " + std::to_string(rssStart) + ", after the first batch " + std::to_string(rssWarm) +
            ", end " + std::to_string(rssEnd),
        "open files: start " + std::to_string(fdStart) + ", after the first batch " + std::to_string(fdWarm) +
            ", end " + std::to_string(fdEnd),
        "log lines: " + std::to_string(lines) + ", not well-formed " + std::to_string(bad),
        std::string("database totals equal to the printer's: ") + (v.totalsEqual ? "yes" : "NO")};
    return result;
}

}  // namespace velbrin::harness
