// Everything the simulated printer remembers between runs: the open receipt, the
// article table, the day's totals, counters and settings. Amounts are whole
// hundredths, quantities whole thousandths, as the printer counts them.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace velbrin::sim {

struct SimArticle {
    int plu = 0;
    char tax = 'A';         // tax group letter A..H
    int64_t price = 0;      // hundredths
    int64_t quantity = 0;   // thousandths, the stock programmed and added
    std::string name;
};

struct SimLine {
    int plu = 0;
    char tax = 'A';
    int64_t price = 0;      // hundredths
    int64_t quantity = 0;   // thousandths
    int64_t amount = 0;     // hundredths, negative for a void line
    bool isVoid = false;    // this line cancels an earlier sale
    bool voided = false;    // this sale has been cancelled by a later void line
};

struct SimPayment {
    char type = 'P';        // P, D, C or N
    int64_t amount = 0;     // hundredths
};

struct SimState {
    // settings
    bool fiscalised = true;
    long long clockOffset = 0;  // seconds added to the computer's clock
    std::string firmware = "3.01CG 11JUN09 1530,91F7";
    std::string taxFlags = "111111111";
    std::string serial = "ZK123456";
    std::string fmNumber = "50123456";
    std::string ident = "101234567000";  // 12 characters, answer of command 99
    std::string cashierName;
    std::array<std::string, 8> header;

    // counters
    int receiptNumber = 0;  // last fiscal receipt opened
    int zNumber = 0;        // last daily closing

    // the open fiscal receipt
    bool receiptOpen = false;
    std::vector<SimLine> lines;
    std::vector<SimPayment> payments;
    bool nonFiscalOpen = false;

    // counters of the current or last receipt, kept until the daily closing
    int lastItems = 0;
    int64_t lastAmount = 0;
    int64_t lastPaid = 0;

    // the day since the last closing
    std::array<int64_t, 8> dayTax{};  // per tax group A..H
    int64_t cashIn = 0;
    int64_t cashOut = 0;
    int drawerOpens = 0;

    std::map<int, SimArticle> articles;
    int articleCursor = 0;  // last PLU given by the walk of 107 F / N

    int64_t ReceiptTotal() const;
    int64_t ReceiptPaid() const;
    int64_t DayTotal() const;
    bool ReceiptVoidable() const { return receiptOpen && payments.empty(); }
};

// Text form of the state, one "key=value" line per item; values are escaped so
// that any byte can round-trip.
std::string SerializeState(const SimState& state);
// Raises std::runtime_error naming the line on a malformed state text.
SimState ParseState(const std::string& text);

// Loads the state file; a missing file gives the factory state.
SimState LoadStateFile(const std::string& path);
// Writes a temporary file beside the target and renames it over the target, so
// that a killed simulator leaves either the old or the new state, never half.
void SaveStateFile(const std::string& path, const SimState& state);

// Amount text as the printer takes it: optional sign, digits, optional "." and
// up to `decimals` decimals. Returns false on anything else.
bool ParseFixed(const std::string& text, int decimals, int64_t& value);
std::string FormatFixed(int64_t value, int decimals);

}  // namespace velbrin::sim
