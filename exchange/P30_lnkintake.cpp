// The intake of the exchange cycle: ToFpDir is written by others, so each
// request file is opened once without following a link or blocking, judged on
// the open descriptor, bounded before it is read, read once, and known by its
// identity; the link's own packets are made new beside it, never through a
// name that was there.
#include "exchange/P30_lnkwork.h"

#include "app/P00_durable.h"
#include "app/P00_inilink.h"
#include "app/P00_log.h"
#include "app/P00_msg.h"
#include "app/P00_safedir.h"
#include "app/P00_util.h"
#include "exchange/P30_outbox.h"
#include "exchange/P30_request.h"
#include "exchange/P30_requestjournal.h"
#include "exchange/P30_requestscan.h"
#include "formats/P00_convert.h"
#include "printer/P00_fp.h"
#include "store/P00_connection.h"
#include "store/P31_storecontext.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace velbrin {

namespace {

// Rows of a packet's text, counted before it is parsed: "<ROW" that is no "<ROWDATA".
std::size_t RowsIn(std::string_view bytes) {
    std::size_t rows = 0;
    for (std::size_t at = bytes.find("<ROW"); at != std::string_view::npos; at = bytes.find("<ROW", at + 4))
        if (bytes.compare(at, 8, "<ROWDATA") != 0) ++rows;
    return rows;
}

}  // namespace

TRequestScan& TFormLnkWork::Scan() {
    if (!scan_) {
        scan_ = std::make_unique<TRequestScan>();
        const int quiet = ini_.FileQuietMs();
        if (quiet > 0) scan_->SetQuietMs(quiet);
    }
    return *scan_;
}

void TFormLnkWork::TakeRequests() {
    const TSafeDir dir(ini_.ToFpDir());
    struct Forget {
        TFormLnkWork& w;
        ~Forget() {
            w.currentName_.clear();
            w.currentId_.clear();
            w.currentFile_.clear();
            w.currentIno_ = 0;
            w.stagedName_.clear();
            w.stagedBytes_.clear();
            w.apiRequest_ = false;
        }
    } forget{*this};
    std::vector<TScanned> files = Scan().Next(dir);
    std::vector<TApiBook::TPending> api;
    if (apiBook_) api = apiBook_->Pending();
    // One queue: a request through the HTTP interface goes before the first
    // file of its kind's turn (commands first, then receipts, articles, texts)
    // that came after it, and after every file of an earlier turn.
    // With the printer's day closed, a replacement or deletion of articles
    // (which needs a closed day) goes first: a receipt before it would open the
    // day again, and the replacement would cost a second Z report.
    const auto needsClosedDay = [](const std::string& name) {
        const std::string op = UpperCase(name.substr(0, 5));
        return op == "ART-R" || op == "ART-D";
    };
    bool closedDayFirst =
        std::any_of(files.begin(), files.end(), [&](const TScanned& f) { return needsClosedDay(f.name); }) ||
        std::any_of(api.begin(), api.end(), [&](const TApiBook::TPending& p) { return needsClosedDay(p.name); });
    try {
        closedDayFirst = closedDayFirst && fp_.IsReceiptClosed();
    } catch (const LinkError&) {
        closedDayFirst = false;  // the order as it stands; the handler asks the printer again
    }
    if (closedDayFirst) {
        std::stable_partition(files.begin(), files.end(), [&](const TScanned& f) { return needsClosedDay(f.name); });
        std::stable_partition(api.begin(), api.end(), [&](const TApiBook::TPending& p) { return needsClosedDay(p.name); });
    }
    const auto rank = [&](const std::string& name) {
        if (closedDayFirst && needsClosedDay(name)) return -1;
        static const std::string order[] = {"CMD_", "ABC_", "ART-", "TXT_"};
        const std::string kind = TRequestScan::KindOf(name);
        for (int i = 0; i < 4; ++i)
            if (kind == order[i]) return i;
        return 4;
    };
    std::size_t nextApi = 0;
    const auto apiDue = [&](const TScanned* file) {
        if (nextApi >= api.size()) return false;
        if (file == nullptr) return true;
        const TApiBook::TPending& p = api[nextApi];
        const int a = rank(p.name), f = rank(file->name);
        return a < f || (a == f && p.receivedMs * 1000000 <= file->facts.mtimeNs);
    };
    for (std::size_t at = 0; at <= files.size(); ++at) {
        const TScanned* file = at < files.size() ? &files[at] : nullptr;
        while (apiDue(file)) {
            if (DbLost()) throw TDbLostError("the database does not answer");
            if (!TakeApiRequest(api[nextApi++])) return;
        }
        if (file == nullptr) break;
        const TScanned& entry = *file;
        // Nothing more is taken once the database is gone (an answer's last
        // step may have found it so without failing its request).
        if (DbLost()) throw TDbLostError("the database does not answer");
        TRequest request;
        if (!ReadRequest(dir, entry, request)) continue;
        currentName_ = currentFile_ = request.fileName;
        currentId_ = request.id;
        currentIno_ = request.facts.ino;
        try {
            if (AnsweredBefore(dir, request)) continue;
            if (!request.refusal.empty()) {
                Refuse(request);
                continue;
            }
            if (!TRequestScan::IsPacket(request.fileName)) {
                const TConverted converted = ConvertRequest(dir, request);
                if (converted == TConverted::EndCycle) return;
                if (converted != TConverted::Done) continue;
            }
            if (!Dispatch(request)) return;
        } catch (const std::exception&) {
            if (DbLost()) heldRequest_ = currentName_;
            // An answer that found no place: kept in memory, the request file
            // stays, and no other request is taken until it is written down.
            if (!unwritten_.empty() && !DbLost()) return;
            throw;
        }
    }
}

