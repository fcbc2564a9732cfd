// Append-only, time-stamped text log. One open-append-close per entry, so the
// file can be read or copied at any time and nothing is lost when the link is killed.
#pragma once

#include <string>

namespace velbrin {

// A text of several lines as one log entry: its first line first, the other
// lines (empty ones left out) joined behind it with " | ".
std::string OneLogEntry(const std::string& text);

class TLogFile {
public:
    TLogFile() = default;
    explicit TLogFile(std::string path) : path_(std::move(path)) {}

    void SetPath(const std::string& path) { path_ = path; }
    const std::string& Path() const { return path_; }

    // Appends "yyyy-mm-dd hh:nn:ss text" and a line end; every line feed is stored
    // as CR LF. An empty path writes nothing. Never raises.
    void Write(const std::string& text) const noexcept;

private:
    std::string path_;
};

}  // namespace velbrin
