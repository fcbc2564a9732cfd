#include "printer/P00_fpcommand.h"

#include "app/P00_util.h"

#include <cstdio>

namespace velbrin {

TFpCommand::TFpCommand(TComPort& port, TClock& clock) : port_(port), send_(port, clock) {
    // Reserved once, so that commands do not allocate.
    f_.data.reserve(256);
    f_.answerData.reserve(256);
}

void TFpCommand::Execute(int command, const std::string& data) {
    f_.command = command;
    f_.data = data;
    split_ = false;
    if (!port_.IsOpen()) port_.Open();
    try {
        send_.SendFrame(f_);
    } catch (const LinkError&) {
        port_.Close();
        if (executed_) executed_();
        throw;
    }
    if (f_.resultCode == kFrameOk && f_.statusBits[2][0])
        f_.resultCode = f_.statusBits[2][2] ? kStatusNoJournal : kStatusNoReceiptPaper;
    else if (f_.resultCode == kFrameOk && f_.statusBits[0][5])
        f_.resultCode = f_.statusBits[0][3] ? kStatusNoDisplay : kStatusGeneralError;
    if (f_.resultCode != kFrameOk) log_.Write(LogLine());
    if (executed_) executed_();
}

std::string TFpCommand::LogLine() const {
    char head[64];
    std::snprintf(head, sizeof head, "; %02X%02X%02X%02X%02X%02X ; S=%d \"", f_.status[0], f_.status[1],
                  f_.status[2], f_.status[3], f_.status[4], f_.status[5], f_.command);
    char mid[32];
    std::snprintf(mid, sizeof mid, "\"; R=%d \"", f_.answerCommand);
    char tail[64];
    std::snprintf(tail, sizeof tail, "\"; e=%d; s=%d; l=%d", f_.resultCode, f_.sequence, f_.length);
    return head + f_.data + mid + f_.answerData + tail;
}

std::string TFpCommand::ErrorText() const {
    char text[96];
    switch (f_.resultCode) {
    case 0: return {};
    case kFrameBadCommand: std::snprintf(text, sizeof text, "Zadata komanda (%d) je van opsega!", f_.command); break;
    case kFrameTooLong: std::snprintf(text, sizeof text, "Zadato previse podataka!"); break;
    case kFrameNoAnswer: std::snprintf(text, sizeof text, "Stampac se ne javlja - proverite stampac i kabl!"); break;
    case kFrameNaks:
        std::snprintf(text, sizeof text, "Stampac javlja greske u komunikaciji - proverite kabl!");
        break;
    case kFrameNoLength:
    case kFrameCutAnswer:
        std::snprintf(text, sizeof text, "Stampac je prestao da se javlja - proverite stampac i kabl!");
        break;
    case kFrameBadLength:
        std::snprintf(text, sizeof text, "Stampac je vratio duzinu %d - van opsega!", f_.length);
        break;
    case kFrameCorrupt: std::snprintf(text, sizeof text, "Stampac vraca nekonzistentne podatke!"); break;
    case kFrameWriteStuck:
        std::snprintf(text, sizeof text, "Stampac ne prima podatke - proverite stampac i kabl!");
        break;
    case kStatusNoDisplay: std::snprintf(text, sizeof text, "Povezite Display za kupca sa Stampacem!"); break;
    case kStatusNoJournal: std::snprintf(text, sizeof text, "Nema JOURNAL papira!"); break;
    case kStatusNoReceiptPaper: std::snprintf(text, sizeof text, "Nema BON papira!"); break;
    case kStatusGeneralError: std::snprintf(text, sizeof text, "Greska 100!"); break;
    default: std::snprintf(text, sizeof text, "Nepoznata greska (%d)!", f_.resultCode); break;
    }
    char status[32];
    std::snprintf(status, sizeof status, "\n\nStatus: %02X%02X%02X%02X%02X%02X", f_.status[0], f_.status[1],
                  f_.status[2], f_.status[3], f_.status[4], f_.status[5]);
    return std::string(text) + status;
}

void TFpCommand::SplitFields() {
    fields_.fill({0, 0});
    const std::string& a = f_.answerData;
    size_t start = 0;
    for (int k = 0; k < kFieldCount; ++k) {
        size_t comma = k == kFieldCount - 1 ? std::string::npos : a.find(',', start);
        size_t end = comma == std::string::npos ? a.size() : comma;
        fields_[k] = {start, end - start};
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    split_ = true;
}

std::string TFpCommand::AnswerField(int index) {
    if (index < 0 || index >= kFieldCount) return {};
    if (!split_) SplitFields();
    const auto& [offset, length] = fields_[index];
    if (length == 0) return {};
    return f_.answerData.substr(offset, length);
}

}  // namespace velbrin
