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
    OpenApiBook();
    JoinApiBookToOutbox();
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

void TFormLnkWork::OpenApiBook() {
    if (apiBook_) return;
    const std::string dir = JoinPath(ini_.OtherDir(), "Api");
    // Also when the interface was turned off: what a stopped run took in is carried out.
    if (ini_.ApiPort() == 0 && !FileExists(JoinPath(dir, "Book.log"))) return;
    apiBook_ = std::make_unique<TApiBook>(dir, ini_.ApiKeepHours());
    apiBook_->Load();
    JoinApiBookToOutbox();
}

void TFormLnkWork::JoinApiBookToOutbox() {
    if (!outbox_ || !apiBook_) return;
    outbox_->SetApiSink([this](const std::string& result, const std::string& bytes) {
        if (!apiBook_->Deliver(result, bytes))
            store_.linkLog.Write("The answer " + result + " belongs to no request the HTTP interface still knows");
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
    // Requests of the HTTP interface are known as long as their keys are.
    if (apiBook_) present.merge(apiBook_->Ids());
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
    // A request of the HTTP interface is known by its name alone, also when a
    // start answers the receipt a stopped run left.
    if (apiBook_ && TApiBook::IsApiName(fileName)) return apiBook_->IdOfName(fileName);
    if (currentName_.empty()) return {};
    if (fileName == "Comm.err") return {};
    return SameText(ChangeFileExt(fileName, ""), ChangeFileExt(currentName_, "")) ? currentId_ : std::string();
}

void TFormLnkWork::RemoveRequest(const std::string& path) {
    // A request of the HTTP interface has no file in ToFpDir: its book keeps it.
    if (apiRequest_ && TApiBook::IsApiName(ExtractFileName(path))) return;
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

}  // namespace velbrin