bool TFormLnkWork::TakeApiRequest(TApiBook::TPending& p) {
    TRequestJournal& journal = Journal();
    const bool text = TRequestScan::KindOf(p.name) == "TXT_";
    if (journal.CarriedOut(p.id)) {
        // A text begun by a run that stopped (or cut short by a lost database) is
        // not printed again, as a text file left in ToFpDir is not: the till
        // learns that it was not, or not wholly, printed.
        if (text && journal.FirstAnswer(p.id).seq == 0) {
            currentName_ = p.name;
            currentId_ = p.id;
            WriteResult(p.name, msg_.GetMsg(kMsgTextDropped), false);
        }
        // Otherwise its answer is on its way, or the receipt is in hand.
        return true;
    }
    // A receipt a stopped run left in curr_abc, held until the printer tells its state.
    if (held_ != THeld::None && SameText(ChangeFileExt(HeldReceiptName(), ""), ChangeFileExt(p.name, ""))) return true;
    TRequest request;
    request.fileName = request.answerName = currentName_ = p.name;
    request.kind = TRequestScan::KindOf(p.name);
    request.bytes = std::move(p.packet);
    currentId_ = p.id;
    currentFile_.clear();
    currentIno_ = 0;
    // A text has no record of its own in the printer or the database: taken
    // here, it is never printed a second time.
    if (text) journal.MarkTaken(p.id, p.name);
    apiRequest_ = true;
    try {
        const bool goOn = Dispatch(request);
        apiRequest_ = false;
        return goOn;
    } catch (const std::exception&) {
        apiRequest_ = false;
        if (DbLost()) heldRequest_ = currentName_;
        if (!unwritten_.empty() && !DbLost()) return false;
        throw;
    }
}

