#include "app/shell/P00_linkforms.h"

#include "app/P00_util.h"
#include "store/P00_forcedwrites.h"

#include <cstdio>

namespace velbrin {

namespace {

// Before any query: a database whose writes are not synced could lose answered
// receipts to a power cut. A file of this machine is put right (and the link log
// says so); a server's database ends the start with its administrator's command.
void MakeDatabaseSyncItsWrites(TFormConnection& connection, const TIniLink& ini) {
    TMsgTable messages;
    messages.SetLanguage(ini.Language());
    const std::string done = EnsureForcedWrites(connection, messages);
    if (!done.empty()) TLogFile(JoinPath(ini.LogsDir(), "LINK_log.txt")).Write(done);
}

}  // namespace

TLinkForms::TLinkForms(TMsgTable& messages, TQtAppServices& app)
    : messages_(messages),
      app_(app),
      FormMainLINK(app),
      FormFP(FormMainLINK.FPDef(), app),
      Connection(FormMainLINK.Ini().DbPath(), TIniAppl::ReadDbServerLogin(), AttachWait()),
      FormCommonLink(Connection, FormMainLINK.Ini(), FormFP, messages, app, FormConvert),
      FormZets(Connection, FormMainLINK.Ini(), FormFP, FormCommonLink),
      YellowMsg(messages, FormMainLINK.Ini(), LinkLog),
      FormYellowMsg(YellowMsg),
      FormProgress(messages),
      Store{Connection, FormFP, FormMainLINK.Ini(), messages, FormZets, LinkLog, app},
      FormLnkWork(Store, FormConvert, FormCommonLink) {
    app_.SetState(TLinkState::DbConnecting, false, {});
    MakeDatabaseSyncItsWrites(Connection, FormMainLINK.Ini());
    FormCommonLink.AttachZets(FormZets);
    app_.SetDialog(&FormYellowMsg);
    app_.SetProgressWindow(&FormProgress);
    app_.OnStateChange([this] { ShowState(); });
    FormMainLINK.SetStatusSource([this] { return StatusAnswer(); });
    FormFP.Command().OnExecuted([this] { FormMainLINK.PublishStatus(); });
    BuildStartup();
}

TLinkForms::~TLinkForms() {
    if (Api) Api->Stop();
    FormFP.Command().OnExecuted(nullptr);
    app_.OnStateChange(nullptr);
    app_.SetProgressWindow(nullptr);
    app_.SetDialog(nullptr);
}

TDbAttachWait TLinkForms::AttachWait() {
    TIniLink& ini = FormMainLINK.Ini();
    if (TSqlConnection::NamesServer(ini.DbPath())) {
        // The tray says what the start waits for, in the operator's language.
        messages_.SetLanguage(ini.Language());
        app_.OnStateChange([this] { ShowState(); });
        FormMainLINK.SetStatusSource([this] { return StatusAnswer(); });
        app_.SetState(TLinkState::DbConnecting, true, TSqlConnection::ServerOf(ini.DbPath()));
    }
    // The event loop goes on meanwhile: the tray is drawn and a stop request ends the wait.
    return {ini.DbConnectTimeout(), [this] {
                app_.ProcessMessages();
                return !app_.Terminated();
            }};
}

void TLinkForms::ShowState() {
    const TLinkStatus& status = app_.Status();
    FormMainLINK.ShowState(status.Shown(), status.Tooltip(messages_, TFormMainLINK::kCaption));
    FormMainLINK.PublishStatus();
}

// The state and the printer's last answer: velbrin-status cannot open the port
// while the link holds it, so the link tells it what it last read.
TStatusAnswer TLinkForms::StatusAnswer() {
    const TLinkStatus& status = app_.Status();
    TStatusAnswer a;
    a.state = TLinkStatus::Name(status.Shown());
    a.text = status.Text(messages_);
    if (!status.LastAnswer().empty()) a.lastAnswer = status.LastAnswerStamp() + " " + status.LastAnswer();
    a.port = FormMainLINK.Ini().PortName();
    a.identification = FormFP.Identification();
    TFpCommand& cmd = FormFP.Command();
    const int code = cmd.ResultCode();
    if (cmd.Command() != 0 && (code == 0 || (code >= kStatusNoDisplay && code <= kStatusGeneralError))) {
        char hex[13];
        std::snprintf(hex, sizeof hex, "%02X%02X%02X%02X%02X%02X", cmd.Status(0), cmd.Status(1), cmd.Status(2),
                      cmd.Status(3), cmd.Status(4), cmd.Status(5));
        a.command = std::to_string(cmd.Command());
        a.status = hex;
        a.data = cmd.AnswerData();
    }
    return a;
}

void TLinkForms::BuildStartup() {
    TIniLink& ini = FormMainLINK.Ini();
    TStartupSequence& s = FormMainLINK.Startup();
    s.Add("log paths", [this, &ini] {
        FormFP.SetLogPath(JoinPath(ini.LogsDir(), "FP550_log.txt"));
        LinkLog.SetPath(JoinPath(ini.LogsDir(), "LINK_log.txt"));
        FormCommonLink.SetLogPath(JoinPath(ini.LogsDir(), "LINK_log.txt"));
        return true;
    });
    s.Add("language", [this, &ini] {
        messages_.SetLanguage(ini.Language());
        ShowState();
        return true;
    });
    // A lost line has shown message 1 and asked to end; any other failure (a
    // status error, a port that cannot be opened) lets the start go on.
    s.Add("printer link test", [this] { return TStartupSequence::RunTolerant(app_, [this] { FormFP.TestLink(); }); });
    // A wrong version has shown message 5 and asked to end before it raised.
    s.Add("database version", [this] {
        try {
            FormCommonLink.CheckDbVersion();
        } catch (const LinkError&) {
            if (app_.Terminated()) return false;
            throw;
        }
        return true;
    });
    s.Add("firmware check", [this] { return FormFP.CheckFirmware(); });
    s.Add("fiscalisation", [this] {
        FormCommonLink.CheckFiscalised(true);
        return true;
    });
    s.Add("database check", [this] {
        try {
            FormCommonLink.CheckDatabase();
        } catch (const std::exception&) {
            app_.ShowNumbered(0);
            app_.Terminate();
            return false;
        }
        return true;
    });
    s.Add("database age", [this] { return FormCommonLink.CheckDatabaseAge(); });
    s.Add("article synchronisation", [this] {
        try {
            FormCommonLink.SyncArticles();
        } catch (const std::exception& e) {
            // A stop requested meanwhile is no failure to show: the link log has it.
            if (!app_.Terminated()) app_.ShowText(e.what());
            app_.Terminate();
            return false;
        }
        return !app_.Terminated();
    });
    s.Add("tax groups", [this] {
        FormFP.SetTaxGroupFlags(FormFP.ReadTaxGroups());
        return true;
    });
    s.Add("customer display", [this] {
        if (!FormFP.IsDisplayConnected()) app_.ShowNumbered(2);
        return true;
    });
    s.Add("clock check", [this] {
        FormCommonLink.CheckTimeDifference();
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
    s.Add("HTTP interface", [this] {
        StartApi();
        return true;
    });
    FormMainLINK.Cycle().Add([this] { FormLnkWork.PollExchange(); });
}

void TLinkForms::StartApi() {
    TIniLink& ini = FormMainLINK.Ini();
    if (ini.ApiPort() == 0) return;
    try {
        FormLnkWork.OpenApiBook();
        if (!FormLnkWork.ApiBook()) throw LinkError("its book cannot be opened");
        TApiSettings settings;
        settings.address = ini.ApiAddress();
        settings.port = ini.ApiPort();
        settings.certFile = ini.ApiCertFile();
        settings.keyFile = ini.ApiKeyFile();
        settings.replyWait = std::chrono::milliseconds(ini.ApiReplyWaitMs());
        settings.token = TApiServer::LoadToken(ini.ApiTokenFile());
        Api = std::make_unique<TApiServer>(
            settings, *FormLnkWork.ApiBook(), [this] { FormMainLINK.WakeCycle(); },
            [this] { return ParseStatusAnswer(FormMainLINK.StatusSnapshot()); });
        Api->Start();
        LinkLog.Write("The HTTP interface listens on " + settings.address + ":" + std::to_string(settings.port));
    } catch (const std::exception& e) {
        Api.reset();
        LinkLog.Write(std::string("The HTTP interface is off: ") + e.what());
    }
}

}  // namespace velbrin
