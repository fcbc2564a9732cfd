#include "tools/harness/HarnessSession.h"

#include "app/P00_util.h"
#include "tools/fp550sim/SimJournal.h"

#include <sstream>

namespace velbrin::harness {

Session::Session(const Tools& tools, const std::string& root, unsigned seed)
    : inst(tools, root), printer(inst), link(inst), cash(inst), rng(seed) {
    printer.Start();
    inst.WriteIni(printer.Device());
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
    const std::size_t traced = FileExists(printer.TracePath()) ? ReadWholeFile(printer.TracePath()).size() : 0;
    link.Start();
    if (!link.WaitUp(30000) || !WaitUntil([&] { return DirectoryExists(inst.ToFp()); }, 10000)) return false;
    // The start-up settles the exchange directory (several receipt files found
    // there are dropped unanswered), so the cash register waits for its end:
    // the non-fiscal close it sends and the transaction state read after it.
    WaitUntil(
        [&] {
            AnswerMessages();  // the start-up checks may ask the operator
            const std::string trace = ReadWholeFile(printer.TracePath());
            const auto close = trace.find(" cmd=39 ", traced);
            const auto state = close == std::string::npos ? close : trace.find("TX seq=", trace.find(" cmd=76 ", close));
            return state != std::string::npos && trace.find(" cmd=76 ", close) != std::string::npos;
        },
        15000);
    WaitMs(300);
    return link.Running();
}

bool Session::StopLink() { return link.Stop(20000); }

void Session::AnswerMessages() {
    // Looked at once a second: each look starts xdotool.
    if (inst.tools.display.empty() || NowMs() - lastLook_ < 1000) return;
    lastLook_ = NowMs();
    dialogs += link.PressReturn();
}

bool Session::Nurse() {
    if (link.Running() && !inst.tools.display.empty()) {
        AnswerMessages();
    } else if (link.Running() && link.DialogShown()) {
        // Without a display nobody can press a key: end the link as "Kraj rada" would.
        ++dialogs;
        link.Stop(20000);
    }
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
            return all;
        },
        ms);
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
    return Compare(sent, cash.Book(), ParseJournal(lines), ReadDatabase(inst.Database()), printerTotal);
}

}  // namespace velbrin::harness
