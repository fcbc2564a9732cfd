#include "printer/P00_fp.h"

#include "app/P00_util.h"

#include <cstdio>

namespace velbrin {

namespace {

const char* const kCashierHint =
    "\n\nVerovatno u stampacu sifra kasira NIJE '4826'!\n\nPozovite servisera da uradi reset i vrati sifru na '4826'!\n";

const char* const kGroupCaptions[6] = {"0 - General",  "1 - General",      "2 - General",
                                       "3 - Switches", "4 - FiscalMemory", "5 - FiscalMem"};
const char* const kBitCaptions[6][6] = {
    {"#SyntaxError", "#InvalidCmd", "DateTime Not Set", "Display Not Conn", "#PrintingMech", "GeneralError#"},
    {"MathOverflow", "#ExecDisable", "#EmergencyClr", "#3 NotUsed", "#RamDestroyed", "CoverOpen"},
    {"#NoPaper", "PaperNearEnd", "NoPaperJrnl", "FiscReceiptOpen", "PapNearEndJrnl", "NonFiscOpen"},
    {"1-AutoCut", "Jrnl 100% height", "TransparentDsp", "Baud Low", "4 NotUsed", "5 NotUsed"},
    {"*FMWriteError", "1 NotUsed", "NoFModule", "FMem <50", "*FMemFull", "FMemAll*"},
    {"*FMemRO", "FMemFrmt", "*2 NotUsed", "IsFiscalized", "TaxProgramm", "SerialProgramm"},
};

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return 0;
}

}  // namespace

std::array<std::array<bool, 6>, 6> DecodeStatusHex(const std::string& twelveDigits) {
    std::array<std::array<bool, 6>, 6> bits{};
    if (twelveDigits.size() != 12) return bits;
    for (int i = 0; i < 6; ++i) {
        int byte = HexValue(twelveDigits[2 * i]) * 16 + HexValue(twelveDigits[2 * i + 1]);
        for (int j = 0; j < 6; ++j) bits[i][j] = (byte >> j) & 1;
    }
    return bits;
}

const char* StatusGroupCaption(int i) { return i >= 0 && i < 6 ? kGroupCaptions[i] : ""; }

const char* StatusBitCaption(int i, int j) { return i >= 0 && i < 6 && j >= 0 && j < 6 ? kBitCaptions[i][j] : ""; }

TFormFP::TFormFP(TFormFPDef& def, TAppServices& app, TClock& clock)
    : app_(app), cmd_(def.ComPortFiskal(), clock) {
    lastData_.reserve(256);
}

bool TFormFP::AnswerUnreadable() const {
    const int code = cmd_.ResultCode();
    return code == kFrameBadLength || code == kFrameCorrupt;
}

bool TFormFP::LineLost(int resultCode) {
    // 9: the port never took a whole frame, a line as dead as one that does not answer.
    return resultCode == 3 || resultCode == 4 || resultCode == 5 || resultCode == 7 || resultCode == 9;
}

void TFormFP::RunCommand(int command, const std::string& data, const std::string& caption) {
    lastCommand_ = command;
    lastData_ = data;
    // The tray shows a printer that stops answering, and that it answers again.
    auto noteLine = [&] { app_.SetState(TLinkState::PrinterSilent, LineLost(cmd_.ResultCode()), caption); };
    try {
        cmd_.Execute(lastCommand_, lastData_);
        noteLine();
        if (cmd_.ResultCode() == 0) return;
        // Paper out: ask for paper for as long as the operator keeps confirming.
        while (cmd_.ResultCode() == kStatusNoJournal || cmd_.ResultCode() == kStatusNoReceiptPaper) {
            app_.ShowNumbered(3);
            cmd_.Execute(lastCommand_, lastData_);
            noteLine();
            if (cmd_.ResultCode() == 0) return;
        }
    } catch (const LinkError& e) {
        app_.SetState(TLinkState::PrinterSilent, true, caption);
        throw LinkError(caption + "\n" + e.Text());
    }
    if (LineLost(cmd_.ResultCode())) app_.Terminate();
    throw LinkError(caption + "\n" + cmd_.ErrorText());
}

std::string TFormFP::SaleData(long long plu, Money price, const Money* quantity) {
    std::string data = std::to_string(plu) + "#" + price.Format(2);
    if (quantity) data += "*" + quantity->Format(3);
    return data;
}

std::string TFormFP::PaymentData(int paymentType, Money amount) {
    static const char* const letters[] = {"", "P", "D", "C", "N"};
    return std::string("\t") + (paymentType >= 1 && paymentType <= 4 ? letters[paymentType] : "") + amount.Format(2);
}

// --- fiscal receipt ---------------------------------------------------------

