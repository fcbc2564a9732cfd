// Windows-1250 program text into Qt widgets (which take Unicode).
#pragma once

#include "app/P00_util.h"

#include <QString>

namespace velbrin {

inline QString QtText(const std::string& cp1250) {
    try {
        return QString::fromStdString(Cp1250ToUtf8(cp1250));
    } catch (const LinkError&) {
        // a byte without a character: show it as Latin-1 rather than nothing
        return QString::fromLatin1(cp1250.data(), static_cast<qsizetype>(cp1250.size()));
    }
}

}  // namespace velbrin
