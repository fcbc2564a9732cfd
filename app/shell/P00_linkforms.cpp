#include "app/shell/P00_linkforms.h"

#include "app/P00_util.h"

namespace velbrin {

TLinkForms::TLinkForms(TMsgTable& messages, TQtAppServices& app)
    : messages_(messages),
      app_(app),
      FormMainLINK(app),
      FormFP(FormMainLINK.FPDef(), app),
      Connection(FormMainLINK.Ini().DbPath()),
      FormCommonLink(Connection, FormMainLINK.Ini(), FormFP, messages, app, FormConvert),
      FormZets(Connection, FormMainLINK.Ini(), FormFP, FormCommonLink),
      YellowMsg(messages, FormMainLINK.Ini(), LinkLog),
      FormYellowMsg(YellowMsg),
      Store{Connection, FormFP, FormMainLINK.Ini(), messages, FormZets, LinkLog, app},
      FormLnkWork(Store, FormConvert, FormCommonLink) {
    app_.SetDialog(&FormYellowMsg);
    BuildStartup();
}

TLinkForms::~TLinkForms() { app_.SetDialog(nullptr); }

void TLinkForms::BuildStartup() {
    TIniLink& ini = FormMainLINK.Ini();
    TStartupSequence& s = FormMainLINK.Startup();
    s.Add("log paths", [this, &ini] {
        FormFP.SetLogPath(JoinPath(ini.LogsDir(), "FP550_log.txt"));
        LinkLog.SetPath(JoinPath(ini.LogsDir(), "LINK_log.txt"));
        return true;
    });
    s.Add("language", [this, &ini] {
        messages_.SetLanguage(ini.Language());
        return true;
    });
    // A lost line has shown message 1 and asked to end; any other failure (a
    // status error, a port that cannot be opened) lets the start go on.
    s.Add("printer link test", [this] { return TStartupSequence::RunTolerant(app_, [this] { FormFP.TestLink(); }); });
    s.Add("firmware check", [this] { return FormFP.CheckFirmware(); });
    s.Add("tax groups", [this] {
        FormFP.SetTaxGroupFlags(FormFP.ReadTaxGroups());
        return true;
    });
    s.Add("customer display", [this] {
        if (!FormFP.IsDisplayConnected()) app_.ShowNumbered(2);
        return true;
    });
    s.Add("receipt object", [this] {
        FormLnkWork.CreateReceipt();
        return true;
    });
    s.Add("exchange recovery", [this] {
        FormLnkWork.RecoverExchange();
        return true;
    });
    FormMainLINK.Cycle().Add([this] { FormLnkWork.PollExchange(); });
}

}  // namespace velbrin
