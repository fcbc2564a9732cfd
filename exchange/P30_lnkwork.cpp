#include "exchange/P30_lnkwork.h"

#include "app/P00_appservices.h"
#include "app/P00_inilink.h"
#include "app/P00_log.h"
#include "app/P00_msg.h"
#include "app/P00_util.h"
#include "closing/P32_zets.h"
#include "exchange/P30_requestscan.h"
#include "formats/P00_convert.h"
#include "printer/P00_fp.h"
#include "store/P30_commonlink.h"
#include "store/P31_bon.h"
#include "store/P31_storecontext.h"

#include <dirent.h>
#include <sys/stat.h>
#include <cerrno>
#include <cstdio>

#include <algorithm>

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

void TFormLnkWork::PollExchange() {
    // Amounts are formatted and parsed by our own fixed-point code with "." as the
    // decimal point, whatever the locale says, so there is no process setting to renew.
    DeliverKeptAnswers();
    ResolveHeldReceipt();
    const std::string dir = ini_.ToFpDir();
    const std::vector<std::string> work = TRequestScan::WorkList(dir);
    for (const std::string& entry : work) {
        const std::string fileName = TRequestScan::FileNameOf(entry);
        const std::string kind = TRequestScan::KindOf(fileName);
        const std::string packet = TRequestScan::PacketName(fileName);
        if (!TRequestScan::IsPacket(fileName)) {
            const std::string path = JoinPath(dir, fileName);
            try {
                convert_.ConvertInputFile(path);
            } catch (const std::exception& e) {
                DeleteFileReport(path);
                DeleteFileReport(JoinPath(dir, packet));
                WriteResult(fileName, e.what(), false);
                return;
            }
            if (!DeleteFileReport(path)) {
                // Converted again in a later cycle, once the file can go.
                DeleteFileReport(JoinPath(dir, packet));
                continue;
            }
        }
        if (kind == "CMD_") {
            ProcessCommandFile(packet);
        } else if (kind == "ABC_") {
            ProcessAbcFile(packet);
            CheckFiscalisedQuietly();
        } else if (kind == "ART-") {
            ProcessArticleFile(packet);
        } else if (kind == "TXT_") {
            ProcessTextFile(packet);
        }
    }
}

void TFormLnkWork::WriteResult(const std::string& fileName, const std::string& text, bool success) {
    const std::string result = ChangeFileExt(fileName, success ? ".ok" : ".err");
    // The answer is written outside ToFpDir, where a half-delivered draft would be
    // taken for a request of its own kind, and moved into FromFpDir complete.
    const std::string dir = KeptAnswersDir();
    const std::string kept = JoinPath(dir, result);
    ForceDirectories(dir);
    WriteWholeFile(kept, text + "\r\n");
    // Written down: from here the next start delivers it, so the receipt's
    // archive no longer needs to ask for it.
    if (bon_) bon_->ClearAnswerDue();
    if (DeliverAnswer(kept, result)) return;
    store_.linkLog.Write("The answer " + result + " waits in " + dir + " until " + ini_.FromFpDir() + " takes it");
    throw LinkError("The answer " + result + " could not be copied to " + ini_.FromFpDir());
}

bool TFormLnkWork::DeliverAnswer(const std::string& kept, const std::string& result) {
    const std::string answer = JoinPath(ini_.FromFpDir(), result);
    // One move on the same file system: delivered once, whenever the link stops.
    if (::rename(kept.c_str(), answer.c_str()) == 0) return true;
    if (errno != EXDEV) return false;
    const std::string part = JoinPath(ini_.FromFpDir(), "." + result + ".part");
    if (!CopyFileOverwrite(kept, part) || ::rename(part.c_str(), answer.c_str()) != 0) {
        DeleteFileReport(part);
        return false;
    }
    DeleteFileReport(kept);
    return true;
}

std::string TFormLnkWork::KeptAnswersDir() const { return JoinPath(ini_.OtherDir(), "Answers"); }

void TFormLnkWork::DeliverKeptAnswers() {
    const std::string dir = KeptAnswersDir();
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return;
    std::vector<std::string> names;
    while (dirent* e = ::readdir(d)) {
        if (names.size() >= kMaxSweepEntries) break;
        const std::string name = e->d_name;
        if (!name.empty() && name[0] != '.') names.push_back(name);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const std::string kept = JoinPath(dir, name);
        if (!FileExists(kept)) continue;
        if (!DeliverAnswer(kept, name)) return;  // FromFpDir still refuses: the rest wait too
    }
}

std::vector<std::string> TFormLnkWork::PacketsInToFpDir(const std::string& prefix) const {
    std::vector<std::string> names;
    const std::string dir = ini_.ToFpDir();
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) throw LinkError("Cannot read the directory " + dir);
    std::size_t seen = 0;
    while (dirent* e = ::readdir(d)) {
        if (++seen > kMaxSweepEntries) break;
        const std::string name = e->d_name;
        if (name.empty() || name[0] == '.') continue;
        if (!StartsWithNoCase(name, prefix) || !TRequestScan::IsPacket(name)) continue;
        struct stat st {};
        if (::stat(JoinPath(dir, name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        names.push_back(name);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
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
    TBon& bon = Bon();
    // A receipt archived by the previous run just before it stopped, its answer
    // not yet written down (a written one waits among the kept answers).
    const std::string due = bon.AnswerDue();
    if (!due.empty()) {
        try {
            const bool kept = FileExists(JoinPath(KeptAnswersDir(), ChangeFileExt(due, ".ok"))) ||
                              FileExists(JoinPath(KeptAnswersDir(), ChangeFileExt(due, ".err")));
            if (bon.AbcIsEmpty() && !kept) WriteResult(due, bon.PrinterTotal().Format(2), true);
        } catch (const std::exception& e) {
            store_.linkLog.Write("The answer of " + due + " could not be written: " + e.what());
        }
        bon.ClearAnswerDue();
    }
    DeliverKeptAnswers();
    for (const std::string& name : PacketsInToFpDir("TXT_")) DeleteFileReport(ToFpPath(name));
    try {
        fp_.CloseNonFiscal();
    } catch (const std::exception&) {
    }
    const std::vector<std::string> receipts = PacketsInToFpDir("ABC_");
    DropConvertedOriginals(receipts);
    if (receipts.size() == 1) {
        if (bon.AbcIsEmpty()) {
            LoadAbcFile(receipts[0]);
        } else if (bon.AbcWasSent()) {
            DeleteFileReport(ToFpPath(receipts[0]));
        } else {
            ExecSql("delete from curr_abc");
            LoadAbcFile(receipts[0]);
        }
    } else {
        for (const std::string& name : receipts) DeleteFileReport(ToFpPath(name));
    }

    try {
        bon.Recover();
    } catch (const std::exception& e) {
        CancelReceipt();
        if (bon.FileName().empty()) {
            // No receipt name to answer under: the operator's log keeps the reason.
            store_.linkLog.Write(std::string("Recovery of the receipt failed: ") + e.what());
        } else {
            WriteResult(bon.FileName(), e.what(), false);
        }
        return;
    }
    if (bon.FileName().empty()) {
        // The printer did not tell its state: the receipt stays for a later cycle.
        receiptHeld_ = !bon.AbcIsEmpty();
        return;
    }
    if (bon.AbcIsEmpty()) {
        WriteResult(bon.FileName(), bon.PrinterTotal().Format(2), true);
    } else {
        ProcessAbcFile("");
    }
}

}  // namespace velbrin
