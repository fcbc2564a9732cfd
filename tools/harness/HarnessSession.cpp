#include "tools/harness/HarnessSession.h"

#include "app/P00_util.h"
#include "tools/fp550sim/SimJournal.h"

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

bool Session::StartLink() {
    const std::size_t traced = FileExists(printer.TracePath()) ? ReadWholeFile(printer.TracePath()).size() : 0;
    link.Start();
    if (!link.WaitUp(30000) || !WaitUntil([&] { return DirectoryExists(inst.ToFp()); }, 10000)) return false;
    // The start-up settles the exchange directory (several receipt files found
    // there are dropped unanswered), so the cash register waits for its end:
    // the non-fiscal close it sends and the transaction state read after it.
    WaitUntil(
        [&] {
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

bool Session::Nurse() {
    if (link.Running() && link.DialogShown()) {
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
    const auto journal = ParseJournal(sim::SimJournal::ReadLines(printer.JournalPath()));
    return Compare(sent, cash.Book(), journal, ReadDatabase(inst.Database()), printer.DayTotal());
}

}  // namespace velbrin::harness
