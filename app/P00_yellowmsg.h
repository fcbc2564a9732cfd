// What the important-message dialog does apart from drawing itself: its title
// and text, the log entry, the paper-out signal file for the cash register, the
// "YellowMsg" marker while it is open, and its layout worked out from the size
// the label needs. The Qt dialog (TFormYellowMsg) only measures and shows.
#pragma once

#include "app/P00_log.h"
#include "app/P00_marker.h"
#include "app/P00_msg.h"

#include <string>

namespace velbrin {

class TIniAppl;

struct TYellowMsgLayout {
    int labelLeft = 16, labelTop = 24, labelWidth = 0, labelHeight = 0;
    int groupHeight = 0;
    int buttonLeft = 0, buttonTop = 0, buttonWidth = 100, buttonHeight = 30;
    int clientWidth = 0, clientHeight = 0;
};

class TYellowMsg {
public:
    static constexpr int kPaperOutMessage = 3;

    // linkLog is the link log (LINK_log.txt); its path is set by the start-up.
    TYellowMsg(const TMsgTable& messages, const TIniAppl& ini, const TLogFile& linkLog);

    // Title and label text of what is about to be shown.
    const std::string& Title() const { return title_; }
    const std::string& Text() const { return text_; }

    // Numbered message n: "MSG - " + (n + 1000), the text in the configured
    // language, the log entry, and for the paper-out message the signal file.
    void PrepareNumbered(int n);
    // A free text: "MSG - 9999" and the log entry.
    void PrepareText(const std::string& text);

    // The dialog holds the marker from showing until it is closed.
    void Opened() { marker_.Acquire(); }
    void Closed() { marker_.Release(); }
    bool MarkerHeld() const { return marker_.Held(); }

    // Layout from the size the label needs for its text.
    static TYellowMsgLayout Layout(int labelWidth, int labelHeight);
    // The text as it goes into the log: one entry, its first line first.
    static std::string FirstLine(const std::string& text);

private:
    void WritePaperOutSignal() const;

    const TMsgTable& messages_;
    const TIniAppl& ini_;
    const TLogFile& linkLog_;
    TNamedMarker marker_{"YellowMsg"};
    std::string title_;
    std::string text_;
};

}  // namespace velbrin
