// The start-up sequence: an ordered list of named steps run once when the hidden
// main window is first shown. A step returns false to stop the program (it has
// already told the operator why and asked for termination); a termination request
// stops the sequence as well. An exception that a step does not handle itself ends
// the sequence at that step and is shown in the standard error box. Only when
// every step has run may the main timer start.
#pragma once

#include "app/P00_appservices.h"

#include <functional>
#include <string>
#include <vector>

namespace velbrin {

class TIniLink;

class TStartupSequence {
public:
    using Step = std::function<bool()>;

    explicit TStartupSequence(TAppServices& app) : app_(app) {}

    void Add(std::string name, Step step);
    std::vector<std::string> StepNames() const;

    // Runs the steps in order; true when all ran and the timer may start.
    bool Run();
    // Name of the step that stopped the sequence; empty when all ran.
    const std::string& StoppedAt() const { return stoppedAt_; }

    // The catch rule of the printer link test: a failure that asked for
    // termination stops; any other exception is swallowed after pending window
    // messages were processed, and the sequence goes on.
    static bool RunTolerant(TAppServices& app, const std::function<void()>& action);

private:
    struct Entry {
        std::string name;
        Step step;
    };
    TAppServices& app_;
    std::vector<Entry> steps_;
    std::string stoppedAt_;
};

// Before the database is opened: a missing database file is replaced by the
// empty template (a failed copy shows up later in the database checks), and the
// exchange directories are made with their parents.
void PrepareInstallation(const TIniLink& ini);
// True when a database path names a server ("host:/path"), not a local file.
bool IsServerDbPath(const std::string& dbPath);

}  // namespace velbrin
