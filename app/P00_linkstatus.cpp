#include "app/P00_linkstatus.h"

#include <sstream>

namespace velbrin {

namespace {

// Conditions in the order they win over each other.
const TLinkState kConditions[] = {TLinkState::Stopped,        TLinkState::DbLost,
                                  TLinkState::PrinterSilent,  TLinkState::WaitingForOperator,
                                  TLinkState::AnswersWaiting, TLinkState::DbConnecting};

bool IsCondition(TLinkState s) {
    return s != TLinkState::Starting && s != TLinkState::Working;
}

TLinkText TextOf(TLinkState s) {
    switch (s) {
        case TLinkState::Starting:
            return TLinkText::StateStarting;
        case TLinkState::Working:
            return TLinkText::StateWorking;
        case TLinkState::WaitingForOperator:
            return TLinkText::StateWaitingOperator;
        case TLinkState::PrinterSilent:
            return TLinkText::StatePrinterSilent;
        case TLinkState::AnswersWaiting:
            return TLinkText::StateAnswersWaiting;
        case TLinkState::Stopped:
            return TLinkText::StateStopped;
        case TLinkState::DbConnecting:
            return TLinkText::StateDbConnecting;
        case TLinkState::DbLost:
            return TLinkText::StateDbLost;
    }
    return TLinkText::StateWorking;
}

// Only the first line of a detail: the tooltip is short, a printer failure long.
std::string FirstLine(const std::string& text) {
    std::string line = text.substr(0, text.find('\n'));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

}  // namespace

bool TLinkStatus::Set(TLinkState state, bool on, const std::string& detail) {
    const TLinkState before = Shown();
    const std::string beforeDetail = on_.count(before) ? on_.at(before) : std::string();
    if (!IsCondition(state)) {
        base_ = state;
    } else if (on) {
        on_[state] = FirstLine(detail);
    } else {
        on_.erase(state);
    }
    const TLinkState after = Shown();
    return after != before || (on_.count(after) ? on_.at(after) : std::string()) != beforeDetail;
}

bool TLinkStatus::AnswerDelivered(const std::string& name, const std::string& stamp) {
    lastAnswer_ = name;
    lastStamp_ = stamp;
    return Shown() == TLinkState::Working;
}

TLinkState TLinkStatus::Shown() const {
    for (TLinkState s : kConditions)
        if (on_.count(s)) return s;
    return base_;
}

std::string TLinkStatus::Text(const TMsgTable& texts) const {
    const TLinkState s = Shown();
    if (s == TLinkState::Working) {
        if (lastAnswer_.empty()) return texts.Text(TLinkText::StateNoRequestYet);
        // the time of day is enough on the tray; the date is in the status answer
        const std::string time = lastStamp_.size() >= 19 ? lastStamp_.substr(11, 8) : lastStamp_;
        return texts.Text(TLinkText::StateWorking) + " " + time + " (" + lastAnswer_ + ")";
    }
    std::string text = texts.Text(TextOf(s));
    auto it = on_.find(s);
    if (it != on_.end() && !it->second.empty()) text += ": " + it->second;
    return text;
}

std::string TLinkStatus::Tooltip(const TMsgTable& texts, const std::string& caption) const {
    return caption + "\n" + Text(texts);
}

const char* TLinkStatus::Name(TLinkState state) {
    switch (state) {
        case TLinkState::Starting:
            return "starting";
        case TLinkState::Working:
            return "working";
        case TLinkState::WaitingForOperator:
            return "waiting-for-operator";
        case TLinkState::PrinterSilent:
            return "printer-not-answering";
        case TLinkState::AnswersWaiting:
            return "answers-waiting";
        case TLinkState::Stopped:
            return "stopped";
        case TLinkState::DbConnecting:
            return "connecting-to-database";
        case TLinkState::DbLost:
            return "database-not-answering";
    }
    return "";
}

namespace {

// A value is one line: a line feed inside would start a key of its own.
std::string OneLine(const std::string& v) {
    std::string out = v;
    for (char& c : out)
        if (c == '\n' || c == '\r') c = ' ';
    return out;
}

}  // namespace

std::string FormatStatusAnswer(const TStatusAnswer& a) {
    return "state=" + OneLine(a.state) + "\ntext=" + OneLine(a.text) + "\ntray=" + OneLine(a.tray) +
           "\nlast_answer=" + OneLine(a.lastAnswer) + "\nport=" + OneLine(a.port) +
           "\nidentification=" + OneLine(a.identification) +
           "\ncommand=" + OneLine(a.command) + "\nstatus=" + OneLine(a.status) +
           "\ndata=" + OneLine(a.data) + "\n";
}

TStatusAnswer ParseStatusAnswer(const std::string& text) {
    TStatusAnswer a;
    std::map<std::string, std::string*> fields = {
        {"state", &a.state},     {"text", &a.text},
        {"tray", &a.tray},       {"last_answer", &a.lastAnswer},
        {"port", &a.port},       {"identification", &a.identification},
        {"command", &a.command}, {"status", &a.status},
        {"data", &a.data}};
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        auto it = fields.find(line.substr(0, eq));
        if (it != fields.end()) *it->second = line.substr(eq + 1);
    }
    return a;
}

}  // namespace velbrin
