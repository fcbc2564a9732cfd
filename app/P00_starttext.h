// Operator texts the link may have to show before its configuration is made: the
// language LINK.INI names and a start marker that cannot be opened.
#pragma once

#include <string>
#include <vector>

namespace velbrin {

class TMsgTable;

// Message text with "%1".."%9" replaced by the arguments.
std::string FillMsg(std::string text, const std::vector<std::string>& args);

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
