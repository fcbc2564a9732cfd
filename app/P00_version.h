// The version texts the programs print for --version, and the one --help and
// --version handling the three programs share.
#pragma once

#include <string>

namespace velbrin {

// The link's version (TIniLink::kProgramVersion, the one Version.ini carries)
// followed by what the build was made from (commit, build type).
std::string BuildVersionText();

// What a program prints for --version: its name, the link's version and the build.
std::string VersionLine(const std::string& program);

// Looks for --help / --version among the arguments: prints the usage text or the
// version line on stdout and returns true, so that the program exits at once
// without opening a port or a window.
bool AnswersHelpOrVersion(int argc, char** argv, const std::string& program,
                          const std::string& usage);

}  // namespace velbrin
