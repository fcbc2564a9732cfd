// Who the link logs in as on a database server ("host:/path"). The settings store
// holds it; the database connection uses it. A database file opened by the
// embedded engine never uses it.
#pragma once

#include <string>

namespace velbrin {

struct TDbLogin {
    std::string user;
    std::string password;
};

}  // namespace velbrin
