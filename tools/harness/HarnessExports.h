// The day exports a power-cut run finds in the answer folder: each closed day's
// set (sale lines ZA, payments ZB, the day ZC) there, whole and readable.
#pragma once

#include <string>
#include <vector>

namespace velbrin::harness {

struct ExportBooks {
    int files = 0;      // export files read
    int sets = 0;       // complete sets of ZA, ZB and ZC
    int lost = 0;       // closed days without a complete set
    std::vector<std::string> faults;
};

// The exports of terminal in the folder, in the export format ("TXT", "CSV",
// "XML", "DBF"), against the days closed in the database.
ExportBooks CheckDayExports(const std::string& folder, const std::string& terminal, const std::string& format,
                            int daysClosed);

}  // namespace velbrin::harness
