// The fault runs of the harness. Each builds its own installation below
// root, prints its progress on stdout and returns its figures; a run's faults
// are lines of text ("" when it found none).
#pragma once

#include "tools/harness/HarnessRig.h"

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace velbrin::harness {

struct RunResult {
    std::string name;
    std::vector<std::string> figures;  // "kill points tried: 30", ...
    std::vector<std::string> faults;
    bool skipped = false;
};

// Marks a run skipped for the reason given, on stdout and in its figures.
inline RunResult& Skip(RunResult& result, const std::string& why) {
    std::printf("  skipped: %s\n", why.c_str());
    result.skipped = true;
    result.figures.push_back("skipped: " + why);
    return result;
}

RunResult RunKills(const Tools& tools, const std::string& root, int kills, unsigned seed);
RunResult RunNoise(const Tools& tools, const std::string& root, int receipts, unsigned seed);
RunResult RunBadFiles(const Tools& tools, const std::string& root, unsigned seed);
RunResult RunDiskFaults(const Tools& tools, const std::string& root, unsigned seed);
RunResult RunDelivery(const Tools& tools, const std::string& root, unsigned seed);
RunResult RunLong(const Tools& tools, const std::string& root, int receipts, unsigned seed);
// program: the power-cut file system program ("" when it was not built).
RunResult RunPowerCuts(const Tools& tools, const std::string& program, const std::string& root, int cuts,
                       unsigned seed);

// The link in server mode on a Firebird server of the harness's own, the server
// stopped and started again under it; skipped without the server package.
RunResult RunServerStops(const Tools& tools, const std::string& root, int stops, unsigned seed);
// 1, 4 and 8 links on one server dropping 30-line receipts, at the printer's
// line speed and without it, for seconds each; a table of answer times.
RunResult RunServerLoad(const Tools& tools, const std::string& root, int seconds, unsigned seed);

// Odd files in the exchange directory, rounds of every kind, the link as user
// nobody where the harness is root; a canary folder beside the installation.
// only: the cases whose kind holds this text ("": every case).
RunResult RunHostile(const Tools& tools, const std::string& root, int rounds, unsigned seed,
                     const std::string& only = "");

// Tills over the HTTP interface beside the files, connections cut and the link
// killed at random moments, each request sent again with its key until answered;
// then a third of the rounds with power cuts (powercutfs: the power-cut file
// system program; skipped where it cannot be mounted).
RunResult RunApi(const Tools& tools, const std::string& root, int rounds, unsigned seed,
                 const std::string& powercutfs);

// The stage a receipt had reached, from the printer commands traced since offset.
std::string StageFromTrace(const std::string& traceTail);

}  // namespace velbrin::harness
