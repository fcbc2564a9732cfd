// Disk and database faults: the answer directory unwritable, the exchange
// directory full, the database read-only at start. The link reports each,
// keeps the receipt recoverable and finishes it once the fault is gone.
#include "app/P00_util.h"
#include "tools/fp550sim/SimJournal.h"
#include "tools/harness/HarnessRuns.h"
#include "tools/harness/HarnessSession.h"

#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace velbrin::harness {

namespace {

bool Printed(Session& s, int k) {
    for (const PrintedReceipt& p : ParseJournal(sim::SimJournal::ReadLines(s.printer.JournalPath())))
        if (p.closed && p.tagK == k) return true;
    return false;
}

// The link log's length: a refused answer must add a line to it (its wording is the link's).
std::size_t LogSize(Session& s) {
    const std::string path = s.inst.Logs() + "/LINK_log.txt";
    return FileExists(path) ? ReadWholeFile(path).size() : 0;
}

// Ends a link that sits in an error box after its cycle stopped, as the
// operator's "Kraj rada" would, and starts it again.
void Restart(Session& s) {
    s.StopLink();
    s.StartLink();
}

// Fills the file system of dir to the last byte; the filler's path.
std::string FillUp(const std::string& dir) {
    const std::string filler = dir + "/.filler";
    std::FILE* f = std::fopen(filler.c_str(), "wb");
    if (!f) return filler;
    std::string block(4096, 'x');
    while (std::fwrite(block.data(), 1, block.size(), f) == block.size() && std::fflush(f) == 0) {
    }
    std::fclose(f);
    // The last partial block as well.
    f = std::fopen((dir + "/.filler2").c_str(), "wb");
    if (f) {
        while (std::fputc('x', f) != EOF && std::fflush(f) == 0) {
        }
        std::fclose(f);
    }
    return filler;
}

}  // namespace

