#include "exchange/P30_requestscan.h"

#include "app/P00_util.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace velbrin {

namespace {

// The tail a packet's closing tag must be in, after blanks.
constexpr std::size_t kTailBytes = 4096;

bool EndsWithClosingTag(std::string_view bytes) {
    while (!bytes.empty() && (static_cast<unsigned char>(bytes.back()) <= ' ')) bytes.remove_suffix(1);
    const std::string_view tag = "</DATAPACKET>";
    return bytes.size() >= tag.size() && SameText(bytes.substr(bytes.size() - tag.size()), tag);
}

unsigned long long Little(std::string_view bytes, std::size_t at, std::size_t n) {
    unsigned long long v = 0;
    for (std::size_t i = 0; i < n; ++i) v |= static_cast<unsigned long long>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
    return v;
}

}  // namespace

TRequestScan::TRequestScan() : clock_([] { return std::chrono::steady_clock::now(); }) {}

std::string TRequestScan::KindOf(const std::string& fileName) { return UpperCase(LeftStr(fileName, 4)); }

bool TRequestScan::IsRequestKind(const std::string& kind) {
    return kind == "ABC_" || kind == "ART-" || kind == "TXT_" || kind == "CMD_";
}

std::string TRequestScan::FileNameOf(const std::string& entry) {
    return !entry.empty() && entry[0] == '0' ? entry.substr(1) : entry;
}

std::string TRequestScan::PacketName(const std::string& fileName) { return ChangeFileExt(fileName, ".zvx"); }

bool TRequestScan::IsPacket(const std::string& fileName) { return UpperCase(ExtractFileExt(fileName)) == ".ZVX"; }

std::size_t TRequestScan::MaxBytes(const std::string& kind) {
    if (kind == "ABC_") return 1u << 20;  // 250 lines and the trailer
    if (kind == "CMD_") return 256u << 10;
    if (kind == "TXT_") return 1u << 20;
    // Tens of thousands of articles; the parser's tree of a packet this size,
    // however it is filled, stays within the link's memory.
    if (kind == "ART-") return 2u << 20;
    return 0;
}

std::size_t TRequestScan::MaxRows(const std::string& kind) {
    if (kind == "ABC_") return 2000;
    if (kind == "CMD_") return 1000;
    if (kind == "TXT_") return 10000;
    if (kind == "ART-") return 50000;
    return 0;
}

bool TRequestScan::Whole(const std::string& fileName, std::string_view bytes) {
    const std::string ext = UpperCase(ExtractFileExt(fileName));
    if (ext == ".ZVX" || ext == ".XML") return EndsWithClosingTag(bytes);
    if (ext == ".DBF") {
        if (bytes.size() < 12) return false;
        return bytes.size() >= Little(bytes, 8, 2) + Little(bytes, 4, 4) * Little(bytes, 10, 2);
    }
    if (KindOf(fileName) == "ABC_" && (ext == ".CSV" || ext == ".TXT"))
        return UpperCase(bytes).find("KRAJBONA") != std::string::npos;
    return true;
}

bool TRequestScan::WholeOnDisk(const TSafeDir& dir, const std::string& name) const {
    const int fd = dir.OpenForReading(name);
    if (fd < 0) return true;  // the intake tells why it cannot be read
    const TFileFacts facts = TSafeDir::FactsOf(fd);
    bool whole = true;
    const std::string ext = UpperCase(ExtractFileExt(name));
    if (!facts.Plain() || facts.size > MaxBytes(KindOf(name))) {
        // refused by the intake, whole or not
    } else if (ext == ".ZVX" || ext == ".XML") {
        const std::size_t tail = static_cast<std::size_t>(std::min<unsigned long long>(facts.size, kTailBytes));
        std::string bytes(tail, '\0');
        const ssize_t n = ::pread(fd, bytes.data(), tail, static_cast<off_t>(facts.size - tail));
        whole = n == static_cast<ssize_t>(tail) && EndsWithClosingTag(bytes);
    } else {
        std::string bytes;
        whole = TSafeDir::ReadAtMost(fd, MaxBytes(KindOf(name)), bytes) && Whole(name, bytes);
    }
    ::close(fd);
    return whole;
}

long long TRequestScan::MsSince(TimePoint since, TimePoint now) const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(now - since).count();
}

void TRequestScan::Watch(const TSafeDir& dir) {
    if (!watchWanted_) return;
    if (watch_.IsOpen() && watch_.Dir() == dir.Path()) {
        watch_.Drain();
        return;
    }
    try {
        // Files already there stay unknown: a lease or the quiet time decides.
        watch_.Open(dir.Path());
    } catch (const LinkError&) {
        // No watch (no notices left): every file waits for a lease or the quiet time.
    }
}

