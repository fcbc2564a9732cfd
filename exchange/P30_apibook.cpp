#include "exchange/P30_apibook.h"

#include "app/P00_durable.h"
#include "app/P00_safedir.h"
#include "app/P00_util.h"

#include <algorithm>

namespace velbrin {

namespace {

// "VELBRIN-API 1\n<key>\n<digest> <kind> <op or -> <received ms>\n<packet>"
const char* const kMagic = "VELBRIN-API 1";
const char* const kMarker = "@API-";
constexpr std::size_t kMaxRequestBytes = 4u * 1024 * 1024;
constexpr std::size_t kMaxAnswerBytes = 1u << 20;
constexpr std::size_t kMaxEntries = 1000000;

long long WallMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool TakeLine(std::string_view& text, std::string_view& line) {
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) return false;
    line = text.substr(0, end);
    text.remove_prefix(end + 1);
    return true;
}

// The number in a name "<kind>[op]@API-<n>.<ext>", or 0.
uint64_t SeqOfName(std::string_view name) {
    const std::size_t at = name.find(kMarker);
    if (at == std::string_view::npos) return 0;
    std::string_view rest = name.substr(at + std::string_view(kMarker).size());
    rest = rest.substr(0, rest.find('.'));
    long long value = 0;
    if (rest.empty() || rest.size() > 18 || !TryStrToInt(rest, value) || value <= 0) return 0;
    return static_cast<uint64_t>(value);
}

uint64_t SeqOfFile(const std::string& fileName, std::string_view ext) {
    if (fileName.size() <= ext.size() || fileName.compare(fileName.size() - ext.size(), ext.size(), ext) != 0) return 0;
    long long value = 0;
    const std::string digits = fileName.substr(0, fileName.size() - ext.size());
    if (digits.empty() || digits.size() > 18 || !TryStrToInt(digits, value) || value <= 0) return 0;
    return static_cast<uint64_t>(value);
}

}  // namespace

std::string TApiBook::TEntry::Name() const { return kind + op + kMarker + std::to_string(seq) + ".zvx"; }

TApiBook::TApiBook(std::string dir, int keepHours)
    : dir_(std::move(dir)), keepMs_(static_cast<long long>(keepHours) * 3600 * 1000), now_(WallMs) {}

std::string TApiBook::RequestsDir() const { return JoinPath(dir_, "Requests"); }
std::string TApiBook::AnswersDir() const { return JoinPath(dir_, "Answers"); }
std::string TApiBook::RequestPath(uint64_t seq) const {
    return JoinPath(RequestsDir(), std::to_string(seq) + ".req");
}

bool TApiBook::IsApiName(std::string_view name) {
    // Right after the kind's prefix (an article file's operation letter included),
    // in any case: such names are never a request file's.
    const std::size_t at = UpperCase(std::string(name.substr(0, 16))).find(kMarker);
    return at == 4 || at == 5;
}

bool TApiBook::ValidKey(std::string_view key) {
    if (key.empty() || key.size() > kMaxKeyBytes) return false;
    return std::all_of(key.begin(), key.end(), [](char c) { return c > 32 && c < 127; });
}

std::string TApiBook::IdOfName(std::string_view name) const {
    std::lock_guard lock(mutex_);
    const auto it = entries_.find(SeqOfName(name));
    return it == entries_.end() ? std::string() : IdOf(it->second);
}

std::string TApiBook::IdOf(const TEntry& entry) {
    return "api-" + std::to_string(entry.seq) + "-" + entry.digest.substr(0, 16);
}

void TApiBook::Load() {
    std::lock_guard lock(mutex_);
    entries_.clear();
    byKey_.clear();
    if (!MakeDirectoriesDurably(RequestsDir()) || !MakeDirectoriesDurably(AnswersDir()))
        throw LinkError("Cannot create the folder " + dir_ + ": " + LastSystemError());
    for (const std::string& name : ListPlainFiles(RequestsDir(), kMaxEntries)) LoadRequest(name);
    const TSafeDir answers(AnswersDir());
    for (const std::string& name : ListPlainFiles(AnswersDir(), kMaxEntries)) {
        const uint64_t seq = SeqOfFile(name, ".answer");
        const auto it = entries_.find(seq);
        if (it == entries_.end()) {
            DeleteFileReport(JoinPath(AnswersDir(), name));
            continue;
        }
        std::string_view text;
        std::string bytes;
        try {
            bytes = answers.ReadFile(name, kMaxAnswerBytes);
        } catch (const LinkError&) {
            continue;  // asked for again: the outbox still has it, or the journal says so
        }
        text = bytes;
        std::string_view answerName;
        if (!TakeLine(text, answerName)) continue;
        it->second.answered = true;
        it->second.answerName = answerName;
        it->second.answerText = text;
    }
    for (auto& [seq, entry] : entries_) lastSeq_ = std::max(lastSeq_, seq);
    PruneLocked();
}

