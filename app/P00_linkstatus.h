// The link's state as the operator sees it in the tray and velbrin-status reads
// it from the running link: the base state, the conditions that are on, the last
// answer delivered. Pure bookkeeping without the toolkit, so that the shell only
// draws what this says.
#pragma once

#include <map>
#include <string>

#include "app/P00_appservices.h"
#include "app/P00_msg.h"

namespace velbrin {

class TLinkStatus {
public:
    // Records a change; true when what is shown changed.
    bool Set(TLinkState state, bool on, const std::string& detail);
    // stamp: "yyyy-mm-dd hh:nn:ss" of the delivery.
    bool AnswerDelivered(const std::string& name, const std::string& stamp);

    // The state shown: the first condition that is on, else the base state.
    TLinkState Shown() const;
    // "Working; last answer at 09:12:03 (ABC_1.ok)", "Printer not answering: <detail>".
    std::string Text(const TMsgTable& texts) const;
    // The tray's tooltip: the caption, a line feed, Text.
    std::string Tooltip(const TMsgTable& texts, const std::string& caption) const;

    const std::string& LastAnswer() const { return lastAnswer_; }
    const std::string& LastAnswerStamp() const { return lastStamp_; }

    static const char* Name(TLinkState state);

private:
    TLinkState base_ = TLinkState::Starting;
    std::map<TLinkState, std::string> on_;  // conditions that are on, with their detail
    std::string lastAnswer_, lastStamp_;
};

// What a running link tells velbrin-status on its local socket: "key=value"
// lines (Windows-1250), read back with StatusAnswerValue.
struct TStatusAnswer {
    std::string state;           // TLinkStatus::Name
    std::string text;            // the state in the operator's language
    std::string tray;            // "yes" when the icon sits in a tray
    std::string lastAnswer;      // "yyyy-mm-dd hh:nn:ss NAME", or empty
    std::string port;            // LINK.INI [Portovi] FP
    std::string identification;  // the printer's answer to command 90 read at start, or empty
    std::string command;         // number of the printer's last command, or empty
    std::string status;          // its six status bytes, twelve hexadecimal digits
    std::string data;            // its answer data
};
std::string FormatStatusAnswer(const TStatusAnswer& a);
TStatusAnswer ParseStatusAnswer(const std::string& text);

}  // namespace velbrin
