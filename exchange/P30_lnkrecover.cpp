// The start's settling of what a stopped run left behind: answers cut short,
// a day closing begun, leftover texts and receipt files, converted originals,
// the receipt in curr_abc or open in the printer, and failures held but never
// answered. Parts of it also settle what a lost database cut short.
#include "exchange/P30_lnkwork.h"

#include "app/P00_durable.h"
#include "app/P00_inilink.h"
#include "app/P00_log.h"
#include "app/P00_msg.h"
#include "app/P00_util.h"
#include "closing/P32_zets.h"
#include "exchange/P30_outbox.h"
#include "exchange/P30_requestjournal.h"
#include "exchange/P30_requestscan.h"
#include "printer/P00_fp.h"
#include "store/P31_bon.h"
#include "store/P31_storecontext.h"

#include <dirent.h>

#include <optional>

namespace velbrin {

void TFormLnkWork::DropConvertedOriginals(const std::vector<std::string>& packets) {
    // A run stopped between converting a receipt and deleting the original
    // leaves both; the packet is taken in below, and the original would be
    // converted and printed a second time by the next cycle.
    DIR* d = ::opendir(ini_.ToFpDir().c_str());
    if (d == nullptr) return;
    std::vector<std::string> originals;
    std::size_t seen = 0;
    while (dirent* e = ::readdir(d)) {
        if (++seen > kMaxSweepEntries) break;
        const std::string name = e->d_name;
        if (name.empty() || name[0] == '.' || TRequestScan::IsPacket(name)) continue;
        for (const std::string& packet : packets)
            if (SameText(TRequestScan::PacketName(name), packet)) originals.push_back(name);
    }
    ::closedir(d);
    for (const std::string& name : originals) DeleteFileReport(ToFpPath(name));
}

void TFormLnkWork::RecoverExchange() {
    OpenJournal();
    Outbox().Settle();
    // The answer the stopped run wrote last, before this start writes any.
    const std::string answeredLast = Journal().LastAnswered();
    RecoverRequests();
    AnswerForgottenFailures(answeredLast);
}

void TFormLnkWork::AnswerForgottenFailures(const std::string& answeredLast) {
    // A failure is held before the receipt leaves curr_abc and dropped once it is
    // answered; one still held here, for no receipt the link keeps, was cut off
    // between the two.
    const std::string inAbc = Bon().AbcIsEmpty() ? std::string() : HeldReceiptName();
    for (const std::string& held : Outbox().HeldFailures()) {
        const auto same = [&held](const std::string& name) {
            return !name.empty() && SameText(ChangeFileExt(name, ""), ChangeFileExt(held, ""));
        };
        if (same(inAbc) || (held_ != THeld::None && same(Bon().FileName()))) continue;
        try {
            if (!same(answeredLast)) {
                const std::optional<std::string> failure = Outbox().HeldFailure(held);
                if (failure) WriteResult(held, *failure, false);
            }
            Outbox().DropHeldFailure(held);
        } catch (const std::exception& e) {
            store_.linkLog.Write("The held failure of " + held + " could not be answered: " + e.what());
        }
    }
}

void TFormLnkWork::AnswerArchivedReceipt(const std::string& name) {
    // A receipt cancelled on its way out is the failure it was, unless the
    // cancellation could not void every line: then it was printed and paid, and
    // a failure held before that was not yet dropped when the link stopped.
    const std::optional<std::string> failure = Outbox().HeldFailure(name);
    const Money total = Bon().ReceiptTotal();
    if (failure && total == Money())
        WriteResult(name, *failure, false);
    else
        WriteResult(name, total.Format(2), true);
}

void TFormLnkWork::SettleClosingAndAnswerDue() {
    TBon& bon = Bon();
    try {
        store_.zets.SettleClosingBegun();
    } catch (const std::exception& e) {
        if (DbLost()) throw;
        store_.linkLog.Write(std::string("A day closing begun before the stop could not be settled: ") + e.what());
    }
    // A receipt archived by the previous run just before it stopped, its answer
    // not yet written down (a written one is the journal's last record).
    const std::string due = bon.AnswerDue();
    if (!due.empty()) {
        try {
            if (bon.AbcIsEmpty() && !SameText(Journal().LastAnswered(), due)) {
                bon.LoadLastBonId();  // the receipt archived last is the one due
                AnswerArchivedReceipt(due);
            }
        } catch (const std::exception& e) {
            if (DbLost()) throw;
            store_.linkLog.Write("The answer of " + due + " could not be written: " + e.what());
        }
        bon.ClearAnswerDue();
    }
    if (!due.empty()) Outbox().DropHeldFailure(due);
    DeliverKeptAnswers();
}

void TFormLnkWork::RecoverRequests() {
    TBon& bon = Bon();
    SettleClosingAndAnswerDue();
    for (const std::string& name : PacketsInToFpDir("TXT_")) {
        const std::string path = ToFpPath(name);
        currentName_ = name;
        currentId_ = FileIdentityOf(path);
        // A text of the previous run is not printed again; the cash register
        // learns that it was not (or not wholly) printed.
        if (!Journal().CarriedOut(currentId_)) WriteResult(name, msg_.GetMsg(kMsgTextDropped), false);
        RemoveRequest(path);
    }
    currentName_.clear();
    currentId_.clear();
    try {
        fp_.CloseNonFiscal();
    } catch (const std::exception&) {
    }
    std::vector<std::string> receipts;
    for (const std::string& name : PacketsInToFpDir("ABC_")) {
        // Taken in or answered before: a ToFpDir that refused its removal left it.
        if (Journal().CarriedOut(FileIdentityOf(ToFpPath(name))))
            RemoveRequest(ToFpPath(name));
        else
            receipts.push_back(name);
    }
    DropConvertedOriginals(receipts);
    if (receipts.size() == 1) {
        if (bon.AbcWasSent()) {
            RemoveRequest(ToFpPath(receipts[0]));
        } else {
            if (!bon.AbcIsEmpty()) ExecSql("delete from curr_abc");
            currentName_ = receipts[0];
            currentId_ = FileIdentityOf(ToFpPath(receipts[0]));
            try {
                LoadAbcFile(receipts[0]);
            } catch (const std::exception& e) {
                // A leftover that cannot be taken in is answered like any other.
                ExecSql("delete from curr_abc");
                WriteResult(receipts[0], e.what(), false);
                RemoveRequest(ToFpPath(receipts[0]));
            }
            currentName_.clear();
            currentId_.clear();
        }
    } else {
        // Which of them the cash register meant to come first is not known: none
        // is printed, and each is told so.
        for (const std::string& name : receipts) {
            currentName_ = name;
            currentId_ = FileIdentityOf(ToFpPath(name));
            WriteResult(name, msg_.GetMsg(kMsgReceiptNotTakenAtStart), false);
            RemoveRequest(ToFpPath(name));
        }
        currentName_.clear();
        currentId_.clear();
    }
    CompactJournal();
    SettleReceiptInHand();
}

void TFormLnkWork::SettleReceiptInHand() {
    TBon& bon = Bon();
    try {
        bon.Recover();
    } catch (const std::exception& e) {
        // Settled once the database answers again, from the state then.
        if (DbLost()) throw;
        HoldFailure(bon.FileName(), e.what());
        if (CancelReceipt() && !bon.FileName().empty()) {
            WriteResult(bon.FileName(), bon.ReceiptTotal().Format(2), true);
            return;
        }
        if (bon.FileName().empty()) {
            // No receipt name to answer under: the operator's log keeps the reason.
            store_.linkLog.Write(std::string("Recovery of the receipt failed: ") + e.what());
        } else {
            WriteResult(bon.FileName(), e.what(), false);
            Outbox().DropHeldFailure(bon.FileName());
        }
        return;
    }
    if (bon.FileName().empty()) {
        // The printer did not tell its state: the receipt stays for a later cycle.
        held_ = bon.AbcIsEmpty() ? THeld::None : THeld::AtStart;
        return;
    }
    if (bon.AbcIsEmpty()) {
        AnswerArchivedReceipt(bon.FileName());
        Outbox().DropHeldFailure(bon.FileName());
    } else {
        ProcessAbcFile("");
    }
}

}  // namespace velbrin
