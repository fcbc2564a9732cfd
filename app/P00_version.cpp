#include "app/P00_version.h"

#include <cstdio>
#include <cstring>

#include "app/P00_inilink.h"

#ifndef VELBRIN_BUILD_ID
#define VELBRIN_BUILD_ID "unknown"
#endif

namespace velbrin {

std::string BuildVersionText() {
    return std::string(TIniLink::kProgramVersion) + " (build " VELBRIN_BUILD_ID ")";
}

std::string VersionLine(const std::string& program) {
    return program + " " + BuildVersionText() + "\n";
}

bool AnswersHelpOrVersion(int argc, char** argv, const std::string& program,
                          const std::string& usage) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(usage.c_str(), stdout);
            return true;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::fputs(VersionLine(program).c_str(), stdout);
            return true;
        }
    }
    return false;
}

}  // namespace velbrin
