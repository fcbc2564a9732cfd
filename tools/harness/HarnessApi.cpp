// The HTTP interface under faults: careful tills send receipts, cash commands
// and texts over HTTP while the cash register's files arrive too; connections
// are cut at random moments and the link is killed (also right after the
// printer closed a receipt, before the reply left); every till sends again with
// the same key until it has its answer. The books: each key carried out once
// and answered the same every time it is asked, nothing printed twice, files
// and HTTP requests alike.
#include "app/P00_util.h"
#include "tools/harness/HarnessApiTill.h"
#include "tools/harness/HarnessFbServer.h"
#include "tools/harness/HarnessPowercutMount.h"
#include "tools/harness/HarnessRuns.h"
#include "tools/harness/HarnessSession.h"
#include "tools/harness/LoopbackPort.h"

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
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

// One installation under the tills: the link with its interface on, a till,
// and the figures the rounds add up.
struct ApiRig {
    ApiRig(const Tools& tools, const std::string& root, unsigned seed, const std::string& outside = "")
        : s(tools, root, seed, outside), port(loopback::FreePort()) {
        s.inst.WriteIni(s.printer.Device(), "[Praxolt]\nSaljiAnalitikeUvek=D\n[Api]\nPort=" + std::to_string(port) +
                                                "\nReplyWaitMs=3000\n");
    }
    // Starts the link and makes the till with its token; false when it did not come up.
    bool Start(std::vector<std::string>& faults) {
        if (!s.StartLinkOrNote(faults)) return false;
        const std::string tokenPath = s.inst.root + "/Other/Api/token";
        if (!WaitUntil([&] { return FileExists(tokenPath); }, 10000)) {
            faults.push_back("the link made no token for its HTTP interface (see its log)");
            return false;
        }
        till = std::make_unique<ApiTill>(port, Trim(ReadWholeFile(tokenPath)));
        return true;
    }

    Session s;
    int port;
    std::unique_ptr<ApiTill> till;
    std::vector<ApiCall> calls;
    std::map<std::string, int> byFault;
    int faults = 0, apiReceipts = 0, apiOthers = 0, files = 0;
    long long peakKb = 0;
};

// One round: a receipt over HTTP, a cash command or a text every other round,
// files of the mixed kinds every third round (when files), the fault at a
// random moment or right after the printer closed the receipt, every request
// sent again until answered, then asked again.
void Round(ApiRig& a, int i, unsigned seed, bool files, bool cutConnections, const std::string& faultName,
           const std::function<void()>& fault, std::vector<std::string>& faults) {
    Session& s = a.s;
    std::vector<ApiCall> round;
    const std::string key = "s" + std::to_string(seed) + "-" + faultName.substr(0, 1) + std::to_string(i);
    SentReceipt r = MakeReceipt(s.nextK++, s.rng, "zvx");
    round.push_back(ApiCallOf(key + "-abc", r.name, r.bytes));
    r.request = round.back().request;
    r.name = round.back().key;
    s.sent.push_back(r);
    ++a.apiReceipts;
    if (i % 2 == 1) {
        SentRequest q = i % 4 == 1 ? MakeCashFile(s.nextK++, s.rng) : MakeTextFile(s.nextK++, s.rng);
        round.push_back(ApiCallOf(key + (q.kind == RequestKind::Text ? "-txt" : "-cmd"), q.name, q.bytes));
        q.request = round.back().request;
        q.name = round.back().key;
        s.others.push_back(q);
        ++a.apiOthers;
    }
    std::vector<SentRequest> batch;
    if (files && i % 3 == 2) {
        batch = s.NextMixed(i);
        a.files += static_cast<int>(batch.size());
    }
    const int moment = std::uniform_int_distribution<int>(0, 2)(s.rng);  // 0: after the close, else at random
    if (std::uniform_int_distribution<int>(0, 2)(s.rng) == 0) s.printer.Control("delay 30");
    const long long traced = TraceSize(s.printer);
    std::vector<std::thread> tills;
    for (std::size_t c = 0; c < round.size(); ++c)
        tills.emplace_back([&, c] {
            a.till->SendUntilAnswered(round[c], 120000, cutConnections ? 400 : 0, seed * 7919u + i * 31u + c);
        });
    s.DropAll(batch);
    std::string at = "connections cut";
    if (fault) {
        if (moment == 0)
            WaitUntil([&] { return Closed(s.printer, traced); }, 15000);
        else
            WaitMs(std::uniform_int_distribution<int>(0, 700)(s.rng));
        at = faultName + (moment == 0 ? " after the printer closed the receipt" : "") +
             (cutConnections ? ", connections cut" : "");
        a.peakKb = std::max(a.peakKb, ResidentKb(s.link.Pid()));
        fault();
        ++a.faults;
    }
    for (std::thread& t : tills) t.join();
    a.peakKb = std::max(a.peakKb, ResidentKb(s.link.Pid()));
    s.printer.Control("reset");
    if (!batch.empty() && !s.WaitAnsweredAll(batch, 60000))
        faults.push_back(batch.back().name + " unanswered in round " + std::to_string(i + 1));
    // Asked again, as a till that lost its reply: the same answer.
    for (const ApiCall& c : round) a.till->AskAgain(c);
    a.calls.insert(a.calls.end(), round.begin(), round.end());
    ++a.byFault[at];
    std::printf("  round %d: %s\n", i + 1, at.c_str());
    std::fflush(stdout);
}

