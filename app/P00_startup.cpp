#include "app/P00_startup.h"

#include "app/P00_util.h"

#include <unistd.h>

#include <cstdlib>

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

std::string ShippedTemplateDbPath() {
    char exe[4096];
    ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return {};
    return JoinPath(ExtractFileDir(std::string(exe, static_cast<size_t>(n))), VELBRIN_SHIPPED_TEMPLATE);
}

std::string ChooseEmbeddedLockDir(const std::string& localInstallDir, const std::string& engineDefault) {
    const char* set = std::getenv("FIREBIRD_LOCK");
    if ((set && *set) || localInstallDir.empty()) return {};
    if (!DirectoryExists(engineDefault) || ::access(engineDefault.c_str(), W_OK | X_OK) == 0) return {};
    std::string dir = JoinPath(localInstallDir, "Other/FirebirdLock");
    if (!ForceDirectories(dir)) return {};
    ::setenv("FIREBIRD_LOCK", dir.c_str(), 1);
    return dir;
}

}  // namespace velbrin
