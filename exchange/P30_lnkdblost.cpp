// A database that stops answering while the link works (its server went down,
// the line to it broke): a state of the link, not a failure of the request at
// hand. That request is held as it stands, requests that come meanwhile wait in
// ToFpDir, the cycle tries to attach again every few seconds, and once the
// database answers, what was held is settled as a start settles what a stopped
// run left: from the printer's state, the database and the request journal.
#include "exchange/P30_lnkwork.h"

#include "app/P00_appservices.h"
#include "app/P00_durable.h"
#include "app/P00_inilink.h"
#include "app/P00_log.h"
#include "app/P00_msg.h"
#include "app/P00_util.h"
#include "exchange/P30_requestjournal.h"
#include "store/P00_connection.h"
#include "store/P31_articledoubt.h"
#include "store/P31_bon.h"
#include "store/P31_storecontext.h"

namespace velbrin {

namespace {

// The connection's description on one line, for the link log.
std::string OneLine(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    return text;
}

int SecondsSince(std::chrono::steady_clock::time_point since) {
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - since).count());
}

}  // namespace

bool TFormLnkWork::DbLost() const { return store_.connection.SQLConnection1.Lost(); }

void TFormLnkWork::PollExchange() {
    try {
        if (DatabaseLost() && !DatabaseBack()) {
            // Answers already written down still go out; no request is taken.
            DeliverKeptAnswers();
            return;
        }
        RunCycle();
    } catch (const std::exception& e) {
        if (DbLost()) {
            // A server restarted while the link was idle leaves a dead connection
            // that the next statement finds: attached again at once, the request
            // is settled as after a loss and nobody is asked to wait.
            if (!dbOutage_ && AttachedAgainAtOnce(e.what())) return;
            HoldForLostDatabase(e.what());
            return;
        }
        // A failure of its own: the database answers, whatever became of the outage.
        EndOutage();
        if (!unwritten_.empty()) return;
        throw;
    }
}

void TFormLnkWork::HoldForLostDatabase(const std::string& text) {
    CDSInput.Clear();
    if (bon_) {
        bon_->SetCurrentLine(nullptr);
        bon_->SetCurrentPayment(nullptr);
    }
    if (dbOutage_) return;  // told once for each outage
    dbOutage_ = true;
    lostSince_ = lastAttempt_ = std::chrono::steady_clock::now();
    const TSqlConnection& db = store_.connection.SQLConnection1;
    const std::string where = db.Context();
    // The request file the loss cut short, or the receipt held for the printer.
    const std::string held =
        heldRequest_.empty() && held_ != THeld::None && bon_ ? bon_->FileName() : heldRequest_;
    store_.linkLog.Write("The database does not answer (" + OneLine(where) + "): " + OneLine(text) +
                         (held.empty() ? std::string() : "; " + held + " is held as it stands") +
                         "; requests wait until the database answers again");
    const std::string server = TSqlConnection::ServerOf(db.Database());
    app_.SetState(TLinkState::DbLost, true, server.empty() ? db.Database() : server);
    std::string message = msg_.GetMsg(kMsgDbLost);
    const auto slot = message.find("%1");
    if (slot != std::string::npos) message.replace(slot, 2, where + "\n" + text);
    app_.ShowNotice(message);
}

bool TFormLnkWork::AttachedAgainAtOnce(const std::string& text) {
    TSqlConnection& db = store_.connection.SQLConnection1;
    const int timeout = ini_.DbConnectTimeout() > 0 ? ini_.DbConnectTimeout() : 5;
    std::string why;
    if (!db.Reattach({timeout, [this] {
                          app_.ProcessMessages();
                          return !app_.Terminated();
                      }},
                     why))
        return false;
    store_.linkLog.Write("The database connection was found dead (" + OneLine(text) + ") and attached again at once (" +
                         OneLine(db.Context()) + ")" +
                         (heldRequest_.empty() ? std::string() : "; " + heldRequest_ + " is settled"));
    try {
        ResumeAfterLostDatabase();
    } catch (const std::exception&) {
        if (DbLost()) return false;  // gone again: held as any loss
        throw;
    }
    heldRequest_.clear();
    return true;
}

bool TFormLnkWork::DatabaseBack() {
    if (DbLost()) {
        if (SecondsSince(lastAttempt_) < kReattachSeconds) return false;
        TSqlConnection& db = store_.connection.SQLConnection1;
        const int timeout = ini_.DbConnectTimeout() > 0 ? ini_.DbConnectTimeout() : 5;
        std::string why;
        const bool attached = db.Reattach({timeout, [this] {
                                               app_.ProcessMessages();
                                               return !app_.Terminated();
                                           }},
                                          why);
        lastAttempt_ = std::chrono::steady_clock::now();
        if (!attached) return false;
        store_.linkLog.Write("The database answers again after " + std::to_string(SecondsSince(lostSince_)) +
                             " s (" + OneLine(db.Context()) + "); what was held is settled");
    }
    ResumeAfterLostDatabase();
    EndOutage();
    return true;
}

void TFormLnkWork::ResumeAfterLostDatabase() {
    TBon& bon = Bon();
    const std::string answeredLast = Journal().LastAnswered();
    // An article command the loss cut off between the printer and arts. A
    // printer that does not tell now leaves the row to its own request, which
    // is answered as it fares.
    try {
        TArticleInDoubt(store_).SettleLast();
    } catch (const std::exception& e) {
        if (DbLost()) throw;
        store_.linkLog.Write(std::string("The article command in doubt could not be settled: ") + e.what());
    }
    SettleClosingAndAnswerDue();
    // A receipt whose intake the loss cut short: its file still waits in ToFpDir
    // (not taken in, whatever of it reached curr_abc) and is taken in anew.
    if (!bon.AbcIsEmpty() && !bon.AbcWasSent()) {
        const std::string name = HeldReceiptName();
        if (!name.empty() && FileExists(ToFpPath(name)) && !Journal().CarriedOut(FileIdentityOf(ToFpPath(name))))
            ExecSql("delete from curr_abc");
    }
    // A receipt held for the printer is settled when the printer answers.
    if (held_ == THeld::None) SettleReceiptInHand();
    AnswerForgottenFailures(answeredLast);
}

void TFormLnkWork::EndOutage() {
    if (!dbOutage_) return;
    dbOutage_ = false;
    heldRequest_.clear();
    app_.SetState(TLinkState::DbLost, false);
    store_.linkLog.Write("Requests are taken again");
}

}  // namespace velbrin
