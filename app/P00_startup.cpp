#include "app/P00_startup.h"

#include "app/P00_inilink.h"
#include "app/P00_util.h"

namespace velbrin {

void TStartupSequence::Add(std::string name, Step step) { steps_.push_back({std::move(name), std::move(step)}); }

std::vector<std::string> TStartupSequence::StepNames() const {
    std::vector<std::string> names;
    for (const Entry& e : steps_) names.push_back(e.name);
    return names;
}

bool TStartupSequence::Run() {
    stoppedAt_.clear();
    for (const Entry& e : steps_) {
        bool goOn = false;
        try {
            goOn = e.step();
        } catch (const std::exception& ex) {
            app_.ShowError(ex.what());
        } catch (...) {
            app_.ShowError("Unknown failure in start-up step " + e.name);
        }
        if (!goOn || app_.Terminated()) {
            stoppedAt_ = e.name;
            return false;
        }
    }
    return true;
}

bool TStartupSequence::RunTolerant(TAppServices& app, const std::function<void()>& action) {
    try {
        action();
    } catch (...) {
        app.ProcessMessages();
    }
    return !app.Terminated();
}

bool IsServerDbPath(const std::string& dbPath) {
    auto colon = dbPath.find(':');
    auto slash = dbPath.find('/');
    return colon != std::string::npos && colon > 0 && (slash == std::string::npos || colon < slash);
}

void PrepareInstallation(const TIniLink& ini) {
    std::string db = ini.DbPath();
    if (!db.empty() && !IsServerDbPath(db) && !FileExists(db)) {
        // the folder may be missing on a fresh installation; without it the copy
        // could never succeed
        ForceDirectories(ExtractFileDir(db));
        CopyFileOverwrite(ini.TemplateDbPath(), db);
    }
    ForceDirectories(ini.ToFpDir());
    ForceDirectories(ini.FromFpDir());
}

}  // namespace velbrin
