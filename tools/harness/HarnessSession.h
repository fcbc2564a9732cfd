// One installation with the printer and the link running, as the fault runs use
// it: start, send receipts the way the cash register does, restart the link
// after a kill or an operator message, stop, and check the books.
#pragma once

#include "app/P00_dblogin.h"
#include "tools/harness/HarnessLedger.h"
#include "tools/harness/HarnessRig.h"

#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace velbrin::harness {

class Session {
public:
    // outside: where the settings store, runtime folders and printer go ("": root).
    Session(const Tools& tools, const std::string& root, unsigned seed, const std::string& outside = "");
    ~Session();

    // Starts the link and waits until it holds its start marker; false when it
    // did not come up (the reason is in its output file).
    bool StartLink();
    // StartLink for the opening of a run: a link that does not come up is noted among faults.
    bool StartLinkOrNote(std::vector<std::string>& faults);
    // Stops the link with SIGTERM; false when it had to be killed.
    bool StopLink();

    // Drops a receipt and waits (ms) for its answer, restarting the link when
    // it ended or waits for an operator; false when no answer came.
    bool SendAndWait(const SentReceipt& r, int ms);
    // Waits until every request has an answer (restarting as above).
    bool WaitAnswered(const std::vector<std::string>& requests, int ms);
    // Keeps the link alive once: an operator message is answered with Return on
    // the display, an ended link is started again. True when it acted. Without
    // a display nobody can answer: a link that waits for the operator is
    // stopped, noted (waitsForOperator) and not started again.
    bool Nurse();
    // Without a display: the link shows a message; stops it and notes it.
    bool StuckOnMessage();

    SentReceipt Next(const std::string& format = "zvx");
    // Next, as a request of a batch.
    SentRequest NextReceiptRequest(const std::string& format);
    // The i-th requests of a run over every kind, dropped together: a receipt,
    // a command file (cash, drawer, day closing), an article file (N, K, R, D),
    // a text file or a receipt the link must cancel. An ART-D goes with a day closing
    // by command file, which the same cycle carries out first.
    std::vector<SentRequest> NextMixed(int i);
    void DropAll(const std::vector<SentRequest>& batch);
    bool WaitAnsweredAll(const std::vector<SentRequest>& batch, int ms);
    // Later starts of the link run as user uid: the installation becomes its own.
    void HandOverTo(int uid);
    // Stops the link and compares requests, answers, journal and database.
    Verdict Check();
    // Set by a run that judges some answers itself: Check compares the book it leaves.
    std::function<void(AnswerBook&)> ownBooks;

    Installation inst;
    Printer printer;
    Link link;
    CashRegister cash;
    std::vector<SentReceipt> sent;
    std::vector<SentRequest> others;  // command, article and text files, receipts the link cancels
    std::vector<std::string> articlePool;
    std::mt19937 rng;
    int dialogs = 0, restarts = 0;
    // Looks that found an operator message waiting (the link's "YellowMsg"
    // marker held; progress windows are no message).
    int messagesSeen = 0;
    // Differences between the two article tables the harness made itself behind
    // the link's back, which no record of the link explains: each may cost one
    // Z report (the link's repair), no other Z report may come unasked.
    int unexplained = 0;
    // A link that waited for the operator with nobody there to answer, and what
    // it showed last (from its log).
    bool waitsForOperator = false;
    std::string operatorWait;
    int nextK = 1;
    // The database Check reads: "" for the installation's own file, else a
    // server path read with dbLogin while the server runs.
    std::string database;
    TDbLogin dbLogin;

    // Presses Return on a message the link shows (at most once a second).
    void AnswerMessages();

private:
    long long lastLook_ = 0;
};

}  // namespace velbrin::harness