void TFormFP::OpenReceipt() {
    RunCommand(48, std::string("1,") + kCashierPassword + ",1", std::string("Komanda 48 - Otvaranje racuna") + kCashierHint);
}
void TFormFP::SellItem(const std::string& data) { RunCommand(52, data, "Komanda 52 - Prodaja artikla"); }
void TFormFP::VoidItem(const std::string& data) { RunCommand(52, "-" + data, "Komanda 52 - Storno"); }
void TFormFP::AddPayment(const std::string& data) { RunCommand(53, data, "Komanda 53 - Placanje"); }
void TFormFP::CloseReceipt() { RunCommand(56, "", "Komanda 56 - Zatvaranje racuna"); }
void TFormFP::PrintDuplicate() { RunCommand(109, "1", "Komanda 109 - Duplikat racuna"); }

// --- receipt state ------------------------------------------------------------

void TFormFP::ReadReceiptStatus() { RunCommand(76, "T", "Komanda 76"); }
void TFormFP::ReadCommand103() { RunCommand(103, "", "Komanda 103"); }

int TFormFP::ReadTransactionState() {
    long long open = 0;
    try {
        ReadReceiptStatus();
        receiptItemCount_ = static_cast<int>(StrToInt(AnswerField(1)));
        receiptAmount_ = Money::FromHundredths(StrToInt(AnswerField(2)));
        receiptPaidAmount_ = Money::FromHundredths(StrToInt(AnswerField(3)));
        open = StrToInt(AnswerField(0));
    } catch (const LinkError& e) {
        app_.ShowText(e.Text());
        return 0;
    }
    if (open == 0)
        return receiptItemCount_ == 0 && receiptAmount_ == Money() && receiptPaidAmount_ == Money() ? 1 : 2;
    if (open != 1) return 0;
    try {
        ReadCommand103();
    } catch (const LinkError& e) {
        app_.ShowText(e.Text());
        return 0;
    }
    return AnswerField(0) == "1" ? 3 : 4;
}

bool TFormFP::IsReceiptClosed() { return ReadTransactionState() == 1; }

// --- non-fiscal receipt -----------------------------------------------------------

void TFormFP::OpenNonFiscal() { RunCommand(38, "", "Komanda 38 - Otvaranje nefiskalnog racuna"); }

void TFormFP::PrintNonFiscalText(const std::string& left, const std::string& right) {
    size_t used = left.size() + right.size();
    std::string line = left + std::string(used < 30 ? 30 - used : 0, ' ') + right;
    RunCommand(42, line, "Komanda 42 - Stampa nefiskalnog teksta");
}

void TFormFP::CloseNonFiscal() { RunCommand(39, "", "Komanda 39 - Zatvaranje nefiskalnog racuna"); }

// --- display, drawer, signal, cash -----------------------------------------------

void TFormFP::ClearDisplay() { RunCommand(33, "", "Komanda 33 - Brisanje displeja"); }
void TFormFP::DisplayUpper(const std::string& text) { RunCommand(47, text, "Komanda 47 - Display gore"); }
void TFormFP::DisplayLower(const std::string& text) { RunCommand(35, text, "Komanda 35 - Display dole"); }
void TFormFP::OpenDrawer(const std::string& data) { RunCommand(106, data, "Komanda 106 - Otvaranje fioke"); }
void TFormFP::Beep() { RunCommand(80, "", "Komanda 80 - Zvucni signal"); }
void TFormFP::CashInOut(Money amount) { RunCommand(70, amount.Format(2), "Komanda 70 - Depozit"); }

// --- set-up ------------------------------------------------------------------------

void TFormFP::SetHeaderLine(int line, const std::string& text) {
    RunCommand(43, std::to_string(line) + text, "Komanda 43 - Podesavanje zaglavlja");
}

void TFormFP::SetCashierName(const std::string& name) {
    RunCommand(102, std::string("1,") + kCashierPassword + "," + LeftStr(name, 24),
               std::string("Komanda 102 - Promena imena kasira") + kCashierHint);
}

// --- reports and day closing ----------------------------------------------------------

void TFormFP::PrintDailyClosing() { RunCommand(69, "0a", "Komanda 69 - Zatvaranje dana neuspesno"); }
void TFormFP::PrintDailyReport(const std::string& data) {
    RunCommand(69, data, "Komanda 69 - Stampa preseka stanja " + data);
}
void TFormFP::PrintSoldArticles(const std::string& option) {
    RunCommand(111, option, "Komanda 111 - Artikli prodati u danu");
}
void TFormFP::PrintTaxReport(const std::string& from, const std::string& to) {
    RunCommand(50, from + "," + to, "Komanda 50 - Izvestaj porezi u periodu");
}
void TFormFP::PrintPeriodicReport(const std::string& from, const std::string& to) {
    RunCommand(79, from + "," + to, "Komanda 79 - Periodican izvestaj");
}

