// The printer status tool's reading: identification (command 90) and status
// bytes (command 74) of the printer on the port that LINK.INI names, read through
// the link's own configuration and printer code while the link is not running.
#pragma once

#include <string>

namespace velbrin {

class TIniLink;

struct TFpStatusReading {
    std::string port;            // the port as LINK.INI names it
    bool answered = false;       // false: `problem` says why nothing was read
    std::string problem;         // operator text (Windows-1250)
    std::string identification;  // answer data of command 90
    std::string recvData;        // answer data of command 74
    std::string recvStatus;      // the six status bytes of command 74, twelve hexadecimal digits
    std::string note;            // what the printer reported besides (a status error), or empty
    bool fromLink = false;       // read from the running link, which holds the port
};

class TFpStatusProbe {
public:
    // The name of the link's marker that says it runs and holds the port.
    static constexpr const char* kLinkMarker = "ZorvexStarted";
    // The running link's local channel, and how long it may take to answer (it
    // answers between two exchange cycles).
    static constexpr const char* kLinkChannel = "ZorvexFocus";
    static constexpr int kLinkAnswerMs = 15000;

    // Reads the settings store and LINK.INI anew on every Read().
    TFpStatusProbe() = default;

    // Opens the port, sends 90 and 74 and closes the port again, so that the
    // link can start right after; while the link runs, asks it instead. Never
    // raises: every failure is in `problem`.
    TFpStatusReading Read() const;

    // The texts of the two usual reasons why nothing can be read.
    static std::string LinkRunningText(const std::string& port);
    static std::string NoInstallationText(const std::string& storePath);
    static std::string NotAPortText(const std::string& port);

private:
    static void Query(TIniLink& ini, TFpStatusReading& r);
    static void AskRunningLink(TFpStatusReading& r);
};

// The reading as text for a terminal: the window's caption, the port, the
// identification, RecvData and RecvStatus, then "FP550 Status" with the six
// groups of six boxes ("[x]" ticked). A problem replaces everything after the port.
std::string FormatStatusText(const TFpStatusReading& r);

}  // namespace velbrin
