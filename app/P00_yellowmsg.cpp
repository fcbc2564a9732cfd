#include "app/P00_yellowmsg.h"

#include "app/P00_datetime.h"
#include "app/P00_iniappl.h"
#include "app/P00_util.h"

namespace velbrin {

TYellowMsg::TYellowMsg(const TMsgTable& messages, const TIniAppl& ini, const TLogFile& linkLog)
    : messages_(messages), ini_(ini), linkLog_(linkLog) {}

std::string TYellowMsg::FirstLine(const std::string& text) {
    // The whole text in one entry, beginning with its first line (for a printer
    // failure the command's caption, then the cause).
    return OneLogEntry(text);
}

void TYellowMsg::PrepareNumbered(int n) {
    title_ = "MSG - " + std::to_string(n + 1000);
    text_ = messages_.GetMsg(n);
    linkLog_.Write(FirstLine(text_));
    if (n == kPaperOutMessage) WritePaperOutSignal();
}

void TYellowMsg::PrepareText(const std::string& text) {
    title_ = "MSG - 9999";
    text_ = text;
    linkLog_.Write(FirstLine(text_));
}

void TYellowMsg::WritePaperOutSignal() const {
    try {
        WriteWholeFile(JoinPath(ini_.FromFpDir(), "NoPaper.err"), DateTime::Now().ZetStamp() + "\r\n");
    } catch (const std::exception&) {
        // the dialog is shown all the same; the cash register just gets no signal
    }
}

TYellowMsgLayout TYellowMsg::Layout(int labelWidth, int labelHeight) {
    TYellowMsgLayout l;
    l.labelWidth = labelWidth < 230 ? 260 : labelWidth;
    l.labelHeight = labelHeight;
    l.groupHeight = l.labelHeight + 2 * l.labelTop;
    l.clientWidth = l.labelWidth + 32;
    l.clientHeight = l.groupHeight + l.buttonHeight + 32;
    l.buttonLeft = (l.clientWidth - l.buttonWidth) / 2;
    l.buttonTop = l.groupHeight + 16;
    return l;
}

}  // namespace velbrin
