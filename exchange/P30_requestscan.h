// Which request files in the exchange directory are complete, and in which order
// one exchange cycle handles them.
#pragma once

#include <string>
#include <vector>

namespace velbrin {

class TRequestScan {
public:
    // True when the writer has let go of the file: it can be opened read-only and
    // a read lease taken on it (no process has it open for writing). Where leases
    // are not available a non-blocking shared flock decides.
    static bool IsReleased(const std::string& path);

    // Enumerates dir in the order the file system returns the entries, skipping
    // directories, hidden (dot) entries and anything that is not a plain file.
    // The scan stops at the first file still in its writer's hands: that file and
    // every entry after it wait for a later cycle, whatever their names.
    // Returns the work list: "ABC_", "ART-" and "TXT_" files by name, "CMD_" files
    // with "0" put in front, sorted ascending without regard to case, duplicates
    // ignored. Command files come first, then receipts, articles and texts.
    static std::vector<std::string> WorkList(const std::string& dir);

    // The file name of a work-list entry (the leading "0" of a command file removed).
    static std::string FileNameOf(const std::string& entry);
    // Upper-cased first four characters of a file name: "ABC_", "ART-", "TXT_", "CMD_".
    static std::string KindOf(const std::string& fileName);
    // The file name with its last extension replaced by ".zvx" (appended when it has none).
    static std::string PacketName(const std::string& fileName);
    // True when the extension, upper-cased, is ".ZVX".
    static bool IsPacket(const std::string& fileName);
};

}  // namespace velbrin
