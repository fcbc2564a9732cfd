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

}  // namespace

TAnswerOutbox::TAnswerOutbox(std::string dir, std::function<std::string()> fromFpDir, TRequestJournal& journal)
    : dir_(std::move(dir)), fromFpDir_(std::move(fromFpDir)), journal_(journal) {}

void TAnswerOutbox::Put(const std::string& resultName, const std::string& bytes, const std::string& requestId,
                        const std::string& requestName) {
    if (!ForceDirectories(dir_)) throw LinkError("Cannot create the folder " + dir_ + ": " + LastSystemError());
    const uint64_t seq = journal_.LastSeq() + 1;
    const std::string path = JoinPath(dir_, SeqName(seq, resultName));
    const std::string draft = WriteDraftDurably(path, bytes);
    try {
        journal_.MarkAnswered(seq, requestId, requestName);
    } catch (...) {
        DeleteFileReport(draft);
        throw;
    }
    // Recorded: from here a start puts the draft in place if this does not.
    PublishDraft(draft, path);
}

std::vector<std::string> TAnswerOutbox::Kept() const {
    std::vector<std::string> kept;
    uint64_t seq = 0;
    std::string result;
    for (const std::string& name : ListPlainFiles(dir_, kMaxKept))
        if (ParseKept(name, seq, result)) kept.push_back(name);
    return kept;
}

std::size_t TAnswerOutbox::Waiting() const { return Kept().size(); }

bool TAnswerOutbox::DeliverOne(const std::string& name) {
    uint64_t seq = 0;
    std::string result;
    ParseKept(name, seq, result);
    const std::string kept = JoinPath(dir_, name);
    const std::string answer = JoinPath(fromFpDir_(), result);
    const int err = RenameOrErrno(kept, answer);
    if (err == 0) {
        SyncDirectory(fromFpDir_());
        return true;
    }
    if (err != EXDEV) return false;
    // Another file system: a complete copy under a hidden name, recorded, then
    // renamed into place, so that a stop at any moment delivers it once.
    const std::string part = JoinPath(fromFpDir_(), "." + result + ".part");
    try {
        WriteFileDurably(part, ReadWholeFile(kept));
        journal_.MarkDelivering(seq);
    } catch (const LinkError&) {
        DeleteFileReport(part);
        return false;
    }
    if (RenameOrErrno(part, answer) != 0) return false;  // finished by Settle
    SyncDirectory(fromFpDir_());
    DeleteFileReport(kept);
    return true;
}

bool TAnswerOutbox::Deliver() {
    for (const std::string& name : Kept()) {
        uint64_t seq = 0;
        std::string result;
        ParseKept(name, seq, result);
        if (DeliverOne(name)) {
            if (onDelivered_) onDelivered_(result);
            continue;
        }
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
    for (const std::string& name : ListPlainFiles(dir_, kMaxKept)) {
        uint64_t seq = 0;
        std::string result;
        if (!ParseKept(name, seq, result) || !journal_.Delivering(seq)) continue;
        // Cut short between the copy and the removal of the kept answer.
        const std::string part = JoinPath(fromFpDir_(), "." + result + ".part");
        if (FileExists(part)) RenameOrErrno(part, JoinPath(fromFpDir_(), result));
        DeleteFileReport(JoinPath(dir_, name));
    }
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

void TAnswerOutbox::DropHeldFailure(const std::string& receiptName) { DeleteFileReport(HeldPath(receiptName)); }

}  // namespace velbrin
