// The fiscal model of the simulated printer: executes one command on the state
// and words the answer (data and status bits) the way the printer does.
#pragma once

#include "tools/fp550sim/SimFrame.h"
#include "tools/fp550sim/SimJournal.h"
#include "tools/fp550sim/SimState.h"

#include <ctime>
#include <string>

namespace velbrin::sim {

// Conditions of the hardware around the fiscal model, set by injected faults.
struct SimHardware {
    bool paperOut = false;    // receipt roll empty
    bool journalOut = false;  // journal roll empty as well
    bool displayOff = false;  // customer display unplugged
    int refuseCommand = 0;    // this command is refused with a general error, not executed
    std::string articleMark = "P";  // field 0 of a found article in the answers to 107 F and N
};

struct SimAnswer {
    std::string data;
    StatusBytes status{};
    bool changed = false;  // the state was changed and must be saved
};

class SimFiscal {
public:
    SimFiscal(SimState& state, SimJournal& journal) : st_(state), journal_(journal) {}

    SimAnswer Execute(int cmd, const std::string& data, const SimHardware& hw);

    // With the ledger lines on, drawer opens and article programming are
    // journalled as well ("DRAWER", "ART P|C|D|A ..."), so that a test can
    // count each of them; off by default, the journal shows what is printed.
    void SetLedgerLines(bool on) { ledger_ = on; }

    // The printer's clock: the computer's clock plus the state's offset.
    std::time_t PrinterTime() const;

private:
    void Dispatch(int cmd, const std::string& data, SimAnswer& a);
    void OpenReceipt(const std::string& data, SimAnswer& a);
    void Sell(const std::string& data, SimAnswer& a);
    void Pay(const std::string& data, SimAnswer& a);
    void CloseReceipt(SimAnswer& a);
    void DailyReport(const std::string& data, SimAnswer& a);
    void Article(const std::string& data, SimAnswer& a);
    void ArticleAnswer(const SimArticle* art, SimAnswer& a, const std::string& mark);
    void SetClock(const std::string& data);
    std::string ClockText() const;
    void CheckPassword(const std::string& data, std::string* rest);
    void Print(const std::string& line) { journal_.Append(line); }

    SimState& st_;
    SimJournal& journal_;
    std::string articleMark_ = "P";
    bool ledger_ = false;
};

// Commands that print and so are refused while the paper is out.
bool PrintsOnPaper(int cmd, const std::string& data);

}  // namespace velbrin::sim
