// What the link puts in place before it opens its database: the template and the
// database file copied from it, and the exchange directories.
#pragma once

#include "app/P00_startup.h"

#include <string>

namespace velbrin {

class TIniLink;

// A fresh installation directory gets the shipped empty database as its
// template, a missing database file is replaced by the template when there is
// one, and the exchange directories are made with their parents. Each copy
// appears under its name only whole and synced, so a power cut never leaves a
// short database behind; a database copy that fails raises LinkError naming the
// file (the start ends there instead of on a missing database).
void PrepareInstallation(const TIniLink& ini, const std::string& shippedTemplate = ShippedTemplateDbPath());

// True when a database path names a server ("host:/path"), not a local file.
bool IsServerDbPath(const std::string& dbPath);

}  // namespace velbrin
