#include "store/P31_issuednumbers.h"

#include "app/P00_durable.h"
#include "app/P00_inilink.h"
#include "app/P00_util.h"

#include <algorithm>
#include <sstream>

namespace velbrin {

namespace {
// One line a raise, appended and synced (no folder to sync once the file is
// there); a line a stop cut short fails its "end" and is passed over. Past this
// size the file is written anew as one line.
constexpr std::size_t kRewriteAbove = 64 * 1024;
}  // namespace

std::string TIssuedNumbers::Path() const { return JoinPath(ini_.OtherDir(), "Issued.numbers"); }

TIssuedNumbers::Numbers TIssuedNumbers::Recorded() const {
    Numbers n;
    if (!FileExists(Path())) return n;
    std::istringstream in(ReadWholeFile(Path()));
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string bon, day, end;
        long long b = 0, d = 0;
        if (!(words >> bon >> day >> end) || end != "end" || !TryStrToInt(bon, b) || !TryStrToInt(day, d)) continue;
        n.bon = std::max<int64_t>(n.bon, b);
        n.day = std::max<int64_t>(n.day, d);
        n.known = true;
    }
    return n;
}

void TIssuedNumbers::Raise(int64_t bon, int64_t day) {
    const Numbers now = Recorded();
    if (now.known && bon <= now.bon && day <= now.day) return;
    const std::string line = std::to_string(std::max(now.bon, bon)) + " " + std::to_string(std::max(now.day, day)) +
                             " end\n";
    if (!DirectoryExists(ini_.OtherDir())) MakeDirectoriesDurably(ini_.OtherDir());
    const std::string before = FileExists(Path()) ? ReadWholeFile(Path()) : std::string();
    if (!before.empty() && before.size() < kRewriteAbove)
        // A last line a stop cut short stays a line of its own.
        AppendDurably(Path(), before.back() == '\n' ? line : "\n" + line);
    else
        WriteFileDurably(Path(), line);
}

}  // namespace velbrin
