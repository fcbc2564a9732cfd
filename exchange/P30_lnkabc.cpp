// Receipt intake of the exchange engine: a receipt file taken into curr_abc,
// checked, printed line by line, paid and closed, and answered.
#include "exchange/P30_lnkwork.h"

#include "app/P00_appservices.h"
#include "app/P00_durable.h"
#include "app/P00_inilink.h"
#include "app/P00_msg.h"
#include "app/P00_util.h"
#include "exchange/P30_outbox.h"
#include "exchange/P30_requestjournal.h"
#include "formats/P00_convert.h"
#include "printer/P00_fp.h"
#include "store/P31_bon.h"
#include "store/P31_payitem.h"
#include "store/P31_saleitem.h"
#include "store/P31_storecontext.h"

namespace velbrin {

namespace {

bool IsEndRow(const TSqlQuery& q) { return UpperCase(Trim(q.AsString("art_id"))) == "KRAJBONA"; }

}  // namespace

void TFormLnkWork::ProcessAbcFile(const std::string& name) {
    abcHeld_ = false;
    const bool heldBefore = held_ != THeld::None;
    std::string answerName, total;
    try {
        if (!name.empty()) LoadAbcFile(name);
        TBon& bon = Bon();
        try {
            fp_.ClearDisplay();
        } catch (const std::exception&) {
            // An unplugged customer display makes the printer refuse the clear;
            // that must end the link (below) and keep the receipt, not fail it.
            if (app_.Terminated() || fp_.IsDisplayConnected()) throw;
        }
        if (!fp_.IsDisplayConnected()) {
            app_.Terminate();
            throw LinkError(msg_.GetMsg(2));
        }
        PrepareReceipt();
        PrintReceipt();
        if (FlagIsSet(ini_.ReadString("Praxolt", "SaljiRacunUvek"))) ExportReceipt(bon.BonId());
        answerName = bon.FileName();
        total = bon.ReceiptTotal().Format(2);
    } catch (const std::exception& e) {
        const std::string text = e.what();
        // The database went away: the receipt stays as it is, in curr_abc and in
        // the printer, unanswered, until the database answers again.
        if (DbLost()) throw;
        // The link is going down; curr_abc keeps the receipt for the next start.
        if (AnsweredCommErrOnStop(text)) return;
        // Answered once the printer tells what became of the receipt.
        if (held_ != THeld::None && !heldBefore) return;
        const std::string answer = name.empty() && bon_ ? bon_->FileName() : name;
        if (!abcHeld_) {
            // Held before the receipt leaves curr_abc: a stop before its answer is
            // written leaves the failure for the next start to answer.
            HoldFailure(answer, text);
            ExecSql("delete from curr_abc");
        }
        WriteResult(answer, text, false);
        Outbox().DropHeldFailure(answer);
        if (!name.empty() && FileExists(ToFpPath(name))) RemoveRequest(ToFpPath(name));
        return;
    }
    // Outside the failure handler: the receipt is printed and archived, so an
    // answer that cannot be delivered must not become an ".err" for it.
    WriteResult(answerName, total, true);
    Outbox().DropHeldFailure(answerName);
}

bool TFormLnkWork::AnsweredCommErrOnStop(const std::string& text) {
    app_.ProcessMessages();
    if (!app_.Terminated()) return false;
    WriteResult("Comm.err", text, false);
    return true;
}

std::string TFormLnkWork::HeldReceiptName() {
    try {
        QSql.SetSQL("select plu_naziv from curr_abc where seq = 0");
        QSql.Open();
        std::string held = QSql.Eof() ? std::string() : Trim(QSql.AsString("plu_naziv"));
        QSql.Close();
        return held;
    } catch (const std::exception&) {
        QSql.Close();
        return {};
    }
}

void TFormLnkWork::LoadAbcFile(const std::string& name) {
    const std::string path = ToFpPath(name);
    const std::string id = RequestIdOf(name).empty() ? FileIdentityOf(path) : RequestIdOf(name);
    try {
        // curr_abc is empty between receipts; one still there is not finished and
        // stays, whatever this file holds (even when it cannot be read).
        if (!Bon().AbcIsEmpty()) {
            abcHeld_ = true;
            const std::string held = HeldReceiptName();
            throw LinkError(name + " not taken in: the receipt " + (held.empty() ? "of a previous run" : held) +
                            " is still unfinished in curr_abc");
        }
        LoadPacket(name, "ABC_");
        if (CDSInput.RowCount() > kMaxAbcRows) throw LinkError(msg_.GetMsg(53));
        // The whole file in one commit: until it the file is still there to be
        // taken in again, and curr_abc never holds half a receipt.
        TSqlTransaction intake(store_.connection);
        QSql.SetSQL(
            "insert into curr_abc( seq, art_id, tax_id, plu_naziv, cena, kolicina)  "
            "values(:seq,:art_id,:tax_id,:plu_naziv,:cena,:kolicina)");
        QSql.SetInteger("seq", 0);
        QSql.SetString("art_id", "FileName");
        QSql.SetString("tax_id", "0");
        QSql.SetString("plu_naziv", name);
        QSql.SetMoney("cena", Money());
        QSql.SetMoney("kolicina", Money());
        try {
            QSql.ExecSQL();
        } catch (const std::exception& e) {
            // curr_abc is empty between receipts; a header already there belongs to
            // a receipt that is not finished and must stay for the next start.
            abcHeld_ = true;
            const std::string held = HeldReceiptName();
            throw LinkError(name + " not taken in: the receipt " + (held.empty() ? "of a previous run" : held) +
                            " is still unfinished in curr_abc\r\n" + e.what());
        }
        for (std::size_t row = 0; row < CDSInput.RowCount(); ++row) {
            QSql.SetInteger("seq", static_cast<int64_t>(row) + 1);
            QSql.SetString("art_id", CDSInput.Value(row, "ART_ID"));
            QSql.SetString("tax_id", CDSInput.Value(row, "TAX_ID"));
            QSql.SetString("plu_naziv", CDSInput.Value(row, "PLU_NAZIV"));
            QSql.SetMoney("cena", CDSInput.MoneyValue(row, "CENA"));
            QSql.SetMoney("kolicina", CDSInput.MoneyValue(row, "KOLICINA"));
            QSql.ExecSQL();
        }
        intake.Commit();
        CDSInput.Clear();
        // Taken: from here curr_abc holds the receipt, and the file must never be
        // taken in again, also when ToFpDir does not let it be removed.
        Journal().MarkTaken(id, name);
        RemoveRequest(path);
    } catch (...) {
        // The file goes once its failure is answered (ProcessAbcFile).
        CDSInput.Clear();
        throw;
    }
}

void TFormLnkWork::PrepareReceipt() {
    TBon& bon = Bon();
    // The first end row counts, the same one at which the line loops stop.
    QSql.SetSQL("select seq from curr_abc where upper(trim(art_id)) = 'KRAJBONA' order by seq");
    QSql.Open();
    if (QSql.Eof()) {
        QSql.Close();
        throw LinkError(msg_.GetMsg(53));
    }
    const int64_t lines = QSql.AsInteger("seq") - 1;
    QSql.Close();
    if (lines < 1 || lines > kMaxReceiptLines) throw LinkError(msg_.GetMsg(53));

    bon.ReadTrailer();
    fp_.SetCashierName(bon.UsrName());
    fp_.SetHeaderLine(7, bon.Line7Text());

    QSql.SetSQL("select * from curr_abc order by seq");
    QSql.Open();
    try {
        for (; !QSql.Eof() && !IsEndRow(QSql); QSql.Next()) {
            if (QSql.AsInteger("seq") == 0) continue;
            const int64_t seq = QSql.AsInteger("seq");
            try {
                std::unique_ptr<TSaleItem> item = TSaleItem::FromReceiptRow(store_, bon, QSql);
                TSaleItem& line = *item;
                bon.SetCurrentLine(std::move(item));
                if (line.PluId() > 0) {
                    line.UpdatePrice();
                } else {
                    line.DefineArticle();
                }
                bon.SetCurrentLine(nullptr);
            } catch (const std::exception& e) {
                bon.SetCurrentLine(nullptr);
                throw LinkError("Red " + std::to_string(seq) + " : " + e.what());
            }
        }
    } catch (...) {
        QSql.Close();
        throw;
    }
    QSql.Close();
}

void TFormLnkWork::PrintReceipt() {
    TBon& bon = Bon();
    try {
        bon.BeginReceipt();
        ExecSql("update curr_abc set tax_id='S' where seq=0");
        QSql.SetSQL("select * from curr_abc order by seq");
        QSql.Open();
        try {
            for (; !QSql.Eof() && !IsEndRow(QSql); QSql.Next()) {
                if (QSql.AsInteger("seq") == 0) continue;
                std::unique_ptr<TSaleItem> item = TSaleItem::FromReceiptRow(store_, bon, QSql);
                if (item->Kolicina() > Money()) {
                    TSaleItem& line = *item;
                    bon.SetCurrentLine(std::move(item));
                    line.Sell();
                } else {
                    const std::string artId = item->ArtId();
                    const Money quantity = item->Kolicina();
                    item.reset();
                    bon.SetCurrentLine(nullptr);
                    std::unique_ptr<TSaleItem> storno = TSaleItem::FindSaleToStorno(store_, bon, artId, quantity);
                    TSaleItem& line = *storno;
                    bon.SetCurrentLine(std::move(storno));
                    line.Storno();
                }
                bon.SetCurrentLine(nullptr);
            }
        } catch (...) {
            QSql.Close();
            throw;
        }
        QSql.Close();
        try {
            fp_.StatusWait();
        } catch (const std::exception&) {
        }
        RegisterPayments();
        bon.CloseAndArchive(true);
    } catch (const std::exception& e) {
        bon.SetCurrentLine(nullptr);
        // No cancellation without the database: it could not void the lines it
        // cannot read, and would pay and close a part of the receipt. What the
        // printer holds is settled once the database answers again.
        if (DbLost()) throw;
        const std::string text = e.what();
        app_.ProcessMessages();
        if (app_.Terminated()) throw LinkError(msg_.GetMsg(1));
        // The cancellation may archive the receipt; a stop before its answer
        // must still answer it as the failure it is.
        HoldFailure(bon.FileName(), text);
        if (CancelReceipt()) {
            store_.linkLog.Write(bon.FileName() + " printed and closed by the cancellation after: " + text);
            return;
        }
        // Answering ".err" now would leave a receipt open in the printer that the
        // next one would close in its own name.
        if (cancelUnsettled_) HoldUncancelledReceipt(text);
        throw LinkError(text);
    }
}

void TFormLnkWork::RegisterPayments() {
    TBon& bon = Bon();
    // Trailer rows PAY_1..PAY_4 and the kinds the printer books them under.
    static constexpr int kKindOfTrailerPay[4] = {3, 2, 1, 4};
    const Money total = bon.PrinterTotal();
    Money paid;
    for (int i = 1; i <= 4; ++i) {
        const Money amount = bon.TrailerPay(i);
        if (!(total > paid && amount > Money())) continue;
        paid += amount;
        auto pay = std::make_unique<TPayItem>(store_, bon, amount, kKindOfTrailerPay[i - 1]);
        TPayItem& payment = *pay;
        bon.SetCurrentPayment(std::move(pay));
        try {
            payment.Pay();
        } catch (const std::exception&) {
            bon.SetCurrentPayment(nullptr);
            // A payment the printer took may be missing from the database only.
            if (DbLost()) throw;
            bon.PayWholeTotal();
            return;
        }
        bon.SetCurrentPayment(nullptr);
    }
    if (total > paid || total == Money()) {
        auto pay = std::make_unique<TPayItem>(store_, bon, total - paid, 1);
        TPayItem& payment = *pay;
        bon.SetCurrentPayment(std::move(pay));
        try {
            payment.Pay();
        } catch (...) {
            bon.SetCurrentPayment(nullptr);
            throw;
        }
        bon.SetCurrentPayment(nullptr);
    }
}

bool TFormLnkWork::CancelReceipt(bool forReceipt) {
    // Without the database nothing is cancelled: every step after a failed one
    // would still act on the printer. The receipt waits, unsettled.
    cancelUnsettled_ = DbLost();
    if (cancelUnsettled_) return false;
    try {
        fp_.CloseNonFiscal();
    } catch (const std::exception&) {
    }
    if (!bon_) return false;
    int state = 0;
    try {
        state = fp_.ReadTransactionState();
    } catch (const std::exception&) {
    }
    // 0: the printer did not tell its state.
    cancelUnsettled_ = state == 0;
    if (state != 3 && state != 4) return false;
    // A receipt whose payment has begun (4) cannot be voided: it is completed
    // and printed, and answered as the success it is. One with nothing left to
    // pay was voided whole by an earlier try whose close failed: still a failure.
    const bool completes = state == 4 && fp_.ReceiptAmount() != Money();
    if (completes && forReceipt) Outbox().DropHeldFailure(bon_->FileName());
    // A step that lost the database ends the cancellation where it stands.
    const auto lost = [this] { return cancelUnsettled_ = DbLost(); };
    if (state == 3) {
        try {
            bon_->StornoAll();
        } catch (const std::exception&) {
        }
    }
    if (lost()) return false;
    try {
        bon_->PayWholeTotal();
    } catch (const std::exception&) {
    }
    if (lost()) return false;
    try {
        bon_->CloseAndArchive(true, forReceipt);
    } catch (const std::exception&) {
        if (lost()) return false;
        // A close the printer refused leaves the receipt open there; a failure
        // after the close (the archive) leaves it closed. A lost line is not
        // asked: the receipt stays unsettled for the next start.
        const int after = app_.Terminated() ? 0 : fp_.ReadTransactionState();
        cancelUnsettled_ = after == 0 || after == 3 || after == 4;
        return false;
    }
    if (completes) return true;
    // Lines that could not all be voided were printed and paid after all.
    bool printed = false;
    try {
        printed = bon_->PrinterTotalAsked() != Money();
    } catch (const std::exception&) {
    }
    if (printed && forReceipt) Outbox().DropHeldFailure(bon_->FileName());
    return printed;
}

}  // namespace velbrin
