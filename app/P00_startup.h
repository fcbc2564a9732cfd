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

// The empty database that the installed program carries beside itself
// (<program folder>/../share/velbrin/Other/DB_Clear/Zorvex.fdb); empty text when
// the program's own path cannot be read.
std::string ShippedTemplateDbPath();

// Before the database is opened: a fresh installation directory gets the shipped
// empty database as its template, a missing database file is replaced by the
// template when there is one, and the exchange directories are made with their parents. Each copy
// appears under its name only whole and synced, so a power cut never leaves a
// short database behind; a database copy that fails raises LinkError naming the
// file (the start ends there instead of on a missing database).
void PrepareInstallation(const TIniLink& ini, const std::string& shippedTemplate = ShippedTemplateDbPath());

// The embedded database engine keeps its lock files in `engineDefault`, which the
// database server's packages make for their own user and group only: a desktop
// user outside that group could never open the database. When FIREBIRD_LOCK is
// not set and that folder exists but is not writable, FIREBIRD_LOCK is pointed at
// <installation>/Other/FirebirdLock. Returns the folder chosen (empty: unchanged).
std::string ChooseEmbeddedLockDir(const std::string& localInstallDir,
                                  const std::string& engineDefault = "/tmp/firebird");
// True when a database path names a server ("host:/path"), not a local file.
bool IsServerDbPath(const std::string& dbPath);

}  // namespace velbrin
