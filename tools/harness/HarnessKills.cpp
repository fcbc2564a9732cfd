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
    bool closeAnswered = false, zAnswered = false, zSent = false;
    while (std::getline(in, line)) {
        std::smatch m;
        if (!std::regex_search(line, m, rx)) continue;
        const bool rxLine = m[1] == "RX";
        const int cmd = static_cast<int>(StrToInt(m[2].str()));
        if (!rxLine) {
            if (cmd == 56) closeAnswered = true;
            if (cmd == 69 && zSent) zAnswered = true;
            continue;
        }
        if (closeAnswered && cmd == 76) continue;  // the total read for the change, during archiving
        closeAnswered = zAnswered = false;
        zSent = cmd == 69 && m[3] == "0";
        switch (cmd) {
        case 33: case 102: case 43: stage = "prepare"; break;
        case 107:
            // Reads of the article table (R, I, F, N) belong to the stage around them.
            if (m[3] == "R" || m[3] == "I" || m[3] == "F" || m[3] == "N") break;
            stage = m[3] == "P" ? "article define" : m[3] == "D" ? "article delete" : m[3] == "A" ? "article stock"
                                                                                                  : "article update";
            break;
        case 48: stage = "open"; break;
        case 52: stage = m[3] == "-" ? "voids" : "lines"; break;
        case 53: stage = "payments"; break;
        case 56: stage = "close"; break;
        case 70: stage = "cash"; break;
        case 106: stage = "drawer"; break;
        case 69: stage = "z report"; break;
        case 38: stage = "non-fiscal open"; break;
        case 42: stage = "text lines"; break;
        case 39: stage = "non-fiscal close"; break;
        default: break;  // status reads belong to the stage around them
        }
    }
    return closeAnswered ? "archive" : zAnswered ? "day closed, database and export" : stage;
}

namespace {

const char* KindOf(const SentRequest& r) {
    if (r.kind == RequestKind::Receipt) return r.cancelledReceipt ? "cancelled receipt" : "receipt";
    if (r.kind == RequestKind::Text) return "text";
    if (r.kind == RequestKind::Article) return r.op == "N" ? "ART-N" : r.op == "K" ? "ART-K" : r.op == "R" ? "ART-R" : "ART-D";
    return r.zReports ? "day closing" : "cash";
}

// A widener that slows the commands of this request kind.
std::string WidenerFor(const SentRequest& r, std::mt19937& rng) {
    const int pick = std::uniform_int_distribution<int>(0, 2)(rng);
    if (pick == 0) return "";
    if (pick == 1) return "delay 30";
    if (r.kind == RequestKind::Receipt) {
        std::uniform_int_distribution<int> widener(2, static_cast<int>(std::size(kWideners)) - 1);
        return kWideners[widener(rng)];
    }
    if (r.kind == RequestKind::Text) return "delay 200 42";
    if (r.kind == RequestKind::Article) return "delay 200 107";
    return r.zReports ? "delay 600 69" : "delay 300 70";
}

// The article command a kill "inside an article command" waits for: the letter
// of command 107's data (define, delete, price, stock), or 0 for a request
// that sends none.
char ArticleCommandOf(const SentRequest& r, std::mt19937& rng) {
    if (r.kind == RequestKind::Receipt) return r.cancelledReceipt ? 0 : 'P';  // its own defines (or price updates)
    if (r.kind != RequestKind::Article) return 0;
    if (r.op == "N") return 'P';
    if (r.op == "K") return 'A';
    if (r.op == "D") return 'D';
    return std::uniform_int_distribution<int>(0, 1)(rng) ? 'D' : 'P';
}

// True once the printer's trace since offset shows it received command cmd whose
// data begins with one of letters (any data when letters is empty).
bool Received(const Printer& printer, long long offset, int cmd, const std::string& letters) {
    std::string tail = ReadWholeFile(printer.TracePath());
    tail = tail.substr(std::min<std::size_t>(tail.size(), static_cast<std::size_t>(offset)));
    const std::string head = " cmd=" + std::to_string(cmd) + " data=";
    std::istringstream in(tail);
    for (std::string line; std::getline(in, line);) {
        const auto at = line.find(head);
        if (at == std::string::npos || line.find(" RX ") == std::string::npos) continue;
        const std::size_t data = at + head.size();
        if (letters.empty() || (data < line.size() && letters.find(line[data]) != std::string::npos)) return true;
    }
    return false;
}

// Changes the printer's article table behind the link's back, as another
// program would: the next start finds a difference nothing explains.
void ChangeArticlesBehindTheLink(Session& s) {
    // A printer left without articles is a reset printer, which the link empties
    // arts for without asking: one of two or more goes, or one comes.
    const std::string status = s.printer.Control("status");
    const auto at = status.find("articles=");
    if (at != std::string::npos && LeadingInt(status.substr(at + 9)) >= 2)
        s.printer.Control("article drop");
    else
        s.printer.Control("article add 2999 1.00");
    ++s.unexplained;
}

}  // namespace

