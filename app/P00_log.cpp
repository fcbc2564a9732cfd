#include "app/P00_log.h"

#include "app/P00_durable.h"

#include "app/P00_datetime.h"
#include "app/P00_util.h"

#include <cstdio>

namespace velbrin {

std::string OneLogEntry(const std::string& text) {
    std::string entry;
    bool first = true;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t lf = text.find('\n', start);
        if (lf == std::string::npos) lf = text.size();
        std::string line = text.substr(start, lf - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (first)
            entry = line;
        else if (!Trim(line).empty())
            entry += " | " + line;
        first = false;
        start = lf + 1;
    }
    return entry;
}

void TLogFile::Write(const std::string& text) const noexcept {
    try {
        if (path_.empty() || path_ <= " ") return;
        std::string dir = ExtractFileDir(path_);
        if (!dir.empty()) ForceDirectories(dir);
        std::string entry = DateTime::Now().ZetStamp() + " " + text + "\n";
        std::string bytes;
        bytes.reserve(entry.size() + 8);
        for (char c : entry) {
            if (c == '\n' && (bytes.empty() || bytes.back() != '\r')) bytes.push_back('\r');
            bytes.push_back(c);
        }
        // Synced: what the operator was told, and each repair the link made,
        // must still be there to read after a power cut.
        AppendDurably(path_, bytes);
    } catch (...) {
        // logging never stops the link
    }
}

}  // namespace velbrin
