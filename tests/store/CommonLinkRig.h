// Every neighbour of TFormCommonLink and TFormZets on a test's own database:
// configuration in a temporary installation, recorded operator messages, the
// formats, and a printer that is either a port nobody opens (for work that never
// reaches the printer) or the simulator on a pseudo-terminal.
#pragma once

#include "app/P00_inilink.h"
#include "app/P00_msg.h"
#include "closing/P32_zets.h"
#include "formats/P00_convert.h"
#include "printer/P00_fp.h"
#include "printer/P00_fpdef.h"
#include "store/P30_commonlink.h"
#include "support/TestSupport.h"
#include "tools/fp550sim/Fp550Simulator.h"

#include <memory>
#include <string>

namespace velbrin::test {

class CommonLinkRig {
public:
    enum class Printer { None, Simulator };

    // dir holds the installation, the runtime directory of the markers and the
    // simulator's state.
    CommonLinkRig(TFormConnection& connection, const std::string& dir, Printer printer = Printer::None);
    ~CommonLinkRig();

    // Programs articles into the simulated printer with PLUs first..first+count-1.
    void ProgramPrinterArticles(int first, int count);
    // Rows of arts with PLUs first..first+count-1.
    void InsertArts(TFormConnection& connection, int first, int count);
    // A fiscal receipt of one sale, paid and closed: the printer's day is open afterwards.
    void SellOnPrinter(int plu);
    std::string SimControl(const std::string& line) { return sim->Control(line); }

    ScopedRegistry registry;
    std::string oldRuntimeDir;
    bool hadRuntimeDir = false;
    std::unique_ptr<TIniLink> ini;
    FakeAppServices app;
    TMsgTable messages;
    TFormConvert convert;
    std::unique_ptr<sim::Fp550Simulator> sim;
    std::unique_ptr<TFormFPDef> fpDef;
    std::unique_ptr<TFormFP> fp;
    std::unique_ptr<TFormCommonLink> commonLink;
    std::unique_ptr<TFormZets> zets;
};

}  // namespace velbrin::test
