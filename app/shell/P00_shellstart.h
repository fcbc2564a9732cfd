// What the tray program does before its forms exist: --help and --version, and a
// plain word (on stderr and in the link log) when there is no display to show
// itself on, instead of the toolkit's abort.
#pragma once

#include <string>

namespace velbrin {

extern const char* const kLinkUsage;

// The operator text of a start without a display, in LINK.INI's language.
std::string NoDisplayText();

// A failure before the forms exist (a printer port that cannot be opened, LINK.INI
// that cannot be written, no display) is kept in Logs/LINK_log.txt of the
// installation the settings store names, so that a technician finds it later.
void LogStartFailure(const std::string& text);

// Until the returned guard is dropped, a fatal toolkit failure (no display, no
// platform plugin) ends the program with the plain text and exit status 0.
class TNoDisplayGuard {
public:
    TNoDisplayGuard();
    ~TNoDisplayGuard();
    TNoDisplayGuard(const TNoDisplayGuard&) = delete;
    TNoDisplayGuard& operator=(const TNoDisplayGuard&) = delete;
};

}  // namespace velbrin