RunResult RunDiskFaults(const Tools& tools, const std::string& root, unsigned seed) {
    RunResult result;
    result.name = "disk and database faults";
    Session s(tools, root, seed);
    if (!s.StartLinkOrNote(result.faults)) return result;
    const SentReceipt warm = s.Next();
    if (!s.SendAndWait(warm, 30000)) result.faults.push_back("no receipt before the faults");
    int survived = 0, tried = 0;
    std::vector<std::string> skipped;

    // 1. FromFpDir cannot take answers: a file stands where the directory was.
    {
        ++tried;
        const std::string from = s.inst.FromFp(), away = from + ".away";
        const std::size_t logged = LogSize(s);
        ::rename(from.c_str(), away.c_str());
        WriteWholeFile(from, "not a directory");
        const SentReceipt r = s.Next();
        s.cash.Drop(r.name, r.bytes);
        const bool printed = WaitUntil([&] { return Printed(s, r.k); }, 30000);
        const bool reported = WaitUntil([&] { return LogSize(s) > logged; }, 10000);
        ::unlink(from.c_str());
        ::rename(away.c_str(), from.c_str());
        Restart(s);
        const bool answered = s.WaitAnswered({r.request}, 30000);
        if (!printed) result.faults.push_back("answer directory unwritable: the receipt was not printed");
        if (!reported) result.faults.push_back("answer directory unwritable: not reported in the link log");
        if (!answered) result.faults.push_back("answer directory unwritable: no answer once it was back");
        survived += printed && reported && answered;
        std::printf("  answer directory unwritable: printed %d, reported %d, answered later %d\n", printed, reported,
                    answered);
    }

    // 2. The exchange directory of the answers is full when the answer comes.
    const bool root_ = ::geteuid() == 0;
    const std::string toFp = s.inst.FromFp();
    if (!root_ || ::mount("tmpfs", toFp.c_str(), "tmpfs", 0, "size=256k") != 0) {
        skipped.push_back(std::string("exchange directory full (tmpfs mount not permitted: ") +
                          (root_ ? std::strerror(errno) : "not root") + ")");
    } else {
        ++tried;
        const SentReceipt r = s.Next();
        const std::size_t logged = LogSize(s);
        s.printer.Control("delay 1500 56");  // time to fill the disk while the receipt closes
        s.cash.Drop(r.name, r.bytes);
        WaitUntil([&] { return !FileExists(s.inst.ToFp() + "/" + r.name); }, 20000);
        const std::string filler = FillUp(toFp);
        const bool printed = WaitUntil([&] { return Printed(s, r.k); }, 30000);
        const bool reported = WaitUntil([&] { return LogSize(s) > logged; }, 10000);
        s.printer.Control("reset");
        ::unlink(filler.c_str());
        ::unlink((toFp + "/.filler2").c_str());
        Restart(s);
        const bool answered = s.WaitAnswered({r.request}, 30000);
        // Then one more receipt through the same directory.
        const SentReceipt next = s.Next();
        const bool resumed = s.SendAndWait(next, 30000);
        s.StopLink();
        ::umount2(toFp.c_str(), MNT_DETACH);
        s.StartLink();
        if (!printed) result.faults.push_back("exchange directory full: the receipt was not printed");
        if (!reported) result.faults.push_back("exchange directory full: not reported in the link log");
        if (!answered) result.faults.push_back("exchange directory full: no answer once there was room");
        if (!resumed) result.faults.push_back("exchange directory full: the next receipt was not printed");
        survived += printed && reported && answered && resumed;
        std::printf("  exchange directory full: printed %d, reported %d, answered later %d, resumed %d\n", printed,
                    reported, answered, resumed);
    }

    // 3. The database read-only at start: nothing may print until it is writable.
    const std::string dbDir = ExtractFileDir(s.inst.Database());
    s.StopLink();
    if (!root_ || ::mount(dbDir.c_str(), dbDir.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        skipped.push_back(std::string("database read-only (bind mount not permitted: ") +
                          (root_ ? std::strerror(errno) : "not root") + ")");
    } else if (::mount(nullptr, dbDir.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
        ::umount2(dbDir.c_str(), MNT_DETACH);
        skipped.push_back(std::string("database read-only (remount refused: ") + std::strerror(errno) + ")");
    } else {
        ++tried;
        const SentReceipt r = s.Next();
        s.cash.Drop(r.name, r.bytes);
        s.link.Start();
        WaitMs(8000);
        const bool printedWhileReadOnly = Printed(s, r.k);
        s.StopLink();
        ::umount2(dbDir.c_str(), MNT_DETACH);
        s.StartLink();
        const bool answered = s.WaitAnswered({r.request}, 30000);
        if (printedWhileReadOnly) result.faults.push_back("database read-only: the receipt printed without its records");
        if (!answered) result.faults.push_back("database read-only: no answer once it was writable");
        survived += !printedWhileReadOnly && answered;
        std::printf("  database read-only at start: printed meanwhile %d, answered later %d\n", printedWhileReadOnly,
                    answered);
    }
    if (!s.link.Running()) s.StartLink();
    const SentReceipt last = s.Next();
    if (!s.SendAndWait(last, 30000)) result.faults.push_back("no receipt printed after the faults");
    const Verdict v = s.Check();
    result.faults.insert(result.faults.end(), v.faults.begin(), v.faults.end());
    result.figures = {"faults tried: " + std::to_string(tried) + ", survived: " + std::to_string(survived),
                      "receipts: " + std::to_string(v.sent) + ", answered ok " + std::to_string(v.answeredOk) +
                          ", err " + std::to_string(v.answeredErr) + ", lost " + std::to_string(v.lost) +
                          ", duplicated " + std::to_string(v.duplicated),
                      std::string("database totals equal to the printer's: ") + (v.totalsEqual ? "yes" : "NO")};
    for (const std::string& sk : skipped) result.figures.push_back("skipped: " + sk);
    return result;
}

}  // namespace velbrin::harness