bool TFormLnkWork::ReadRequest(const TSafeDir& dir, const TScanned& entry, TRequest& r) {
    r.fileName = r.answerName = entry.name;
    r.kind = TRequestScan::KindOf(entry.name);
    r.facts = entry.facts;
    const std::string path = JoinPath(dir.Path(), entry.name);
    const auto unread = [&r](const std::string& why) {
        r.id = r.unreadId = UnreadIdentityOf(r.facts, r.fileName);
        r.refusal = why;
        return true;
    };
    const auto notPlain = [&](const TFileFacts& facts) {
        // Never read, written or followed: refused, and the name itself removed.
        r.plain = false;
        r.facts = facts;
        return unread(path + " is not a plain file");
    };
    if (!entry.plain) return notPlain(entry.facts);
    const int fd = dir.OpenForReading(entry.name);
    if (fd < 0) {
        // Gone since the scan: a packet this cycle carried out in its original's
        // name, or a file its writer took back.
        if (errno == ENOENT) return false;
        if (errno == ELOOP) return notPlain(dir.Facts(entry.name));
        // Not a file still being written: one that cannot be opened never will
        // be by waiting, and must not hold the requests behind it.
        return unread("Cannot open file " + path + ": " + std::strerror(errno));
    }
    const TFileFacts facts = TSafeDir::FactsOf(fd);
    const std::size_t limit = TRequestScan::MaxBytes(r.kind);
    bool judgedAgain = false;
    if (!facts.Plain()) {
        ::close(fd);
        return notPlain(facts);
    }
    if (!facts.Unchanged(entry.facts)) {
        judgedAgain = true;  // changed since the scan judged it
    } else if (facts.size > limit) {
        ::close(fd);
        r.facts = facts;
        return unread("File " + path + " is larger than " + std::to_string(limit) + " bytes");
    } else if (!TSafeDir::ReadAtMost(fd, limit, r.bytes) || r.bytes.size() != facts.size) {
        // It grew while it was read: its writer is not done. A read that
        // failed on an unchanged file is a failure of the file.
        judgedAgain = !TSafeDir::FactsOf(fd).Unchanged(facts);
        if (!judgedAgain) {
            ::close(fd);
            return unread("Cannot read file " + path + ": " + std::strerror(errno != 0 ? errno : EIO));
        }
    }
    ::close(fd);
    if (judgedAgain) return false;
    r.facts = facts;
    r.id = IdentityOf(facts, r.fileName, r.bytes);
    r.unreadId = UnreadIdentityOf(facts, r.fileName);
    // Names the answer or the database cannot carry are refused before
    // anything is printed; an answer under a name that cannot be made goes
    // under a shortened one.
    const std::string answer = ChangeFileExt(r.fileName, ".err");
    if (answer.size() > TAnswerOutbox::kMaxAnswerName) {
        r.answerName = TAnswerOutbox::FittingName(answer);
        r.refusal = "The name of the request " + r.fileName + " is longer than " +
                    std::to_string(TAnswerOutbox::kMaxAnswerName) + " bytes: its answer cannot be named after it";
    } else if (TApiBook::IsApiName(r.fileName)) {
        // Such names belong to requests of the HTTP interface; the answer goes
        // under a name that is none of theirs.
        const std::size_t at = UpperCase(r.fileName).find("@API-");
        r.answerName = ChangeFileExt(r.fileName.substr(0, at) + "@API_" + r.fileName.substr(at + 5), ".err");
        r.refusal = "The name " + r.fileName + " is kept for requests through the link's HTTP interface";
    } else if (r.kind == "ABC_" && TRequestScan::PacketName(r.fileName).size() > kMaxReceiptName) {
        r.refusal = "The name of the receipt " + r.fileName + " is longer than " + std::to_string(kMaxReceiptName) +
                    " characters";
    }
    return true;
}

bool TFormLnkWork::AnsweredBefore(const TSafeDir& dir, const TRequest& r) {
    TRequestJournal& journal = Journal();
    if (!journal.CarriedOut(r.id) && !journal.CarriedOut(r.unreadId)) return false;
    const std::string path = JoinPath(dir.Path(), r.fileName);
    const auto known = [&r](const std::set<std::string>& ids) { return ids.count(r.id) != 0 || ids.count(r.unreadId) != 0; };
    if (known(unremovable_)) {
        // Done already; only its removal failed before.
        RemoveRequest(path);
        return true;
    }
    if (known(removed_)) {
        // The same file dropped again: answered again, never carried out again.
        AnswerAgain(r);
    } else {
        // Carried out by a run that stopped before it could remove it.
        store_.linkLog.Write("Request " + r.fileName + " was carried out and answered before the link stopped; " +
                             "it is removed now");
    }
    RemoveRequest(path);
    return true;
}

void TFormLnkWork::AnswerAgain(const TRequest& r) {
    TRequestJournal::TAnswerRecord first = Journal().FirstAnswer(r.id);
    if (first.seq == 0) first = Journal().FirstAnswer(r.unreadId);
    const std::optional<TAnswerOutbox::TGiven> given =
        first.seq == 0 ? std::nullopt : Outbox().Given(first.seq);
    store_.linkLog.Write("Request " + r.fileName + " came again after it was carried out; it is answered again" +
                         (given ? " with its first answer " + given->resultName : std::string()) +
                         ", not carried out again");
    if (given) {
        WriteAnswer(given->resultName, given->bytes, currentId_, r.fileName);
        DeliverKeptAnswers();
        return;
    }
    currentName_ = r.answerName;
    WriteResult(r.answerName,
                r.fileName + " was carried out and answered before" +
                    (first.seq != 0 ? " (answer number " + std::to_string(first.seq) + ")" : std::string()) +
                    "; it is not carried out again",
                false);
}

void TFormLnkWork::Refuse(const TRequest& r) {
    store_.linkLog.Write("Request " + r.fileName + " refused: " + r.refusal);
    currentName_ = r.answerName;  // the answer carries the request's identity
    WriteResult(r.answerName, r.refusal, false);
    // A link goes, not what it points to: unlink never follows.
    RemoveRequest(ToFpPath(r.fileName));
}

