// A whole link installation for end-to-end tests of the store and the exchange:
// a temporary install root with its settings store and LINK.INI, a copy of the
// empty database, the printer simulator on a pseudo-terminal driven through the
// real serial port code, and every long-lived object the receipt store needs.
#pragma once

#include "app/P00_inilink.h"
#include "app/P00_log.h"
#include "app/P00_msg.h"
#include "closing/P32_zets.h"
#include "printer/P00_fp.h"
#include "printer/P00_fpdef.h"
#include "store/P00_connection.h"
#include "store/P30_commonlink.h"
#include "store/P31_storecontext.h"
#include "support/TestSupport.h"
#include "tools/fp550sim/Fp550Simulator.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace velbrin::test {

struct LinkRigOptions {
    // LINK.INI values written before anything reads them: {section, key, value}.
    std::vector<std::pair<std::pair<std::string, std::string>, std::string>> ini;
    // Simulator control lines applied before the link's port is opened
    // ("taxflags 110111111", "display off", ...).
    std::vector<std::string> simControl;
};

class LinkRig {
public:
    explicit LinkRig(const LinkRigOptions& options = {});
    ~LinkRig();
    LinkRig(const LinkRig&) = delete;
    LinkRig& operator=(const LinkRig&) = delete;

    // A new start of the link on the same installation, database and printer:
    // every long-lived object is made anew (the fake application services too),
    // as after the program ended; the simulator keeps running with its state.
    void RestartLink();

    std::string InstallDir() const { return dir.File("install"); }
    std::string SimStatePath() const { return dir.File("fp550.state"); }

    // A data-changing statement on its own query; returns the rows changed.
    uint64_t Exec(const std::string& sql);
    // First column of the first row as text ("" when there is no row).
    std::string Scalar(const std::string& sql);
    long long ScalarInt(const std::string& sql);
    Money ScalarMoney(const std::string& sql);

    // The simulator's journal, and the number of its lines that begin with prefix.
    std::vector<std::string> Journal() const { return sim->Journal(); }
    int JournalCount(const std::string& prefix) const;
    // A printer command sent straight through TFormFP (set-up steps of a test).
    void PrinterCommand(int command, const std::string& data) { fp->RunCommand(command, data, "rig"); }
    // The lines of the link log.
    std::vector<std::string> LinkLogLines() const;

    TempDir dir;
    ScopedRegistry registry;
    FakeAppServices app;
    TMsgTable msg;
    std::unique_ptr<sim::Fp550Simulator> sim;
    std::unique_ptr<TIniLink> ini;
    std::unique_ptr<TFormConnection> connection;
    std::unique_ptr<TFormFPDef> fpDef;
    std::unique_ptr<TFormFP> fp;
    std::unique_ptr<TFormCommonLink> commonLink;
    std::unique_ptr<TFormZets> zets;
    TLogFile linkLog;
    std::unique_ptr<TStoreContext> store;

private:
    void StartLink();
    void StopLink();
};

}  // namespace velbrin::test
