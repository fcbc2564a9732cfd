// The exchange engine: one cycle over the request files of ToFpDir (complete
// files only, command files first, foreign encodings converted into packets),
// the answer convention of result files, the settling of what a previous run
// left behind, and the intake and printing of receipt files.
#pragma once

#include "exchange/P30_apibook.h"
#include "formats/P01_datapacket.h"
#include "store/P00_query.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace velbrin {

class TAnswerOutbox;
class TAppServices;
class TRequestScan;
class TSafeDir;
struct TRequest;
struct TScanned;
class TBon;
class TRequestJournal;
class TSaleItem;
class TFormCommonLink;
class TFormConvert;
class TFormFP;
class TIniLink;
class TMsgTable;
struct TStoreContext;

class TFormLnkWork {
public:
    // Most packets in a receipt file: 250 lines, the end row and the trailer fit
    // many times over; a larger file is refused as a wrong structure unread.
    static constexpr std::size_t kMaxAbcRows = 2000;
    // Receipt lines between the header and the "KRAJBONA" row.
    static constexpr int kMaxReceiptLines = 250;
    // Entries looked at when the exchange directory is swept at start-up.
    static constexpr std::size_t kMaxSweepEntries = 100000;
    // Records the request journal gathers before it is compacted within a run.
    static constexpr int kCompactAfterRecords = 5000;

    TFormLnkWork(TStoreContext& store, TFormConvert& convert, TFormCommonLink& commonLink);
    ~TFormLnkWork();
    TFormLnkWork(const TFormLnkWork&) = delete;
    TFormLnkWork& operator=(const TFormLnkWork&) = delete;

    // The one receipt object of the run, made on the shared connection as the
    // last step before the exchange state is settled; freed when the link closes.
    void CreateReceipt();
    void FreeReceipt();
    TBon* Receipt() { return bon_.get(); }

    // One exchange cycle over ToFpDir, run to completion. While the database
    // does not answer, the cycle only tries to attach again (every
    // kReattachSeconds) and delivers answers already written; requests wait.
    void PollExchange();
    static constexpr int kReattachSeconds = 2;
    // True once a statement found the database or its server gone, until the
    // link has attached again and settled what it held.
    bool DatabaseLost() const { return dbOutage_ || DbLost(); }
    // Start-up: drops leftover texts, takes in or drops leftover receipt files and
    // finishes the receipt of a previous run from the printer's state.
    void RecoverExchange();
    // The answer to a request: text + CR LF under the file name with ".ok" or
    // ".err". Written down durably in the outbox (OtherDir/Answers), which makes
    // the request done, and delivered into FromFpDir in order; one that FromFpDir
    // refuses waits for a later cycle. When the outbox itself cannot take it the
    // answer is kept in memory, no new request is taken, and the failure is raised.
    void WriteResult(const std::string& fileName, const std::string& text, bool success);
    // Moves the waiting answers into FromFpDir; those that still cannot go stay.
    void DeliverKeptAnswers();
    std::string KeptAnswersDir() const;
    TAnswerOutbox& Outbox();
    TRequestJournal& Journal();
    // The requests that came through the HTTP interface, taken beside the files
    // in the order they came; made at start when the interface is on or when a
    // stopped run left such requests. Null when there is none.
    TApiBook* ApiBook() { return apiBook_.get(); }
    void OpenApiBook();
    // Which request files are finished, and their order (the quiet time from LINK.INI).
    TRequestScan& Scan();
    // A receipt's name is stored in a column of this many characters.
    static constexpr std::size_t kMaxReceiptName = 100;

    // Receipt intake. ProcessAbcFile answers through WriteResult and never raises
    // for a failure of the receipt itself; an empty name prints what curr_abc holds.
    void ProcessAbcFile(const std::string& name);
    void LoadAbcFile(const std::string& name);
    void PrepareReceipt();
    void PrintReceipt();
    void RegisterPayments();
    // Brings an interrupted fiscal receipt to a closed state; swallows its failures.
    // Only the receipt of the file at hand (forReceipt) leaves an answer due behind.
    // True when the receipt could not be voided and was completed and printed.
    // cancelUnsettled_ tells afterwards that the printer still has the receipt
    // open, or did not say whether it has.
    bool CancelReceipt(bool forReceipt = true);

