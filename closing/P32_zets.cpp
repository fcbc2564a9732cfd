#include "closing/P32_zets.h"

#include "app/P00_appservices.h"
#include "app/P00_inilink.h"
#include "app/P00_msg.h"
#include "app/P00_starttext.h"
#include "app/P00_util.h"
#include "printer/P00_fp.h"
#include "store/P30_commonlink.h"
#include "store/P31_issuednumbers.h"

namespace velbrin {

TFormZets::TFormZets(TFormConnection& connection, TIniLink& ini, TFormFP& fp, TFormCommonLink& commonLink)
    : QSql(connection), ini_(ini), fp_(fp), commonLink_(commonLink)
{
}

void TFormZets::CloseDay()
{
    // The Z report, the database half and the export show in the progress window
    // when the closing outlasts its first seconds; it closes however the closing ends.
    const bool exportDay = FlagIsSet(ini_.ReadString("Praxolt", "SaljiAnalitikeUvek"));
    TProgress progress(commonLink_.App(), TLinkText::ProgressDayClosing, exportDay ? 3 : 2);
    try {
        fp_.StatusWait();
    } catch (const LinkError&) {
        // Only a wait for the printer to settle; a lost line has already asked the program to end.
    }
    const std::string stamp = fp_.GetPrinterDateTime().ZetStamp();
    const std::string day = CurrentDayId();
    // Recorded before the Z report, so that a start after a stop between the
    // report and the database half finishes this closing instead of losing it.
    SetClosingBegun(day);
    try {
        fp_.PrintDailyClosing();
    } catch (const LinkError&) {
        // A report printed behind a garbled answer: the printer's cleared receipt
        // figures tell, and the database half is finished from them now.
        if (fp_.AnswerUnreadable() && FinishClosingPrintedBeforeAStop(day)) {
            SetClosingBegun("");
            return;
        }
        // The record stays: when the answer was lost with the line, the printer
        // may have printed the report, and the next start finishes the closing if
        // its figures show it; a refused report leaves them as they were.
        throw;
    }
    progress.Step(1);
    CloseDayInDatabase(stamp);
    TellTotalsDifference(day);
    if (exportDay) {
        progress.Step(2);
        ExportClosedDay(stamp);
    }
    // Cleared only once the export is written: a start after a stop in between
    // writes the closed day's export again.
    SetClosingBegun("");
    CurrentDayId();
}

void TFormZets::TellTotalsDifference(const std::string& zetId)
{
    // Never a reason to fail the closing, which the printer has made already.
    try {
        QSql.SetSQL("select fp_iznos from zets where zet_id = :zet_id");
        QSql.SetString("zet_id", zetId);
        QSql.Open();
        const Money printer = QSql.Eof() ? Money() : QSql.AsMoney("fp_iznos");
        QSql.Close();
        QSql.SetSQL("select coalesce(sum(pay_1 + pay_2 + pay_3 + pay_4 + pay_5 + pay_6 - kusur), 0) total "
                    "from payments where zet_id = :zet_id");
        QSql.SetString("zet_id", zetId);
        QSql.Open();
        const Money stored = QSql.AsMoney("total");
        QSql.Close();
        if (printer == stored) return;
        const Money difference = printer - stored;
        commonLink_.LinkLog.Write("Day " + zetId + " closed with different totals: the printer's Z report " +
                                  printer.Format(2) + ", the database " + stored.Format(2) + ", difference " +
                                  difference.Format(2));
        commonLink_.App().ShowNotice(FillMsg(commonLink_.Messages().GetMsg(kMsgDayTotalsDiffer),
                                             {zetId, printer.Format(2), stored.Format(2), difference.Format(2)}));
    } catch (const LinkError& e) {
        QSql.Close();
        commonLink_.LinkLog.Write("Day " + zetId + ": the totals could not be compared: " + e.Text());
    }
}

void TFormZets::CloseDayInDatabase(const std::string& stamp)
{
    // No printer command may run between the Z report and this: its answer is read here.
    CloseDayInDatabase(stamp, [this](int n) { return fp_.AnswerField(n); });
}

int64_t TFormZets::SelectInteger(const std::string& sql, const std::string& column)
{
    QSql.SetSQL(sql);
    QSql.Open();
    const int64_t value = QSql.Eof() ? 0 : QSql.AsInteger(column);
    QSql.Close();
    return value;
}

bool TFormZets::DayClosed(const std::string& zetId)
{
    QSql.SetSQL("select count(*) cnt from zets where zet_id = :zet_id and dtm_tran is not null");
    QSql.SetString("zet_id", zetId);
    QSql.Open();
    const bool closed = QSql.AsInteger("cnt") > 0;
    QSql.Close();
    return closed;
}

void TFormZets::SetClosingBegun(const std::string& zetId)
{
    // A new closing takes a new export number, as does the end of one.
    QSql.SetSQL("delete from vle where vle_key in ('ClosingBegun', '" + std::string(kClosingExportSeq) + "')");
    QSql.ExecSQL();
    if (!zetId.empty()) WriteVle("ClosingBegun", zetId);
}

std::string TFormZets::ReadVle(const std::string& key)
{
    QSql.SetSQL("select vle_value from vle where vle_key = :vle_key");
    QSql.SetString("vle_key", key);
    QSql.Open();
    const std::string value = QSql.Eof() ? std::string() : Trim(QSql.AsString("vle_value"));
    QSql.Close();
    return value;
}

void TFormZets::WriteVle(const std::string& key, const std::string& value)
{
    QSql.SetSQL("update or insert into vle(vle_key, vle_value) values(:vle_key, :vle_value) matching (vle_key)");
    QSql.SetString("vle_key", key);
    QSql.SetString("vle_value", value);
    QSql.ExecSQL();
}

void TFormZets::SettleClosingBegun(bool clearedMeansPrinted)
{
    const std::string zetId = ReadVle("ClosingBegun");
    if (zetId.empty()) return;
    if (DayClosed(zetId)) {
        // Closed in the database, its export cut short or never begun.
        if (FlagIsSet(ini_.ReadString("Praxolt", "SaljiAnalitikeUvek"))) {
            QSql.SetSQL("select dtm_tran from zets where zet_id = :zet_id");
            QSql.SetString("zet_id", zetId);
            QSql.Open();
            const std::string stamp = Trim(QSql.AsString("dtm_tran"));
            QSql.Close();
            ExportClosedDay(stamp);
        }
    } else {
        FinishClosingPrintedBeforeAStop(zetId, clearedMeansPrinted);
    }
    SetClosingBegun("");
}

bool TFormZets::FinishClosingPrintedBeforeAStop(const std::string& zetId, bool clearedMeansPrinted)
{
    if (DayClosed(zetId) || CurrentDayId() != zetId) return false;
    const int64_t receipts =
        SelectInteger("select count(*) cnt from payments where zet_id='" + zetId + "'", "cnt");
    // An empty day leaves the printer's figures cleared either way: it cannot tell.
    if ((receipts == 0 && !clearedMeansPrinted) || fp_.ReadTransactionState() != 1) return false;
    QSql.SetSQL("select sum(pay_1 + pay_2 + pay_3 + pay_4 + pay_5 + pay_6 - kusur) total from payments "
                "where zet_id = :zet_id");
    QSql.SetString("zet_id", zetId);
    QSql.Open();
    const Money total = QSql.AsMoney("total");
    QSql.Close();
    const std::string stamp = fp_.GetPrinterDateTime().ZetStamp();
    const std::string hundredths = std::to_string(total.Raw() / 100);
    CloseDayInDatabase(stamp, [&](int n) { return n == 1 ? hundredths : std::string("0"); });
    if (FlagIsSet(ini_.ReadString("Praxolt", "SaljiAnalitikeUvek"))) ExportClosedDay(stamp);
    CurrentDayId();
    return true;
}

std::string TFormZets::CurrentDayId()
{
    QSql.SetSQL("select zet_id from zets where dtm_tran is null");
    QSql.Open();
    if (!QSql.Eof()) {
        const std::string open = QSql.AsString("zet_id");
        QSql.Close();
        return open;
    }
    QSql.SetSQL("select max(zet_id) maxZet from zets");
    QSql.Open();
    const std::string maxZet = QSql.Eof() ? std::string() : Trim(QSql.AsString("maxZet"));
    QSql.Close();
    const std::string id = maxZet.empty() ? FormatDayId(1) : FormatDayId(StrToInt(maxZet) + 1);
    // The terminal number comes from LINK.INI: a parameter, so a quote in it cannot break the statement.
    QSql.SetSQL("insert into zets(zet_id,trm_id) values ( '" + id + "',:trm_id )");
    QSql.SetString("trm_id", ini_.TerminalNo());
    QSql.ExecSQL();
    try {
        TIssuedNumbers(ini_).Raise(0, StrToInt(id));
    } catch (const std::exception& e) {
        commonLink_.LinkLog.Write("Day " + id + ": its number could not be recorded: " + e.what());
    }
    return id;
}

namespace {

// The printer reports amounts as whole hundredths in text.
Money FromPrinterHundredths(const std::string& text)
{
    return Money::FromRaw(Money::Parse(text).Raw() / 100);
}

}  // namespace

void TFormZets::CloseDayInDatabase(const std::string& stamp, const AnswerFieldFn& answerField)
{
    const int64_t receipts =
        SelectInteger("select count(*) cnt from payments where zet_id='" + CurrentDayId() + "'", "cnt");
    const int64_t lines = SelectInteger(
        "select count(*) cnt from sales where zet_id='" + CurrentDayId() + "'   and ind_storno='N'", "cnt");
    const int64_t last =
        SelectInteger("select max(bon_id) maxbon from payments where zet_id='" + CurrentDayId() + "'", "maxbon");
    if (receipts > 0) commonLink_.StoreLastBonId(last);

    QSql.SetSQL("select sum(kusur) kus, sum(pay_1) pay1, sum(pay_2) pay2, sum(pay_3) pay3, sum(pay_4) pay4, "
                "sum(pay_5) pay5 from payments where zet_id='" + CurrentDayId() + "'");
    QSql.Open();
    Money change, pay[5];
    if (!QSql.Eof()) {
        change = QSql.AsMoney("kus");
        for (int i = 0; i < 5; ++i) pay[i] = QSql.AsMoney("pay" + std::to_string(i + 1));
    }
    QSql.Close();

    QSql.SetSQL("update sales set dtm_zet='" + stamp + "' where zet_id='" + CurrentDayId() + "'");
    QSql.ExecSQL();
    QSql.SetSQL("update payments set dtm_zet='" + stamp + "' where zet_id='" + CurrentDayId() + "'");
    QSql.ExecSQL();

    QSql.SetSQL("update zets set dtm_tran=:dtm_tran, end_bon_id=:end_bon_id, br_bonova=:br_bonova, "
                "br_stavki=:br_stavki, fp_iznos=:fp_iznos, db_kusur=:db_kusur, db_pay1=:db_pay1, "
                "db_pay2=:db_pay2, db_pay3=:db_pay3, db_pay4=:db_pay4, db_pay5=:db_pay5, "
                "fp_vat0=:fp_vat0, fp_vat1=:fp_vat1, fp_vat2=:fp_vat2, fp_vat3=:fp_vat3, "
                "fp_vat4=:fp_vat4, fp_vat5=:fp_vat5, fp_vat6=:fp_vat6, fp_vat7=:fp_vat7 "
                "where dtm_tran is null");
    QSql.SetString("dtm_tran", stamp);
    QSql.SetInteger("end_bon_id", last);
    QSql.SetInteger("br_bonova", receipts);
    QSql.SetInteger("br_stavki", lines);
    QSql.SetMoney("fp_iznos", FromPrinterHundredths(answerField(1)));
    QSql.SetMoney("db_kusur", change);
    for (int i = 0; i < 5; ++i) QSql.SetMoney("db_pay" + std::to_string(i + 1), pay[i]);
    for (int i = 0; i < 8; ++i)
        QSql.SetMoney("fp_vat" + std::to_string(i), FromPrinterHundredths(answerField(2 + i)));
    QSql.ExecSQL();
}

}  // namespace velbrin
