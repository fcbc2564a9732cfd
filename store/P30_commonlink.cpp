#include "store/P30_commonlink.h"

#include "app/P00_appservices.h"
#include "app/P00_inilink.h"
#include "app/P00_msg.h"
#include "app/P00_starttext.h"
#include "app/P00_util.h"
#include "closing/P32_zets.h"
#include "printer/P00_fp.h"
#include "store/P31_articledoubt.h"
#include "store/P31_issuednumbers.h"

#include <algorithm>
#include <string>
#include <vector>

namespace velbrin {

TFormCommonLink::TFormCommonLink(TFormConnection& connection, TIniLink& ini, TFormFP& fp, TMsgTable& messages,
                                 TAppServices& app, TFormConvert& convert)
    : QSql(connection),
      QueryOutput(connection),
      connection_(connection),
      ini_(ini),
      fp_(fp),
      messages_(messages),
      app_(app),
      convert_(convert),
      clock_(&DateTime::Now)
{
}

TFormCommonLink::~TFormCommonLink() = default;

TFormZets& TFormCommonLink::Zets()
{
    if (zets_ == nullptr) throw LinkError("Zatvaranje dana nije povezano sa proverama linka");
    return *zets_;
}

int64_t TFormCommonLink::SelectCount(const std::string& sql, const std::string& column)
{
    QSql.SetSQL(sql);
    QSql.Open();
    const int64_t value = QSql.Eof() ? 0 : QSql.AsInteger(column);
    QSql.Close();
    return value;
}

// --- start-up checks ---------------------------------------------------------

void TFormCommonLink::CheckDbVersion()
{
    QSql.SetSQL("select vle_value from vle where vle_key='DB_Version'");
    QSql.Open();
    std::string version;
    bool found = !QSql.Eof();
    if (found) version = QSql.AsString("vle_value");
    QSql.Close();
    long long number = 0;
    if (found && TryStrToInt(version, number) && number == 300) {
        ini_.WriteVersionIni(kProgramName, TIniLink::kProgramVersion, version);
        return;
    }
    app_.ShowNumbered(5);
    app_.Terminate();
    throw LinkError("");
}

void TFormCommonLink::CheckFiscalised(bool warn)
{
    if (fp_.IsFiscalized()) {
        // Another holder (a second link on the same runtime directory) keeps it
        // visible just as well, so a refused acquire changes nothing.
        fiscalMarker_.Acquire();
        return;
    }
    if (warn) app_.ShowNumbered(6);
    fiscalMarker_.Release();
}

void TFormCommonLink::CheckDatabase()
{
    SelectCount("select count(*) cnt from curr_abc", "cnt");
}

bool TFormCommonLink::CheckDatabaseAge()
{
    // The numbers the database has given: a range deletion of old days keeps
    // 'BonID' and the days' last receipts, so the highest of these stays.
    int64_t bon = SelectCount("select max(bon_id) n from payments", "n");
    bon = std::max(bon, SelectCount("select max(bon_id) n from curr_payments", "n"));
    bon = std::max(bon, SelectCount("select max(end_bon_id) n from zets", "n"));
    QSql.SetSQL("select vle_value from vle where vle_key='BonID'");
    QSql.Open();
    long long stored = 0;
    if (!QSql.Eof() && TryStrToInt(Trim(QSql.AsString("vle_value")), stored)) bon = std::max<int64_t>(bon, stored);
    QSql.Close();
    QSql.SetSQL("select max(zet_id) maxZet from zets");
    QSql.Open();
    const int64_t day = QSql.Eof() || QSql.IsNull("maxZet") ? 0 : LeadingInt(Trim(QSql.AsString("maxZet")));
    QSql.Close();

    TIssuedNumbers issued(ini_);
    const TIssuedNumbers::Numbers given = issued.Recorded();
    if (given.known && (bon < given.bon || day < given.day)) {
        LinkLog.Write("The database " + ini_.DbPath() + " is older than the numbers the link has given: receipt " +
                      std::to_string(bon) + " and day " + std::to_string(day) + " in it, receipt " +
                      std::to_string(given.bon) + " and day " + std::to_string(given.day) + " given (" +
                      issued.Path() + "); no receipt is taken");
        app_.ShowText(FillMsg(messages_.GetMsg(kMsgDatabaseOlder),
                              {ini_.DbPath(), std::to_string(bon), FormatDayId(day), std::to_string(given.bon),
                               FormatDayId(given.day), issued.Path()}));
        app_.Terminate();
        return false;
    }
    try {
        issued.Raise(bon, day);
    } catch (const std::exception& e) {
        LinkLog.Write(std::string("The numbers given cannot be recorded: ") + e.what());
    }
    return true;
}

void TFormCommonLink::CheckTimeDifference()
{
    const DateTime printer = fp_.GetPrinterDateTime();
    const DateTime computer = clock_();
    int64_t ms = computer.TotalMilliseconds() - printer.TotalMilliseconds();
    if (ms < 0) ms = -ms;
    // Whole days, hours and minutes of the difference; the seconds are dropped.
    const int64_t minutes = ms / 60000;
    if (ini_.ReadInteger("Osnovno", "TimeAlert") < minutes) app_.ShowNumbered(4);
}

// --- article table -------------------------------------------------------------

std::string TFormCommonLink::ArticleRequest(const std::string& data)
{
    fp_.Command().Execute(107, data);
    return fp_.Command().AnswerField(0);
}

int TFormCommonLink::CountExpectedArticles()
{
    int count = static_cast<int>(SelectCount("select count(*) broj from arts", "broj"));
    if (ArticleRequest("R1") == "P") ++count;
    return count;
}

void TFormCommonLink::DeleteAllArticlesInDb()
{
    try {
        QSql.SetSQL("delete from arts ");
        QSql.ExecSQL();
    } catch (const LinkError&) {
        throw LinkError("Exc-105 delete arts");
    }
}

void TFormCommonLink::DeletePlu(const std::string& plu)
{
    try {
        fp_.ProgramArticle("D" + plu);
    } catch (const LinkError&) {
        // An article the printer will not delete is caught by the final count.
    }
}

// Walks the printer's table with "F" and "N", deleting what it finds: field 0
// "F" means no further article, any other answer names one in field 1. The walk
// also ends at an answer that names no article (a failed request), when the
// printer names the same article twice in a row, after kMaxArticleWalk
// articles, or when the line is lost.
void TFormCommonLink::DeleteFoundArticles(int count)
{
    TProgress progress(app_, TLinkText::ProgressArticleDelete, count);
    std::string answer = ArticleRequest("F");
    std::string previous;
    for (int step = 0; answer != "F" && step < kMaxArticleWalk && !app_.Terminated(); ++step) {
        progress.Step(step);
        const std::string plu = fp_.Command().AnswerField(1);
        if (plu.empty() || (step > 0 && plu == previous)) break;
        previous = plu;
        DeletePlu(plu);
        if (app_.Terminated()) break;
        answer = ArticleRequest("N");
    }
}

void TFormCommonLink::DeleteAllArticlesInPrinter()
{
    if (fp_.CountArticles() == 0) return;
    if (fp_.ReadTransactionState() != 1) throw LinkError(messages_.GetMsg(50));
    // From the first delete until arts is emptied too (DeleteAllArticles), a
    // stop leaves the deletion to be finished by the next start.
    TArticleInDoubt doubt = Doubt();
    if (doubt.Last().op != 'Z') {
        TArticleCommand all;
        all.op = 'X';
        doubt.Record(all);
    }

    std::vector<std::string> plus;
    QSql.SetSQL("select art_id,plu_id from arts order by plu_id");
    QSql.Open();
    for (; !QSql.Eof(); QSql.Next()) plus.push_back(QSql.AsString("plu_id"));
    QSql.Close();
    // A lost line asks the program to end; every further command would only
    // wait for its time limit, so the deletion gives up at once.
    TProgress progress(app_, TLinkText::ProgressArticleDelete, static_cast<long>(plus.size()));
    for (std::size_t i = 0; i < plus.size(); ++i) {
        if (app_.Terminated()) throw LinkError(messages_.GetMsg(52));
        progress.Step(static_cast<long>(i));
        DeletePlu(plus[i]);
    }

    if (app_.Terminated()) throw LinkError(messages_.GetMsg(52));
    if (const int left = fp_.CountArticles(); left > 0) DeleteFoundArticles(left);
    if (app_.Terminated() || fp_.CountArticles() != 0) throw LinkError(messages_.GetMsg(52));
}

void TFormCommonLink::DeleteAllArticles()
{
    DeleteAllArticlesInPrinter();
    DeleteAllArticlesInDb();
    if (Doubt().Last().op != '-') Doubt().Clear();
}

TArticleInDoubt TFormCommonLink::Doubt() { return TArticleInDoubt(connection_, fp_, ini_, LinkLog); }

void TFormCommonLink::SyncArticles()
{
    TArticleInDoubt doubt = Doubt();
    const TArticleCommand last = doubt.Last();
    if (last.op == 'Z' || last.op == 'X') {
        // A repair or a deletion of every article that a stop cut short is
        // finished first, without a second Z report.
        LinkLog.Write(std::string(last.op == 'Z' ? "The article table's repair" : "The deletion of every article") +
                      " the previous run began is finished now");
        RepairArticles(last.op == 'Z');
        return;
    }
    // The article a stop may have left changed in the printer only is settled
    // before anything is counted: a single article in doubt is never a reason
    // to close the day.
    doubt.SettleLast();
    const int expected = CountExpectedArticles();
    const int printer = fp_.CountArticles();
    if (expected == printer) return;
    // A failed count has been shown already; it is no difference to repair by
    // closing the day and deleting every article.
    if (printer < 0) throw LinkError("Citanje broja artikala iz stampaca nije uspelo!");
    if (printer == 0) {
        DeleteAllArticlesInDb();
        return;
    }
    // A difference the record of the last command cannot explain: the printer's
    // article table was changed by someone else, or the database is another one.
    const int state = fp_.ReadTransactionState();
    LinkLog.Write("Articles out of step: " + std::to_string(printer) + " in the printer, " +
                  std::to_string(expected) + " expected from the database" +
                  (state == 1 ? "; the printer's day has nothing to close" : ""));
    app_.ShowText("Narusena sinhronizacija podataka!\n\nArtikala u stampacu: " + std::to_string(printer) +
                  "\nArtikala u bazi: " + std::to_string(expected) + "\n\n" +
                  (state == 1 ? "Program ce obrisati sve artikle iz stampaca i baze!"
                              : "Program ce zatvoriti dan i sinhronizovati podatke!") +
                  "\n\nSacekajte poruku o uspesnoj ili neuspesnoj sinhronizaciji!");
    // Stopped while the message waited: nothing is changed, the repair is
    // offered again at the next start.
    app_.ProcessMessages();
    if (app_.Terminated()) {
        LinkLog.Write("The article table's repair was not begun: the link is stopping; the next start offers it again");
        return;
    }
    // A closing an earlier run began is settled first, so that a closing begun
    // from here on is the repair's own.
    Zets().SettleClosingBegun();
    TArticleCommand repair;
    repair.op = 'Z';
    doubt.Record(repair);
    RepairArticles(false);
}

void TFormCommonLink::RepairArticles(bool resumed)
{
    try {
        // A Z report only for a day the printer has figures of: deleting articles
        // needs a closed day, and an empty one is closed already. A repair cut
        // short after its Z report finds the figures cleared and prints none.
        if (resumed) Zets().SettleClosingBegun(true);
        const int state = fp_.ReadTransactionState();
        if (state == 0) throw LinkError("Citanje stanja stampaca nije uspelo!");
        app_.ProcessMessages();
        if (app_.Terminated()) throw LinkError(messages_.GetMsg(52));
        if (state != 1 && Doubt().Last().op == 'Z') Zets().CloseDay();
        DeleteAllArticles();
    } catch (const LinkError&) {
        if (app_.Terminated()) {
            // Not a failure to call the service for: the record stays and the
            // next start finishes the repair where it stopped.
            LinkLog.Write("The article table's repair was stopped with the link; the next start finishes it");
            return;
        }
        throw;
    }
    const int expectedAfter = CountExpectedArticles();
    const int printerAfter = fp_.CountArticles();
    if (expectedAfter != printerAfter)
        throw LinkError("Sinhronizacija podataka nije uspela\n\nArtikala u stampacu: " + std::to_string(printerAfter) +
                        "\nArtikala u bazi: " + std::to_string(expectedAfter) +
                        "\n\nDalji rad nije moguc. Program ce biti prekinut!\n\nPreporuka:\n\n"
                        "1. Ponovite istu operaciju jos jednom ili\n"
                        "2. Odnesite stampac u ovlasceni servis da urade reset");
    LinkLog.Write("The article table's repair is finished");
    app_.ShowText("Sinhronizacija podataka uspesno zavrsena!\n\nMozete nastaviti sa radom!");
}

// --- cash ------------------------------------------------------------------------

void TFormCommonLink::CashMovement(Money amount) { CashMovement(amount, clock_().TranStamp()); }

void TFormCommonLink::CashMovement(Money amount, const std::string& stamp)
{
    try {
        fp_.CashInOut(amount);
    } catch (const LinkError&) {
        // Taken behind a garbled answer: the printer's cash totals tell, and the
        // row is then stored by that look.
        if (fp_.AnswerUnreadable() && CashMovementCarriedOut(amount, stamp)) return;
        throw;
    }
    StoreCashRow(amount, stamp);
}

bool TFormCommonLink::CashMovementCarriedOut(Money amount, const std::string& stamp)
{
    const std::string day = Zets().CurrentDayId();
    QSql.SetSQL("select count(*) cnt from cash where dtm_tran = :stamp");
    QSql.SetString("stamp", stamp);
    QSql.Open();
    const bool stored = QSql.AsInteger("cnt") > 0;
    QSql.Close();
    if (stored) return true;
    QSql.SetSQL("select coalesce(sum(cash_in), 0) sin, coalesce(sum(cash_out), 0) sout from cash where zet_id = :zet_id");
    QSql.SetString("zet_id", day);
    QSql.Open();
    const Money storedIn = QSql.AsMoney("sin");
    const Money storedOut = QSql.AsMoney("sout");
    QSql.Close();
    fp_.CashInOut(Money());
    const Money printerIn = Money::FromHundredths(LeadingInt(fp_.AnswerField(1)));
    const Money printerOut = Money::FromHundredths(LeadingInt(fp_.AnswerField(2)));
    const bool inPrinter = amount > Money() ? printerIn == storedIn + amount : printerOut == storedOut + amount.Abs();
    if (inPrinter) StoreCashRow(amount, stamp);
    return inPrinter;
}

void TFormCommonLink::StoreCashRow(Money amount, const std::string& stamp)
{
    const Money in = amount > Money() ? amount : Money();
    const Money out = amount > Money() ? Money() : amount;
    const std::string day = Zets().CurrentDayId();
    QSql.SetSQL("insert into cash(zet_id,trm_id,dtm_tran,usr_id,cash_in,cash_out) "
                "values(:zet_id,:trm_id,:dtm_tran,'XXXX',:cash_in,:cash_out)");
    QSql.SetString("zet_id", day);
    QSql.SetString("trm_id", ini_.TerminalNo());
    QSql.SetString("dtm_tran", stamp);
    QSql.SetMoney("cash_in", in.Abs());
    QSql.SetMoney("cash_out", out.Abs());
    QSql.ExecSQL();
}

// --- last receipt number -----------------------------------------------------------

void TFormCommonLink::StoreLastBonId(int64_t n)
{
    const int64_t count = SelectCount("select count(*) cnt from vle where vle_key='BonID'", "cnt");
    const std::string value = std::to_string(n);
    if (count == 0)
        QSql.SetSQL("insert into vle(vle_key,vle_value) values('BonID'," + value + ")");
    else
        QSql.SetSQL("update vle set vle_value=" + value + " where vle_key='BonID'");
    QSql.ExecSQL();
}

}  // namespace velbrin
