// The HTTP interface under faults: careful tills send receipts, cash commands
// and texts over HTTP while the cash register's files arrive too; connections
// are cut at random moments and the link is killed (also right after the
// printer closed a receipt, before the reply left); every till sends again with
// the same key until it has its answer. The books: each key carried out once
// and answered the same every time it is asked, nothing printed twice, files
// and HTTP requests alike.
#include "app/P00_util.h"
#include "tools/harness/HarnessApiTill.h"
#include "tools/harness/HarnessRuns.h"
#include "tools/harness/HarnessSession.h"
#include "tools/harness/LoopbackPort.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <thread>

namespace velbrin::harness {

namespace {

long long TraceSize(const Printer& printer) {
    struct stat st {};
    return ::stat(printer.TracePath().c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

// True once the printer answered a receipt's close (command 56) since offset.
bool Closed(const Printer& printer, long long offset) {
    const std::string trace = ReadWholeFile(printer.TracePath());
    return trace.find(" cmd=56 ", static_cast<std::size_t>(std::min<long long>(offset, static_cast<long long>(trace.size())))) !=
           std::string::npos;
}

enum class Fault { Kill, Cut, KillAndCut, KillAfterClose };

const char* NameOf(Fault f) {
    switch (f) {
    case Fault::Kill: return "kill";
    case Fault::Cut: return "connections cut";
    case Fault::KillAndCut: return "kill and connections cut";
    case Fault::KillAfterClose: return "kill after the printer closed the receipt";
    }
    return "";
}

}  // namespace

RunResult RunApi(const Tools& tools, const std::string& root, int rounds, unsigned seed) {
    RunResult result;
    result.name = "HTTP interface";
    Session s(tools, root, seed);
    const int port = loopback::FreePort();
    s.inst.WriteIni(s.printer.Device(), "[Praxolt]\nSaljiAnalitikeUvek=D\n[Api]\nPort=" + std::to_string(port) +
                                            "\nReplyWaitMs=3000\n");
    if (!s.StartLinkOrNote(result.faults)) return result;
    const std::string tokenPath = s.inst.root + "/Other/Api/token";
    if (!WaitUntil([&] { return FileExists(tokenPath); }, 10000)) {
        result.faults.push_back("the link made no token for its HTTP interface (see its log)");
        return result;
    }
    ApiTill till(port, Trim(ReadWholeFile(tokenPath)));
    std::map<std::string, int> byFault;
    int kills = 0, apiReceipts = 0, apiOthers = 0, files = 0;
    long long peakKb = 0;
    std::vector<ApiCall> calls;
    for (int i = 0; i < rounds && !s.waitsForOperator; ++i) {
        // One receipt over HTTP each round, a cash command or a text every other
        // round, and a file of the mixed kinds every third round beside them.
        std::vector<ApiCall> round;
        const std::string key = "s" + std::to_string(seed) + "-r" + std::to_string(i);
        SentReceipt r = MakeReceipt(s.nextK++, s.rng, "zvx");
        round.push_back(ApiCallOf(key + "-abc", r.name, r.bytes));
        r.request = round.back().request;
        r.name = round.back().key;
        s.sent.push_back(r);
        ++apiReceipts;
        if (i % 2 == 1) {
            SentRequest q = i % 4 == 1 ? MakeCashFile(s.nextK++, s.rng) : MakeTextFile(s.nextK++, s.rng);
            round.push_back(ApiCallOf(key + (q.kind == RequestKind::Text ? "-txt" : "-cmd"), q.name, q.bytes));
            q.request = round.back().request;
            q.name = round.back().key;
            s.others.push_back(q);
            ++apiOthers;
        }
        std::vector<SentRequest> batch;
        if (i % 3 == 2) {
            batch = s.NextMixed(i);
            files += static_cast<int>(batch.size());
        }
        const Fault fault = static_cast<Fault>(std::uniform_int_distribution<int>(0, 3)(s.rng));
        const bool cut = fault == Fault::Cut || fault == Fault::KillAndCut;
        if (std::uniform_int_distribution<int>(0, 2)(s.rng) == 0) s.printer.Control("delay 30");
        const long long traced = TraceSize(s.printer);
        std::vector<std::thread> tills;
        for (std::size_t c = 0; c < round.size(); ++c)
            tills.emplace_back([&, c] { till.SendUntilAnswered(round[c], 120000, cut ? 400 : 0, seed * 7919u + i * 31u + c); });
        s.DropAll(batch);
        if (fault != Fault::Cut) {
            if (fault == Fault::KillAfterClose)
                WaitUntil([&] { return Closed(s.printer, traced); }, 15000);
            else
                WaitMs(std::uniform_int_distribution<int>(0, 700)(s.rng));
            peakKb = std::max(peakKb, ResidentKb(s.link.Pid()));
            s.link.Kill();
            ++kills;
            s.printer.Control("reset");
            if (!s.StartLink()) result.faults.push_back("the link did not start again after round " + std::to_string(i + 1));
        }
        for (std::thread& t : tills) t.join();
        peakKb = std::max(peakKb, ResidentKb(s.link.Pid()));
        s.printer.Control("reset");
        if (!batch.empty() && !s.WaitAnsweredAll(batch, 60000))
            result.faults.push_back(batch.back().name + " unanswered in round " + std::to_string(i + 1));
        // Asked again, as a till that lost its reply: the same answer.
        for (const ApiCall& c : round) till.AskAgain(c);
        calls.insert(calls.end(), round.begin(), round.end());
        ++byFault[NameOf(fault)];
        std::printf("  round %d/%d: %s\n", i + 1, rounds, NameOf(fault));
        std::fflush(stdout);
    }
    // Every key once more after the last start: the answers are kept.
    for (const ApiCall& c : calls) till.AskAgain(c);
    s.ownBooks = [&](AnswerBook& book) { till.AddTo(book); };
    const Verdict v = s.Check();
    result.faults.insert(result.faults.end(), v.faults.begin(), v.faults.end());
    const std::vector<std::string> tillFaults = till.Faults();
    result.faults.insert(result.faults.end(), tillFaults.begin(), tillFaults.end());
    std::string faults;
    for (const auto& [name, n] : byFault) faults += (faults.empty() ? "" : ", ") + name + " " + std::to_string(n);
    result.figures = {
        "rounds: " + std::to_string(rounds) + " (" + faults + ")",
        "faults: " + std::to_string(kills) + " kills, " + std::to_string(till.Cut()) +
            " connections cut or given up by the till, " + std::to_string(till.Held()) + " held replies",
        "over HTTP: " + std::to_string(apiReceipts) + " receipts, " + std::to_string(apiOthers) +
            " cash commands and texts, " + std::to_string(till.Tries()) + " sends with the same keys; files: " +
            std::to_string(files),
        "receipts sent: " + std::to_string(v.sent) + ", printed: " + std::to_string(v.printed) +
            ", answered ok: " + std::to_string(v.answeredOk) + ", err: " + std::to_string(v.answeredErr),
        "lost: " + std::to_string(v.lost) + ", duplicated: " + std::to_string(v.duplicated) +
            ", database disagreeing: " + std::to_string(v.dbMismatches) +
            ", keys answered in two ways: " + std::to_string(tillFaults.size()),
        "link's peak resident memory seen: " + std::to_string(peakKb / 1024) + " MB"};
    return result;
}

}  // namespace velbrin::harness