RunResult RunKills(const Tools& tools, const std::string& root, int kills, unsigned seed) {
    RunResult result;
    result.name = "kill points";
    Session s(tools, root, seed);
    if (!s.StartLinkOrNote(result.faults)) return result;
    // One round of the kinds to kill, without faults, gives the time each takes.
    std::map<std::string, long long> span;
    for (int i = 0; i < std::min(kills, 12); ++i) {
        const std::vector<SentRequest> batch = s.NextMixed(i);
        const long long dropped = NowMs();
        s.DropAll(batch);
        WaitUntil([&] { return !FileExists(s.inst.ToFp() + "/" + batch.back().name); }, 30000);
        const long long taken = NowMs();
        if (!s.WaitAnsweredAll(batch, 60000))
            result.faults.push_back(batch.back().name + " unanswered before any fault");
        // Receipts are timed from their intake, the other files (removed only at
        // their end) from the drop.
        const bool receipt = batch.back().kind == RequestKind::Receipt && !batch.back().cancelledReceipt;
        long long& slowest = span[KindOf(batch.back())];
        slowest = std::max(slowest, NowMs() - (receipt ? taken : dropped));
    }
    std::map<std::string, int> stages;
    int insideArticles = 0, insideRepairs = 0, stopsWhileWaiting = 0;
    // A repair of the article table needs an operator for its message: with a
    // display every eighth kill falls in one, on a difference made behind the
    // link's back (alternately a stop while its message waits and a kill
    // inside the repair itself).
    const bool operatorThere = !tools.display.empty();
    for (int i = 0; i < kills && !s.waitsForOperator; ++i) {
        const std::vector<SentRequest> batch = s.NextMixed(i);
        const SentRequest& r = batch.back();
        if (operatorThere && i % 8 == 4) {
            s.link.Kill();
            ChangeArticlesBehindTheLink(s);
            s.printer.Control("reset");
            const long long traced = FileSize(s.printer.TracePath());
            std::string stage;
            if ((i / 8) % 2 == 0) {
                // Stopped (as "Kraj rada" or a shutdown would) while the message waits.
                s.link.Start();
                if (!s.link.WaitUp(30000) || !WaitUntil([&] { return s.link.DialogShown(); }, 30000))
                    result.faults.push_back("kill " + std::to_string(i + 1) + ": the link showed no message for a "
                                            "difference of the article tables");
                if (!s.link.Stop(20000)) result.faults.push_back("kill " + std::to_string(i + 1) +
                                                                 ": the link did not end at a stop while its message waited");
                if (Received(s.printer, traced, 69, "0") || Received(s.printer, traced, 107, "D"))
                    result.faults.push_back("kill " + std::to_string(i + 1) +
                                            ": the link closed the day or deleted articles after a stop while its message waited");
                stage = "article repair: stopped while its message waits";
                ++stopsWhileWaiting;
            } else {
                // Killed inside the repair: its Z report or its deletions.
                s.printer.Control("delay 700 69");
                s.printer.Control("delay 250 107");
                s.link.Start();
                s.link.WaitUp(30000);
                const bool inside = WaitUntil(
                    [&] {
                        s.AnswerMessages();
                        return Received(s.printer, traced, 69, "0") || Received(s.printer, traced, 107, "D") ||
                               !s.link.Running();
                    },
                    60000);
                WaitMs(std::uniform_int_distribution<int>(0, 600)(s.rng));
                s.link.Kill();
                stage = !inside ? "article repair: never reached" : Received(s.printer, traced, 107, "D")
                                                                        ? "article repair: deleting articles"
                                                                        : "article repair: z report";
                ++insideRepairs;
                s.printer.Control("reset");
            }
            ++stages[stage];
            if (!s.StartLink()) result.faults.push_back("the link did not start again after kill " + std::to_string(i + 1));
            s.DropAll(batch);
            if (!s.WaitAnsweredAll(batch, 60000))
                result.faults.push_back(r.name + " unanswered after a kill at stage " + stage);
            std::printf("  kill %d/%d at %s\n", i + 1, kills, stage.c_str());
            std::fflush(stdout);
            continue;
        }
        const long long slowest = span[KindOf(r)];
        const char article = ArticleCommandOf(r, s.rng);
        const bool inArticle = article != 0 && std::uniform_int_distribution<int>(0, 1)(s.rng) == 1;
        const std::string widen = inArticle ? "delay 1500 107" : WidenerFor(r, s.rng);
        if (!widen.empty()) s.printer.Control(widen);
        const long long window = slowest + (widen.empty() ? 0 : widen == "delay 30" ? 800 : 600);
        const long long traced = FileSize(s.printer.TracePath());
        s.DropAll(batch);
        const bool receipt = r.kind == RequestKind::Receipt && !r.cancelledReceipt;
        if (inArticle) {
            // Inside the article command: the printer has taken it and works on
            // it, the link waits for the answer, arts does not have it yet.
            const std::string letters = article == 'P' && receipt ? "PC" : std::string(1, article);
            WaitUntil([&] { return Received(s.printer, traced, 107, letters); }, static_cast<int>(window) + 8000);
            WaitMs(std::uniform_int_distribution<int>(20, 400)(s.rng));
        } else if (!receipt) {
            WaitMs(std::uniform_int_distribution<int>(0, static_cast<int>(window))(s.rng));
        } else if (std::uniform_int_distribution<int>(0, 4)(s.rng) == 0) {
            // before or while the file is taken in
            WaitMs(std::uniform_int_distribution<int>(0, 600)(s.rng));
        } else {
            const std::string packet = s.inst.ToFp() + "/" + ChangeFileExt(r.name, ".zvx");
            WaitUntil([&] { return !FileExists(s.inst.ToFp() + "/" + r.name) && !FileExists(packet); }, 5000);
            WaitMs(std::uniform_int_distribution<int>(0, static_cast<int>(window))(s.rng));
        }
        s.link.Kill();
        std::string tail = ReadWholeFile(s.printer.TracePath());
        tail = tail.substr(std::min<std::size_t>(tail.size(), static_cast<std::size_t>(traced)));
        s.cash.Collect();
        const std::string reached = s.cash.Answered(r.request) ? "answered" : StageFromTrace(tail);
        const std::string stage = std::string(KindOf(r)) + ": " + reached;
        insideArticles += reached.rfind("article ", 0) == 0;
        ++stages[stage];
        s.printer.Control("reset");
        // After a kill the link settles by itself: no message for the operator.
        const int messagesBefore = s.messagesSeen;
        if (!s.StartLink()) result.faults.push_back("the link did not start again after kill " + std::to_string(i + 1));
        if (!s.WaitAnsweredAll(batch, 60000))
            result.faults.push_back(r.name + " unanswered after a kill at stage " + stage);
        if (s.messagesSeen != messagesBefore)
            result.faults.push_back("kill " + std::to_string(i + 1) + " at " + stage + ": the link asked the operator");
        std::printf("  kill %d/%d at %s%s\n", i + 1, kills, stage.c_str(), widen.empty() ? "" : (" (" + widen + ")").c_str());
        std::fflush(stdout);
    }
    const Verdict v = s.Check();
    int closings = 0, replaced = 0;
    for (const SentRequest& q : s.others) closings += q.zReports, replaced += q.op == "R";
    result.faults.insert(result.faults.end(), v.faults.begin(), v.faults.end());
    result.figures = {"kill points tried: " + std::to_string(kills) + " (inside article commands " +
                      std::to_string(insideArticles) + ", inside article table repairs " +
                      std::to_string(insideRepairs) + ", stops while the repair's message waited " +
                      std::to_string(stopsWhileWaiting) + "), by kind and stage:"};
    for (const auto& [stage, n] : stages) result.figures.push_back("  " + stage + " " + std::to_string(n));
    std::string spans;
    for (const auto& [kind, ms] : span) spans += (spans.empty() ? "" : ", ") + kind + " " + std::to_string(ms);
    result.figures.push_back("ms from intake to answer without faults: " + spans);
    result.figures.insert(
        result.figures.end(),
        {"receipts sent: " + std::to_string(v.sent) + ", printed: " + std::to_string(v.printed) +
             ", answered ok: " + std::to_string(v.answeredOk) + ", err: " + std::to_string(v.answeredErr),
         "command, article and text files and cancelled receipts sent: " + std::to_string(s.others.size()) +
             ", faults among them and the ledger: " + std::to_string(v.requestFaults) +
             ", article table differences made behind the link: " + std::to_string(s.unexplained) +
             ", repaired by the link: " + std::to_string(v.repairs),
         "Z reports printed: " + std::to_string(v.zReports) + "; may be asked: " + std::to_string(closings) +
             " by day closings, " + std::to_string(replaced) + " by ART-R files (when the day is open), " +
             std::to_string(s.unexplained) + " by differences made behind the link",
         "lost: " + std::to_string(v.lost) + ", duplicated: " + std::to_string(v.duplicated) +
             ", database disagreeing: " + std::to_string(v.dbMismatches),
         std::string("database totals equal to the printer's: ") + (v.totalsEqual ? "yes" : "NO")});
    return result;
}

}  // namespace velbrin::harness
