#include "exchange/P30_lnkwork.h"

#include "app/P00_appservices.h"
#include "app/P00_inilink.h"
#include "app/P00_log.h"
#include "app/P00_msg.h"
#include "app/P00_util.h"
#include "closing/P32_zets.h"
#include "app/P00_durable.h"
#include "app/P00_safedir.h"
#include "exchange/P30_outbox.h"
#include "exchange/P30_requestjournal.h"
#include "exchange/P30_requestscan.h"
#include "formats/P00_convert.h"
#include "printer/P00_fp.h"
#include "store/P00_connection.h"
#include "store/P30_commonlink.h"
#include "store/P31_bon.h"
#include "store/P31_storecontext.h"

#include <dirent.h>
#include <sys/stat.h>
#include <cerrno>
#include <cstdio>

#include <algorithm>
#include <optional>
#include <set>

namespace velbrin {

TFormLnkWork::TFormLnkWork(TStoreContext& store, TFormConvert& convert, TFormCommonLink& commonLink)
    : QSql(store.connection),
      store_(store),
      convert_(convert),
      commonLink_(commonLink),
      ini_(store.ini),
      fp_(store.fp),
      msg_(store.msg),
      app_(store.app) {}

TFormLnkWork::~TFormLnkWork() = default;

void TFormLnkWork::CreateReceipt() { bon_ = std::make_unique<TBon>(store_); }

void TFormLnkWork::FreeReceipt() { bon_.reset(); }

TBon& TFormLnkWork::Bon() {
    if (!bon_) throw LinkError("The receipt object has not been created");
    return *bon_;
}

std::string TFormLnkWork::ToFpPath(const std::string& name) const { return JoinPath(ini_.ToFpDir(), name); }

void TFormLnkWork::ExecSql(const std::string& sql) {
    QSql.SetSQL(sql);
    QSql.ExecSQL();
}

void TFormLnkWork::CheckFiscalisedQuietly() { commonLink_.CheckFiscalised(false); }

void TFormLnkWork::ExportReceipt(int64_t bonId) { store_.zets.ExportReceipt(bonId); }

void TFormLnkWork::OpenJournal() {
    if (journal_) return;
    journal_ = std::make_unique<TRequestJournal>(JoinPath(ini_.OtherDir(), "Requests.journal"));
    journal_->Load();
    for (const std::string& bad : journal_->Rejected())
        store_.linkLog.Write("Request journal: a record that fails its checksum is skipped: " + bad);
    outbox_ = std::make_unique<TAnswerOutbox>(KeptAnswersDir(), [this] { return ini_.FromFpDir(); }, *journal_);
    outbox_->OnDelivered([this](const std::string& result) { store_.app.AnswerDelivered(result); });
    outbox_->OnTold([this](const std::string& line) { store_.linkLog.Write(line); });
    outbox_->OnDeliveryChange([this](bool stopped, const std::string& why) {
        store_.linkLog.Write(why);
        store_.app.SetState(TLinkState::AnswersWaiting, stopped, why);
        if (stopped)
            Notice(deliveryNoticeGiven_, msg_.GetMsg(kMsgAnswersWait) + "\r\n" + why);
        else
            deliveryNoticeGiven_ = false;
    });
}

TRequestJournal& TFormLnkWork::Journal() {
    OpenJournal();
    return *journal_;
}

TAnswerOutbox& TFormLnkWork::Outbox() {
    OpenJournal();
    return *outbox_;
}

void TFormLnkWork::HoldFailure(const std::string& receiptName, const std::string& text) {
    if (receiptName.empty()) return;
    try {
        Outbox().HoldFailure(receiptName, text);
    } catch (const std::exception& e) {
        store_.linkLog.Write("The failure of " + receiptName + " could not be held: " + e.what());
    }
}

void TFormLnkWork::CompactJournal() {
    try {
        // Records go only with files whose removal is on disk: a removal that a
        // power cut could still undo would bring back a file nobody remembers.
        SyncDirectory(ini_.ToFpDir());
    } catch (const std::exception& e) {
        store_.linkLog.Write(std::string("Request journal not compacted: ") + e.what());
        return;
    }
    std::set<std::string> present;
    // Every entry under a request's name, known by its identity with its bytes
    // and by the one it has unread (a refused link or unreadable file too).
    const TSafeDir dir(ini_.ToFpDir());
    for (const std::string& name : dir.Names(kMaxSweepEntries)) {
        if (name.empty() || name[0] == '.' || !TRequestScan::IsRequestKind(TRequestScan::KindOf(name))) continue;
        const TFileFacts facts = dir.Facts(name);
        if (facts.type == TFileFacts::Type::Missing || facts.type == TFileFacts::Type::Folder) continue;
        present.insert(UnreadIdentityOf(facts, name));
        const std::string id = facts.Plain() ? FileIdentityOf(ToFpPath(name)) : std::string();
        if (!id.empty()) present.insert(id);
    }
    try {
        Journal().Compact(present);
    } catch (const std::exception& e) {
        // The journal as it stands is still whole: it only stays longer.
        store_.linkLog.Write(std::string("Request journal not compacted: ") + e.what());
    }
}

void TFormLnkWork::Notice(bool& given, const std::string& text) {
    if (given) return;
    given = true;
    app_.ShowNotice(text);
}

std::string TFormLnkWork::RequestIdOf(const std::string& fileName) const {
    if (currentName_.empty()) return {};
    if (fileName == "Comm.err") return {};
    return SameText(ChangeFileExt(fileName, ""), ChangeFileExt(currentName_, "")) ? currentId_ : std::string();
}

void TFormLnkWork::RemoveRequest(const std::string& path) {
    const bool current = !currentFile_.empty() && ExtractFileName(path) == currentFile_;
    // Only the file that was taken: one put in its place meanwhile is a new request.
    if (current && currentIno_ != 0) {
        const TFileFacts now = TSafeDir(ExtractFileDir(path)).Facts(currentFile_);
        if (now.type != TFileFacts::Type::Missing && now.ino != currentIno_) return;
    }
    const std::string id = current ? currentId_ : FileIdentityOf(path);
    std::string why;
    try {
        // On disk before the next printer command: a file a power cut brings back
        // must still be known to the journal, which compaction checks the same way.
        if (RemoveFileDurably(path)) {
            if (removed_.size() > kMaxSweepEntries) removed_.clear();
            if (!id.empty()) removed_.insert(id);
            return;
        }
        why = LastSystemError();
    } catch (const std::exception& e) {
        why = e.what();
    }
    // Tried again each cycle; said once for each file.
    if (unremovable_.size() > kMaxSweepEntries || !unremovable_.insert(id).second) return;
    store_.linkLog.Write("Request " + ExtractFileName(path) + " carried out but not removed from " + ini_.ToFpDir() +
                         ": " + why);
    Notice(removeNoticeGiven_, msg_.GetMsg(kMsgCannotRemoveRequests) + "\r\n" + ini_.ToFpDir() + ": " + why);
}

bool TFormLnkWork::FlushUnwritten() {
    while (!unwritten_.empty()) {
        const Unwritten& u = unwritten_.front();
        try {
            Outbox().Put(u.result, u.bytes, u.requestId, u.requestName);
        } catch (const std::exception&) {
            return false;
        }
        store_.linkLog.Write("The answer " + u.result + " is written down");
        unwritten_.erase(unwritten_.begin());
    }
    return true;
}

void TFormLnkWork::RunCycle() {
    // Amounts are formatted and parsed by our own fixed-point code with "." as the
    // decimal point, whatever the locale says, so there is no process setting to renew.
    // No request is taken while an answer has no place to be written down.
    if (!FlushUnwritten() || !Outbox().Writable()) {
        if (!outboxNoticeGiven_) store_.linkLog.Write("No request is taken: answers cannot be written into " + KeptAnswersDir());
        Notice(outboxNoticeGiven_, msg_.GetMsg(kMsgOutboxFull) + "\r\n" + KeptAnswersDir());
        return;
    }
    if (outboxNoticeGiven_) {
        store_.linkLog.Write("Answers can be written into " + KeptAnswersDir() + " again");
        outboxNoticeGiven_ = false;
    }
    DeliverKeptAnswers();
    // A link that runs for weeks keeps its journal small between starts too.
    if (Journal().Appended() > kCompactAfterRecords) CompactJournal();
    ResolveHeldReceipt();
    TakeRequests();
}

void TFormLnkWork::WriteResult(const std::string& fileName, const std::string& text, bool success) {
    WriteAnswer(ChangeFileExt(fileName, success ? ".ok" : ".err"), text + "\r\n", RequestIdOf(fileName), fileName);
    // Written down: from here the next start delivers it, so the receipt's
    // archive no longer needs to ask for it. Any other answer (Comm.err above
    // all) leaves the receipt's answer due.
    if (bon_ && SameText(ChangeFileExt(fileName, ""), ChangeFileExt(bon_->FileName(), ""))) bon_->ClearAnswerDue();
    DeliverKeptAnswers();
}

void TFormLnkWork::WriteAnswer(const std::string& result, const std::string& bytes, const std::string& requestId,
                               const std::string& requestName) {
    Unwritten answer{result, bytes, requestId, requestName};
    if (!unwritten_.empty()) {
        // Behind an answer not yet written down: the order of answers holds.
        unwritten_.push_back(std::move(answer));
        throw LinkError("The answer " + result + " could not be written into " + KeptAnswersDir());
    }
    try {
        Outbox().Put(answer.result, answer.bytes, answer.requestId, answer.requestName);
    } catch (const std::exception& e) {
        store_.linkLog.Write("The answer " + result + " could not be written: " + e.what());
        unwritten_.push_back(std::move(answer));
        Notice(outboxNoticeGiven_, msg_.GetMsg(kMsgOutboxFull) + "\r\n" + e.what());
        throw LinkError("The answer " + result + " could not be written: " + e.what());
    }
}

std::string TFormLnkWork::KeptAnswersDir() const { return JoinPath(ini_.OtherDir(), "Answers"); }

void TFormLnkWork::DeliverKeptAnswers() { Outbox().Deliver(); }

std::vector<std::string> TFormLnkWork::PacketsInToFpDir(const std::string& prefix) const {
    const std::string dir = ini_.ToFpDir();
    if (!DirectoryExists(dir)) throw LinkError("Cannot read the directory " + dir);
    std::vector<std::string> names;
    for (const std::string& name : ListPlainFiles(dir, kMaxSweepEntries))
        if (StartsWithNoCase(name, prefix) && TRequestScan::IsPacket(name)) names.push_back(name);
    return names;
}

void TFormLnkWork::DropConvertedOriginals(const std::vector<std::string>& packets) {
    // A run stopped between converting a receipt and deleting the original
    // leaves both; the packet is taken in below, and the original would be
    // converted and printed a second time by the next cycle.
    DIR* d = ::opendir(ini_.ToFpDir().c_str());
    if (d == nullptr) return;
    std::vector<std::string> originals;
    std::size_t seen = 0;
    while (dirent* e = ::readdir(d)) {
        if (++seen > kMaxSweepEntries) break;
        const std::string name = e->d_name;
        if (name.empty() || name[0] == '.' || TRequestScan::IsPacket(name)) continue;
        for (const std::string& packet : packets)
            if (SameText(TRequestScan::PacketName(name), packet)) originals.push_back(name);
    }
    ::closedir(d);
    for (const std::string& name : originals) DeleteFileReport(ToFpPath(name));
}

void TFormLnkWork::RecoverExchange() {
    OpenJournal();
    Outbox().Settle();
    // The answer the stopped run wrote last, before this start writes any.
    const std::string answeredLast = Journal().LastAnswered();
    RecoverRequests();
    AnswerForgottenFailures(answeredLast);
}

void TFormLnkWork::AnswerForgottenFailures(const std::string& answeredLast) {
    // A failure is held before the receipt leaves curr_abc and dropped once it is
    // answered; one still held here, for no receipt the link keeps, was cut off
    // between the two.
    const std::string inAbc = Bon().AbcIsEmpty() ? std::string() : HeldReceiptName();
    for (const std::string& held : Outbox().HeldFailures()) {
        const auto same = [&held](const std::string& name) {
            return !name.empty() && SameText(ChangeFileExt(name, ""), ChangeFileExt(held, ""));
        };
        if (same(inAbc) || (held_ != THeld::None && same(Bon().FileName()))) continue;
        try {
            if (!same(answeredLast)) {
                const std::optional<std::string> failure = Outbox().HeldFailure(held);
                if (failure) WriteResult(held, *failure, false);
            }
            Outbox().DropHeldFailure(held);
        } catch (const std::exception& e) {
            store_.linkLog.Write("The held failure of " + held + " could not be answered: " + e.what());
        }
    }
}

void TFormLnkWork::AnswerArchivedReceipt(const std::string& name) {
    // A receipt cancelled on its way out is the failure it was, unless the
    // cancellation could not void every line: then it was printed and paid, and
    // a failure held before that was not yet dropped when the link stopped.
    const std::optional<std::string> failure = Outbox().HeldFailure(name);
    const Money total = Bon().ReceiptTotal();
    if (failure && total == Money())
        WriteResult(name, *failure, false);
    else
        WriteResult(name, total.Format(2), true);
}

void TFormLnkWork::SettleClosingAndAnswerDue() {
    TBon& bon = Bon();
    try {
        store_.zets.SettleClosingBegun();
    } catch (const std::exception& e) {
        if (DbLost()) throw;
        store_.linkLog.Write(std::string("A day closing begun before the stop could not be settled: ") + e.what());
    }
    // A receipt archived by the previous run just before it stopped, its answer
    // not yet written down (a written one is the journal's last record).
    const std::string due = bon.AnswerDue();
    if (!due.empty()) {
        try {
            if (bon.AbcIsEmpty() && !SameText(Journal().LastAnswered(), due)) {
                bon.LoadLastBonId();  // the receipt archived last is the one due
                AnswerArchivedReceipt(due);
            }
        } catch (const std::exception& e) {
            if (DbLost()) throw;
            store_.linkLog.Write("The answer of " + due + " could not be written: " + e.what());
        }
        bon.ClearAnswerDue();
    }
    if (!due.empty()) Outbox().DropHeldFailure(due);
    DeliverKeptAnswers();
}

void TFormLnkWork::RecoverRequests() {
    TBon& bon = Bon();
    SettleClosingAndAnswerDue();
    for (const std::string& name : PacketsInToFpDir("TXT_")) {
        const std::string path = ToFpPath(name);
        currentName_ = name;
        currentId_ = FileIdentityOf(path);
        // A text of the previous run is not printed again; the cash register
        // learns that it was not (or not wholly) printed.
        if (!Journal().CarriedOut(currentId_)) WriteResult(name, msg_.GetMsg(kMsgTextDropped), false);
        RemoveRequest(path);
    }
    currentName_.clear();
    currentId_.clear();
    try {
        fp_.CloseNonFiscal();
    } catch (const std::exception&) {
    }
    std::vector<std::string> receipts;
    for (const std::string& name : PacketsInToFpDir("ABC_")) {
        // Taken in or answered before: a ToFpDir that refused its removal left it.
        if (Journal().CarriedOut(FileIdentityOf(ToFpPath(name))))
            RemoveRequest(ToFpPath(name));
        else
            receipts.push_back(name);
    }
    DropConvertedOriginals(receipts);
    if (receipts.size() == 1) {
        if (bon.AbcWasSent()) {
            RemoveRequest(ToFpPath(receipts[0]));
        } else {
            if (!bon.AbcIsEmpty()) ExecSql("delete from curr_abc");
            currentName_ = receipts[0];
            currentId_ = FileIdentityOf(ToFpPath(receipts[0]));
            try {
                LoadAbcFile(receipts[0]);
            } catch (const std::exception& e) {
                // A leftover that cannot be taken in is answered like any other.
                ExecSql("delete from curr_abc");
                WriteResult(receipts[0], e.what(), false);
                RemoveRequest(ToFpPath(receipts[0]));
            }
            currentName_.clear();
            currentId_.clear();
        }
    } else {
        // Which of them the cash register meant to come first is not known: none
        // is printed, and each is told so.
        for (const std::string& name : receipts) {
            currentName_ = name;
            currentId_ = FileIdentityOf(ToFpPath(name));
            WriteResult(name, msg_.GetMsg(kMsgReceiptNotTakenAtStart), false);
            RemoveRequest(ToFpPath(name));
        }
        currentName_.clear();
        currentId_.clear();
    }
    CompactJournal();
    SettleReceiptInHand();
}

}  // namespace velbrin
