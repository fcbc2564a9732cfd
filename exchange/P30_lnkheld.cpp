// The receipt a stopped run left in curr_abc or open in the printer, settled from
// the printer's transaction state (at the start, and when the database answers
// again after it was lost); one whose state the printer did not tell, at the
// start or while cancelling a failed receipt, is settled as soon as the printer
// answers, without a restart.
#include "exchange/P30_lnkwork.h"

#include "app/P00_log.h"
#include "exchange/P30_outbox.h"
#include "printer/P00_fp.h"
#include "store/P31_bon.h"
#include "store/P31_storecontext.h"

namespace velbrin {

bool TFormLnkWork::PrinterAnswersState() {
    // Sent without the operator box of a failed command: a printer that keeps
    // refusing would otherwise ask for a key every few seconds.
    try {
        fp_.Command().Execute(76, "T");
    } catch (const std::exception&) {
        return false;
    }
    return fp_.Command().ResultCode() == 0;
}

void TFormLnkWork::ResolveHeldReceipt() {
    if (held_ == THeld::None) return;
    if (heldProbeWait_ > 0) {
        --heldProbeWait_;
        return;
    }
    heldProbeWait_ = kHeldProbeCycles;
    if (!PrinterAnswersState()) return;
    if (held_ == THeld::Cancelling) {
        FinishHeldCancellation();
        return;
    }
    TBon& bon = Bon();
    // What the start does with a known state, now that the printer tells it.
    try {
        bon.Recover();
    } catch (const std::exception& e) {
        if (DbLost()) throw;
        held_ = THeld::None;
        CancelReceipt();
        if (bon.FileName().empty())
            store_.linkLog.Write(std::string("Recovery of the receipt failed: ") + e.what());
        else
            WriteResult(bon.FileName(), e.what(), false);
        return;
    }
    // Still no state (the printer failed the query again): the next probe retries.
    if (bon.FileName().empty()) return;
    held_ = THeld::None;
    if (bon.AbcIsEmpty())
        WriteResult(bon.FileName(), bon.ReceiptTotal().Format(2), true);
    else
        ProcessAbcFile("");
}

void TFormLnkWork::HoldUncancelledReceipt(const std::string& text) {
    abcHeld_ = true;
    held_ = THeld::Cancelling;
    heldProbeWait_ = 0;  // the next cycle asks at once
    store_.linkLog.Write(Bon().FileName() + " waits: the printer has the receipt open or did not tell whether it " +
                         "has; it is cancelled and answered once the printer answers again. " + text);
}

void TFormLnkWork::FinishHeldCancellation() {
    TBon& bon = Bon();
    const std::string name = bon.FileName();
    const bool printed = CancelReceipt();
    if (cancelUnsettled_) return;  // asked again by a later probe
    held_ = THeld::None;
    // As the receipt's own failure handling would have answered it.
    if (printed) {
        store_.linkLog.Write(name + " printed and closed by the cancellation");
        WriteResult(name, bon.ReceiptTotal().Format(2), true);
    } else {
        std::optional<std::string> failure = Outbox().HeldFailure(name);
        if (!failure) {
            failure = "the receipt was cancelled";
            HoldFailure(name, *failure);  // answered by the next start if cut off below
        }
        ExecSql("delete from curr_abc");
        WriteResult(name, *failure, false);
    }
    Outbox().DropHeldFailure(name);
}

}  // namespace velbrin
