#include "app/status/P00_fpstatus.h"

#include "app/P00_appservices.h"
#include "app/P00_inilink.h"
#include "app/P00_linkstatus.h"
#include "app/P00_marker.h"
#include "app/P00_util.h"
#include "printer/P00_fp.h"

#include <cstdio>
#include <memory>

namespace velbrin {

namespace {

// The tool never shows a dialog of the link: it sends no command that asks for
// paper or ends a program, and reports what it read instead.
class TQuietServices : public TAppServices {
public:
    void Terminate() override { terminated_ = true; }
    bool Terminated() const override { return terminated_; }
    void ProcessMessages() override {}
    void ShowNumbered(int) override {}
    void ShowText(const std::string&) override {}
    void ShowError(const std::string&) override {}
    void ShowNotice(const std::string&) override {}

private:
    bool terminated_ = false;
};

// A verified answer, possibly with a status error: its data and status bytes are the printer's.
bool Answered(int resultCode) { return resultCode == 0 || (resultCode >= kStatusNoDisplay && resultCode <= kStatusGeneralError); }

std::string StatusHex(TFpCommand& cmd) {
    char hex[13];
    std::snprintf(hex, sizeof hex, "%02X%02X%02X%02X%02X%02X", cmd.Status(0), cmd.Status(1), cmd.Status(2),
                  cmd.Status(3), cmd.Status(4), cmd.Status(5));
    return hex;
}

}  // namespace

std::string TFpStatusProbe::LinkRunningText(const std::string& port) {
    return "The link (velbrin-link) is running and holds the printer port " + port +
           ".\nEnd it with \"Kraj rada\" in its tray menu, then read the status again.";
}

std::string TFpStatusProbe::NoInstallationText(const std::string& storePath) {
    return "The settings store " + storePath + " names no installation directory (Local_Install_Dir).";
}

std::string TFpStatusProbe::NotAPortText(const std::string& port) {
    return "Port \"" + port + "\" of LINK.INI [Portovi] FP is not a serial port (COMn or a /dev/... path).";
}

TFpStatusReading TFpStatusProbe::Read() const {
    TFpStatusReading r;
    if (TIniAppl::ReadRegistryText("Local_Install_Dir").empty()) {
        r.problem = NoInstallationText(TIniAppl::RegistryPath());
        return r;
    }
    try {
        TIniLink ini;
        r.port = ini.PortName();
        // The link opens the port at start and keeps it: asking the printer now
        // would take answers meant for the link.
        if (TNamedMarker::IsHeld(kLinkMarker)) {
            AskRunningLink(r);
            return r;
        }
        if (!ComPortNameQualifies(r.port)) {
            r.problem = NotAPortText(r.port);
            return r;
        }
        Query(ini, r);
    } catch (const LinkError& e) {
        r.problem = e.Text();
    } catch (const std::exception& e) {
        r.problem = e.what();
    }
    return r;
}

// The link answers on its focus channel with its state and the status bytes of
// the printer's last answer to it; the port stays the link's.
void TFpStatusProbe::AskRunningLink(TFpStatusReading& r) {
    std::string text;
    if (!AskLocalSocket(TNamedMarker::PathOf(kLinkChannel), "status", text, kLinkAnswerMs) || text.empty()) {
        r.problem = LinkRunningText(r.port);
        return;
    }
    const TStatusAnswer a = ParseStatusAnswer(text);
    r.fromLink = true;
    r.identification = a.identification;
    r.note = "velbrin-link: " + a.text + "\nTray: " + (a.tray == "yes" ? "yes" : "no (no tray on this desktop)");
    if (!a.lastAnswer.empty()) r.note += "\nLast answer: " + a.lastAnswer;
    if (a.status.empty()) {
        r.problem = r.note + "\nThe link has not had an answer from the printer yet.";
        r.note.clear();
        return;
    }
    r.note += "\nPrinter's last answer: command " + a.command;
    r.recvData = a.data;
    r.recvStatus = a.status;
    r.answered = true;
}

void TFpStatusProbe::Query(TIniLink& ini, TFpStatusReading& r) {
    TQuietServices app;
    // Opened here, a failure naming the port; in English like the tool's other texts.
    auto port = std::make_unique<TPosixComPort>(ini.PortName());
    port->Open();
    TFormFPDef def(std::move(port));
    TFormFP fp(def, app);
    TFpCommand& cmd = fp.Command();
    const std::pair<int, const char*> commands[] = {{90, "1"}, {74, "W"}};
    for (const auto& [command, data] : commands) {
        cmd.Execute(command, data);
        if (!Answered(cmd.ResultCode())) {
            r.problem = "Port " + r.port + ", command " + std::to_string(command) + ":\n" + cmd.ErrorText();
            return;
        }
        if (cmd.ResultCode() != 0) r.note = cmd.ErrorText();
        if (command == 90) r.identification = cmd.AnswerData();
    }
    r.recvData = cmd.AnswerData();
    r.recvStatus = StatusHex(cmd);
    r.answered = true;
}

std::string FormatStatusText(const TFpStatusReading& r) {
    std::string out = "Status\nPort: " + (r.port.empty() ? std::string("-") : r.port) + "\n";
    if (!r.answered) return out + r.problem + "\n";
    out += "Identification: " + r.identification + "\n";
    out += "RecvData: " + r.recvData + "\n";
    out += "RecvStatus: " + r.recvStatus + "\n";
    if (!r.note.empty()) out += r.note + "\n";
    out += "FP550 Status\n";
    const auto bits = DecodeStatusHex(r.recvStatus);
    for (int i = 0; i < 6; ++i) {
        out += std::string("  ") + StatusGroupCaption(i) + "\n";
        for (int j = 0; j < 6; ++j) out += std::string(bits[i][j] ? "    [x] " : "    [ ] ") + StatusBitCaption(i, j) + "\n";
    }
    return out;
}

}  // namespace velbrin