// --- article table ----------------------------------------------------------------------

void TFormFP::ProgramArticle(const std::string& data) { RunCommand(107, data, "Komanda 107 - Dupli naziv"); }
void TFormFP::ReadArticleInfo() { RunCommand(107, "I", "Komanda 107I"); }

TFormFP::TArticle TFormFP::ReadArticle(long long plu) {
    RunCommand(107, "R" + std::to_string(plu), "Komanda 107R");
    TArticle a;
    if (AnswerField(0) == "F") return a;
    a.found = true;
    const std::string tax = AnswerField(2);
    a.tax = tax.empty() ? 0 : tax[0];
    Money::TryParse(AnswerField(3), a.price);
    Money::TryParse(AnswerField(4), a.quantity);
    // The name may hold commas of its own: it is the rest of the answer.
    const std::string& data = cmd_.AnswerData();
    std::size_t at = std::string::npos;
    for (int comma = 0; comma < 5; ++comma) {
        at = data.find(',', at == std::string::npos ? 0 : at + 1);
        if (at == std::string::npos) break;
    }
    if (at != std::string::npos) a.name = data.substr(at + 1);
    return a;
}

int TFormFP::CountArticles() {
    try {
        ReadArticleInfo();
    } catch (const LinkError& e) {
        app_.ShowText(e.Text());
        return -1;
    }
    return static_cast<int>(LeadingInt(AnswerField(2)));
}

// --- printer information -------------------------------------------------------------------

void TFormFP::TestLink() {
    cmd_.Execute(62, "");
    if (!LineLost(cmd_.ResultCode())) return;
    app_.ShowNumbered(1);
    app_.Terminate();
    throw LinkError(cmd_.ErrorText());
}

void TFormFP::ReadDateTime() { RunCommand(62, "", "Komanda 62"); }

DateTime TFormFP::GetPrinterDateTime() {
    try {
        ReadDateTime();
    } catch (const LinkError& e) {
        app_.ShowText(e.Text());
        return DateTime::Zero();
    }
    int d = 0, m = 0, y = 0, h = 0, n = 0, s = 0;
    DateTime result;
    if (std::sscanf(cmd_.AnswerData().c_str(), "%d-%d-%d %d:%d:%d", &d, &m, &y, &h, &n, &s) != 6 ||
        y < 0 || y > 7999 || !DateTime::TryMake(y + 2000, m, d, h, n, s, 0, result))
        return DateTime::Zero();
    return result;
}

bool TFormFP::IsDisplayConnected() {
    try {
        ReadDateTime();
    } catch (const LinkError&) {
        // only the status bit matters here
    }
    return !cmd_.StatusBit(0, 3);
}

void TFormFP::StatusWait() { RunCommand(74, "W", "Komanda 74"); }
void TFormFP::ReadCommand83() { RunCommand(83, "", "Komanda 83"); }

std::string TFormFP::ReadTaxGroups() {
    try {
        ReadCommand83();
    } catch (const LinkError& e) {
        app_.ShowText(e.Text());
        return "000000000";
    }
    return AnswerField(2);
}

void TFormFP::ReadDiagnostics() {
    RunCommand(90, "1", "Komanda 90");
    identification_ = cmd_.AnswerData();
}

bool TFormFP::CheckFirmware() {
    try {
        ReadDiagnostics();
    } catch (const LinkError& e) {
        app_.ShowText(e.Text());
        return false;
    }
    std::string firmware = LeftStr(cmd_.AnswerData(), 24);
    if (firmware == "2.10CG 10APR05 1030,35C2" || firmware == "3.01CG 11JUN09 1530,91F7") return true;
    app_.ShowText("Pogresan firmware: " + firmware);
    return false;
}

std::string TFormFP::ReadFirmwareVersion() {
    ReadDiagnostics();
    return AnswerField(0) + "," + AnswerField(1);
}

std::string TFormFP::ReadCommand90Field4() {
    try {
        ReadDiagnostics();
    } catch (const LinkError& e) {
        app_.ShowText(e.Text());
        return {};
    }
    return AnswerField(4);
}

bool TFormFP::IsFiscalized() {
    try {
        ReadDiagnostics();
    } catch (const LinkError& e) {
        app_.ShowText(e.Text());
        return false;
    }
    return cmd_.StatusBit(5, 3);
}

void TFormFP::ReadCommand99() { RunCommand(99, "", "Komanda 99"); }

std::string TFormFP::ReadCommand99Value() {
    try {
        ReadCommand99();
    } catch (const LinkError& e) {
        app_.ShowText(e.Text());
        return {};
    }
    return LeftStr(AnswerField(0), 9);
}

}  // namespace velbrin
