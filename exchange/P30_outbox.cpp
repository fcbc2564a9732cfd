#include "exchange/P30_outbox.h"

#include "app/P00_durable.h"
#include "app/P00_util.h"
#include "exchange/P30_requestjournal.h"

#include <cerrno>
#include <cstdio>

namespace velbrin {

namespace {

// Waiting answers are named "<seq, ten digits>-<answer name>", so that the
// folder's name order is the order in which they were written.
constexpr std::size_t kSeqDigits = 10;
constexpr std::size_t kMaxKept = 100000;

std::string SeqName(uint64_t seq, const std::string& resultName) {
    char digits[32];
    std::snprintf(digits, sizeof digits, "%010llu", static_cast<unsigned long long>(seq));
    return std::string(digits) + "-" + resultName;
}

bool ParseKept(const std::string& name, uint64_t& seq, std::string& resultName) {
    if (name.size() <= kSeqDigits + 1 || name[kSeqDigits] != '-') return false;
    long long value = 0;
    if (!TryStrToInt(name.substr(0, kSeqDigits), value) || value < 0) return false;
    seq = static_cast<uint64_t>(value);
    resultName = name.substr(kSeqDigits + 1);
    return true;
}

const char* const kHeldPrefix = "held-";
// An answer on its way into FromFpDir: ".<seq>-<answer>.handed" there.
const char* const kHandedSuffix = ".handed";

}  // namespace

TAnswerOutbox::TAnswerOutbox(std::string dir, std::function<std::string()> fromFpDir, TRequestJournal& journal)
    : dir_(std::move(dir)), fromFpDir_(std::move(fromFpDir)), journal_(journal) {}

void TAnswerOutbox::Put(const std::string& resultName, const std::string& bytes, const std::string& requestId,
                        const std::string& requestName) {
    if (!ForceDirectories(dir_)) throw LinkError("Cannot create the folder " + dir_ + ": " + LastSystemError());
    const uint64_t seq = journal_.LastSeq() + 1;
    const std::string path = JoinPath(dir_, SeqName(seq, resultName));
    // The answer and its name are on disk before the record that counts it: a
    // recorded answer is never lost, and one never recorded is dropped by Settle.
    const std::string draft = WriteDraftDurably(path, bytes);
    try {
        SyncDirectory(dir_);
        journal_.MarkAnswered(seq, requestId, requestName);
    } catch (...) {
        DeleteFileReport(draft);
        throw;
    }
    // Recorded: a cut that undoes this rename leaves the draft, which the start's
    // Settle puts in place, so the rename needs no sync of its own; one that fails
    // now is put in place by the next delivery.
    if (RenameOrErrno(draft, path) != 0) draftsLeft_ = true;
}

std::vector<std::string> TAnswerOutbox::Kept() const {
    std::vector<std::string> kept;
    uint64_t seq = 0;
    std::string result;
    for (const std::string& name : ListPlainFiles(dir_, kMaxKept))
        if (ParseKept(name, seq, result)) kept.push_back(name);
    return kept;
}

std::size_t TAnswerOutbox::Waiting() const { return Kept().size() + Handed().size(); }

std::string TAnswerOutbox::HandedPath(const std::string& kept) const {
    return JoinPath(fromFpDir_(), "." + kept + kHandedSuffix);
}

std::vector<std::string> TAnswerOutbox::Handed() const {
    std::vector<std::string> handed;
    const std::string suffix = kHandedSuffix;
    uint64_t seq = 0;
    std::string result;
    for (const std::string& entry : ListPlainFiles(fromFpDir_(), kMaxKept, true)) {
        if (entry.size() <= suffix.size() + 1 || entry.compare(entry.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        const std::string kept = entry.substr(1, entry.size() - 1 - suffix.size());
        if (ParseKept(kept, seq, result)) handed.push_back(kept);
    }
    return handed;
}

bool TAnswerOutbox::HandOver(const std::string& kept) {
    const std::string from = JoinPath(dir_, kept);
    const std::string handed = HandedPath(kept);
    const int err = RenameOrErrno(from, handed);
    if (err == EXDEV) {
        // Another file system: a complete copy under the hidden name first.
        try {
            WriteFileDurably(handed, ReadWholeFile(from));
        } catch (const LinkError&) {
            return false;
        }
    } else if (err != 0) {
        return false;
    }
    // The hidden name in FromFpDir is on disk before the kept one goes: a power
    // cut in between leaves both, and the next delivery takes the hidden one.
    SyncDirectory(fromFpDir_());
    if (!RemoveFileDurably(from)) return false;
    return true;
}

bool TAnswerOutbox::Publish(const std::string& kept) {
    uint64_t seq = 0;
    std::string result;
    ParseKept(kept, seq, result);
    // One rename inside FromFpDir: after a power cut the answer is under one
    // name or the other, never both, and one the cash register took stays taken.
    if (RenameOrErrno(HandedPath(kept), JoinPath(fromFpDir_(), result)) != 0) return false;
    if (onDelivered_) onDelivered_(result);
    return true;
}

bool TAnswerOutbox::Deliver() {
    std::string failed;
    try {
        if (draftsLeft_) {
            draftsLeft_ = false;
            Settle();
        }
        std::vector<std::string> kept = Kept();
        // Left under both names by a cut: the hidden copy in FromFpDir stands.
        std::erase_if(kept, [&](const std::string& k) {
            if (!failed.empty() || !FileExists(HandedPath(k))) return false;
            if (!RemoveFileDurably(JoinPath(dir_, k))) failed = k;
            return failed.empty();
        });
        // Handed over before the kept ones: they are older.
        for (const std::string& k : Handed())
            if (failed.empty() && !Publish(k)) failed = k;
        for (const std::string& k : kept)
            if (failed.empty() && !(HandOver(k) && Publish(k))) failed = k;
    } catch (const LinkError&) {
        if (failed.empty()) failed = "?";
    }
    if (!failed.empty()) {
        uint64_t seq = 0;
        std::string result = failed;
        ParseKept(failed, seq, result);
        const std::string why = "The answer " + result + " waits in " + dir_ + " until " + fromFpDir_() +
                                " takes it: " + LastSystemError();
        if (!stopped_) {
            stopped_ = true;
            if (onChange_) onChange_(true, why);
        }
        return false;
    }
    if (stopped_) {
        stopped_ = false;
        if (onChange_) onChange_(false, "Answers are delivered again into " + fromFpDir_());
    }
    return true;
}

void TAnswerOutbox::Settle() {
    // Drafts: ".<seq>-<answer>.draft", written before the answer was recorded.
    const std::string suffix = ".draft";
    for (const std::string& entry : ListPlainFiles(dir_, kMaxKept, true)) {
        if (entry.size() <= suffix.size() + 1 || entry.compare(entry.size() - suffix.size(), suffix.size(), suffix) != 0) continue;
        const std::string inner = entry.substr(1, entry.size() - 1 - suffix.size());
        uint64_t seq = 0;
        std::string result;
        const std::string draft = JoinPath(dir_, entry);
        if (ParseKept(inner, seq, result) && journal_.Answered(seq))
            PublishDraft(draft, JoinPath(dir_, inner));
        else
            DeleteFileReport(draft);
    }
}

bool TAnswerOutbox::Writable() const { return ForceDirectories(dir_) && CanWriteIn(dir_); }

std::string TAnswerOutbox::HeldPath(const std::string& receiptName) const {
    return JoinPath(dir_, std::string(kHeldPrefix) + ChangeFileExt(receiptName, ".err"));
}

void TAnswerOutbox::HoldFailure(const std::string& receiptName, const std::string& text) {
    ForceDirectories(dir_);
    WriteFileDurably(HeldPath(receiptName), text);
}

std::optional<std::string> TAnswerOutbox::HeldFailure(const std::string& receiptName) const {
    const std::string path = HeldPath(receiptName);
    if (!FileExists(path)) return std::nullopt;
    return ReadWholeFile(path);
}

void TAnswerOutbox::DropHeldFailure(const std::string& receiptName) {
    // On disk before anything that assumes it gone: a held failure that came
    // back after a power cut would answer a printed receipt as failed.
    if (FileExists(HeldPath(receiptName))) RemoveFileDurably(HeldPath(receiptName));
}

std::vector<std::string> TAnswerOutbox::HeldFailures() const {
    std::vector<std::string> names;
    const std::string prefix = kHeldPrefix;
    for (const std::string& name : ListPlainFiles(dir_, kMaxKept))
        if (name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0)
            names.push_back(name.substr(prefix.size()));
    return names;
}

}  // namespace velbrin
