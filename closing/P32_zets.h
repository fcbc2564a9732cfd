// The fiscal day: its number in the database, and its closing on the printer
// (the Z report) and in the database, after which the next day opens.
#pragma once

#include "store/P00_query.h"

#include <functional>
#include <string>

namespace velbrin {

class TFormConnection;
class TFormCommonLink;
class TFormFP;
class TIniLink;

class TFormZets {
public:
    TFormZets(TFormConnection& connection, TIniLink& ini, TFormFP& fp, TFormCommonLink& commonLink);

    // The whole closing: the printer's Z report stamped with the printer's clock,
    // the database half, the export when configured, and the next day opened.
    // Raises the printer's failure text when the Z report is refused; the
    // database is then left untouched.
    void CloseDay();

    // True when the day of this zet_id is closed in the database.
    bool DayClosed(const std::string& zetId);
    // A closing of day zetId begun by a run that stopped: when the day had
    // receipts and the printer's receipt figures are cleared (state 1), its Z
    // report was printed; the database half is then made with the database's
    // own day total (the report's figures were never read) and true returned.
    // clearedMeansPrinted: the closing was begun only because the printer had
    // figures, so cleared ones tell the report was printed for an empty day too.
    bool FinishClosingPrintedBeforeAStop(const std::string& zetId, bool clearedMeansPrinted = false);
    // Start-up: a closing a stopped run had begun is finished when its Z report
    // was printed (FinishClosingPrintedBeforeAStop), and forgotten otherwise.
    void SettleClosingBegun(bool clearedMeansPrinted = false);
    // The zet_id of the open day; opens the next day first when none is open.
    std::string CurrentDayId();

    // Field n (1..9) of the printer's Z report answer, as decimal text in hundredths.
    using AnswerFieldFn = std::function<std::string(int)>;
    // The database half of the closing, reading the Z report from the printer's last answer.
    void CloseDayInDatabase(const std::string& stamp);
    // The database half of the closing: counts and sums of the day, the last
    // receipt number, the closing stamp on the day's sales and payments, and the
    // printer's totals from the Z report answer into the zets row.
    void CloseDayInDatabase(const std::string& stamp, const AnswerFieldFn& answerField);

    // --- exports for the back office, written to FromFpDir -------------------
    // Every batch but a receipt export takes the next number of 'SEQ_OUT'.
    // Range texts are ddmmyy; anything but six digits is refused before the
    // batch is numbered. Errors reach the caller unchanged; files already
    // written stay and a spent number is not given back.

    // Counts 'SEQ_OUT' up by one (a missing or unreadable value counts as 0) and
    // returns the new number.
    int64_t NextExportSeq();
    // XA/XB: the open day's non-voided sale lines and its payments.
    void ExportCurrentDay();
    // ZA/ZB/ZC: the last closed day; with "ExportLongName" the names carry "_"
    // and the date of stamp.
    void ExportClosedDay(const std::string& stamp);
    // ZA/ZB/ZC of the days closed from `from` through `to`.
    void ExportDateRange(const std::string& from, const std::string& to);
    // ZAS/ZBS: voided sale lines and payments closed in the range.
    void ExportStornoRange(const std::string& from, const std::string& to);
    // ZR: the non-voided sale lines of one receipt of the open day.
    void ExportReceipt(int64_t bon);
    // Deletes the archived sale lines and payments closed in the range, never
    // those of the open day; day records stay.
    void DeleteDateRange(const std::string& from, const std::string& to);

    // Bounds of a range as compared with closing stamps: "20yy-mm-dd" and the
    // to-date's text followed by "0", which every stamp of that day lies below.
    struct DateRange {
        std::string lo, hi;
    };
    static DateRange RangeBounds(const std::string& from, const std::string& to);
    // The export file: FromFpDir/kind + terminal + number + suffix + ".xml".
    std::string ExportFileName(const std::string& kind, int64_t number, const std::string& suffix = "") const;

    TSqlQuery QSql;

private:
    // The printer's day total of the Z report against the database's own (the
    // day's payments less change): a difference is told to the operator, without
    // waiting for a key, and written into the link log.
    void TellTotalsDifference(const std::string& zetId);
    // The day whose closing has begun, in vle 'ClosingBegun' ("" clears it).
    void SetClosingBegun(const std::string& zetId);
    // The export number taken by the closing begun, until the closing ends.
    static constexpr const char* kClosingExportSeq = "ClosingExportSeq";
    std::string ReadVle(const std::string& key);
    void WriteVle(const std::string& key, const std::string& value);
    int64_t SelectInteger(const std::string& sql, const std::string& column);

    TIniLink& ini_;
    TFormFP& fp_;
    TFormCommonLink& commonLink_;
};

}  // namespace velbrin