    // Text, command and article files. Each answers through WriteResult and
    // deletes its packet; an ART-R or ART-D file waiting for a closed day stays.
    void ProcessTextFile(const std::string& name);
    void ProcessCommandFile(const std::string& name);
    void ProcessArticleFile(const std::string& name);
    // The nine lines of the answer F_300.ok of command 300.
    std::string PrinterStatusReport();

    TDataPacket CDSInput;
    TSqlQuery QSql;

private:
    // After every receipt file the fiscal-state marker is brought in line with the
    // printer (quietly). The link checks supply it; until then this does nothing.
    void CheckFiscalisedQuietly();
    // The single-receipt export when "SaljiRacunUvek" is set. The day exports
    // supply it; until then this does nothing.
    void ExportReceipt(int64_t bonId);

    // The exchange cycle proper: answers kept, the held receipt, the requests.
    void RunCycle();
    // A database that went away (P30_lnkdblost.cpp). The request at hand is held
    // as it stands, nothing more is done with the printer for it, and the
    // operator is told once; when the database answers again it is settled as a
    // start settles what a stopped run left, and the waiting requests follow.
    bool DbLost() const;
    void HoldForLostDatabase(const std::string& text);
    // Attaches again when it is time to try; true when the database answers and
    // what was held is settled.
    bool DatabaseBack();
    // A connection found dead attached again without waiting; true when that
    // worked and what it cut short is settled (no outage, no box).
    bool AttachedAgainAtOnce(const std::string& text);
    void ResumeAfterLostDatabase();
    void EndOutage();
    bool dbOutage_ = false;
    std::string heldRequest_;  // the request file the loss cut short, for the log
    std::chrono::steady_clock::time_point lostSince_, lastAttempt_;

    // Loads the request's packet into CDSInput, read against the fields of its
    // kind ("TXT_", "CMD_", "ART-"); a packet that cannot be loaded is answered
    // with ".err" and the load failure and removed (false).
    bool LoadRequest(const std::string& name, const std::string& kind);
    void RunCommandRow(int code, const std::string& tekst, const std::string& stamp);
    // A row begun by a run that stopped before it was known to be done: true when
    // the printer and the database show it carried out (the database completed).
    bool RowCarriedOut(int code, const std::string& tekst, const std::string& stamp);
    void ApplyArticle(const std::string& operation, TSaleItem& item);

    TBon& Bon();
    std::string ToFpPath(const std::string& name) const;
    void ExecSql(const std::string& sql);
    // Plain files in ToFpDir whose names match prefix*.zvx without regard to case.
    std::vector<std::string> PacketsInToFpDir(const std::string& prefix) const;
    std::string HeldReceiptName();
    // After a failure: lets pending events run and, when the link is stopping,
    // answers "Comm.err" with the failure's text and returns true. Comm.err is
    // no request's own answer: the request at hand waits for the next start.
    bool AnsweredCommErrOnStop(const std::string& text);
    // Deletes the foreign receipt files whose packets (given) were already made.
    void DropConvertedOriginals(const std::vector<std::string>& packets);
    // Removes a request file that has been carried out; a ToFpDir that refuses is
    // told once (the journal keeps the file from being carried out again).
    void RemoveRequest(const std::string& path);
    // The identity of the request file the cycle is handling, for its answer.
    std::string RequestIdOf(const std::string& fileName) const;
    // Answers that the outbox could not take, in order; tried again first.
    bool FlushUnwritten();
    // Start-up: the journal read, answers cut short settled, old records dropped.
    void OpenJournal();
    // Drops the journal's records of request files no longer in ToFpDir.
    void CompactJournal();
    // The start's settling of what the stopped run left, request by request.
    void RecoverRequests();
    // Parts of it that also settle what a lost database cut short: a day closing
    // begun, a receipt archived but not answered, and the receipt in curr_abc
    // or open in the printer.
    void SettleClosingAndAnswerDue();
    void SettleReceiptInHand();
    void AnswerForgottenFailures(const std::string& answeredLast);
    // Answers a receipt found archived at start, from its total and held failure.
    void AnswerArchivedReceipt(const std::string& name);
    // Keeps the failure answer of a receipt about to be cancelled until it is answered.
    void HoldFailure(const std::string& receiptName, const std::string& text);
    void Notice(bool& given, const std::string& text);