// Every key once more after the last start, then the books.
void Books(ApiRig& a, RunResult& result) {
    for (const ApiCall& c : a.calls) a.till->AskAgain(c);
    a.s.ownBooks = [&](AnswerBook& book) { a.till->AddTo(book); };
    const Verdict v = a.s.Check();
    result.faults.insert(result.faults.end(), v.faults.begin(), v.faults.end());
    const std::vector<std::string> tillFaults = a.till->Faults();
    result.faults.insert(result.faults.end(), tillFaults.begin(), tillFaults.end());
    std::string faults;
    for (const auto& [name, n] : a.byFault) faults += (faults.empty() ? "" : ", ") + name + " " + std::to_string(n);
    result.figures.insert(
        result.figures.end(),
        {"rounds: " + faults,
         "faults: " + std::to_string(a.faults) + ", connections cut or given up by the till " +
             std::to_string(a.till->Cut()) + ", held replies " + std::to_string(a.till->Held()),
         "over HTTP: " + std::to_string(a.apiReceipts) + " receipts, " + std::to_string(a.apiOthers) +
             " cash commands and texts, " + std::to_string(a.till->Tries()) + " sends with the same keys; files: " +
             std::to_string(a.files),
         "receipts sent: " + std::to_string(v.sent) + ", printed: " + std::to_string(v.printed) +
             ", answered ok: " + std::to_string(v.answeredOk) + ", err: " + std::to_string(v.answeredErr),
         "lost: " + std::to_string(v.lost) + ", duplicated: " + std::to_string(v.duplicated) +
             ", database disagreeing: " + std::to_string(v.dbMismatches) +
             ", keys answered in two ways: " + std::to_string(tillFaults.size()),
         "link's peak resident memory seen: " + std::to_string(a.peakKb / 1024) + " MB"});
}

}  // namespace

RunResult RunApi(const Tools& tools, const std::string& root, int rounds, unsigned seed, const std::string& powercutfs) {
    RunResult result;
    result.name = "HTTP interface";
    {
        // Kills and cut connections, with files beside.
        ApiRig a(tools, root + "/kills", seed);
        if (!a.Start(result.faults)) return result;
        for (int i = 0; i < rounds && !a.s.waitsForOperator; ++i) {
            const int f = std::uniform_int_distribution<int>(0, 2)(a.s.rng);
            const auto kill = [&] {
                a.s.link.Kill();
                a.s.printer.Control("reset");
                if (!a.s.StartLink()) result.faults.push_back("the link did not start again after round " + std::to_string(i + 1));
            };
            Round(a, i, seed, true, f != 1, "kill", f == 2 ? std::function<void()>() : kill, result.faults);
        }
        Books(a, result);
    }
    // The database server stopped under a link in server mode, a third of the
    // rounds: the tills are told "held" and get their answers once it is back.
    {
        ForceDirectories(root + "/server-stops");
        FbServer server(root + "/server-stops/server");
        if (const std::string why = server.Start(); !why.empty()) {
            result.figures.push_back("server stops skipped: " + why);
        } else {
            ApiRig a(tools, root + "/server-stops/till", seed);
            server.MoveOnto(a.s, "till", "DbConnectTimeout=5\n[Api]\nPort=" + std::to_string(a.port) +
                                             "\nReplyWaitMs=3000\n");
            if (!a.Start(result.faults)) return result;
            for (int i = 0; i < std::max(1, rounds / 3) && !a.s.waitsForOperator && server.Running(); ++i) {
                const auto stop = [&] {
                    server.Stop(std::uniform_int_distribution<int>(0, 1)(a.s.rng) ? SIGKILL : SIGTERM);
                    WaitMs(std::uniform_int_distribution<int>(500, 5000)(a.s.rng));
                    if (const std::string why = server.Restart(); !why.empty())
                        result.faults.push_back("the server did not start again: " + why);
                };
                Round(a, i, seed, false, false, "server stop", stop, result.faults);
            }
            Books(a, result);
        }
    }
    // The power goes under the link's whole installation (root, /dev/fuse and
    // the power-cut file system program), a third of the rounds.
    if (const std::string why = PowercutMount::Unusable(powercutfs); !why.empty()) {
        result.figures.push_back("power cuts skipped: " + why);
        return result;
    }
    const std::string cutRoot = root + "/powercuts";
    for (const char* dir : {"/outside", "/installation", "/backing"}) ForceDirectories(cutRoot + dir);
    PowercutMount pc(powercutfs, cutRoot + "/backing", cutRoot + "/installation", cutRoot + "/outside");
    unsigned mounts = 0;
    pc.Mount(seed * 1000 + mounts++);
    ApiRig a(tools, cutRoot + "/installation", seed, cutRoot + "/outside");
    pc.Control("sync-all");
    if (!a.Start(result.faults)) return result;
    std::mt19937 rng(seed);
    for (int i = 0; i < std::max(1, rounds / 3) && !a.s.waitsForOperator; ++i) {
        const auto cut = [&] {
            pc.Control(std::uniform_int_distribution<int>(0, 2)(rng) == 0 ? "torn on" : "torn off");
            a.s.link.Kill();
            const std::string answer = pc.Cut();
            if (answer != "ok cut") result.faults.push_back("the cut went wrong: " + answer);
            pc.Mount(seed * 1000 + mounts++);
            a.s.printer.Control("reset");
            if (!a.s.StartLink())
                result.faults.push_back("the link did not start again after power cut " + std::to_string(i + 1));
        };
        Round(a, i, seed, false, std::uniform_int_distribution<int>(0, 1)(rng) == 1, "power cut", cut, result.faults);
    }
    Books(a, result);
    return result;
}

}  // namespace velbrin::harness