void TApiBook::LoadRequest(const std::string& fileName) {
    const uint64_t seq = SeqOfFile(fileName, ".req");
    if (seq == 0) return;
    std::string bytes;
    try {
        bytes = TSafeDir(RequestsDir()).ReadFile(fileName, kMaxRequestBytes);
    } catch (const LinkError&) {
        return;
    }
    std::string_view text = bytes, magic, key, facts;
    if (!TakeLine(text, magic) || magic != kMagic || !TakeLine(text, key) || !TakeLine(text, facts)) return;
    TEntry e;
    e.seq = seq;
    e.key = key;
    std::vector<std::string> parts;
    for (std::size_t from = 0; from <= facts.size();) {
        const std::size_t blank = std::min(facts.find(' ', from), facts.size());
        parts.emplace_back(facts.substr(from, blank - from));
        from = blank + 1;
    }
    long long received = 0;
    if (parts.size() != 4 || !TryStrToInt(parts[3], received)) return;
    e.digest = parts[0];
    e.kind = parts[1];
    e.op = parts[2] == "-" ? std::string() : parts[2];
    e.receivedMs = received;
    byKey_[e.key] = seq;
    entries_[seq] = std::move(e);
}

TApiBook::TAccepted TApiBook::Accept(const std::string& key, const std::string& digest, const std::string& kind,
                                     const std::string& op, const std::string& packet, TEntry& entry) {
    std::lock_guard lock(mutex_);
    if (const auto known = byKey_.find(key); known != byKey_.end()) {
        entry = entries_.at(known->second);
        return entry.digest == digest ? TAccepted::Same : TAccepted::OtherBody;
    }
    TEntry e;
    e.receivedMs = now_();
    // Never a number given before, also after every old request was forgotten.
    e.seq = std::max<uint64_t>(lastSeq_ + 1, static_cast<uint64_t>(std::max(1LL, e.receivedMs)));
    e.key = key;
    e.digest = digest;
    e.kind = kind;
    e.op = op;
    const std::string record = std::string(kMagic) + "\n" + key + "\n" + digest + " " + kind + " " +
                               (op.empty() ? "-" : op) + " " + std::to_string(e.receivedMs) + "\n" + packet;
    // On disk, name and all, before the client hears it was taken.
    WriteFileDurably(RequestPath(e.seq), record);
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
    std::vector<TEntry> waiting;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [seq, e] : entries_)
            if (!e.answered) waiting.push_back(e);
    }
    std::vector<TPending> pending;
    const TSafeDir dir(RequestsDir());
    for (const TEntry& e : waiting) {
        std::string bytes;
        try {
            bytes = dir.ReadFile(std::to_string(e.seq) + ".req", kMaxRequestBytes);
        } catch (const LinkError&) {
            continue;
        }
        std::string_view text = bytes, line;
        if (!TakeLine(text, line) || !TakeLine(text, line) || !TakeLine(text, line)) continue;
        pending.push_back({e.Name(), IdOf(e), std::string(text), e.receivedMs});
    }
    return pending;
}

std::size_t TApiBook::PendingCount() const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(entries_.begin(), entries_.end(), [](const auto& kv) { return !kv.second.answered; }));
}

bool TApiBook::Deliver(const std::string& resultName, const std::string& bytes) {
    const uint64_t seq = SeqOfName(resultName);
    {
        std::lock_guard lock(mutex_);
        if (entries_.count(seq) == 0) return false;
    }
    if (!MakeDirectoriesDurably(AnswersDir()))
        throw LinkError("Cannot create the folder " + AnswersDir() + ": " + LastSystemError());
    WriteFileDurably(JoinPath(AnswersDir(), std::to_string(seq) + ".answer"), resultName + "\n" + bytes);
    {
        std::lock_guard lock(mutex_);
        const auto it = entries_.find(seq);
        if (it == entries_.end()) return false;
        // An answer given stays the answer: a second one (an answer given again) changes nothing.
        if (!it->second.answered) {
            it->second.answered = true;
            it->second.answerName = resultName;
            it->second.answerText = bytes;
        }
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

void TApiBook::Forget(uint64_t seq) {
    // The request goes first: an answer without its request is dropped at the
    // next load, while a request without its answer would be carried out again.
    if (!RemoveFileDurably(RequestPath(seq))) return;
    DeleteFileReport(JoinPath(AnswersDir(), std::to_string(seq) + ".answer"));
    const auto it = entries_.find(seq);
    if (it == entries_.end()) return;
    byKey_.erase(it->second.key);
    entries_.erase(it);
}

void TApiBook::Prune() {
    std::lock_guard lock(mutex_);
    PruneLocked();
}

void TApiBook::PruneLocked() {
    const long long now = now_();
    std::vector<uint64_t> old;
    for (const auto& [seq, e] : entries_)
        if (e.answered && now - e.receivedMs > keepMs_) old.push_back(seq);
    for (const uint64_t seq : old) Forget(seq);
}

}  // namespace velbrin
