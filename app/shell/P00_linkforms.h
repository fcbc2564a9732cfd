// The long-lived objects of the link, created once, in this order, by the entry
// and destroyed in reverse order at exit. A subsystem joins by adding its member
// at its place in the order and its steps in BuildStartup.
#pragma once

#include "app/P00_log.h"
#include "app/P00_msg.h"
#include "app/P00_yellowmsg.h"
#include "app/shell/Mainlink_me.h"
#include "app/shell/P00_formyellowmsg.h"
#include "app/shell/P00_qtappservices.h"
#include "printer/P00_fp.h"

namespace velbrin {

class TLinkForms {
public:
    TLinkForms(TMsgTable& messages, TQtAppServices& app);
    ~TLinkForms();

    TFormMainLINK& Main() { return FormMainLINK; }

private:
    void BuildStartup();

    TMsgTable& messages_;
    TQtAppServices& app_;
    // 1. main window (configuration, exchange directories, Timer1)
    TFormMainLINK FormMainLINK;
    // the link log, LINK_log.txt
    TLogFile LinkLog;
    // 3. the printer
    TFormFP FormFP;
    // 6. the important-message dialog
    TYellowMsg YellowMsg;
    TFormYellowMsg FormYellowMsg;
};

}  // namespace velbrin
