// Which request files in the exchange directory are finished, and in which
// order one exchange cycle takes them. Only names of requests are looked at,
// each as the name itself (a link is never followed). A file is finished when
// its writer is done with it: at once where the kernel tells (a local writer
// closed it after writing or renamed it in; a read lease, given only while no
// process writes the file), and where nothing local sees the writer (a share,
// or a file of another user that was there before the link watched) once it
// has stayed unchanged for the quiet time and, on a share, is whole where its
// format marks its end. A file still being written holds the requests after it
// for a few seconds at most.
#pragma once

#include "app/P00_safedir.h"
#include "app/P00_writerwatch.h"

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace velbrin {

// A request file the cycle takes, or an entry under a request name that is no
// plain file (a link, a pipe, a socket, a device), which it refuses.
struct TScanned {
    std::string name;
    bool plain = true;
    TFileFacts facts;  // as judged
};

class TRequestScan {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    // Milliseconds a file must stay unchanged where nothing local sees its
    // writer (LINK.INI "Osnovno"/"FileQuietMs").
    static constexpr int kDefaultQuietMs = 2000;
    // A busy file holds the requests after it at most this long.
    static constexpr int kHoldMs = 3000;
    // A file on a share that stays unwhole is taken after this many quiet
    // times, to be answered by its own checks.
    static constexpr int kUnwholeQuietTimes = 5;
    static constexpr std::size_t kMaxEntries = 100000;

    TRequestScan();
    void SetQuietMs(int ms) { quietMs_ = ms; }
    void SetClock(Clock clock) { clock_ = std::move(clock); }
    // Watching the folder for writers (on by default; off, a file of another
    // user waits for the quiet time).
    void SetWatch(bool on) { watchWanted_ = on; }
    // Takes the folder for a share (1) or a local disk (0) whatever it is; -1: as it is.
    void ForceShare(int share) { forceShare_ = share; }

    // One look at the folder: the finished request files and the non-plain
    // entries under request names, commands first, then receipts, articles
    // and texts, each kind by name without regard to case.
    std::vector<TScanned> Next(const TSafeDir& dir);
    // True when the folder was a share at the last look.
    bool Share() const { return share_; }

    // One look without a past (no watch, no quiet time yet): the work list of
    // the finished files, "CMD_" files with "0" put in front.
    static std::vector<std::string> WorkList(const std::string& dir);

    // The most bytes and rows a request of a kind may hold: what a till sends
    // fits many times over, and the link's memory stays bounded whatever comes.
    static std::size_t MaxBytes(const std::string& kind);
    static std::size_t MaxRows(const std::string& kind);
    // False when a file's format marks its end and the bytes lack it: a packet
    // without its closing tag, a receipt without its end row, a DBF table
    // shorter than its header says.
    static bool Whole(const std::string& fileName, std::string_view bytes);

    // The file name of a work-list entry (the leading "0" of a command file removed).
    static std::string FileNameOf(const std::string& entry);
    // Upper-cased first four characters of a file name: "ABC_", "ART-", "TXT_", "CMD_".
    static std::string KindOf(const std::string& fileName);
    static bool IsRequestKind(const std::string& kind);
    // The file name with its last extension replaced by ".zvx" (appended when it has none).
    static std::string PacketName(const std::string& fileName);
    // True when the extension, upper-cased, is ".ZVX".
    static bool IsPacket(const std::string& fileName);

private:
    enum class TVerdict { Take, NotPlain, Busy, Skip };
    using TimePoint = std::chrono::steady_clock::time_point;
    TVerdict Judge(const TSafeDir& dir, const std::string& name, const TFileFacts& facts, TimePoint now);
    bool WholeOnDisk(const TSafeDir& dir, const std::string& name) const;
    void Watch(const TSafeDir& dir);
    long long MsSince(TimePoint since, TimePoint now) const;

    int quietMs_ = kDefaultQuietMs;
    Clock clock_;
    bool watchWanted_ = true;
    int forceShare_ = -1;
    bool share_ = false;
    TWriterWatch watch_;
    struct Quiet {
        TFileFacts facts;
        TimePoint since;
    };
    std::map<std::string, Quiet> quiet_;         // unchanged since when, by name
    std::map<std::string, TimePoint> busySince_;  // seen busy since when, by name
};

}  // namespace velbrin
