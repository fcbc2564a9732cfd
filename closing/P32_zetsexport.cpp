// The day exports for the back office and the deletion of archived days.
// Values that come from outside the program (range texts, the open day's
// number, a receipt number) always travel as statement parameters.
#include "closing/P32_zets.h"

#include "app/P00_inilink.h"
#include "app/P00_util.h"
#include "store/P30_commonlink.h"

namespace velbrin {

namespace {

// A range date: ddmmyy, six digits, or a LinkError naming the text.
std::string RangeDate(const std::string& text)
{
    bool digits = text.size() == 6;
    for (char c : text) digits = digits && c >= '0' && c <= '9';
    if (!digits) throw LinkError("Datum mora imati 6 cifara (ddmmyy): '" + text + "'");
    return "20" + text.substr(4, 2) + "-" + text.substr(2, 2) + "-" + text.substr(0, 2);
}

const char* const kLastClosedDay =
    "zet_id=(select max(zet_id) from zets where dtm_tran is not null)";

}  // namespace

TFormZets::DateRange TFormZets::RangeBounds(const std::string& from, const std::string& to)
{
    return DateRange{RangeDate(from), RangeDate(to) + "0"};
}

std::string TFormZets::ExportFileName(const std::string& kind, int64_t number, const std::string& suffix) const
{
    const std::string terminal = ini_.TerminalNo();
    // The terminal number is part of a file name: a separator in it would put
    // the export outside the exchange directory.
    if (terminal.find_first_of("/\\") != std::string::npos)
        throw LinkError("TerminalNo ne sme sadrzati '/' ni '\\': " + terminal);
    return JoinPath(ini_.FromFpDir(), kind + terminal + std::to_string(number) + suffix + ".xml");
}

int64_t TFormZets::NextExportSeq()
{
    QSql.SetSQL("select vle_value from vle where vle_key='SEQ_OUT'");
    QSql.Open();
    const bool found = !QSql.Eof();
    const std::string text = found ? QSql.AsString("vle_value") : std::string();
    QSql.Close();
    long long number = 0;
    if (!found) {
        QSql.SetSQL("insert into vle(vle_key,vle_value) values('SEQ_OUT','0')");
        QSql.ExecSQL();
    } else if (!TryStrToInt(text, number)) {
        number = 0;
    }
    ++number;
    QSql.SetSQL("update vle set vle_value=:seq where vle_key='SEQ_OUT'");
    QSql.SetString("seq", std::to_string(number));
    QSql.ExecSQL();
    return number;
}

void TFormZets::ExportCurrentDay()
{
    const std::string day = CurrentDayId();
    const int64_t seq = NextExportSeq();
    const auto bindDay = [&day](TSqlQuery& q) { q.SetString("zet_id", day); };
    commonLink_.ExportQueryToFile("select * from sales where zet_id=:zet_id and ind_storno='N' order by art_id",
                                  ExportFileName("XA", seq), bindDay);
    commonLink_.ExportQueryToFile("select * from payments where zet_id=:zet_id", ExportFileName("XB", seq), bindDay);
}

void TFormZets::ExportClosedDay(const std::string& stamp)
{
    // A closing's export cut short is written again under the number it had, so
    // that the back office never finds half a set beside a whole one.
    long long seq = 0;
    if (!TryStrToInt(ReadVle(kClosingExportSeq), seq) || seq <= 0) {
        seq = NextExportSeq();
        WriteVle(kClosingExportSeq, std::to_string(seq));
    }
    const std::string suffix = ini_.ReadBool("Osnovno", "ExportLongName") ? "_" + stamp.substr(0, 10) : "";
    const std::string last = kLastClosedDay;
    commonLink_.ExportQueryToFile("select * from sales where " + last + " and ind_storno='N' order by art_id",
                                  ExportFileName("ZA", seq, suffix));
    commonLink_.ExportQueryToFile("select * from payments where " + last, ExportFileName("ZB", seq, suffix));
    commonLink_.ExportQueryToFile("select * from zets where " + last, ExportFileName("ZC", seq, suffix));
}

namespace {

// The two range bounds as the :lo and :hi parameters of an export query.
TFormCommonLink::BindFn BindRange(const TFormZets::DateRange& range)
{
    return [range](TSqlQuery& q) {
        q.SetString("lo", range.lo);
        q.SetString("hi", range.hi);
    };
}

}  // namespace

void TFormZets::ExportDateRange(const std::string& from, const std::string& to)
{
    const DateRange range = RangeBounds(from, to);
    const int64_t seq = NextExportSeq();
    const TFormCommonLink::BindFn bindRange = BindRange(range);
    commonLink_.ExportQueryToFile(
        "select * from sales where dtm_zet between :lo and :hi and ind_storno='N' order by art_id",
        ExportFileName("ZA", seq), bindRange);
    commonLink_.ExportQueryToFile("select * from payments where dtm_zet between :lo and :hi",
                                  ExportFileName("ZB", seq), bindRange);
    commonLink_.ExportQueryToFile("select * from zets where dtm_tran between :lo and :hi",
                                  ExportFileName("ZC", seq), bindRange);
}

void TFormZets::ExportStornoRange(const std::string& from, const std::string& to)
{
    const DateRange range = RangeBounds(from, to);
    const int64_t seq = NextExportSeq();
    const TFormCommonLink::BindFn bindRange = BindRange(range);
    commonLink_.ExportQueryToFile(
        "select * from sales where dtm_zet between :lo and :hi and ind_storno='D' order by art_id",
        ExportFileName("ZAS", seq), bindRange);
    commonLink_.ExportQueryToFile("select * from payments where dtm_zet between :lo and :hi and ind_storno='D'",
                                  ExportFileName("ZBS", seq), bindRange);
}

void TFormZets::ExportReceipt(int64_t bon)
{
    const std::string day = CurrentDayId();
    commonLink_.ExportQueryToFile(
        "select * from sales where bon_id=:bon_id and zet_id=:zet_id and ind_storno='N'", ExportFileName("ZR", bon),
        [&](TSqlQuery& q) {
            q.SetInteger("bon_id", bon);
            q.SetString("zet_id", day);
        });
}

void TFormZets::DeleteDateRange(const std::string& from, const std::string& to)
{
    const DateRange range = RangeBounds(from, to);
    const std::string day = CurrentDayId();
    for (const char* table : {"sales", "payments"}) {
        QSql.SetSQL(std::string("delete from ") + table + " where dtm_zet between :lo and :hi and zet_id != :zet_id");
        QSql.SetString("lo", range.lo);
        QSql.SetString("hi", range.hi);
        QSql.SetString("zet_id", day);
        QSql.ExecSQL();
    }
}

}  // namespace velbrin
