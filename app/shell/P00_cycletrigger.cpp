#include "app/shell/P00_cycletrigger.h"

#include <cstdlib>
#include <cstring>
#include <exception>

namespace velbrin {

TCycleTrigger::TCycleTrigger(QTimer& timer1, std::function<bool()> runCycle)
    : timer1_(timer1), runCycle_(std::move(runCycle)) {}

TCycleTrigger::~TCycleTrigger() {
    notifier_.reset();
}

void TCycleTrigger::DropNotifier() {
    if (!notifier_) return;
    // Its own signal may be on the stack (a landing that ran the cycle): it goes
    // when control is back in the loop, switched off until then.
    notifier_->setEnabled(false);
    notifier_.release()->deleteLater();
}

bool TCycleTrigger::WatchWanted() {
    const char* env = std::getenv("VELBRIN_EXCHANGE_WATCH");
    return env == nullptr || std::strcmp(env, "0") != 0;
}

void TCycleTrigger::Start(const std::string& dir) {
    dir_ = dir;
    timer1_.start();
    if (WatchWanted()) Watch();
    RunDueSoon();
}

void TCycleTrigger::Watch() {
    DropNotifier();
    try {
        watch_.Open(dir_);
    } catch (const std::exception&) {
        // A folder on a network share or without free watches: Timer1 still finds
        // every file, only later.
        return;
    }
    notifier_ = std::make_unique<QSocketNotifier>(watch_.Descriptor(), QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, &context_,
                     [this] { FilesLanded(); });
}

void TCycleTrigger::TimerFired() {
    if (inCycle_) {
        due_ = true;
        return;
    }
    RunCycle();
}

void TCycleTrigger::FilesLanded() {
    if (!watch_.Drain()) return;
    if (inCycle_) {
        due_ = true;
        return;
    }
    // Timer1 off outside a cycle: the start-up is not through, a cycle failed, or
    // the link is closing. No cycle may run then.
    if (timer1_.isActive()) RunCycle();
}

void TCycleTrigger::Wake() {
    QMetaObject::invokeMethod(
        &context_,
        [this] {
            if (inCycle_)
                due_ = true;
            else if (timer1_.isActive())
                RunCycle();
        },
        Qt::QueuedConnection);
}

void TCycleTrigger::RunCycle() {
    timer1_.stop();
    inCycle_ = true;
    due_ = false;
    bool again = false;
    try {
        again = runCycle_();
    } catch (...) {
        inCycle_ = false;
        throw;
    }
    inCycle_ = false;
    if (!again) {
        DropNotifier();
        watch_.Close();
        return;
    }
    // The exchange directory was removed or replaced: watch the new one.
    if (watch_.Lost()) Watch();
    timer1_.start();
    if (due_) RunDueSoon();
}

void TCycleTrigger::RunDueSoon() {
    due_ = false;
    QTimer::singleShot(0, &context_, [this] {
        if (!inCycle_ && timer1_.isActive()) RunCycle();
    });
}

}  // namespace velbrin
