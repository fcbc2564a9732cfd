// Server stops: the link works on a database of the harness's own Firebird
// server, and the server is stopped (SIGTERM or SIGKILL) at random moments of
// the requests - between them, after the n-th printer frame of one, at a
// receipt's payment or close, in a day closing - and started again after 0.5 to
// 10 s. The link is never restarted: it must hold the request at hand, attach
// again by itself, settle the request from the printer and the database and
// answer it once and truly.
#include "app/P00_util.h"
#include "tools/fp550sim/SimJournal.h"
#include "tools/harness/HarnessFbServer.h"
#include "tools/harness/HarnessRuns.h"
#include "tools/harness/HarnessSession.h"

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <regex>
#include <sstream>

namespace velbrin::harness {

namespace {

long long FileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

std::string TraceSince(const Printer& printer, long long offset) {
    const std::string trace = ReadWholeFile(printer.TracePath());
    return trace.substr(std::min<std::size_t>(trace.size(), static_cast<std::size_t>(offset)));
}

// Commands the printer received in a piece of its trace, in order.
std::vector<int> Received(const std::string& tail) {
    static const std::regex rx(R"(^\d+ RX seq=[0-9A-F]{2} cmd=(\d+))");
    std::vector<int> cmds;
    std::istringstream in(tail);
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        if (std::regex_search(line, m, rx)) cmds.push_back(static_cast<int>(StrToInt(m[1].str())));
    }
    return cmds;
}

const char* KindOf(const SentRequest& r) {
    if (r.kind == RequestKind::Receipt) return r.cancelledReceipt ? "cancelled receipt" : "receipt";
    if (r.kind == RequestKind::Text) return "text";
    if (r.kind == RequestKind::Article)
        return r.op == "N" ? "ART-N" : r.op == "K" ? "ART-K" : r.op == "R" ? "ART-R" : "ART-D";
    return r.zReports ? "day closing" : "cash";
}

// The printer command a stop "at a command" waits for: a receipt's payment or
// close, a day closing's Z report, a cash movement, an article or a text line.
int CommandToWaitFor(const SentRequest& r, std::mt19937& rng) {
    if (r.kind == RequestKind::Receipt && !r.cancelledReceipt)
        return std::uniform_int_distribution<int>(0, 1)(rng) ? 53 : 56;
    if (r.kind == RequestKind::Text) return 42;
    if (r.kind == RequestKind::Article) return 107;
    if (r.zReports) return 69;
    return r.cancelledReceipt ? 52 : 70;
}

// The letters of command 107's data a stop "inside an article command" waits
// for: a receipt's own define or price change, an article file's define,
// delete or stock; "" for a request that sends none.
std::string ArticleLettersOf(const SentRequest& r) {
    if (r.kind == RequestKind::Receipt) return r.cancelledReceipt ? "" : "PC";
    if (r.kind != RequestKind::Article) return "";
    return r.op == "N" ? "P" : r.op == "K" ? "A" : r.op == "D" ? "D" : "DP";
}

bool ReceivedArticleCommand(const std::string& tail, const std::string& letters) {
    std::istringstream in(tail);
    for (std::string line; std::getline(in, line);) {
        const auto at = line.find(" cmd=107 data=");
        if (at == std::string::npos || line.find(" RX ") == std::string::npos) continue;
        const std::size_t data = at + 14;
        if (data < line.size() && letters.find(line[data]) != std::string::npos) return true;
    }
    return false;
}

struct Tally {
    int sent = 0, answered = 0, lost = 0, doubled = 0, falseAnswers = 0;
};

Tally Count(const Session& s, const Verdict& v) {
    Tally t;
    auto count = [&](const std::string& request) {
        ++t.sent;
        const auto& got = s.cash.AnswersOf(request);
        t.answered += !got.empty();
        t.lost += got.empty();
        t.doubled += got.size() > 1;
    };
    for (const SentReceipt& r : s.sent) count(r.request);
    for (const SentRequest& r : s.others) count(r.request);
    for (const std::string& f : v.faults)
        for (const char* wrong : {"answered '", " answered ok but", " answered with an error but",
                                  " answered .err although", " answered as a success"})
            if (f.find(wrong) != std::string::npos) {
                ++t.falseAnswers;
                break;
            }
    return t;
}

}  // namespace

