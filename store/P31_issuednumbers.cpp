#include "store/P31_issuednumbers.h"

#include "app/P00_durable.h"
#include "app/P00_inilink.h"
#include "app/P00_util.h"

#include <sstream>

namespace velbrin {

namespace {
constexpr const char* kHeader = "velbrin issued numbers 1";
}

std::string TIssuedNumbers::Path() const { return JoinPath(ini_.OtherDir(), "Issued.numbers"); }

TIssuedNumbers::Numbers TIssuedNumbers::Recorded() const {
    Numbers n;
    if (!FileExists(Path())) return n;
    std::istringstream in(ReadWholeFile(Path()));
    std::string header, bon, day, end;
    long long b = 0, d = 0;
    // A record that cannot be read counts as none: the database is then taken
    // as it is, as before the record existed.
    if (!std::getline(in, header) || header != kHeader || !(in >> bon >> day >> end) || end != "end" ||
        !TryStrToInt(bon, b) || !TryStrToInt(day, d))
        return n;
    n.bon = b;
    n.day = d;
    n.known = true;
    return n;
}

void TIssuedNumbers::Raise(int64_t bon, int64_t day) {
    const Numbers now = Recorded();
    if (now.known && bon <= now.bon && day <= now.day) return;
    const int64_t newBon = now.bon > bon ? now.bon : bon;
    const int64_t newDay = now.day > day ? now.day : day;
    if (!DirectoryExists(ini_.OtherDir())) MakeDirectoriesDurably(ini_.OtherDir());
    WriteFileDurably(Path(), std::string(kHeader) + "\n" + std::to_string(newBon) + " " + std::to_string(newDay) +
                                 " end\n");
}

}  // namespace velbrin
