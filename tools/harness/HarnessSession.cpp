#include "tools/harness/HarnessSession.h"

#include "app/P00_util.h"
#include "tools/fp550sim/SimJournal.h"
#include "tools/fp550sim/SimState.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>

#include <sstream>

namespace velbrin::harness {

Session::Session(const Tools& tools, const std::string& root, unsigned seed, const std::string& outside)
    : inst(tools, root, outside), printer(inst), link(inst), cash(inst), rng(seed) {
    printer.Start();
    printer.Control("ledger on");
    // Day closings export the closed day, as a shop that sends its analytics does.
    inst.WriteIni(printer.Device(), "[Praxolt]\nSaljiAnalitikeUvek=D\n");
}

Session::~Session() {
    link.Stop(10000);
    printer.Stop();
}

bool Session::StartLinkOrNote(std::vector<std::string>& faults) {
    if (StartLink()) return true;
    faults.push_back("the link did not start");
    return false;
}

bool Session::StartLink() {
    if (waitsForOperator) return false;  // never started again without end
    const std::size_t traced = FileExists(printer.TracePath()) ? ReadWholeFile(printer.TracePath()).size() : 0;
    link.Start();
    if (!link.WaitUp(30000) || !WaitUntil([&] { return DirectoryExists(inst.ToFp()); }, 10000)) return false;
    // The start-up settles the exchange directory (several receipt files found
    // there are dropped unanswered), so the cash register waits for its end:
    // the non-fiscal close it sends and the transaction state read after it.
    WaitUntil(
        [&] {
            AnswerMessages();  // the start-up checks may ask the operator
            if (StuckOnMessage()) return true;
            const std::string trace = ReadWholeFile(printer.TracePath());
            const auto close = trace.find(" cmd=39 ", traced);
            const auto state = close == std::string::npos ? close : trace.find("TX seq=", trace.find(" cmd=76 ", close));
            return state != std::string::npos && trace.find(" cmd=76 ", close) != std::string::npos;
        },
        15000);
    WaitMs(300);
    return link.Running() && !StuckOnMessage();
}

bool Session::StuckOnMessage() {
    if (waitsForOperator) return true;
    if (!inst.tools.display.empty() || !link.Running() || !link.DialogShown()) return false;
    waitsForOperator = true;
    // What the link showed last: the dialog logs its first line.
    const std::string log = FileExists(inst.Logs() + "/LINK_log.txt") ? ReadWholeFile(inst.Logs() + "/LINK_log.txt") : "";
    const auto end = log.find_last_not_of("\r\n");
    const auto begin = end == std::string::npos ? std::string::npos : log.find_last_of('\n', end);
    operatorWait = end == std::string::npos ? "" : log.substr(begin == std::string::npos ? 0 : begin + 1, end - begin);
    std::printf("  the link waits for the operator and no display is there to answer it: %s\n", operatorWait.c_str());
    std::fflush(stdout);
    link.Stop(20000);
    return true;
}

bool Session::StopLink() { return link.Stop(20000); }

void Session::AnswerMessages() {
    // Looked at once a second: each look starts xdotool.
    if (inst.tools.display.empty() || NowMs() - lastLook_ < 1000) return;
    lastLook_ = NowMs();
    messagesSeen += link.DialogShown();
    dialogs += link.PressReturn();
}

bool Session::Nurse() {
    if (StuckOnMessage()) return false;
    if (link.Running()) AnswerMessages();
    if (link.Running()) return false;
    ++restarts;
    StartLink();
    return true;
}

SentReceipt Session::Next(const std::string& format) {
    SentReceipt r = MakeReceipt(nextK++, rng, format);
    sent.push_back(r);
    return r;
}

SentRequest Session::NextReceiptRequest(const std::string& format) {
    const SentReceipt r = Next(format);
    SentRequest q;
    q.kind = RequestKind::Receipt;
    q.name = r.name, q.request = r.request, q.bytes = r.bytes;
    return q;
}

std::vector<SentRequest> Session::NextMixed(int i) {
    auto receipt = [&](const std::string& format) { return std::vector<SentRequest>{NextReceiptRequest(format)}; };
    auto other = [&](SentRequest r) {
        others.push_back(r);
        return r;
    };
    const int k = nextK++;
    switch (i % 12) {
    case 0: return receipt("zvx");
    case 1: case 6: return {other(MakeCashFile(k, rng))};
    case 2: return {other(MakeArticleFile(k, 'N', articlePool, rng))};
    case 3: case 11: return {other(MakeTextFile(k, rng))};
    case 4: return receipt("csv");
    case 5: return {other(MakeArticleFile(k, 'K', articlePool, rng))};
    case 7: return {other(MakeCancelledReceipt(k))};
    case 8: return {other(MakeArticleFile(k, 'R', articlePool, rng))};
    case 9: return receipt("zvx");
    default: {
        const SentRequest z = other(MakeDayClosingFile(k));
        return {z, other(MakeArticleFile(nextK++, 'D', articlePool, rng))};
    }
    }
}

void Session::DropAll(const std::vector<SentRequest>& batch) {
    for (const SentRequest& r : batch) cash.Drop(r.name, r.bytes);
}

bool Session::WaitAnsweredAll(const std::vector<SentRequest>& batch, int ms) {
    std::vector<std::string> names;
    for (const SentRequest& r : batch) names.push_back(r.request);
    return WaitAnswered(names, ms);
}

void Session::HandOverTo(int uid) {
    // The link must reach its installation and the printer's line as that user
    // (the database engine's lock folder must be one of the installation's).
    // Folders above the installation only gain the right to pass through
    // (a private mkdtemp folder); none loses a right it had (/tmp keeps its sticky bit).
    for (std::string dir = ExtractFileDir(inst.root); dir.size() > 1; dir = ExtractFileDir(dir)) {
        struct stat st {};
        if (::stat(dir.c_str(), &st) == 0 && !(st.st_mode & S_IXOTH)) ::chmod(dir.c_str(), (st.st_mode & 07777) | 0111);
    }
    std::error_code ec;
    for (const auto& e : std::filesystem::recursive_directory_iterator(inst.root, ec))
        ::lchown(e.path().c_str(), static_cast<uid_t>(uid), static_cast<gid_t>(uid));
    ::chown(inst.root.c_str(), static_cast<uid_t>(uid), static_cast<gid_t>(uid));
    char device[PATH_MAX];
    if (::realpath(printer.Device().c_str(), device)) ::chmod(device, 0666);
    link.RunAs(uid);
}

bool Session::SendAndWait(const SentReceipt& r, int ms) {
    cash.Drop(r.name, r.bytes);
    return WaitAnswered({r.request}, ms);
}

bool Session::WaitAnswered(const std::vector<std::string>& requests, int ms) {
    return WaitUntil(
        [&] {
            cash.Collect();
            bool all = true;
            for (const std::string& r : requests) all = all && cash.Answered(r);
            if (!all) Nurse();
            return all || waitsForOperator;
        },
        ms) &&
           !waitsForOperator;
}

Verdict Session::Check() {
    StopLink();
    cash.Collect();
    const auto lines = sim::SimJournal::ReadLines(printer.JournalPath());
    // Days closed on the way (a start-up that repaired the article table closes
    // the day) count with their Z totals.
    long long printerTotal = printer.DayTotal();
    for (const std::string& line : lines) {
        std::istringstream in(line);
        std::string what, number, total;
        if (in >> what >> number >> total && what == "Z") printerTotal += HundredthsOf(total);
    }
    const StoredBooks db = ReadDatabase(database.empty() ? inst.Database() : database, dbLogin);
    std::vector<int> cancelledTags;
    for (const SentRequest& r : others)
        if (r.cancelledReceipt) cancelledTags.push_back(r.tag);
    AnswerBook book = cash.Book();
    if (ownBooks) ownBooks(book);
    Verdict v = Compare(sent, book, ParseJournal(lines), db, printerTotal, cancelledTags);
    PrinterBooks books = ReadPrinterBooks(lines);
    v.zReports = books.zReports;
    for (const auto& [plu, article] : sim::LoadStateFile(printer.StatePath()).articles) books.articles[plu] = article.price;
    std::vector<std::string> receipts;
    for (const SentReceipt& r : sent) receipts.push_back(r.request);
    // The link's own repairs of the article table, from its log: each must
    // answer a difference the harness made (the books allow one Z for each).
    const std::string logPath = inst.Logs() + "/LINK_log.txt";
    const std::string log = FileExists(logPath) ? ReadWholeFile(logPath) : "";
    for (auto at = log.find("The article table's repair is finished"); at != std::string::npos;
         at = log.find("The article table's repair is finished", at + 1))
        ++v.repairs;
    if (waitsForOperator)
        v.faults.push_back("the link waited for the operator with nobody to answer: " + operatorWait);
    const std::vector<std::string> more = CompareRequests(others, receipts, book, books, db, unexplained);
    v.faults.insert(v.faults.end(), more.begin(), more.end());
    v.requestFaults = static_cast<int>(more.size());
    return v;
}

}  // namespace velbrin::harness
