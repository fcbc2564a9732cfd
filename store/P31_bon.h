// TBon: the receipt under way, one for the life of the program. It reads the
// receipt's trailer from curr_abc, opens and numbers the fiscal receipt, keeps
// the running paid sum, closes the receipt, records the change and moves the
// receipt from the current tables into the archive. Recover settles a receipt
// that a crash left half done, from the printer's transaction state.
#pragma once

#include "app/P00_money.h"
#include "store/P00_query.h"
#include "store/P31_payitem.h"
#include "store/P31_saleitem.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>

namespace velbrin {

struct TStoreContext;

class TBon {
public:
    explicit TBon(TStoreContext& ctx);
    ~TBon();
    TBon(const TBon&) = delete;
    TBon& operator=(const TBon&) = delete;

    // Card id, cashier id and name, line-7 text and the PAY_1..PAY_4 amounts from
    // the rows after "KRAJBONA", read in one pass in their fixed order.
    void ReadTrailer();
    // File name := plu_naziv of the header row (seq 0), empty when there is none.
    void ReadHeader();
    // Opens the fiscal receipt; then the next receipt number, paid 0, ReadHeader.
    // Rows that an earlier archiving could not move are archived first; when that
    // still fails the receipt is not opened.
    void BeginReceipt();
    // Cancels every sold line on the printer; then the printer's total must be 0
    // ("Exc-102 update") and every curr_sales line is marked cancelled.
    void StornoAll();
    // One payment of kind 1 of the printer's total.
    void PayWholeTotal();
    // Printer close (command 56), StoreChange, ArchiveReceipt. answerDue: the
    // receipt of a request file is closed, whose answer the archive leaves due.
    void CloseAndArchive(bool deleteAbc, bool answerDue = true);
    // After a receipt command whose answer could not be read: asks the printer
    // for its transaction state and tells whether the command was carried out,
    // judged by the amounts it now reports. expectedAmount/expectedPaid are what
    // the receipt's amount and paid sum are if it was (negative: not looked at).
    bool CarriedOutBehindUnreadAnswer(bool closed, Money expectedAmount, Money expectedPaid);
    // The receipt's total for what is stored and answered once the printer has
    // taken the receipt: the printer's (asked up to three times), else the
    // database's own (the lines not cancelled, or the archived payment row), so
    // a garbled state answer never turns a printed receipt into a failure. On a
    // lost line it raises: the next start settles the receipt from the printer.
    Money ReceiptTotal();
    // PrinterTotal asked up to three times (garbled answers); raises the last failure.
    Money PrinterTotalAsked();
    // Sum of the receipt's lines not cancelled, as the database has them.
    Money LinesSum();
    // kusur := paid - printer total, when that is above 0.
    void StoreChange();
    // curr_sales and curr_payments into sales and payments, then emptied (and
    // curr_abc when asked). Failures are written to the link log, never raised;
    // the rows of a failed copy stay where they are.
    void ArchiveReceipt(bool deleteAbc, bool answerDue = true);
    // The receipt archived with curr_abc emptied whose answer has not been
    // written yet ("" when none): set by ArchiveReceipt in the same statement,
    // cleared once the answer is out, so a link stopped in between still answers.
    std::string AnswerDue();
    void ClearAnswerDue() noexcept;
    // The amount of the current or last receipt on the printer; "Exc-103 FP"
    // when its transaction state cannot be read.
    Money PrinterTotal();
    // bon_id := the last receipt number of the open day, else 'BonID' of vle.
    void LoadLastBonId();
    // Settles a receipt left by a previous run, by the printer's transaction state
    // (P31_bonrecover.cpp). A loss of the database on the way is raised, never
    // passed over: the printer is not driven further without it.
    void Recover();
    // A line the printer took (sold or voided) whose record the database did not
    // get is recorded, judged by the printer's item count and amount against the
    // lines the database holds. True when one was.
    bool StoreLineTakenByPrinter(int printerItems, Money printerAmount);
    // The database or its server went away: TDbLostError on every statement.
    bool DbLost() const;
    bool AbcIsEmpty();
    bool AbcWasSent();
    // pay_1 + ... + pay_6 of curr_payments; 0 when there is no row.
    Money PaidSum();
    // Rows of an earlier receipt that its archiving could not move out of
    // curr_sales or curr_payments are archived again (never twice) and emptied,
    // with a link-log line. Raises when they cannot be.
    void ArchiveLeftovers();

    int64_t BonId() const { return bonId_; }
    void SetBonId(int64_t id) { bonId_ = id; }
    const std::string& FileName() const { return fileName_; }
    const std::string& CardId() const { return cardId_; }
    const std::string& UsrId() const { return usrId_; }
    const std::string& UsrName() const { return usrName_; }
    const std::string& Line7Text() const { return line7Text_; }
    // Amount of trailer row PAY_i (i = 1..4); 0 for any other i.
    Money TrailerPay(int i) const { return i >= 1 && i <= 4 ? trailerPay_[i - 1] : Money(); }
    Money Paid() const { return paid_; }
    void AddPaid(Money amount) { paid_ += amount; }
    void SetPaid(Money amount) { paid_ = amount; }

    TSaleItem* CurrentLine() { return currentLine_.get(); }
    void SetCurrentLine(std::unique_ptr<TSaleItem> line) { currentLine_ = std::move(line); }
    TPayItem* CurrentPayment() { return currentPayment_.get(); }
    void SetCurrentPayment(std::unique_ptr<TPayItem> payment) { currentPayment_ = std::move(payment); }

    // Statements of the sale lines, prepared once for every line of every receipt.
    TSaleStatements& SaleStatements() { return saleStatements_; }
    // A transaction time for a new line, later than every one given before, so
    // that a line's dtm_tran names it alone within its receipt.
    std::string NextTranStamp();

private:
    void ClearTrailer();
    // The archived receipt's number into the record of numbers given (TIssuedNumbers).
    void RecordIssued();
    // Runs one archiving statement; a failure goes to the link log. True on success.
    bool ArchiveStep(const std::string& sql);
    int64_t CountRows(const std::string& table);

    TStoreContext& ctx_;
    TSqlQuery query_;
    Money paid_;
    std::unique_ptr<TSaleItem> currentLine_;
    std::unique_ptr<TPayItem> currentPayment_;
    int64_t bonId_ = 0;
    // An AnswerDue record may exist: set by the archive and by reading it, so
    // answers of other requests cost no database statement.
    bool answerDue_ = false;
    std::string fileName_;
    std::string cardId_;
    std::string usrId_;
    std::string usrName_;
    std::string line7Text_;
    std::array<Money, 4> trailerPay_{};
    TSaleStatements saleStatements_;
    std::string lastTranStamp_;
};

}  // namespace velbrin
