#include "exchange/P30_apibook.h"

#include "app/P00_durable.h"
#include "app/P00_util.h"

#include <algorithm>
#include <cstdio>

namespace velbrin {

namespace {

// A record: "<header> <payload length>\n<payload>\n#<crc-32 of header line and payload>\n".
//   Q <seq> <received ms> <kind> <op or -> <digest> <key>   payload: the packet
//   A <seq> <answer name>                                   payload: the answer's bytes
const char* const kMarker = "@API-";
const char* const kLogName = "Book.log";
// The log is written anew (old answered requests dropped) after this many records.
constexpr int kRewriteAfter = 2000;
constexpr std::size_t kMaxPayload = 16u * 1024 * 1024;

long long WallMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::vector<std::string_view> Words(std::string_view line) {
    std::vector<std::string_view> words;
    while (!line.empty()) {
        const std::size_t blank = std::min(line.find(' '), line.size());
        words.push_back(line.substr(0, blank));
        line.remove_prefix(std::min(blank + 1, line.size()));
    }
    return words;
}

bool Number(std::string_view text, long long& value) {
    return !text.empty() && text.size() <= 18 && TryStrToInt(text, value) && value >= 0;
}

// The number in a name "<kind>[op]@API-<n>.<ext>", or 0.
uint64_t SeqOfName(std::string_view name) {
    const std::size_t at = UpperCase(name).find(kMarker);
    if (at == std::string::npos) return 0;
    std::string_view rest = name.substr(at + std::string_view(kMarker).size());
    rest = rest.substr(0, rest.find('.'));
    long long value = 0;
    return Number(rest, value) && value > 0 ? static_cast<uint64_t>(value) : 0;
}

}  // namespace

std::string TApiBook::TEntry::Name() const { return kind + op + kMarker + std::to_string(seq) + ".zvx"; }

TApiBook::TApiBook(std::string dir, int keepHours)
    : dir_(std::move(dir)), keepMs_(static_cast<long long>(keepHours) * 3600 * 1000), now_(WallMs) {}

std::string TApiBook::LogPath() const { return JoinPath(dir_, kLogName); }

bool TApiBook::IsApiName(std::string_view name) {
    // Right after the kind's prefix (an article file's operation letter included),
    // in any case: such names are never a request file's.
    const std::size_t at = UpperCase(name.substr(0, 16)).find(kMarker);
    return at == 4 || at == 5;
}

bool TApiBook::ValidKey(std::string_view key) {
    if (key.empty() || key.size() > kMaxKeyBytes) return false;
    return std::all_of(key.begin(), key.end(), [](char c) { return c > 32 && c < 127; });
}

std::string TApiBook::IdOf(const TEntry& entry) {
    return "api-" + std::to_string(entry.seq) + "-" + entry.digest.substr(0, 16);
}

std::string TApiBook::IdOfName(std::string_view name) const {
    std::lock_guard lock(mutex_);
    const auto it = entries_.find(SeqOfName(name));
    return it == entries_.end() ? std::string() : IdOf(it->second);
}

std::string TApiBook::Record(const std::string& header, std::string_view payload) {
    const std::string head = header + " " + std::to_string(payload.size()) + "\n";
    std::string record = head;
    record.append(payload);
    char seal[16];
    std::snprintf(seal, sizeof seal, "\n#%08x\n", Crc32(record));
    return record + seal;
}

std::size_t TApiBook::Parse(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t eol = text.find('\n', at);
        if (eol == std::string_view::npos) break;
        const std::vector<std::string_view> words = Words(text.substr(at, eol - at));
        long long length = 0;
        if (words.size() < 3 || !Number(words.back(), length) || static_cast<std::size_t>(length) > kMaxPayload) break;
        const std::size_t payload = eol + 1, seal = payload + static_cast<std::size_t>(length);
        // "\n#" and eight hex digits and "\n"
        if (seal + 11 > text.size() || text.compare(seal, 2, "\n#") != 0 || text[seal + 10] != '\n') break;
        unsigned crc = 0;
        if (std::sscanf(std::string(text.substr(seal + 2, 8)).c_str(), "%8x", &crc) != 1 ||
            crc != Crc32(text.substr(at, seal - at)))
            break;
        const std::string_view body = text.substr(payload, static_cast<std::size_t>(length));
        long long seq = 0, received = 0;
        if (words[0] == "Q" && words.size() == 8 && Number(words[1], seq) && Number(words[2], received)) {
            TEntry e;
            e.seq = static_cast<uint64_t>(seq);
            e.receivedMs = received;
            e.kind = words[3];
            e.op = words[4] == "-" ? std::string() : std::string(words[4]);
            e.digest = words[5];
            e.key = words[6];
            e.packet = body;
            byKey_[e.key] = e.seq;
            lastSeq_ = std::max(lastSeq_, e.seq);
            entries_[e.seq] = std::move(e);
        } else if (words[0] == "A" && words.size() == 4 && Number(words[1], seq)) {
            const auto it = entries_.find(static_cast<uint64_t>(seq));
            if (it != entries_.end() && !it->second.answered) {
                it->second.answered = true;
                it->second.answerName = words[2];
                it->second.answerText = body;
                it->second.packet.clear();
            }
        }
        at = seal + 11;
    }
    return at;
}

