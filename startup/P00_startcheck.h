// Checks made before the link touches its printer: LINK.INI values that cannot
// work are refused with an operator text (message table, configured language)
// that names what is wrong and how to put it right. They sit above the printer
// and the store because a value works only when the port and the database take it.
#pragma once

#include <string>

namespace velbrin {

class TIniLink;
class TMsgTable;

// The operator text for the first LINK.INI value that cannot work (a port the
// link does not know, a terminal number that does not fit its column or a file
// name, a database path that is not a full path, a comment behind a value);
// empty text when every value can work.
std::string CheckSettings(const TIniLink& ini, const TMsgTable& messages);

// Raises LinkError with the text of CheckSettings, in the configured language,
// when a value cannot work.
void RefuseUnworkableSettings(const TIniLink& ini);

}  // namespace velbrin
