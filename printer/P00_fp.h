// TFormFP: the fiscal printer as a set of named operations. Every operation
// fixes its command number, the caption of its failure message and the layout
// of its data; RunCommand adds the paper-out recovery and turns any other
// failure into a LinkError "caption\nerror text".
#pragma once

#include "app/P00_appservices.h"
#include "app/P00_datetime.h"
#include "app/P00_money.h"
#include "printer/P00_fpcommand.h"
#include "printer/P00_fpdef.h"

#include <array>
#include <string>

namespace velbrin {

// The status window's reading of twelve hexadecimal digits: bit j of pair i.
// Digits are read without regard to case, any other character counts as 0, and
// a text that is not exactly 12 characters long ticks nothing.
std::array<std::array<bool, 6>, 6> DecodeStatusHex(const std::string& twelveDigits);
// Captions of the status window: group i and bit (i, j).
const char* StatusGroupCaption(int i);
const char* StatusBitCaption(int i, int j);

class TFormFP {
public:
    static constexpr const char* kCashierPassword = "4826";

    TFormFP(TFormFPDef& def, TAppServices& app, TClock& clock = SteadyClock());

    // The printer log, FP550_log.txt in the logs folder.
    void SetLogPath(const std::string& path) { cmd_.Log().SetPath(path); }
    TFpCommand& Command() { return cmd_; }
    std::string AnswerField(int index) { return cmd_.AnswerField(index); }

    // Executes the command; on paper out asks for paper (numbered message 3) and
    // repeats until the printer takes it. Any other failure raises LinkError with
    // caption + "\n" + ErrorText, after asking the program to end when the line is lost.
    void RunCommand(int command, const std::string& data, const std::string& caption);

    const std::string& TaxGroupFlags() const { return taxGroupFlags_; }
    void SetTaxGroupFlags(const std::string& flags) { taxGroupFlags_ = flags; }

    // Data layouts that callers build for SellItem/VoidItem and AddPayment.
    // Sale: PLU "#" price with 2 decimals, then "*" and the quantity with 3 when given.
    static std::string SaleData(long long plu, Money price, const Money* quantity);
    // Payment: tab, the letter of payment type 1..4 ("P", "D", "C", "N"; none for
    // another type), the amount with 2 decimals.
    static std::string PaymentData(int paymentType, Money amount);

    // --- fiscal receipt ---
    void OpenReceipt();
    void SellItem(const std::string& data);
    void VoidItem(const std::string& data);
    void AddPayment(const std::string& data);
    void CloseReceipt();
    void PrintDuplicate();
    // --- receipt state ---
    void ReadReceiptStatus();
    void ReadCommand103();
    // 1 no receipt open and nothing pending, 2 none open but items or amounts
    // pending, 3/4 a receipt open that can / cannot still be voided, 0 unknown.
    int ReadTransactionState();
    // The last command's answer came back but could not be read (bad length or
    // corrupt after every retry): the printer may well have carried it out.
    bool AnswerUnreadable() const;
    bool IsReceiptClosed();
    int ReceiptItemCount() const { return receiptItemCount_; }
    Money ReceiptAmount() const { return receiptAmount_; }
    Money ReceiptPaidAmount() const { return receiptPaidAmount_; }
    // --- non-fiscal receipt ---
    void OpenNonFiscal();
    void PrintNonFiscalText(const std::string& left, const std::string& right);
    void CloseNonFiscal();
    // --- display, drawer, signal, cash ---
    void ClearDisplay();
    void DisplayUpper(const std::string& text);
    void DisplayLower(const std::string& text);
    void OpenDrawer(const std::string& data);
    void Beep();
    void CashInOut(Money amount);
    // --- set-up ---
    void SetHeaderLine(int line, const std::string& text);
    void SetCashierName(const std::string& name);
    // --- reports and day closing ---
    void PrintDailyClosing();
    void PrintDailyReport(const std::string& data);
    void PrintSoldArticles(const std::string& option);
    void PrintTaxReport(const std::string& from, const std::string& to);
    void PrintPeriodicReport(const std::string& from, const std::string& to);
    // --- article table ---
    void ProgramArticle(const std::string& data);
    void ReadArticleInfo();
    int CountArticles();
    // What the printer holds under one PLU ("R" of command 107); found is false
    // when the number is free. Raises like every command through RunCommand.
    struct TArticle {
        bool found = false;
        char tax = 0;
        Money price;
        Money quantity;
        std::string name;
    };
    TArticle ReadArticle(long long plu);
    // --- printer information ---
    void TestLink();
    void ReadDateTime();
    DateTime GetPrinterDateTime();
    bool IsDisplayConnected();
    void StatusWait();
    void ReadCommand83();
    std::string ReadTaxGroups();
    void ReadDiagnostics();
    // The printer's identification, the answer data of command 90 as it last
    // gave it (the start-up's firmware check reads it); empty until then.
    const std::string& Identification() const { return identification_; }
    bool CheckFirmware();
    std::string ReadFirmwareVersion();
    std::string ReadCommand90Field4();
    bool IsFiscalized();
    void ReadCommand99();
    std::string ReadCommand99Value();

private:
    static bool LineLost(int resultCode);


    TAppServices& app_;
    TFpCommand cmd_;
    int lastCommand_ = 0;
    std::string lastData_;
    int receiptItemCount_ = 0;
    Money receiptAmount_;
    Money receiptPaidAmount_;
    std::string taxGroupFlags_;
    std::string identification_;
};

}  // namespace velbrin