RunResult RunServerStops(const Tools& tools, const std::string& root, int stops, unsigned seed) {
    RunResult result;
    result.name = "server stops";
    ForceDirectories(root);
    FbServer server(root + "/server");
    if (const std::string why = server.Start(); !why.empty()) return Skip(result, why);
    Session s(tools, root + "/till", seed);
    server.MoveOnto(s, "till", "DbConnectTimeout=5\n");
    if (!s.StartLinkOrNote(result.faults)) return result;

    // One round of every kind without faults: how long each takes and how many
    // printer frames it sends before its answer, which the stops below are
    // spread over (frames after the answer would only stop an idle link).
    std::map<std::string, long long> span;
    std::map<std::string, int> frames;
    for (int i = 0; i < 12; ++i) {
        const std::vector<SentRequest> batch = s.NextMixed(i);
        const long long traced = FileSize(s.printer.TracePath()), dropped = NowMs();
        s.DropAll(batch);
        if (!s.WaitAnsweredAll(batch, 60000))
            result.faults.push_back(batch.front().name + " unanswered before any stop");
        const std::string kind = KindOf(batch.front());
        span[kind] = std::max(span[kind], NowMs() - dropped);
        frames[kind] = std::max(frames[kind], static_cast<int>(Received(TraceSince(s.printer, traced)).size()));
    }

    std::map<std::string, int> stages;
    int bySignal[2] = {0, 0}, lossesLogged = 0, attachedAtOnce = 0;
    long long slowest = 0;
    const int startsBefore = s.link.Starts();
    for (int i = 0; i < stops && server.Running(); ++i) {
        const std::vector<SentRequest> batch = s.NextMixed(i);
        const SentRequest& r = batch.front();
        const std::string kind = KindOf(r);
        const long long traced = FileSize(s.printer.TracePath());
        // A day closing comes once in twelve requests: its stop falls in the Z report.
        int mode = r.zReports ? 11 : std::uniform_int_distribution<int>(0, 19)(s.rng);
        // Half the requests that send article commands are stopped inside one:
        // the printer has taken it (and works on it a while), arts not yet.
        const std::string letters = ArticleLettersOf(r);
        if (!letters.empty() && std::uniform_int_distribution<int>(0, 1)(s.rng) == 1) mode = 20;
        const bool kill = std::uniform_int_distribution<int>(0, 1)(s.rng) == 1;
        std::string moment;
        if (mode < 3) {
            // between requests: the request comes to a link whose server is gone
            server.Stop(kill ? SIGKILL : SIGTERM);
            moment = "between requests";
            WaitMs(std::uniform_int_distribution<int>(0, 300)(s.rng));
            s.DropAll(batch);
        } else {
            s.DropAll(batch);
            if (mode < 11) {
                // right after the n-th printer frame of the request
                const int n = std::uniform_int_distribution<int>(1, std::max(1, frames[kind]))(s.rng);
                WaitUntil([&] { return static_cast<int>(Received(TraceSince(s.printer, traced)).size()) >= n; },
                          static_cast<int>(span[kind]) + 5000);
            } else if (mode == 20) {
                s.printer.Control("delay 1500 107");
                WaitUntil([&] { return ReceivedArticleCommand(TraceSince(s.printer, traced), letters); },
                          static_cast<int>(span[kind]) + 8000);
                WaitMs(std::uniform_int_distribution<int>(20, 400)(s.rng));
            } else if (mode < 15) {
                const int cmd = CommandToWaitFor(r, s.rng);
                WaitUntil(
                    [&] {
                        const std::vector<int> got = Received(TraceSince(s.printer, traced));
                        return std::find(got.begin(), got.end(), cmd) != got.end();
                    },
                    static_cast<int>(span[kind]) + 5000);
            } else {
                WaitMs(std::uniform_int_distribution<int>(0, static_cast<int>(span[kind]))(s.rng));
            }
            server.Stop(kill ? SIGKILL : SIGTERM);
            if (mode == 20) s.printer.Control("reset");
            s.cash.Collect();
            moment = s.cash.Answered(r.request) ? "answered" : StageFromTrace(TraceSince(s.printer, traced));
        }
        const std::string stage = kind + ": " + moment;
        ++stages[stage];
        ++bySignal[kill];
        const int down = std::uniform_int_distribution<int>(500, 10000)(s.rng);
        WaitMs(down);
        if (const std::string why = server.Restart(); !why.empty()) {
            result.faults.push_back("the server did not start again: " + why);
            break;
        }
        const long long up = NowMs();
        const int starts = s.link.Starts();
        if (!s.WaitAnsweredAll(batch, 90000))
            result.faults.push_back("seed " + std::to_string(seed) + ", stop " + std::to_string(i + 1) + " (" + stage +
                                    "): " + r.name + " unanswered 90 s after the server came back");
        slowest = std::max(slowest, NowMs() - up);
        if (s.link.Starts() != starts)
            result.faults.push_back("seed " + std::to_string(seed) + ", stop " + std::to_string(i + 1) + " (" + stage +
                                    "): the link ended and was started again");
        std::printf("  stop %d/%d %s at %s, down %d ms\n", i + 1, stops, kill ? "SIGKILL" : "SIGTERM", stage.c_str(),
                    down);
        std::fflush(stdout);
    }
    const std::string logPath = s.inst.Logs() + "/LINK_log.txt";
    const std::string log = FileExists(logPath) ? ReadWholeFile(logPath) : "";
    for (auto at = log.find("The database does not answer"); at != std::string::npos;
         at = log.find("The database does not answer", at + 1))
        ++lossesLogged;
    for (auto at = log.find("attached again at once"); at != std::string::npos;
         at = log.find("attached again at once", at + 1))
        ++attachedAtOnce;
    Verdict v;
    try {
        v = s.Check();
    } catch (const std::exception& e) {
        result.faults.push_back(std::string("the books cannot be read: ") + e.what());
    }
    for (const std::string& f : v.faults) result.faults.push_back("seed " + std::to_string(seed) + ": " + f);
    // A receipt the loss cut short must never be closed as paid with part of its lines.
    for (const PrintedReceipt& p : ParseJournal(sim::SimJournal::ReadLines(s.printer.JournalPath())))
        for (const SentReceipt& r : s.sent)
            if (p.closed && p.tagK == r.k && p.total != 0 && p.total != r.total)
                result.faults.push_back("seed " + std::to_string(seed) + ": " + r.name + " closed on the printer at " +
                                        Hundredths(p.total) + " of " + Hundredths(r.total));
    const Tally t = Count(s, v);
    int tried = 0, inArticles = 0;
    for (const auto& [stage, n] : stages) {
        tried += n;
        if (stage.find(": article ") != std::string::npos) inArticles += n;
    }
    result.figures = {"server stops tried: " + std::to_string(tried) + " (SIGTERM " + std::to_string(bySignal[0]) +
                      ", SIGKILL " + std::to_string(bySignal[1]) + "; inside article commands " +
                      std::to_string(inArticles) + "), by kind and stage:"};
    for (const auto& [stage, n] : stages) result.figures.push_back("  " + stage + " " + std::to_string(n));
    result.figures.push_back("losses the link logged (held until the server answered): " + std::to_string(lossesLogged) +
                             ", dead connections attached again at once: " + std::to_string(attachedAtOnce) +
                             ", link restarts: " + std::to_string(s.link.Starts() - startsBefore) +
                             ", operator messages answered: " + std::to_string(s.dialogs) +
                             ", slowest answer after the server came back: " + std::to_string(slowest) + " ms");
    result.figures.push_back("requests sent: " + std::to_string(t.sent) + ", answered: " + std::to_string(t.answered) +
                             ", lost: " + std::to_string(t.lost) + ", double: " + std::to_string(t.doubled) +
                             ", false answers: " + std::to_string(t.falseAnswers));
    result.figures.push_back("receipts sent: " + std::to_string(v.sent) + ", printed: " + std::to_string(v.printed) +
                             ", answered ok: " + std::to_string(v.answeredOk) + ", err: " +
                             std::to_string(v.answeredErr) + ", database disagreeing: " +
                             std::to_string(v.dbMismatches) + ", other faults in the ledger: " +
                             std::to_string(v.requestFaults));
    result.figures.push_back(std::string("database totals equal to the printer's: ") + (v.totalsEqual ? "yes" : "NO"));
    return result;
}

}  // namespace velbrin::harness
