// Checks made before the link touches its printer: LINK.INI values that cannot
// work, and a start marker that cannot be opened. Both are refused with an
// operator text (message table, configured language) that names what is wrong
// and how to put it right.
#pragma once

#include <string>
#include <vector>

namespace velbrin {

class TIniLink;
class TMsgTable;

// Message text with "%1".."%9" replaced by the arguments.
std::string FillMsg(std::string text, const std::vector<std::string>& args);

// The operator text for the first LINK.INI value that cannot work (a port the
// link does not know, a terminal number that does not fit its column or a file
// name, a database path that is not a full path, a comment behind a value);
// empty text when every value can work.
std::string CheckSettings(const TIniLink& ini, const TMsgTable& messages);

// Raises LinkError with the text of CheckSettings, in the configured language,
// when a value cannot work.
void RefuseUnworkableSettings(const TIniLink& ini);

// LINK.INI "Osnovno"/"Language" read without completing or writing the file
// ("SRB" when it cannot be read): for texts shown before the configuration is made.
std::string ConfiguredLanguage();

// The operator text for a LINK.INI that is there but cannot be taken whole, in
// Serbian and in English: the language it would name is in the file itself.
std::string UnreadableIniText(const std::string& path, const std::string& reason,
                              const std::string& englishReason);

// The operator text for a start marker that cannot be opened; `cause` is the
// marker's own description (file, error, owner and mode).
std::string MarkerFailureText(const std::string& path, const std::string& cause,
                              const TMsgTable& messages);

}  // namespace velbrin
