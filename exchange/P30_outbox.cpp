#include "exchange/P30_outbox.h"

#include "app/P00_durable.h"
#include "app/P00_safedir.h"
#include "app/P00_util.h"
#include "exchange/P30_apibook.h"
#include "exchange/P30_requestjournal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

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

std::string TAnswerOutbox::FittingName(const std::string& name) { return ShortenedFileName(name, kMaxAnswerName); }

std::string TAnswerOutbox::GivenDir() const { return JoinPath(dir_, "Given"); }

std::string TAnswerOutbox::UndeliveredDir() const { return JoinPath(dir_, "Undelivered"); }

void TAnswerOutbox::Put(const std::string& resultName, const std::string& bytes, const std::string& requestId,
                        const std::string& requestName) {
    const uint64_t seq = journal_.LastSeq() + 1;
    if (apiSink_ && TApiBook::IsApiName(resultName)) {
        // An answer of the HTTP interface has no folder to wait for: it is put
        // down in its book (durably) before the record that counts it, and its
        // client hears it at once.
        apiSink_(resultName, bytes);
        journal_.MarkAnswered(seq, requestId, requestName);
        if (onDelivered_) onDelivered_(resultName);
        return;
    }
    if (!ForceDirectories(dir_)) throw LinkError("Cannot create the folder " + dir_ + ": " + LastSystemError());
    // Whatever name the request had, no name on the answer's way passes the limit.
    const std::string kept = SeqName(seq, FittingName(resultName));
    const std::string path = JoinPath(dir_, kept);
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
    KeepGiven(kept, bytes);
}

void TAnswerOutbox::KeepGiven(const std::string& kept, const std::string& bytes) {
    // A convenience, not a promise: a copy a power cut takes away only means the
    // same file dropped again is told that it was answered, not its answer.
    try {
        if (!ForceDirectories(GivenDir())) return;
        WriteWholeFile(JoinPath(GivenDir(), kept), bytes);
        if (++putsSincePrune_ >= 100) PruneGiven();
    } catch (const LinkError&) {
    }
}

void TAnswerOutbox::PruneGiven() {
    putsSincePrune_ = 0;
    const uint64_t last = journal_.LastSeq();
    uint64_t seq = 0;
    std::string result;
    for (const std::string& name : ListPlainFiles(GivenDir(), kMaxKept))
        if (ParseKept(name, seq, result) && seq + kKeptGiven <= last) DeleteFileReport(JoinPath(GivenDir(), name));
}

std::optional<TAnswerOutbox::TGiven> TAnswerOutbox::Given(uint64_t seq) const {
    uint64_t found = 0;
    std::string result;
    for (const std::string& name : ListPlainFiles(GivenDir(), kMaxKept)) {
        if (!ParseKept(name, found, result) || found != seq) continue;
        try {
            return TGiven{result, TSafeDir(GivenDir()).ReadFile(name, 1u << 20)};
        } catch (const LinkError&) {
            return std::nullopt;
        }
    }
    return std::nullopt;
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

int TAnswerOutbox::HandOver(const std::string& kept) {
    const std::string from = JoinPath(dir_, kept);
    const std::string handed = HandedPath(kept);
    const int err = RenameOrErrno(from, handed);
    if (err == EXDEV) {
        // Another file system: a complete copy under the hidden name first.
        try {
            WriteFileDurably(handed, ReadWholeFile(from));
        } catch (const LinkError&) {
            return errno != 0 ? errno : EIO;
        }
    } else if (err != 0) {
        return err;
    }
    // The hidden name in FromFpDir is on disk before the kept one goes: a power
    // cut in between leaves both, and the next delivery takes the hidden one.
    SyncDirectory(fromFpDir_());
    if (!RemoveFileDurably(from)) return errno != 0 ? errno : EIO;
    return 0;
}

int TAnswerOutbox::Publish(const std::string& kept) {
    uint64_t seq = 0;
    std::string result;
    ParseKept(kept, seq, result);
    // One rename inside FromFpDir: after a power cut the answer is under one
    // name or the other, never both, and one the cash register took stays taken.
    if (const int err = RenameOrErrno(HandedPath(kept), JoinPath(fromFpDir_(), result)); err != 0) return err;
    if (onDelivered_) onDelivered_(result);
    return 0;
}

bool TAnswerOutbox::OnlyThisAnswer(int err) {
    return err == ENAMETOOLONG || err == EISDIR || err == ENOTEMPTY || err == EEXIST;
}

void TAnswerOutbox::SetAside(const std::string& path, const std::string& kept, int err) {
    uint64_t seq = 0;
    std::string result = kept;
    ParseKept(kept, seq, result);
    if (!MakeDirectoriesDurably(UndeliveredDir()))
        throw LinkError("Cannot create the folder " + UndeliveredDir() + ": " + LastSystemError());
    const std::string aside = JoinPath(UndeliveredDir(), SeqName(seq, FittingName(result)));
    const int moved = RenameOrErrno(path, aside);
    if (moved == EXDEV) {
        WriteFileDurably(aside, TSafeDir(ExtractFileDir(path)).ReadFile(ExtractFileName(path), 1u << 20));
        RemoveFileDurably(path);
    } else if (moved != 0) {
        throw LinkError("Cannot move the answer " + result + " into " + UndeliveredDir() + ": " + std::strerror(moved));
    }
    SyncDirectory(UndeliveredDir());
    if (onTold_)
        onTold_("The answer " + result + " cannot be delivered into " + fromFpDir_() + ": " + std::strerror(err) +
                    "; it is kept in " + aside + " and the answers behind it go on");
}

bool TAnswerOutbox::Deliver() {
    std::string failed;
    int failedErr = 0;
    bool blocked = false;
    const auto fail = [&](const std::string& k, int err, const std::string& path) {
        if (err == 0) return;
        if (err == ENAMETOOLONG) {
            // It can never be made there: set aside, the rest go on.
            SetAside(path, k, err);
        } else if (OnlyThisAnswer(err)) {
            // Something in the way of its name: it waits, the rest go on.
            blocked = true;
            if (toldBlocked_.insert(k).second && onTold_) {
                uint64_t seq = 0;
                std::string result = k;
                ParseKept(k, seq, result);
                onTold_("The answer " + result + " cannot be put in place in " + fromFpDir_() + ": " +
                        std::strerror(err) + "; it waits, and the answers behind it go on");
            }
        } else {
            failed = k;
            failedErr = err;
        }
    };
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
            if (failed.empty()) fail(k, Publish(k), HandedPath(k));
        for (const std::string& k : kept) {
            if (!failed.empty()) break;
            const int handed = HandOver(k);
            if (handed != 0)
                fail(k, handed, JoinPath(dir_, k));
            else
                fail(k, Publish(k), HandedPath(k));
        }
    } catch (const LinkError&) {
        if (failed.empty()) failed = "?";
    }
    if (!failed.empty()) {
        uint64_t seq = 0;
        std::string result = failed;
        ParseKept(failed, seq, result);
        const std::string why = "The answer " + result + " waits in " + dir_ + " until " + fromFpDir_() +
                                " takes it: " + (failedErr != 0 ? std::strerror(failedErr) : LastSystemError());
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
    if (!blocked) toldBlocked_.clear();
    return !blocked;
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
    PruneGiven();
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
