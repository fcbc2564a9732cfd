#include "store/P31_bon.h"

#include "store/P00_connection.h"

#include "app/P00_datetime.h"
#include "app/P00_log.h"
#include "app/P00_util.h"
#include "closing/P32_zets.h"
#include "printer/P00_fp.h"
#include "printer/P00_fpsend.h"
#include "store/P31_issuednumbers.h"
#include "store/P31_payitem.h"
#include "store/P31_storecontext.h"

#include <chrono>
#include <thread>
#include <vector>

namespace velbrin {

namespace {

// The trailer keywords in the one order in which they are read.
enum TrailerRow { kPay1, kPay2, kPay3, kPay4, kUsrId, kUsrName, kCmd159, kCardId, kTrailerRows };
const char* const kTrailerKeywords[kTrailerRows] = {"PAY_1", "PAY_2",    "PAY_3",  "PAY_4",
                                                    "USR_ID", "USR_NAME", "CMD159", "CARD_ID"};

// Keywords are matched without their surrounding blanks and without regard to
// case, as everywhere a receipt's rows are read.
std::string Keyword(const std::string& artId) { return UpperCase(Trim(artId)); }
bool IsEndRow(const std::string& artId) { return Keyword(artId) == "KRAJBONA"; }

}  // namespace

TBon::TBon(TStoreContext& ctx) : ctx_(ctx), query_(ctx.connection), saleStatements_(ctx.connection) {}

TBon::~TBon() = default;

void TBon::ClearTrailer()
{
    cardId_.clear();
    usrId_.clear();
    usrName_.clear();
    line7Text_.clear();
    trailerPay_.fill(Money());
}

void TBon::ReadTrailer()
{
    ClearTrailer();
    query_.SetSQL("select art_id, plu_naziv, cena from curr_abc order by seq");
    query_.Open();
    try {
        while (!query_.Eof() && !IsEndRow(query_.AsString("art_id"))) query_.Next();
        if (!query_.Eof()) query_.Next();
        // One pass: each keyword is taken only where it stands in its turn.
        for (int k = 0; k < kTrailerRows && !query_.Eof(); ++k) {
            if (Keyword(query_.AsString("art_id")) != kTrailerKeywords[k]) continue;
            const std::string text = query_.AsString("plu_naziv");
            switch (k) {
            case kUsrId: usrId_ = LeftStr(text, 4); break;
            case kUsrName: usrName_ = text; break;
            case kCmd159: line7Text_ = text; break;
            case kCardId: cardId_ = LeftStr(text, 20); break;
            default: trailerPay_[k - kPay1] = query_.AsMoney("cena"); break;
            }
            query_.Next();
        }
    } catch (...) {
        query_.Close();
        throw;
    }
    query_.Close();
}

void TBon::ReadHeader()
{
    query_.SetSQL("select plu_naziv from curr_abc where seq = 0");
    query_.Open();
    fileName_ = query_.Eof() ? std::string() : query_.AsString("plu_naziv");
    query_.Close();
}

void TBon::BeginReceipt()
{
    ArchiveLeftovers();
    auto opened = [this] {
        ++bonId_;
        paid_ = Money();
        ReadHeader();
    };
    try {
        ctx_.fp.OpenReceipt();
    } catch (const LinkError&) {
        // A garbled answer (bad length, corrupt) may hide an open that the
        // printer carried out. The cancellation that follows then pays and
        // archives that receipt, and must do so under its own number, not under
        // the previous receipt's. A refusal or a dead line opened nothing here
        // (a dead line is settled by the next start).
        const int code = ctx_.fp.Command().ResultCode();
        if (code == kFrameBadLength || code == kFrameCorrupt) {
            int state = 0;
            try {
                state = ctx_.fp.ReadTransactionState();
            } catch (const LinkError&) {
            }
            if (state == 3 || state == 4) opened();
        }
        throw;
    }
    opened();
}

void TBon::StornoAll()
{
    // Only the lines the printer took are voided: each is a row of curr_sales
    // not cancelled yet (a line it took without its row has been stored by the
    // settling before). A row of the request it never took would only be refused.
    std::vector<std::unique_ptr<TSaleItem>> lines;
    TSqlQuery rows(ctx_.connection);
    rows.SetSQL("select * from curr_sales where ind_storno = 'N' order by dtm_tran");
    rows.Open();
    for (; !rows.Eof(); rows.Next()) {
        try {
            lines.push_back(TSaleItem::FromReceiptRow(ctx_, *this, rows));
        } catch (const LinkError&) {
            // A row that cannot be read as a line is passed over like a refused
            // void: the printer's total below tells whether anything stayed.
            if (DbLost()) {
                rows.Close();
                throw;
            }
        }
    }
    rows.Close();
    for (const auto& line : lines) {
        try {
            line->Storno();
        } catch (const LinkError&) {
            // A line the printer no longer has is passed over; without the
            // database the voiding stops where it is.
            if (DbLost()) throw;
        }
    }
    if (PrinterTotalAsked() != Money()) throw LinkError("Exc-102 update");
    query_.SetSQL("update curr_sales set ind_storno='D'");
    query_.ExecSQL();
}

void TBon::PayWholeTotal()
{
    struct Release {
        TBon& bon;
        ~Release() { bon.currentPayment_.reset(); }
    } release{*this};
    SetCurrentPayment(std::make_unique<TPayItem>(ctx_, *this, PrinterTotal(), 1));
    currentPayment_->Pay();
}

void TBon::CloseAndArchive(bool deleteAbc, bool answerDue)
{
    try {
        ctx_.fp.CloseReceipt();
    } catch (const LinkError&) {
        // A close whose answer was garbled: the receipt may be closed and printed,
        // and must then be archived and answered as the success it is.
        if (!CarriedOutBehindUnreadAnswer(true, Money::FromRaw(-1), Money::FromRaw(-1))) throw;
    }
    // A wholly voided receipt closes on the printer without a payment when its
    // zero payment found no answer; the day's receipt count and numbering come
    // from the payment rows, so it still gets its own.
    if (CountRows("curr_payments") == 0) TPayItem(ctx_, *this, Money(), 1).StorePayment();
    StoreChange();
    ArchiveReceipt(deleteAbc, answerDue);
}

bool TBon::CarriedOutBehindUnreadAnswer(bool closed, Money expectedAmount, Money expectedPaid)
{
    if (!ctx_.fp.AnswerUnreadable()) return false;
    int state = 0;
    try {
        state = ctx_.fp.ReadTransactionState();
    } catch (const LinkError&) {
        return false;
    }
    if (closed) return state == 1 || state == 2;
    if (state != 3 && state != 4) return false;
    if (expectedAmount >= Money() && ctx_.fp.ReceiptAmount() != expectedAmount) return false;
    if (expectedPaid >= Money() && ctx_.fp.ReceiptPaidAmount() != expectedPaid) return false;
    ctx_.linkLog.Write(std::to_string(bonId_) + " answer unreadable, the printer shows the command carried out");
    return true;
}

Money TBon::PrinterTotalAsked()
{
    for (int attempt = 0;; ++attempt) {
        try {
            return PrinterTotal();
        } catch (const LinkError&) {
            // A lost line ends the link; the next start settles the receipt
            // from the printer's own figures.
            if (ctx_.app.Terminated() || attempt == 2) throw;
        }
    }
}

Money TBon::ReceiptTotal()
{
    try {
        return PrinterTotalAsked();
    } catch (const LinkError&) {
        if (ctx_.app.Terminated()) throw;
    }
    if (CountRows("curr_sales") > 0) return LinesSum();
    query_.SetSQL("select iznos from payments where bon_id = :bon_id and zet_id = :zet_id");
    query_.SetInteger("bon_id", bonId_);
    query_.SetString("zet_id", ctx_.zets.CurrentDayId());
    query_.Open();
    const bool found = !query_.Eof();
    const Money total = found ? query_.AsMoney("iznos") : Money();
    query_.Close();
    if (!found) throw LinkError("Exc-103 FP");
    ctx_.linkLog.Write(std::to_string(bonId_) + " total taken from the database: the printer did not tell it");
    return total;
}

Money TBon::LinesSum()
{
    query_.SetSQL("select coalesce(sum(iznos), 0) suma from curr_sales where ind_storno <> 'D'");
    query_.Open();
    const Money sum = query_.AsMoney("suma");
    query_.Close();
    return sum;
}

void TBon::StoreChange()
{
    const Money change = paid_ - ReceiptTotal();
    if (change <= Money()) return;
    query_.SetSQL("update curr_payments set kusur=:kusur");
    query_.SetMoney("kusur", change);
    query_.ExecSQL();
}

bool TBon::ArchiveStep(const std::string& sql)
{
    try {
        query_.SetSQL(sql);
        query_.ExecSQL();
        return true;
    } catch (const LinkError& e) {
        // Without the database every step would fail: the receipt stays whole
        // in the work tables for the settling once it answers.
        if (DbLost()) throw;
        ctx_.linkLog.Write(std::to_string(bonId_) + " " + e.Text());
        return false;
    }
}

void TBon::ArchiveReceipt(bool deleteAbc, bool answerDue)
{
    // All steps in one statement, so that a link killed half-way leaves either
    // the whole receipt in the work tables or none of it: a start-up that found
    // the payments archived but curr_abc still marked would store them again.
    std::string quoted;
    for (char c : fileName_) quoted += c == '\'' ? std::string("''") : std::string(1, c);
    // Only the archive of a receipt file's own receipt leaves its answer due; a
    // receipt closed on the way of another request must not be answered for it.
    const bool dueToo = deleteAbc && answerDue && !fileName_.empty();
    const std::string answerDueSql = "update or insert into vle(vle_key, vle_value) values('AnswerDue', '" + quoted +
                                  "') matching (vle_key)";
    try {
        query_.SetSQL(std::string("execute block as begin "
                                  "insert into sales select * from curr_sales; "
                                  "insert into payments select * from curr_payments; "
                                  "delete from curr_payments; delete from curr_sales; ") +
                      (deleteAbc ? "delete from curr_abc; " : std::string()) +
                      (dueToo ? answerDueSql + "; " : std::string()) + "end");
        query_.ExecSQL();
        answerDue_ = answerDue_ || dueToo;
        RecordIssued();
        return;
    } catch (const LinkError&) {
        if (DbLost()) throw;
        // Step by step below, each failure logged.
    }
    if (dueToo) answerDue_ = ArchiveStep(answerDueSql) || answerDue_;
    // A table whose copy failed keeps its rows; ArchiveLeftovers moves them
    // before the next receipt is opened.
    const bool salesCopied = ArchiveStep("insert into sales select * from curr_sales");
    const bool paymentsCopied = ArchiveStep("insert into payments select * from curr_payments");
    if (paymentsCopied) ArchiveStep("delete from curr_payments");
    if (salesCopied) ArchiveStep("delete from curr_sales");
    if (deleteAbc) ArchiveStep("delete from curr_abc");
    if (paymentsCopied) RecordIssued();
}

void TBon::RecordIssued()
{
    try {
        TIssuedNumbers(ctx_.ini).Raise(bonId_, 0);
    } catch (const std::exception& e) {
        // Only a later start's check of the database's age loses this receipt.
        ctx_.linkLog.Write(std::to_string(bonId_) + " the receipt number could not be recorded: " + e.what());
    }
}

std::string TBon::AnswerDue()
{
    query_.SetSQL("select vle_value from vle where vle_key='AnswerDue'");
    query_.Open();
    const std::string name = query_.Eof() ? std::string() : query_.AsString("vle_value");
    query_.Close();
    answerDue_ = !name.empty();
    return name;
}

void TBon::ClearAnswerDue() noexcept
{
    if (!answerDue_) return;
    try {
        query_.SetSQL("delete from vle where vle_key='AnswerDue'");
        query_.ExecSQL();
        answerDue_ = false;
    } catch (const std::exception& e) {
        // Left behind, it answers the receipt once more at the next start.
        ctx_.linkLog.Write(std::string("AnswerDue not cleared: ") + e.what());
    }
}

int64_t TBon::CountRows(const std::string& table)
{
    query_.SetSQL("select count(*) cnt from " + table);
    query_.Open();
    const int64_t n = query_.AsInteger("cnt");
    query_.Close();
    return n;
}

void TBon::ArchiveLeftovers()
{
    struct Table {
        const char* current;
        const char* archive;
    };
    for (const Table t : {Table{"curr_sales", "sales"}, Table{"curr_payments", "payments"}}) {
        const std::string current = t.current, archive = t.archive;
        if (CountRows(current) == 0) continue;
        query_.SetSQL("select max(bon_id) maxbon from " + current);
        query_.Open();
        const std::string bon = std::to_string(query_.AsInteger("maxbon"));
        query_.Close();
        try {
            // Rows that reached the archive before their delete failed are not copied twice.
            query_.SetSQL("insert into " + archive + " select c.* from " + current + " c where not exists (select 1 from " +
                          archive + " a where a.zet_id = c.zet_id and a.bon_id = c.bon_id and a.dtm_tran = c.dtm_tran)");
            query_.ExecSQL();
            query_.SetSQL("delete from " + current);
            query_.ExecSQL();
        } catch (const LinkError& e) {
            ctx_.linkLog.Write(bon + " " + e.Text());
            throw LinkError("Exc-104 " + current + " - rows of receipt " + bon + " not archived");
        }
        ctx_.linkLog.Write(bon + " " + current + " moved into " + archive + " before the next receipt");
    }
}

Money TBon::PrinterTotal()
{
    if (ctx_.fp.ReadTransactionState() == 0) throw LinkError("Exc-103 FP");
    return ctx_.fp.ReceiptAmount();
}

void TBon::LoadLastBonId()
{
    query_.SetSQL("select max(bon_id) poslBon from payments where zet_id='" + ctx_.zets.CurrentDayId() + "'");
    query_.Open();
    bonId_ = query_.Eof() ? 0 : query_.AsInteger("poslBon");
    query_.Close();
    if (bonId_ != 0) return;
    query_.SetSQL("select vle_value from vle where vle_key='BonID'");
    query_.Open();
    long long value = 0;
    if (!query_.Eof() && TryStrToInt(query_.AsString("vle_value"), value)) bonId_ = value;
    query_.Close();
}

bool TBon::AbcIsEmpty() { return CountRows("curr_abc") == 0; }

bool TBon::AbcWasSent()
{
    query_.SetSQL("select tax_id from curr_abc where seq = 0");
    query_.Open();
    const bool sent = !query_.Eof() && query_.AsString("tax_id") == "S";
    query_.Close();
    return sent;
}

Money TBon::PaidSum()
{
    query_.SetSQL("select pay_1 + pay_2 + pay_3 + pay_4 + pay_5 + pay_6 suma from curr_payments");
    query_.Open();
    const Money sum = query_.Eof() ? Money() : query_.AsMoney("suma");
    query_.Close();
    return sum;
}

bool TBon::DbLost() const { return ctx_.connection.SQLConnection1.Lost(); }

std::string TBon::NextTranStamp()
{
    // Lines follow each other faster than the clock's millisecond on a quick
    // printer; wait (a bounded few milliseconds) for the next one.
    std::string stamp = DateTime::Now().TranStamp();
    for (int i = 0; i < 50 && stamp <= lastTranStamp_; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        stamp = DateTime::Now().TranStamp();
    }
    lastTranStamp_ = stamp;
    return stamp;
}

}  // namespace velbrin
