// Delivery faults in one running link, never restarted: FromFpDir refusing
// answers for a while (a plain file in its place, or not writable for the
// link's user) and coming back, FromFpDir on another file system, and ToFpDir
// read-only for the link's user. Every request must be carried out once and
// answered once, without the link stopping or printing anything again.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>

#include "app/P00_util.h"
#include "tools/fp550sim/SimJournal.h"
#include "tools/harness/HarnessRuns.h"
#include "tools/harness/HarnessSession.h"

namespace velbrin::harness {

namespace {

constexpr int kUnprivileged = 65534;  // nobody

int LogLines(Session& s) {
    const std::string path = s.inst.Logs() + "/LINK_log.txt";
    if (!FileExists(path)) return 0;
    const std::string text = ReadWholeFile(path);
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

// Times the printer carried out a request: prints of a receipt, moves of the
// first cash amount, prints of the first text line.
int CarriedOut(Session& s, const SentRequest& r) {
    const auto lines = sim::SimJournal::ReadLines(s.printer.JournalPath());
    if (r.kind == RequestKind::Receipt) {
        int k = -1;
        for (const SentReceipt& sr : s.sent)
            if (sr.request == r.request) k = sr.k;
        int n = 0;
        for (const PrintedReceipt& p : ParseJournal(lines))
            n += p.closed && p.tagK == k && p.total != 0;
        return n;
    }
    const PrinterBooks books = ReadPrinterBooks(lines);
    if (!r.cash.empty())
        return static_cast<int>(std::count(books.cash.begin(), books.cash.end(), r.cash[0]));
    if (!r.texts.empty()) {
        const auto it = books.texts.find(r.texts[0]);
        return it == books.texts.end() ? 0 : it->second;
    }
    return 0;
}

bool EndsWithNoCase(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && SameText(text.substr(text.size() - end.size()), end);
}

// A receipt, a comma-text receipt, a cash movement and a text file.
std::vector<SentRequest> Batch(Session& s) {
    std::vector<SentRequest> batch;
    for (const char* format : {"zvx", "csv"}) batch.push_back(s.NextReceiptRequest(format));
    s.others.push_back(MakeCashFile(s.nextK++, s.rng));
    batch.push_back(s.others.back());
    s.others.push_back(MakeTextFile(s.nextK++, s.rng));
    batch.push_back(s.others.back());
    return batch;
}

// Answers collected without restarting the link (messages are answered, as the operator would).
bool AnsweredInPlace(Session& s, const std::vector<SentRequest>& batch, int ms) {
    return WaitUntil(
        [&] {
            s.AnswerMessages();
            s.cash.Collect();
            return std::all_of(batch.begin(), batch.end(),
                               [&](const SentRequest& r) { return s.cash.Answered(r.request); });
        },
        ms);
}

struct Fault {
    std::string name;
    std::function<void()> breakIt, restore;
};

}  // namespace

RunResult RunDelivery(const Tools& tools, const std::string& root, unsigned seed) {
    RunResult result;
    result.name = "delivery faults";
    const bool privileged = ::geteuid() == 0;
    // A lock folder of its own: the link may run as another user than the
    // harness and the other runs.
    Tools own = tools;
    own.firebirdLock = root + "/firebird-lock";
    ForceDirectories(own.firebirdLock);
    Session s(own, root, seed);
    std::vector<std::string> skipped;
    if (privileged) s.HandOverTo(kUnprivileged);
    if (!s.StartLinkOrNote(result.faults)) return result;
    const SentReceipt warm = s.Next();
    if (!s.SendAndWait(warm, 30000))
        result.faults.push_back("no receipt answered before the faults");
    const std::string from = s.inst.FromFp(), to = s.inst.ToFp(), away = from + ".away";
    pid_t pid = s.link.Pid();
    int starts = s.link.Starts();
    int tried = 0, survived = 0, restarts = 0;
    // A case that left the link stopped or stalled is noted; the next case
    // starts with a fresh link so that it still tells something.
    auto fresh = [&](bool healthy) {
        if (!healthy) {
            ++restarts;
            s.cash.Collect();
            s.StopLink();
            s.StartLink();
            s.cash.Collect();
        }
        pid = s.link.Pid();
        starts = s.link.Starts();
    };
    bool healthy = true;

    // FromFpDir refuses answers while the requests are carried out, then comes back.
    std::vector<Fault> outages = {{"answer directory replaced by a file",
                                   [&] {
                                       ::rename(from.c_str(), away.c_str());
                                       WriteWholeFile(from, "not a directory");
                                   },
                                   [&] {
                                       ::unlink(from.c_str());
                                       ::rename(away.c_str(), from.c_str());
                                   }}};
    if (privileged)
        outages.push_back({"answer directory not writable for the link",
                           [&] {
                               ::chown(from.c_str(), 0, 0);
                               ::chmod(from.c_str(), 0755);
                           },
                           [&] { ::chown(from.c_str(), kUnprivileged, kUnprivileged); }});
    else
        skipped.push_back(
            "answer directory not writable (the link runs as root when the harness does not)");
    for (const Fault& f : outages) {
        fresh(healthy);
        ++tried;
        const int logBefore = LogLines(s);
        f.breakIt();
        const std::vector<SentRequest> batch = Batch(s);
        s.DropAll(batch);
        const bool carried = WaitUntil(
            [&] {
                s.AnswerMessages();
                return std::all_of(batch.begin(), batch.end(),
                                   [&](const SentRequest& r) { return CarriedOut(s, r) > 0; });
            },
            40000);
        WaitMs(3000);  // several cycles with the answers waiting
        const int logLines = LogLines(s) - logBefore;
        f.restore();
        const bool answered = AnsweredInPlace(s, batch, 30000);
        const SentReceipt after = s.Next();
        s.cash.Drop(after.name, after.bytes);
        const bool resumed = WaitUntil(
            [&] {
                s.AnswerMessages();
                s.cash.Collect();
                return s.cash.Answered(after.request);
            },
            30000);
        const bool same = s.link.Running() && s.link.Pid() == pid && s.link.Starts() == starts;
        if (!carried)
            result.faults.push_back(f.name + ": the requests were not all carried out meanwhile");
        if (!answered)
            result.faults.push_back(f.name + ": not every request answered once it was back");
        if (!resumed) result.faults.push_back(f.name + ": the next receipt was not answered");
        if (!same) result.faults.push_back(f.name + ": the link stopped");
        // One line when delivery stops, one when it resumes, and the requests' own.
        if (logLines > 2 + static_cast<int>(batch.size()))
            result.faults.push_back(f.name + ": " + std::to_string(logLines) +
                                    " link log lines in 3 s of waiting answers");
        healthy = carried && answered && resumed && same;
        survived += healthy;
        std::printf(
            "  %s: carried out %d, answered when back %d, next answered %d, link kept running %d, "
            "log lines %d\n",
            f.name.c_str(), carried, answered, resumed, same, logLines);
        std::fflush(stdout);
    }

    // FromFpDir on another file system: answers cannot be renamed into it.
    if (!privileged) {
        skipped.push_back("answer directory on another file system (tmpfs mount needs root)");
    } else if (::mount("tmpfs", from.c_str(), "tmpfs", 0, "size=4m,mode=0777") != 0) {
        skipped.push_back(
            std::string("answer directory on another file system (tmpfs mount refused: ") +
            std::strerror(errno) + ")");
    } else {
        fresh(healthy);
        ++tried;
        const std::vector<SentRequest> batch = Batch(s);
        s.DropAll(batch);
        const bool answered = AnsweredInPlace(s, batch, 40000);
        ::umount2(from.c_str(), MNT_DETACH);
        healthy = answered;
        if (!answered)
            result.faults.push_back(
                "answer directory on another file system: not every request answered");
        survived += answered;
        std::printf("  answer directory on another file system: answered %d\n", answered);
    }

    // ToFpDir read-only for the link's user: each request once, then nothing again.
    if (!privileged) {
        skipped.push_back(
            "request directory read-only (the link must run as an unprivileged user: needs root)");
    } else {
        fresh(healthy);
        ++tried;
        const int logBefore = LogLines(s);
        ::chown(to.c_str(), 0, 0);
        ::chmod(to.c_str(), 0755);
        const std::vector<SentRequest> batch = Batch(s);
        s.DropAll(batch);
        const bool answered = AnsweredInPlace(s, batch, 40000);
        WaitMs(6000);  // a dozen cycles that find the same files again
        s.cash.Collect();
        const int logLines = LogLines(s) - logBefore;
        int again = 0;
        for (const SentRequest& r : batch) {
            const int n = CarriedOut(s, r);
            const auto& got = s.cash.AnswersOf(r.request);
            // A receipt in a foreign encoding cannot be converted into a packet
            // in a folder the link may not write: refused with ".err", once.
            const bool foreign = !EndsWithNoCase(r.name, ".zvx");
            const bool refused = foreign && got.size() == 1 && got[0].rfind("err", 0) == 0;
            if (n != 1 && !(n == 0 && refused))
                result.faults.push_back("request directory read-only: " + r.name + " carried out " +
                                        std::to_string(n) + " times" +
                                        (got.empty() ? "" : ", answered " + Trim(got[0])));
            if (s.cash.AnswersOf(r.request).size() != 1)
                result.faults.push_back("request directory read-only: " + r.name + " answered " +
                                        std::to_string(s.cash.AnswersOf(r.request).size()) +
                                        " times");
            again += n > 1;
        }
        // The folder writable again: the files go, nothing is carried out a second time.
        ::chown(to.c_str(), kUnprivileged, kUnprivileged);
        WaitMs(3000);
        s.cash.Collect();
        for (const SentRequest& r : batch)
            if (CarriedOut(s, r) > 1) {
                result.faults.push_back("request directory writable again: " + r.name +
                                        " carried out again");
                ++again;
            }
        if (!answered)
            result.faults.push_back("request directory read-only: not every request answered");
        // The operator is told once, not at every cycle that finds the files again.
        if (logLines > 2 + static_cast<int>(batch.size()))
            result.faults.push_back("request directory read-only: " + std::to_string(logLines) +
                                    " link log lines in 6 s");
        survived += answered && again == 0;
        std::printf(
            "  request directory read-only: answered %d, carried out again %d, log lines %d\n",
            answered, again, logLines);
    }
    if (!s.link.Running() || s.link.Starts() != starts)
        result.faults.push_back("the link did not run through the faults");
    const Verdict v = s.Check();
    result.faults.insert(result.faults.end(), v.faults.begin(), v.faults.end());
    result.figures = {
        "faults tried: " + std::to_string(tried) + ", survived: " + std::to_string(survived) +
            (privileged ? " (link run as user nobody)" : "") +
            (restarts
                 ? ", link restarted after a failed case " + std::to_string(restarts) + " times"
                 : ""),
        "receipts: " + std::to_string(v.sent) + ", answered ok " + std::to_string(v.answeredOk) +
            ", err " + std::to_string(v.answeredErr) + ", lost " + std::to_string(v.lost) +
            ", duplicated " + std::to_string(v.duplicated),
        "command and text files: " + std::to_string(s.others.size()) +
            ", faults among them and the ledger: " + std::to_string(v.requestFaults)};
    for (const std::string& sk : skipped) result.figures.push_back("skipped: " + sk);
    return result;
}

}  // namespace velbrin::harness
