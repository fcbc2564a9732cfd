// Forced writes: the database engine syncs each page it writes before a commit
// returns. Without them a commit the link has answered for may be lost to a
// power cut, and the database file may be left damaged.
#pragma once

#include <string>

namespace velbrin {

class TFormConnection;
class TMsgTable;

// What the start does about a database's forced writes.
enum class TForcedWritesAction {
    None,    // they are on
    TurnOn,  // a file of this machine: the link turns them on itself
    Refuse,  // a server's database: only its administrator may change it
};
TForcedWritesAction ForcedWritesAction(bool serverPath, bool forcedWrites);

// True when the open database has forced writes (mon$database).
bool HasForcedWrites(TFormConnection& connection);

// Turns forced writes on for a database file through the embedded engine's
// service manager. Raises LinkError naming the file.
void TurnOnForcedWrites(const std::string& dbFile);

// Run once the link's connection is open. Returns the link log line when it
// turned forced writes on, empty text when they were on. Raises LinkError with
// the operator text of `messages` (the database and the administrator's command)
// for a server database without them, and when they cannot be turned on.
std::string EnsureForcedWrites(TFormConnection& connection, const TMsgTable& messages);

}  // namespace velbrin
