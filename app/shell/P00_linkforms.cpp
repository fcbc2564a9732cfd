#include "app/shell/P00_linkforms.h"

#include "app/P00_util.h"

namespace velbrin {

TLinkForms::TLinkForms(TMsgTable& messages, TQtAppServices& app)
    : messages_(messages),
      app_(app),
      FormMainLINK(app),
      YellowMsg(messages, FormMainLINK.Ini(), LinkLog),
      FormYellowMsg(YellowMsg) {
    app_.SetDialog(&FormYellowMsg);
    BuildStartup();
}

TLinkForms::~TLinkForms() { app_.SetDialog(nullptr); }

void TLinkForms::BuildStartup() {
    TIniLink& ini = FormMainLINK.Ini();
    TStartupSequence& s = FormMainLINK.Startup();
    s.Add("log paths", [this, &ini] {
        LinkLog.SetPath(JoinPath(ini.LogsDir(), "LINK_log.txt"));
        return true;
    });
    s.Add("language", [this, &ini] {
        messages_.SetLanguage(ini.Language());
        return true;
    });
}

}  // namespace velbrin
