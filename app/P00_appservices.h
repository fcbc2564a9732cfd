// What the core asks of the application shell. The Qt program implements it
// with its event loop and dialogs; tests use a fake that records and answers at once.
#pragma once

#include <string>

namespace velbrin {

enum class TLinkText;

// What the link is doing, as the tray icon and velbrin-status show it. Starting
// and Working are the base states; the others are conditions that the part of
// the link that meets them turns on and off again, and the one shown is the
// first of Stopped, DbLost, PrinterSilent, WaitingForOperator, AnswersWaiting,
// DbConnecting that is on.
enum class TLinkState {
    Starting,            // start-up checks under way
    Working,             // cycles run; the shell adds the last answer and its time
    WaitingForOperator,  // a message dialog is open (paper out, a numbered message)
    PrinterSilent,       // the last printer command got no verified answer
    AnswersWaiting,      // answers are kept because FromFpDir refuses them
    Stopped,             // a cycle failed: no more exchange work in this run
    DbConnecting,        // the start waits for the database server to answer
    DbLost,              // the database does not answer: requests wait, the link attaches again
};

class TAppServices {
public:
    virtual ~TAppServices() = default;
    // Ask the application to terminate; it ends once control is back in its message loop.
    virtual void Terminate() = 0;
    virtual bool Terminated() const = 0;
    // Let pending window messages be processed (a termination request takes effect).
    virtual void ProcessMessages() = 0;
    // The important-message dialog: numbered message n, or a free text (Windows-1250). Modal.
    virtual void ShowNumbered(int n) = 0;
    virtual void ShowText(const std::string& text) = 0;
    // The standard error box (an exception that left the start-up or a cycle).
    virtual void ShowError(const std::string& text) = 0;
    // The error box shown without waiting for the operator: the cycle goes on
    // (answers that cannot be delivered, requests that cannot be removed).
    virtual void ShowNotice(const std::string& text) = 0;

    // The link's state for the operator. For a condition, on = true turns it on
    // (detail: Windows-1250 text shown after the state, e.g. "3 answers in
    // Exch/Lnk/Kept") and on = false clears it; Working ends the start-up.
    // Example, the answer outbox: SetState(TLinkState::AnswersWaiting, true,
    // "2 answers wait") while FromFpDir refuses them, SetState(..., false) once
    // it takes them again. Cheap; the shell redraws only on a change.
    virtual void SetState(TLinkState state, bool on = true, const std::string& detail = {}) {
        (void)state, (void)on, (void)detail;
    }
    // An answer (name without folder) has been put into FromFpDir.
    virtual void AnswerDelivered(const std::string& name) { (void)name; }
    // Long printer work: done of total items of the kind `what` names; done ==
    // total ends it. The shell shows a progress window when the work lasts
    // longer than about two seconds. One call per item is cheap.
    virtual void Progress(TLinkText what, long done, long total) { (void)what, (void)done, (void)total; }
};

// One piece of long printer work, reported as it goes and ended (the progress
// window closed) when it leaves scope, also by an exception:
//     TProgress progress(app, TLinkText::ProgressArticleDelete, count);
//     for (...) progress.Step(done);
class TProgress {
public:
    TProgress(TAppServices& app, TLinkText what, long total) : app_(app), what_(what), total_(total) { Step(0); }
    ~TProgress() { app_.Progress(what_, total_, total_); }
    TProgress(const TProgress&) = delete;
    TProgress& operator=(const TProgress&) = delete;
    // done of total; a count beyond the estimate stays just under it, since
    // done == total ends the work.
    void Step(long done) { app_.Progress(what_, done < total_ ? done : total_ - 1, total_); }

private:
    TAppServices& app_;
    TLinkText what_;
    long total_;
};

}  // namespace velbrin
