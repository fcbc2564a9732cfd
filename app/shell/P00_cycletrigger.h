// What starts an exchange cycle: Timer1 (every 500 ms, measured from the end of
// one cycle to the start of the next) and, as soon as a request file lands in the
// exchange directory, the directory watch. Either way one cycle runs at a time:
// Timer1 is off while it runs, and a file that lands meanwhile (also inside a
// modal dialog of the cycle) only notes that another cycle is due right after.
// A burst of files that landed before the cycle could start is one cycle.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>

#include "app/P00_dirwatch.h"

namespace velbrin {

class TCycleTrigger {
public:
    // runCycle runs one cycle to its end and says whether cycles may go on; when it
    // says no, Timer1 stays off and landings are ignored for the rest of the run.
    TCycleTrigger(QTimer& timer1, std::function<bool()> runCycle);
    ~TCycleTrigger();
    TCycleTrigger(const TCycleTrigger&) = delete;
    TCycleTrigger& operator=(const TCycleTrigger&) = delete;

    // Starts Timer1, watches dir and runs the first cycle as soon as the message
    // loop is free. A directory that cannot be watched (or VELBRIN_EXCHANGE_WATCH=0)
    // leaves the timer alone in charge.
    void Start(const std::string& dir);
    // Timer1's timeout.
    void TimerFired();
    // The watch descriptor became readable.
    void FilesLanded();
    // A request came by another way (the HTTP interface): a cycle as soon as the
    // loop is free. Safe to call from any thread.
    void Wake();
    bool Watching() const { return watch_.IsOpen(); }
    bool InCycle() const { return inCycle_; }

    // False when VELBRIN_EXCHANGE_WATCH is "0": cycles come from Timer1 only.
    static bool WatchWanted();

private:
    void Watch();
    void DropNotifier();
    void RunCycle();
    // A cycle noted as due while another ran: runs it once the loop is free.
    void RunDueSoon();

    QTimer& timer1_;
    std::function<bool()> runCycle_;
    std::string dir_;
    TDirWatch watch_;
    std::unique_ptr<QSocketNotifier> notifier_;
    QObject context_;  // ends queued calls together with this object
    bool inCycle_ = false;
    bool due_ = false;
};

}  // namespace velbrin
