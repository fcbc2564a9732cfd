#include "app/P00_startup.h"

#include "app/P00_durable.h"
#include "app/P00_inilink.h"
#include "app/P00_util.h"
#include "store/P00_connection.h"

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

bool IsServerDbPath(const std::string& dbPath) { return TSqlConnection::NamesServer(dbPath); }

std::string ShippedTemplateDbPath() {
    char exe[4096];
    ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return {};
    return JoinPath(ExtractFileDir(std::string(exe, static_cast<size_t>(n))), VELBRIN_SHIPPED_TEMPLATE);
}

void PrepareInstallation(const TIniLink& ini, const std::string& shippedTemplate) {
    // A package cannot know the installation directory, which the settings store
    // names; the first start puts the template where the installation keeps it.
    // An installation whose database is there can do without it.
    std::string templateFailure;
    if (!FileExists(ini.TemplateDbPath()) && !shippedTemplate.empty() && FileExists(shippedTemplate)) {
        MakeDirectoriesDurably(ExtractFileDir(ini.TemplateDbPath()));
        try {
            CopyFileDurably(shippedTemplate, ini.TemplateDbPath());
        } catch (const LinkError& e) {
            templateFailure = e.Text();
        }
    }
    std::string db = ini.DbPath();
    // Without a template the database stays missing, and opening it says so.
    if (!db.empty() && !IsServerDbPath(db) && !FileExists(db)) {
        if (!templateFailure.empty()) throw LinkError(templateFailure);
        if (FileExists(ini.TemplateDbPath())) {
            // the folder may be missing on a fresh installation; without it the copy
            // could never succeed
            MakeDirectoriesDurably(ExtractFileDir(db));
            CopyFileDurably(ini.TemplateDbPath(), db);
        }
    }
    ForceDirectories(ini.ToFpDir());
    ForceDirectories(ini.FromFpDir());
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
