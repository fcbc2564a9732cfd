// Operations shared by several parts of the link that concern the database and
// the printer together: the start-up checks (database version, fiscalised
// printer, readable database, article table in step, clock difference), cash
// movements, the article export and deletion, the last receipt number kept at
// the day closing, and the query-to-file step of every export. It also owns the
// link log, LINK_log.txt.
#pragma once

#include "app/P00_datetime.h"
#include "app/P00_log.h"
#include "app/P00_marker.h"
#include "app/P00_money.h"
#include "formats/P01_datapacket.h"
#include "store/P00_query.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace velbrin {

class TAppServices;
class TArticleInDoubt;
class TFormConnection;
class TFormConvert;
class TFormFP;
class TFormZets;
class TIniLink;
class TMsgTable;

// Lays out the packet from the columns of the open query, without rows: integer
// columns become "i2"/"i4"/"i8", fixed-point columns fixedFMT with their precision
// and scale, texts strings of their width.
void LayOutPacketFromQuery(TSqlQuery& query, TDataPacket& packet);
// Replaces the packet's rows by the query's next rows, at most maxRows of them, and
// returns how many it took; NULL stays absent.
std::size_t FillRowsFromQuery(TSqlQuery& query, TDataPacket& packet, std::size_t maxRows);
// The whole result of the open query as one packet.
void FillPacketFromQuery(TSqlQuery& query, TDataPacket& packet);

class TFormCommonLink {
public:
    static constexpr const char* kFiscalMarker = "FP550Fiskalizovan";
    static constexpr const char* kProgramName = "LINK";
    // The find-next walk over the printer's article table stops after this many
    // articles even when the printer never says "no further article": the table
    // holds 3000 articles, so a longer walk means the printer misbehaves.
    static constexpr int kMaxArticleWalk = 5000;

    using ClockFn = std::function<DateTime()>;

    TFormCommonLink(TFormConnection& connection, TIniLink& ini, TFormFP& fp, TMsgTable& messages,
                    TAppServices& app, TFormConvert& convert);
    ~TFormCommonLink();
    TFormCommonLink(const TFormCommonLink&) = delete;
    TFormCommonLink& operator=(const TFormCommonLink&) = delete;

    // The day closing needs this object and this object closes days, so the
    // closing form is attached once both exist. Operations that open or close a
    // day raise LinkError while none is attached.
    void AttachZets(TFormZets& zets) { zets_ = &zets; }
    // The computer's clock (tests fix it).
    void SetClock(ClockFn clock) { clock_ = std::move(clock); }
    void SetLogPath(const std::string& path) { LinkLog.SetPath(path); }
    // Where long work of this object and of the day closing reports its progress.
    TAppServices& App() const { return app_; }
    const TMsgTable& Messages() const { return messages_; }

    // --- start-up checks --------------------------------------------------
    // 'DB_Version' must be 300: then Version.ini is written. Otherwise numbered
    // message 5, a termination request, and a LinkError with an empty text.
    void CheckDbVersion();
    // Holds the "FP550Fiskalizovan" marker while the printer reports itself
    // fiscalised; otherwise releases it, warning first (message 6) when asked.
    void CheckFiscalised(bool warn);
    bool FiscalMarkerHeld() const { return fiscalMarker_.Held(); }
    void ReleaseFiscalMarker() { fiscalMarker_.Release(); }
    // Raises when curr_abc cannot be read.
    void CheckDatabase();
    // A database older than the receipt and day numbers the link has given (put
    // back from an older copy, or another one altogether) would give them a
    // second time: it is named to the operator and the link ends before it
    // takes a receipt (false). Otherwise the record of numbers given is kept up.
    bool CheckDatabaseAge();
    // Settles the article command a stopped run left in doubt (or finishes its
    // repair or deletion of every article), then compares the printer's article
    // count with the one arts expects. A difference nothing explains is repaired
    // by deleting every article on both sides, after a Z report when the
    // printer's day has figures; a stop requested before that changes nothing,
    // one requested during it leaves the repair for the next start. Raises (with
    // the text to show before the program ends) when the repair fails.
    void SyncArticles();
    // Numbered message 4 when the printer's clock is more than "TimeAlert"
    // minutes away from the computer's. Never raises for the difference itself.
    void CheckTimeDifference();

    // --- cash and articles ------------------------------------------------
    // Cash in (positive) or out (negative) on the printer, then a row in cash.
    void CashMovement(Money amount);
    // The same with the transaction stamp of its cash row given by the caller.
    void CashMovement(Money amount, const std::string& stamp);
    // For a movement begun by a run that stopped: true when it is carried out,
    // its cash row stored then if the printer has it and the database does not.
    // The printer's own cash totals (a movement of 0.00 reads them) decide.
    bool CashMovementCarriedOut(Money amount, const std::string& stamp);
    // The article table as FromFpDir/Artikli.xml (converted like every export).
    void ExportArticles();
    // Raises message 50 while the printer's day is open, message 52 when
    // articles remain afterwards.
    void DeleteAllArticlesInPrinter();
    // Raises "Exc-105 delete arts" on failure.
    void DeleteAllArticlesInDb();
    // Both of the above; a stop in between is finished by the next start.
    void DeleteAllArticles();
    // Rows of arts, plus one when PLU 1 (never assigned by the link) is programmed.
    int CountExpectedArticles();

    // Keeps n in vle under 'BonID' (inserted the first time, updated afterwards),
    // so that the next day's receipt numbering continues from it.
    void StoreLastBonId(int64_t n);

    // --- exports ---------------------------------------------------------
    // Rows an export holds in memory at a time.
    static constexpr std::size_t kExportBatchRows = 500;
    // Runs the select and writes its rows as a data packet to file and, for
    // "ExportFormat" other than XML, as the converted file beside it; the packet is
    // then removed (see the rules in the source). The rows go to the files a
    // batch at a time. bind sets the statement's named parameters.
    using BindFn = std::function<void(TSqlQuery&)>;
    void ExportQueryToFile(const std::string& sql, const std::string& file, const BindFn& bind = {});

    TSqlQuery QSql;
    TSqlQuery QueryOutput;
    TDataPacket CDSOutput;
    // LINK_log.txt: what the operator was shown, failed archiving steps, failed articles.
    TLogFile LinkLog;

private:
    TArticleInDoubt Doubt();
    // resumed: a repair a stopped run had begun.
    void RepairArticles(bool resumed);
    void StoreCashRow(Money amount, const std::string& stamp);
    TFormZets& Zets();
    // Sends 107 with data straight to the printer, without the failure exception.
    std::string ArticleRequest(const std::string& data);
    // count: how many the printer holds, for the progress shown meanwhile.
    void DeleteFoundArticles(int count);
    void DeletePlu(const std::string& plu);
    int64_t SelectCount(const std::string& sql, const std::string& column);

    TFormConnection& connection_;
    TIniLink& ini_;
    TFormFP& fp_;
    TMsgTable& messages_;
    TAppServices& app_;
    TFormConvert& convert_;
    TFormZets* zets_ = nullptr;
    ClockFn clock_;
    TNamedMarker fiscalMarker_{kFiscalMarker};
};

}  // namespace velbrin
