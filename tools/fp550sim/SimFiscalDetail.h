// Helpers shared by the units of the fiscal model: refusals and the number
// fields of command data.
#pragma once

#include "tools/fp550sim/SimState.h"

#include <cstdint>
#include <string>
#include <vector>

namespace velbrin::sim::detail {

// A refused command: the general error bit plus, when it fits, syntax error (0)
// or invalid command (1) in status byte 0.
struct Refused {
    int bit = -1;
};
[[noreturn]] inline void Refuse() { throw Refused{-1}; }
[[noreturn]] inline void SyntaxError() { throw Refused{0}; }
[[noreturn]] inline void InvalidCommand() { throw Refused{1}; }

std::vector<std::string> Split(const std::string& s, char sep);
// A PLU number: 1 to 6 digits, at least 1; a syntax error otherwise.
int ParsePlu(const std::string& s);
// An amount with up to `decimals` decimals; a syntax error otherwise.
int64_t Amount(const std::string& s, int decimals);

}  // namespace velbrin::sim::detail
