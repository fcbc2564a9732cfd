#include "startup/P00_install.h"

#include "app/P00_inilink.h"
#include "app/P00_util.h"
#include "store/P00_connection.h"

namespace velbrin {

// The client library decides what a server path is; the link must agree with it,
// or it would make a file where the library goes looking for a server.
bool IsServerDbPath(const std::string& dbPath) { return TSqlConnection::NamesServer(dbPath); }

void PrepareInstallation(const TIniLink& ini, const std::string& shippedTemplate) {
    // A package cannot know the installation directory, which the settings store
    // names; the first start puts the template where the installation keeps it.
    if (!FileExists(ini.TemplateDbPath()) && !shippedTemplate.empty() && FileExists(shippedTemplate)) {
        ForceDirectories(ExtractFileDir(ini.TemplateDbPath()));
        CopyFileOverwrite(shippedTemplate, ini.TemplateDbPath());
    }
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
