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

    // Exports the closed day for the back office when "SaljiAnalitikeUvek" is set.
    // Not written yet: the day exports will fill it in.
    void ExportClosedDay(const std::string& stamp);

    TSqlQuery QSql;

private:
    int64_t SelectInteger(const std::string& sql, const std::string& column);

    TIniLink& ini_;
    TFormFP& fp_;
    TFormCommonLink& commonLink_;
};

}  // namespace velbrin
