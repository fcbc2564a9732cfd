// The request files besides receipts: non-fiscal texts printed line by line,
// command files run row by row, the printer status report of command 300, and
// article files that keep the printer's article table and arts in step.
#include <memory>

#include "app/P00_appservices.h"
#include "app/P00_datetime.h"
#include "app/P00_inilink.h"
#include "app/P00_log.h"
#include "app/P00_money.h"
#include "app/P00_util.h"
#include "closing/P32_zets.h"
#include "app/P00_durable.h"
#include "exchange/P30_lnkwork.h"
#include "exchange/P30_requestjournal.h"
#include "formats/P00_convert.h"
#include "printer/P00_fp.h"
#include "store/P30_commonlink.h"
#include "store/P31_articledoubt.h"
#include "store/P31_saleitem.h"
#include "store/P31_storecontext.h"

namespace velbrin {

namespace {

// Characters from..from+count-1 (counted from 1) of text, as far as it reaches.
// Command arguments carry dates by position and are passed on unchecked.
std::string Cut(const std::string& text, std::size_t from, std::size_t count) {
    if (from < 1 || from > text.size()) return {};
    return text.substr(from - 1, count);
}

}  // namespace

bool TFormLnkWork::LoadRequest(const std::string& name, const std::string& kind) {
    const std::string path = ToFpPath(name);
    try {
        LoadPacket(name, kind);
        return true;
    } catch (const std::exception& e) {
        // A packet that cannot be read would never get better: it is answered and
        // removed so that the files behind it are still served in this cycle.
        const std::string text = e.what();
        CDSInput.Clear();
        WriteResult(name, text, false);
        RemoveRequest(path);
        return false;
    }
}

void TFormLnkWork::ProcessTextFile(const std::string& name) {
    if (!LoadRequest(name, "TXT_")) return;
    try {
        fp_.OpenNonFiscal();
        for (std::size_t row = 0; row < CDSInput.RowCount(); ++row)
            fp_.PrintNonFiscalText(CDSInput.Value(row, "tekst"), "");
        fp_.CloseNonFiscal();
        WriteResult(name, "", true);
    } catch (const std::exception& e) {
        const std::string text = e.what();
        CancelReceipt(false);
        WriteResult(name, text, false);
    }
    CDSInput.Clear();
    RemoveRequest(ToFpPath(name));
}

void TFormLnkWork::ProcessCommandFile(const std::string& name) {
    if (!LoadRequest(name, "CMD_")) return;
    const std::string id = RequestIdOf(name).empty() ? FileIdentityOf(ToFpPath(name)) : RequestIdOf(name);
    TRequestJournal& journal = Journal();
    try {
        // Rows a stopped run carried out are not carried out again.
        for (std::size_t row = static_cast<std::size_t>(journal.RowsDone(id)); row < CDSInput.RowCount(); ++row) {
            const int r = static_cast<int>(row);
            const int code = static_cast<int>(StrToInt(CDSInput.Value(row, "komanda")));
            const std::string tekst = CDSInput.Value(row, "tekst");
            const std::string doubt = journal.RowInDoubt(id, r);
            if (!doubt.empty() && RowCarriedOut(code, tekst, doubt)) {
                journal.MarkRowDone(id, r);
                continue;
            }
            // The printer keeps no trace of an opened drawer: one that may already
            // have opened for this row is not opened a second time behind the
            // cashier's back, but reported.
            if (!doubt.empty() && code == 30)
                throw LinkError("the drawer may have opened before the link stopped; it is not opened again");
            // The row's stamp names its cash row, so that a start after a stop
            // between the printer and the database can tell whether it is stored.
            // A day closing is known by the day it closes.
            const std::string stamp = code == 90 ? store_.zets.CurrentDayId() : DateTime::Now().TranStamp();
            journal.MarkRowBegun(id, r, stamp);
            RunCommandRow(code, tekst, stamp);
            // A stop between the printer's answer and this record leaves the row
            // in doubt; RowCarriedOut settles it from the printer and the database.
            journal.MarkRowDone(id, r);
        }
        WriteResult(name, "", true);
    } catch (const std::exception& e) {
        const std::string text = e.what();
        // The database went away: the row stays begun in the journal and the
        // file in ToFpDir; both are settled once it answers again.
        if (DbLost()) {
            CDSInput.Clear();
            throw;
        }
        if (!unwritten_.empty()) throw;  // the answer itself found no place
        // The link is going down: the file waits for the next start, which settles
        // a row in doubt from the printer and the database and answers the file.
        if (AnsweredCommErrOnStop(text)) {
            CDSInput.Clear();
            return;
        }
        WriteResult(name, text, false);
    }
    CDSInput.Clear();
    RemoveRequest(ToFpPath(name));
}

bool TFormLnkWork::RowCarriedOut(int code, const std::string& tekst, const std::string& stamp) {
    switch (code) {
        case 50:
        case 60:
            return commonLink_.CashMovementCarriedOut(code == 50 ? Money::Parse(tekst) : -Money::Parse(tekst), stamp);
        case 90:
            // A stop between the Z report and the database half leaves the day
            // open here; the printer's cleared receipt figures tell that the Z
            // report was printed (an empty day cannot tell: closed again).
            return store_.zets.DayClosed(stamp) || store_.zets.FinishClosingPrintedBeforeAStop(stamp);
        default:
            // Displays, header lines and reports leave nothing to count: carried
            // out again (a report cut by the stop is printed whole).
            return false;
    }
}

void TFormLnkWork::RunCommandRow(int code, const std::string& tekst, const std::string& stamp) {
    TFormZets& zets = store_.zets;
    if (code >= 150 && code <= 157) {
        fp_.SetHeaderLine(code - 150, tekst);
        return;
    }
    switch (code) {
        case 10:
            fp_.DisplayUpper(tekst);
            break;
        case 20:
            fp_.DisplayLower(tekst);
            break;
        case 30:
            try {
                fp_.OpenDrawer(Trim(tekst).empty() ? std::string("10") : tekst);
            } catch (const LinkError&) {
                // An answer that came back garbled was still an answer: the printer
                // took the command, and the drawer opens in any state of the printer.
                if (!fp_.AnswerUnreadable()) throw;
            }
            break;
        case 40:
            fp_.SetCashierName(tekst);
            break;
        case 50:
            commonLink_.CashMovement(Money::Parse(tekst), stamp);
            break;
        case 60:
            commonLink_.CashMovement(-Money::Parse(tekst), stamp);
            break;
        case 70:
            fp_.Beep();
            break;
        case 80:
            fp_.PrintDailyReport("2");
            break;
        case 90:
            zets.CloseDay();
            break;
        case 100:
            fp_.PrintPeriodicReport(Cut(tekst, 1, 6), Cut(tekst, 8, 6));
            break;
        case 130:
            commonLink_.ExportArticles();
            break;
        case 140:
            commonLink_.DeleteAllArticles();
            break;
        case 200:
            fp_.PrintSoldArticles("0");
            break;
        case 205:
            fp_.PrintSoldArticles("2");
            break;
        case 210:
            fp_.PrintDuplicate();
            break;
        case 220:
            zets.ExportDateRange(Cut(tekst, 1, 6), Cut(tekst, 8, 6));
            break;
        case 230:
            zets.DeleteDateRange(Cut(tekst, 1, 6), Cut(tekst, 8, 6));
            break;
        case 240:
            zets.ExportCurrentDay();
            break;
        case 250:
            zets.ExportStornoRange(Cut(tekst, 1, 6), Cut(tekst, 8, 6));
            break;
        case 295:
            fp_.PrintTaxReport("010104", "311220");
            break;
        case 300:
            // A printer that does not answer fails the row before any line is collected.
            fp_.ReadDateTime();
            WriteResult("F_300", PrinterStatusReport(), true);
            break;
        default:
            // Codes the link does not know are skipped: a newer cash register may send them.
            break;
    }
}

std::string TFormLnkWork::PrinterStatusReport() {
    // Each printer operation shows its own failure and gives its fallback value,
    // except the firmware text, whose failure fails the row.
    std::string report = fp_.IsFiscalized() ? "Fiskalizovan" : "Nefiskalizovan";
    report += "\r\n\"" + fp_.ReadFirmwareVersion() + "\"";
    report += "\r\n" + fp_.GetPrinterDateTime().ZetStamp();
    report += "\r\n" + fp_.ReadTaxGroups();
    report += "\r\n" + Cut(fp_.ReadCommand90Field4(), 3, 6);
    report += "\r\n" + fp_.ReadCommand99Value();
    report += "\r\n" + std::to_string(fp_.CountArticles());
    report += "\r\n" + std::to_string(commonLink_.CountExpectedArticles());
    report += std::string("\r\n") + (fp_.IsReceiptClosed() ? "Zatvoren" : "Otvoren");
    return report;
}

void TFormLnkWork::ProcessArticleFile(const std::string& name) {
    const std::string operation = UpperCase(LeftStr(name, 5));
    if (operation == "ART-R" && !fp_.IsReceiptClosed()) {
        try {
            store_.zets.CloseDay();
        } catch (const std::exception& e) {
            const std::string text = e.what();
            // The closing is finished once the database answers; the file waits.
            if (DbLost()) throw;
            // The next start can still close the day: the file waits for it.
            if (AnsweredCommErrOnStop(text)) return;
            // The printer printed its Z report and the database half or the export
            // failed: with the printer's day closed the next cycle applies the file.
            if (fp_.IsReceiptClosed()) {
                store_.linkLog.Write(name + " waits: the day closing failed after the Z report: " + text);
                return;
            }
            // The printer refused the closing. Trying again every cycle would only
            // repeat the refusal; the cash register learns why and sends the file again.
            WriteResult(name, text, false);
            RemoveRequest(ToFpPath(name));
            return;
        }
        // Applied now, while the day is closed: a receipt taken before the next
        // cycle would open the day again and cost a second Z report.
        if (!fp_.IsReceiptClosed()) return;
    }
    if (operation == "ART-D" && !fp_.IsReceiptClosed()) return;  // waits for a closed day

    if (!LoadRequest(name, "ART-")) return;
    const std::string id = RequestIdOf(name).empty() ? FileIdentityOf(ToFpPath(name)) : RequestIdOf(name);
    TRequestJournal& journal = Journal();
    TProgress progress(store_.app, TLinkText::ProgressArticleFile, static_cast<long>(CDSInput.RowCount()));
    // Rows a stopped run carried out (or failed) are not tried again. A stop
    // between the printer taking a row and its record repeats that one row.
    for (std::size_t row = static_cast<std::size_t>(journal.RowsDone(id)); row < CDSInput.RowCount(); ++row) {
        progress.Step(static_cast<long>(row));
        std::unique_ptr<TSaleItem> item;
        bool failed = false;
        const int r = static_cast<int>(row);
        try {
            item = TSaleItem::FromArticleRow(store_, CDSInput, row);
            const std::string owner = id + " " + std::to_string(r);
            item->SetRequestRow(owner);
            if (!journal.RowInDoubt(id, r).empty()) {
                // Begun by a run that stopped: the start has settled its define,
                // price or delete with the printer; stock, written down with the
                // printer's stock before it was sent, is judged by the stock
                // now, and never sent twice on a guess: when the printer's stock
                // tells neither, the operator is asked to check it.
                const int outcome = TArticleInDoubt(store_).RowOutcome(owner, item->ArtId());
                if (outcome == 1) {
                    journal.MarkRowDone(id, r);
                    continue;
                }
                if (outcome < 0)
                    throw LinkError("stock not known to be added before the link stopped; check it in the printer");
            }
            journal.MarkRowBegun(id, r, "-");
            ApplyArticle(operation, *item);
        } catch (const std::exception& e) {
            const std::string text = e.what();
            // The row stays begun, the file waits: both settled once the database answers.
            if (DbLost()) {
                CDSInput.Clear();
                throw;
            }
            // The rows not tried and the file wait for the next start.
            if (AnsweredCommErrOnStop(text)) {
                CDSInput.Clear();
                return;
            }
            store_.linkLog.Write(item ? name + " Error: " + item->ArtId() + " , " +
                                            item->PluNaziv() + " : " + text
                                      : name + " Error: " + text);
            failed = true;
        }
        journal.MarkRowDone(id, static_cast<int>(row), failed);
    }
    CDSInput.Clear();
    if (!journal.AnyRowFailed(id))
        WriteResult(name, "", true);
    else
        WriteResult(name, "Artikli koji nisu prosli se nalaze u log-u!", false);
    RemoveRequest(ToFpPath(name));
}

void TFormLnkWork::ApplyArticle(const std::string& operation, TSaleItem& item) {
    if (operation == "ART-N") {
        if (item.PluId() == 0) item.DefineArticle();
    } else if (operation == "ART-R") {
        if (item.PluId() > 0) item.DeleteArticle();
        item.DefineArticle();
    } else if (operation == "ART-D") {
        if (item.PluId() > 0) item.DeleteArticle();
    } else if (operation == "ART-K") {
        if (item.PluId() > 0) item.AddQuantity();
    }
}

}  // namespace velbrin
