// TFpCommand: the one object every printer command passes through. It sends the
// command with the frame layer, turns the status bytes into the paper and display
// result codes, splits the answer into fields, words failures for the operator
// and writes failed commands to the printer log.
#pragma once

#include "app/P00_log.h"
#include "printer/P00_fpsend.h"

#include <array>
#include <functional>
#include <string>

namespace velbrin {

// Result codes set from the status bytes of a verified answer.
enum : int32_t {
    kStatusNoDisplay = 97,      // general error with the customer display not connected
    kStatusNoJournal = 98,      // journal paper out
    kStatusNoReceiptPaper = 99, // receipt paper out
    kStatusGeneralError = 100,  // any other general error
};

class TFpCommand {
public:
    static constexpr int kFieldCount = 20;

    TFpCommand(TComPort& port, TClock& clock = SteadyClock());

    // Opens the port when needed, sends the command and sets every field below.
    // Raises only what the port raises; the port is closed then, so that the next
    // command opens it again.
    void Execute(int command, const std::string& data);

    int32_t Command() const { return f_.command; }
    const std::string& Data() const { return f_.data; }
    int32_t ResultCode() const { return f_.resultCode; }
    uint8_t Sequence() const { return f_.sequence; }
    uint8_t AnswerCommand() const { return f_.answerCommand; }
    uint8_t Length() const { return f_.length; }
    int32_t Checksum() const { return f_.checksum; }
    const std::string& AnswerData() const { return f_.answerData; }
    uint8_t Status(int i) const { return i >= 0 && i < 6 ? f_.status[i] : 0; }
    bool StatusBit(int i, int j) const { return i >= 0 && i < 6 && j >= 0 && j < 6 && f_.statusBits[i][j]; }

    // Field index (0..19) of the answer data split at ","; the 20th field holds the
    // rest with its commas. Empty for an index outside 0..19 or a missing field.
    std::string AnswerField(int index);

    // The operator text of the result code; for every code but 0 followed by
    // "\n\nStatus: " and the six status bytes in hexadecimal.
    std::string ErrorText() const;
    // The printer-log line of the last command (without the time stamp).
    std::string LogLine() const;

    TLogFile& Log() { return log_; }
    // Called after every command, answered or not (the shell publishes the
    // printer's last status from it).
    void OnExecuted(std::function<void()> executed) { executed_ = std::move(executed); }
    TComPort& Port() { return port_; }
    uint8_t SequenceCounter() const { return send_.SequenceCounter(); }

private:
    void SplitFields();

    TComPort& port_;
    TFpSend send_;
    TFrameFields f_;
    TLogFile log_;
    std::function<void()> executed_;
    bool split_ = false;
    std::array<std::pair<size_t, size_t>, kFieldCount> fields_{};  // offset and length
};

}  // namespace velbrin
