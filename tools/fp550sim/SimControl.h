// Faults injected into the simulated printer and the one-line control commands
// that set them (the same text in-process and on the control socket).
//
// Control lines (words separated by blanks; N is a count of frames or answers,
// each fault used up one at a time):
//   noanswer N        the next N frames are ignored: not executed, not answered
//   nak N             the next N frames are answered 0x15 and not executed
//   lose N            the next N answers are not sent (the commands are executed)
//   badsum N          the next N answers carry a wrong checksum
//   badseq N          the next N answers carry the following sequence number
//   badcmd N          the next N answers echo another command number
//   badlen N          the next N answers carry the length byte 0x10
//   trunc N           the next N answers stop after half their bytes
//   syn N             N bytes 0x16 (one per synint ms) go before the next answer
//   late MS           the next answer comes after MS ms of silence
//   delay MS [CMD]    processing time of every command (or of command CMD, decimal);
//                     0x16 is sent every synint ms meanwhile
//   synint MS         spacing of the 0x16 bytes (default 60)
//   refuse CMD N      the next N frames of command CMD (decimal) are refused with
//                     a general error and not executed
//   artmark TEXT      field 0 of a found article in the answers to 107 F and N
//                     (default "P")
//   baud N | baud off every byte of a frame and of an answer takes as long as on a
//                     serial line of N baud (10 bits a byte): 19200 for the real printer
//   paper off|journal|on   receipt roll out / both rolls out / paper back
//   display off|on    customer display unplugged / plugged in
//   fiscal off|on     fiscalised flag (kept in the state file)
//   firmware TEXT     diagnostic text up to the serial (kept; default
//                     "3.01CG 11JUN09 1530,91F7")
//   ident TEXT, serial TEXT, taxflags TEXT   answers of 99, 90 field 4, 83 field 2 (kept)
//   clock SECONDS     printer clock = computer clock + SECONDS ("+3600", "-60"; kept)
//   cut N | cut off   after N more executed commands nothing is executed or
//                     answered until "cut off" ("cut 0" cuts at once)
//   noise RATE SEED | noise off   per-byte probability of a dropped byte, a
//                     flipped bit, a stray 0x16 or 0x15, on both directions, and
//                     per answer of a delay of 1.2 to 1.6 s; seeded, so repeatable
//   ledger on|off     drawer opens and article programming journalled too
//                     (kept across "reset"; handled by the simulator itself)
//   article drop      the article with the highest PLU leaves the table ("ok none"
//                     when it is empty), as if another program deleted it (kept)
//   article add PLU PRICE  an article the link never defined (kept)
//   reset             clears every fault above (not the printer's memory)
//   factory           the printer's memory back to new: no articles, no receipt,
//                     zero totals and counters, default settings (kept)
//   status            query: "receipt=R lines=L total=T paid=P day=D articles=A
//                     last_receipt=N z=Z" (R 0 when no receipt is open; amounts
//                     with two decimals)
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
    int badCmd = 0;      // next answers with another command number
    int lateMs = 0;      // silence before the next answer
    int badLen = 0;      // next answers with a length byte below 0x20
    int trunc = 0;       // next answers cut after half their bytes
    int cutAfter = -1;   // commands still answered before the line goes dead; -1 no cut
    int onlyCmd = 0;     // the answer faults above hit only this command's answers; 0 every command
    bool cut = false;    // the line is dead: nothing is executed or answered
    int delayMs = 0;     // processing time of every command (0x16 sent meanwhile)
    std::map<int, int> commandDelayMs;  // processing time of single commands
    std::map<int, int> refuse;          // frames of a command still to be refused
    int synIntervalMs = 60;
    int baud = 0;        // line speed to imitate (10 bits a byte each way); 0: as fast as the pty
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