TRequestScan::TVerdict TRequestScan::Judge(const TSafeDir& dir, const std::string& name, const TFileFacts& facts,
                                           TimePoint now) {
    switch (facts.type) {
        case TFileFacts::Type::Plain: break;
        case TFileFacts::Type::Link:
        case TFileFacts::Type::Other: return TVerdict::NotPlain;
        default: return TVerdict::Skip;  // folders are never touched
    }
    const TWriterWatch::TState state = watch_.IsOpen() ? watch_.State(name) : TWriterWatch::TState::Unknown;
    if (state == TWriterWatch::TState::Writing) return TVerdict::Busy;
    auto [it, made] = quiet_.try_emplace(name, Quiet{facts, now});
    if (!made && !facts.Unchanged(it->second.facts)) it->second = Quiet{facts, now};
    const long long quietFor = MsSince(it->second.since, now);
    if (state == TWriterWatch::TState::Closed) return TVerdict::Take;
    if (share_) {
        // No local notice sees a writer on another machine: unchanged for the
        // quiet time, and whole where its format tells.
        if (quietFor < quietMs_) return TVerdict::Busy;
        if (quietFor < static_cast<long long>(kUnwholeQuietTimes) * quietMs_ && !WholeOnDisk(dir, name))
            return TVerdict::Busy;
        return TVerdict::Take;
    }
    const int fd = dir.OpenForReading(name);
    if (fd < 0) {
        if (errno == ENOENT) return TVerdict::Skip;
        if (errno == ELOOP) return TVerdict::NotPlain;
        // Not being written: it cannot be read at all, and the intake says why.
        return TVerdict::Take;
    }
    const TLease lease = TSafeDir::LeaseOf(fd);
    ::close(fd);
    if (lease == TLease::Released) return TVerdict::Take;
    if (lease == TLease::Busy) return TVerdict::Busy;
    // A file of another user, there before the watch began: the quiet time decides.
    return quietFor >= quietMs_ ? TVerdict::Take : TVerdict::Busy;
}

std::vector<TScanned> TRequestScan::Next(const TSafeDir& dir) {
    std::vector<TScanned> out;
    if (!dir.IsOpen()) return out;
    const TimePoint now = clock_();
    share_ = forceShare_ >= 0 ? forceShare_ == 1 : dir.OnShare();
    Watch(dir);
    struct Entry {
        std::string key;  // commands first
        TScanned scanned;
        TVerdict verdict;
    };
    std::vector<Entry> entries;
    std::map<std::string, Quiet> seenQuiet;
    for (const std::string& name : dir.Names(kMaxEntries)) {
        if (name.empty() || name[0] == '.') continue;
        const std::string kind = KindOf(name);
        if (!IsRequestKind(kind)) continue;
        const TFileFacts facts = dir.Facts(name);
        const TVerdict verdict = Judge(dir, name, facts, now);
        if (auto q = quiet_.find(name); q != quiet_.end()) seenQuiet.insert(*q);
        if (verdict == TVerdict::Skip) continue;
        entries.push_back({(kind == "CMD_" ? "0" : "") + name, {name, verdict != TVerdict::NotPlain, facts}, verdict});
    }
    quiet_.swap(seenQuiet);  // names gone from the folder are forgotten
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Entry& a, const Entry& b) { return UpperCase(a.key) < UpperCase(b.key); });
    entries.erase(std::unique(entries.begin(), entries.end(),
                              [](const Entry& a, const Entry& b) { return SameText(a.key, b.key); }),
                  entries.end());
    std::map<std::string, TimePoint> busy;
    bool holding = false;
    for (const Entry& e : entries) {
        if (e.verdict == TVerdict::Busy) {
            const auto since = busySince_.find(e.scanned.name);
            const TimePoint first = since == busySince_.end() ? now : since->second;
            busy[e.scanned.name] = first;
            // A file still being written keeps its place for a while; a writer
            // that never finishes does not hold the till's day.
            if (MsSince(first, now) < kHoldMs) holding = true;
            continue;
        }
        if (!holding) out.push_back(e.scanned);
    }
    busySince_.swap(busy);
    return out;
}

std::vector<std::string> TRequestScan::WorkList(const std::string& dir) {
    TRequestScan scan;
    scan.SetWatch(false);
    std::vector<std::string> list;
    for (const TScanned& s : scan.Next(TSafeDir(dir)))
        if (s.plain) list.push_back((KindOf(s.name) == "CMD_" ? "0" : "") + s.name);
    return list;
}

}  // namespace velbrin