    // The intake of one cycle (P30_lnkintake.cpp), a step at a time: each file
    // the scan found finished is read once (identity, bounded bytes), refused
    // when it is no request the link can carry out, answered again when it was
    // carried out before, converted into its packet and handed to its handler.
    void TakeRequests();
    // False when the file is gone or changed since the scan (judged again later).
    bool ReadRequest(const TSafeDir& dir, const TScanned& entry, TRequest& request);
    // True when the journal knows the file: removed (its removal failed before,
    // or a stop left it), or answered again when it was dropped again.
    bool AnsweredBefore(const TSafeDir& dir, const TRequest& request);
    void AnswerAgain(const TRequest& request);
    void Refuse(const TRequest& request);
    enum class TConverted { Done, Refused, EndCycle };
    TConverted ConvertRequest(const TSafeDir& dir, TRequest& request);
    // Hands the request's packet to its handler; false when the cycle ends.
    bool Dispatch(TRequest& request);
    // Loads a request's packet into CDSInput, read against the fields of its
    // kind: the bytes the intake read, or the file read without following a link.
    void LoadPacket(const std::string& name, const std::string& kind);
    void WriteAnswer(const std::string& result, const std::string& bytes, const std::string& requestId,
                     const std::string& requestName);
    // One request that came through the HTTP interface, carried out as a packet
    // of its kind; false when the cycle ends.
    bool TakeApiRequest(TApiBook::TPending& pending);
    std::unique_ptr<TRequestScan> scan_;
    std::unique_ptr<TApiBook> apiBook_;
    // Answers of the interface's requests go to its book, not into FromFpDir.
    void JoinApiBookToOutbox();
    bool apiRequest_ = false;  // the request at hand came through the HTTP interface
    std::string stagedName_, stagedBytes_;
    // The file in ToFpDir the request at hand was read from: only that one is removed.
    std::string currentFile_;
    unsigned long long currentIno_ = 0;
    std::set<std::string> removed_;  // identities this run removed from ToFpDir

    TStoreContext& store_;
    TFormConvert& convert_;
    TFormCommonLink& commonLink_;
    TIniLink& ini_;
    TFormFP& fp_;
    TMsgTable& msg_;
    TAppServices& app_;
    std::unique_ptr<TBon> bon_;
    std::unique_ptr<TRequestJournal> journal_;
    std::unique_ptr<TAnswerOutbox> outbox_;
    struct Unwritten {
        std::string result, bytes, requestId, requestName;
    };
    std::vector<Unwritten> unwritten_;
    // The request file at hand: its name as found in ToFpDir (or its packet's) and identity.
    std::string currentName_;
    std::string currentId_;
    bool removeNoticeGiven_ = false;
    std::set<std::string> unremovable_;  // request files logged as not removable
    bool outboxNoticeGiven_ = false;
    bool deliveryNoticeGiven_ = false;
    // Set when LoadAbcFile refused a file because curr_abc still holds a receipt:
    // that receipt must survive the failure of the new file.
    bool abcHeld_ = false;

    // A receipt the start could not settle because the printer did not tell its
    // transaction state: settled by the first cycle in which the printer answers
    // the state query (asked quietly every kHeldProbeCycles cycles meanwhile).
    static constexpr int kHeldProbeCycles = 10;
    // A receipt whose cancellation left it open in the printer, or could not learn
    // whether it did, is held the same way, with its failure held in the outbox;
    // the first cycle in which the printer answers tries the cancellation again.
    void HoldUncancelledReceipt(const std::string& text);
    void FinishHeldCancellation();
    void ResolveHeldReceipt();
    bool PrinterAnswersState();
    enum class THeld { None, AtStart, Cancelling };
    THeld held_ = THeld::None;
    bool cancelUnsettled_ = false;
    int heldProbeWait_ = 0;
};

}  // namespace velbrin
