#include "startup/P00_install.h"

#include "app/P00_durable.h"
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

}  // namespace velbrin
