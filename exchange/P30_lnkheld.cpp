// A receipt left in curr_abc by a start that could not read the printer's
// transaction state: settled as soon as the printer answers, without a restart.
#include "exchange/P30_lnkwork.h"

#include "app/P00_log.h"
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
    if (!receiptHeld_) return;
    if (heldProbeWait_ > 0) {
        --heldProbeWait_;
        return;
    }
    heldProbeWait_ = kHeldProbeCycles;
    if (!PrinterAnswersState()) return;
    TBon& bon = Bon();
    // What the start does with a known state, now that the printer tells it.
    try {
        bon.Recover();
    } catch (const std::exception& e) {
        receiptHeld_ = false;
        CancelReceipt();
        if (bon.FileName().empty())
            store_.linkLog.Write(std::string("Recovery of the receipt failed: ") + e.what());
        else
            WriteResult(bon.FileName(), e.what(), false);
        return;
    }
    // Still no state (the printer failed the query again): the next probe retries.
    if (bon.FileName().empty()) return;
    receiptHeld_ = false;
    if (bon.AbcIsEmpty())
        WriteResult(bon.FileName(), bon.ReceiptTotal().Format(2), true);
    else
        ProcessAbcFile("");
}

}  // namespace velbrin
