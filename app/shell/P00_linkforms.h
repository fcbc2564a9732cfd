// The long-lived objects of the link, created once, in this order, by the entry
// and destroyed in reverse order at exit. A subsystem joins by adding its member
// at its place in the order and its steps in BuildStartup.
#pragma once

#include "api/P40_apiserver.h"
#include "app/P00_log.h"
#include "app/P00_msg.h"
#include "app/P00_yellowmsg.h"
#include "app/shell/Mainlink_me.h"
#include "app/shell/P00_formprogress.h"
#include "app/shell/P00_formyellowmsg.h"
#include "app/shell/P00_qtappservices.h"
#include "closing/P32_zets.h"
#include "exchange/P30_lnkwork.h"
#include "formats/P00_convert.h"
#include "printer/P00_fp.h"
#include "store/P00_connection.h"
#include "store/P30_commonlink.h"
#include "store/P31_storecontext.h"

namespace velbrin {

class TLinkForms {
public:
    TLinkForms(TMsgTable& messages, TQtAppServices& app);
    ~TLinkForms();

    TFormMainLINK& Main() { return FormMainLINK; }

private:
    void BuildStartup();
    // How the start waits for a database server; the tray shows it meanwhile.
    TDbAttachWait AttachWait();
    void ShowState();
    TStatusAnswer StatusAnswer();
    // The HTTP interface, when LINK.INI turns it on; a failure is logged and the link goes on without it.
    void StartApi();

    TMsgTable& messages_;
    TQtAppServices& app_;
    // 1. main window (configuration, exchange directories, Timer1)
    TFormMainLINK FormMainLINK;
    // the link log, LINK_log.txt
    TLogFile LinkLog;
    // 3. the printer
    TFormFP FormFP;
    // the database connection, opened once the main window has put a missing
    // database in place from the template
    TFormConnection Connection;
    // 4. formats
    TFormConvert FormConvert;
    // 7. link checks; made before day closing, which keeps the last receipt number through it
    TFormCommonLink FormCommonLink;
    // 5. day closing
    TFormZets FormZets;
    // 6. the important-message dialog
    TYellowMsg YellowMsg;
    TFormYellowMsg FormYellowMsg;
    // the window of long printer work
    TFormProgress FormProgress;
    // the neighbours the receipt store reaches
    TStoreContext Store;
    // 2. exchange processing, made last since it works with all of the above
    TFormLnkWork FormLnkWork;
    // the HTTP interface, stopped first at exit
    std::unique_ptr<TApiServer> Api;
};

}  // namespace velbrin