TFormLnkWork::TConverted TFormLnkWork::ConvertRequest(const TSafeDir& dir, TRequest& r) {
    const std::string path = JoinPath(dir.Path(), r.fileName);
    const std::string packet = TRequestScan::PacketName(r.fileName);
    std::string text;
    try {
        text = convert_.ConvertInput(path, r.bytes, TRequestScan::MaxRows(r.kind));
    } catch (const std::exception& e) {
        WriteResult(r.fileName, e.what(), false);
        RemoveRequest(path);
        return TConverted::EndCycle;
    }
    TFileFacts made;
    if (const int err = dir.CreateNew(packet, text, made); err == EEXIST) {
        // Our own packet of this very file, left by a stop before the original
        // went, holds the same bytes and stands; anything else is in the way.
        std::string there;
        const int fd = dir.OpenForReading(packet);
        bool ours = false;
        if (fd >= 0) {
            made = TSafeDir::FactsOf(fd);
            ours = made.Plain() && TSafeDir::ReadAtMost(fd, text.size(), there) && there == text;
            ::close(fd);
        }
        if (!ours) {
            const std::string why =
                JoinPath(dir.Path(), packet) + " is in the way: the packet of " + r.fileName + " cannot be made";
            store_.linkLog.Write("Request " + r.fileName + " refused: " + why);
            WriteResult(r.fileName, why, false);
            RemoveRequest(path);
            return TConverted::Refused;
        }
    } else if (err != 0) {
        WriteResult(r.fileName, "Cannot create file " + JoinPath(dir.Path(), packet) + ": " + std::strerror(err), false);
        RemoveRequest(path);
        return TConverted::EndCycle;
    }
    // The packet whole and named on disk before the original goes.
    dir.Sync();
    // An original ToFpDir does not let go (a sticky folder, a file of another
    // user) is carried out all the same: the conversion record keeps it from
    // being carried out again, and the operator is told once.
    const bool originalGone = dir.Remove(r.fileName);
    if (originalGone) {
        if (removed_.size() > kMaxSweepEntries) removed_.clear();
        removed_.insert(currentId_);
    }
    const std::string packetId = IdentityOf(made, packet, text);
    // The packet stands for the original from here: a power cut that brings
    // the original back must not let it be converted and carried out again.
    // The packet's removal, synced before the printer hears of it, makes the
    // original's durable too.
    Journal().MarkConverted(currentId_, packetId, r.fileName);
    if (!originalGone) RemoveRequest(path);
    currentName_ = currentFile_ = packet;
    currentId_ = packetId;
    currentIno_ = made.ino;
    r.bytes = std::move(text);
    return TConverted::Done;
}

bool TFormLnkWork::Dispatch(TRequest& r) {
    const std::string packet = TRequestScan::PacketName(r.fileName);
    // The handler takes the packet read (or made) here, not the file by name again.
    stagedName_ = packet;
    stagedBytes_ = std::move(r.bytes);
    if (r.kind == "CMD_") {
        ProcessCommandFile(packet);
    } else if (r.kind == "ABC_") {
        const bool heldBefore = held_ != THeld::None;
        ProcessAbcFile(packet);
        CheckFiscalisedQuietly();
        // A receipt held just now is settled first, by the next cycle.
        if (held_ != THeld::None && !heldBefore) return false;
    } else if (r.kind == "ART-") {
        ProcessArticleFile(packet);
    } else if (r.kind == "TXT_") {
        ProcessTextFile(packet);
    }
    stagedName_.clear();
    stagedBytes_.clear();
    return true;
}

void TFormLnkWork::LoadPacket(const std::string& name, const std::string& kind) {
    const std::string path = ToFpPath(name);
    std::string bytes;
    if (!stagedName_.empty() && stagedName_ == name) {
        bytes = std::move(stagedBytes_);
        stagedName_.clear();
    } else {
        bytes = TSafeDir(ini_.ToFpDir()).ReadFile(name, TRequestScan::MaxBytes(kind));
    }
    const std::size_t rows = RowsIn(bytes);
    if (kind == "ABC_" && rows > kMaxAbcRows) throw LinkError(msg_.GetMsg(53));
    if (rows > TRequestScan::MaxRows(kind))
        throw LinkError(path + ": more than " + std::to_string(TRequestScan::MaxRows(kind)) + " rows");
    try {
        CDSInput.LoadFromText(bytes, &TFormConvert::Layout(kind));
    } catch (const LinkError& e) {
        CDSInput.Clear();
        throw LinkError(path + ": " + e.Text());
    }
}

}  // namespace velbrin
