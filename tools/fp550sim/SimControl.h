// Faults injected into the simulated printer and the one-line control commands
// that set them (the same text in-process and on the control socket).
#pragma once

#include "tools/fp550sim/SimFiscal.h"
#include "tools/fp550sim/SimState.h"

#include <map>
#include <random>
#include <string>

namespace velbrin::sim {

struct SimFaults {
    SimHardware hardware;
    int noAnswer = 0;    // next frames ignored: not executed, not answered
    int nak = 0;         // next frames answered 0x15, not executed
    int lose = 0;        // next answers not sent (commands executed)
    int syn = 0;         // 0x16 bytes sent before the next answer
    int badSum = 0;      // next answers with a wrong checksum
    int badSeq = 0;      // next answers with another sequence number
    int badLen = 0;      // next answers with a length byte below 0x20
    int trunc = 0;       // next answers cut after half their bytes
    int cutAfter = -1;   // commands still answered before the line goes dead; -1 no cut
    bool cut = false;    // the line is dead: nothing is executed or answered
    int delayMs = 0;     // processing time of every command (0x16 sent meanwhile)
    std::map<int, int> commandDelayMs;  // processing time of single commands
    int synIntervalMs = 60;
    double noiseRate = 0;  // probability per byte (and per answer for delays)
    std::mt19937 noise;

    int DelayFor(int cmd) const;
};

// Applies one control line; returns the reply text ("ok" or a query's answer).
// Raises std::invalid_argument with a message naming the line when it is not
// understood. State changes (fiscal, firmware, clock, ...) go into `state`; the
// caller saves it.
std::string ApplyControl(const std::string& line, SimFaults& faults, SimState& state, bool& stateChanged);

}  // namespace velbrin::sim