void TApiBook::Load() {
    std::lock_guard lock(mutex_);
    entries_.clear();
    byKey_.clear();
    if (!MakeDirectoriesDurably(dir_)) throw LinkError("Cannot create the folder " + dir_ + ": " + LastSystemError());
    std::string text;
    if (FileExists(LogPath())) text = ReadWholeFile(LogPath());
    const std::size_t whole = Parse(text);
    // A torn tail, old answered requests: the log is written anew without them.
    const long long now = now_();
    bool old = false;
    for (const auto& [seq, e] : entries_) old = old || (e.answered && now - e.receivedMs > keepMs_);
    if (whole != text.size() || old) Rewrite();
}

void TApiBook::Rewrite() {
    const long long now = now_();
    std::string text;
    for (auto it = entries_.begin(); it != entries_.end();) {
        const TEntry& e = it->second;
        if (e.answered && now - e.receivedMs > keepMs_) {
            byKey_.erase(e.key);
            it = entries_.erase(it);
            continue;
        }
        text += Record("Q " + std::to_string(e.seq) + " " + std::to_string(e.receivedMs) + " " + e.kind + " " +
                           (e.op.empty() ? "-" : e.op) + " " + e.digest + " " + e.key,
                       e.packet);
        if (e.answered) text += Record("A " + std::to_string(e.seq) + " " + e.answerName, e.answerText);
        ++it;
    }
    WriteFileDurably(LogPath(), text);
    appendedSinceRewrite_ = 0;
}

TApiBook::TAccepted TApiBook::Accept(const std::string& key, const std::string& digest, const std::string& kind,
                                     const std::string& op, const std::string& packet, TEntry& entry) {
    std::lock_guard lock(mutex_);
    if (const auto known = byKey_.find(key); known != byKey_.end()) {
        entry = entries_.at(known->second);
        return entry.digest == digest ? TAccepted::Same : TAccepted::OtherBody;
    }
    const auto waiting =
        std::count_if(entries_.begin(), entries_.end(), [](const auto& kv) { return !kv.second.answered; });
    if (static_cast<std::size_t>(waiting) >= kMaxPending) return TAccepted::Full;
    if (appendedSinceRewrite_ >= kRewriteAfter) Rewrite();
    TEntry e;
    e.receivedMs = now_();
    // Never a number given before, also after every old request was forgotten.
    e.seq = std::max<uint64_t>(lastSeq_ + 1, static_cast<uint64_t>(std::max(1LL, e.receivedMs)));
    e.key = key;
    e.digest = digest;
    e.kind = kind;
    e.op = op;
    e.packet = packet;
    // On disk before the client hears it was taken, and before the cycle sees it.
    AppendDurably(LogPath(), Record("Q " + std::to_string(e.seq) + " " + std::to_string(e.receivedMs) + " " + kind +
                                        " " + (op.empty() ? "-" : op) + " " + digest + " " + key,
                                    packet));
    ++appendedSinceRewrite_;
    lastSeq_ = e.seq;
    byKey_[key] = e.seq;
    entry = entries_[e.seq] = std::move(e);
    return TAccepted::New;
}

std::optional<TApiBook::TEntry> TApiBook::Find(const std::string& key) const {
    std::lock_guard lock(mutex_);
    const auto it = byKey_.find(key);
    if (it == byKey_.end()) return std::nullopt;
    return entries_.at(it->second);
}

std::optional<TApiBook::TEntry> TApiBook::WaitAnswer(const std::string& key, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    const auto known = [&]() -> const TEntry* {
        const auto it = byKey_.find(key);
        return it == byKey_.end() ? nullptr : &entries_.at(it->second);
    };
    answered_.wait_for(lock, timeout, [&] {
        const TEntry* e = known();
        return e == nullptr || e->answered;
    });
    const TEntry* e = known();
    if (e == nullptr) return std::nullopt;
    return *e;
}

std::vector<TApiBook::TPending> TApiBook::Pending() const {
    std::lock_guard lock(mutex_);
    std::vector<TPending> pending;
    for (const auto& [seq, e] : entries_)
        if (!e.answered) pending.push_back({e.Name(), IdOf(e), e.packet, e.receivedMs});
    return pending;
}

std::size_t TApiBook::PendingCount() const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(entries_.begin(), entries_.end(), [](const auto& kv) { return !kv.second.answered; }));
}

bool TApiBook::Deliver(const std::string& resultName, const std::string& bytes) {
    {
        std::lock_guard lock(mutex_);
        const auto it = entries_.find(SeqOfName(resultName));
        if (it == entries_.end()) return false;
        // An answer given stays the answer: a second one (an answer given again) changes nothing.
        if (it->second.answered) return true;
        AppendDurably(LogPath(), Record("A " + std::to_string(it->first) + " " + resultName, bytes));
        ++appendedSinceRewrite_;
        it->second.answered = true;
        it->second.answerName = resultName;
        it->second.answerText = bytes;
        it->second.packet.clear();
    }
    answered_.notify_all();
    return true;
}

std::set<std::string> TApiBook::Ids() const {
    std::lock_guard lock(mutex_);
    std::set<std::string> ids;
    for (const auto& [seq, e] : entries_) ids.insert(IdOf(e));
    return ids;
}

}  // namespace velbrin
