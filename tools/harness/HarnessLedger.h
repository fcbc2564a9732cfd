// The books of a fault run: the receipts the cash register sent, what the
// printer's journal shows was printed, what the database archived, and the
// comparison of the three that tells lost, doubled or disagreeing receipts.
#pragma once

#include "app/P00_dblogin.h"

#include <array>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace velbrin::harness {

// Each receipt starts with the tag line: article "TAG" at 1.00 + k hundredths, so
// that its print on the journal and its rows in the database name the request.
constexpr long long kTagBase = 100;

struct SentReceipt {
    int k = 0;
    std::string name;     // file name as dropped
    std::string request;  // name without extension, as answers carry it
    std::string bytes;
    long long total = 0;  // hundredths the printer should charge
};

// A receipt of random lines (articles from a small pool whose prices drift, so
// that articles are defined and updated), sometimes with a voided line and with
// payments of several kinds. format: "zvx" or "csv".
// lines: the sale lines besides the tag (0: one to four, at random).
SentReceipt MakeReceipt(int k, std::mt19937& rng, const std::string& format, int lines = 0);

std::string Hundredths(long long v);  // "12.30", "-0.05"
long long HundredthsOf(const std::string& text);  // the reverse

struct PrintedReceipt {
    int number = 0;
    int tagK = -1;        // k of the first sale line; -1 when there is none
    long long total = 0;  // of the closing line, hundredths
    long long paid = 0;
    bool closed = false;
    int sales = 0, voids = 0;
};

// Fiscal receipts of the journal lines, in order.
std::vector<PrintedReceipt> ParseJournal(const std::vector<std::string>& lines);

struct StoredReceipt {
    std::string day;
    long long bon = 0;
    int tagK = -1;             // the tag line not voided; -1 when there is none
    long long salesSum = 0;    // hundredths of the lines not voided
    int payRows = 0;
    long long payTotal = 0;    // iznos of the payment row
    long long paidLessChange = 0;
};

struct StoredArticle {
    int plu = 0;
    long long price = 0;  // hundredths
};

struct StoredBooks {
    std::map<std::string, StoredReceipt> receipts;  // by "day/bon"
    long long salesTotal = 0, paymentsTotal = 0;
    int currAbc = 0, currSales = 0, currPayments = 0;  // rows left in the work tables
    std::vector<long long> cash;                      // cash rows: cash_in - cash_out, hundredths
    int daysClosed = 0;                               // zets rows with a closing stamp
    std::map<std::string, StoredArticle> arts;        // by article code
};

// Reads the database file with the link's own store classes; the link must
// have stopped. A server's database is read through the server with login.
// Raises LinkError when it cannot be read.
StoredBooks ReadDatabase(const std::string& path, const TDbLogin& login = {});

// What the cash register got for one request: "ok TEXT" / "err TEXT" lines.
using AnswerBook = std::map<std::string, std::vector<std::string>>;

struct Verdict {
    int sent = 0, printed = 0, answeredOk = 0, answeredErr = 0;
    int lost = 0, duplicated = 0, wrongAnswers = 0, dbMismatches = 0;
    bool totalsEqual = true;
    int requestFaults = 0;
    int repairs = 0;        // article tables the link repaired (from its log)
    int zReports = 0;       // Z reports the printer printed
    std::vector<std::string> faults;  // one line per finding
    bool Clean() const { return faults.empty(); }
};

// The other request kinds: command, article and text files, each with the side
// effects it asks of the printer, so that the books can tell one carried out
// twice, or not at all, or answered against what happened.
enum class RequestKind { Command, Article, Text, Receipt };

struct SentRequest {
    RequestKind kind = RequestKind::Command;
    std::string name, request, bytes;
    std::string op;                         // "N", "R", "K", "D" of an article file
    std::vector<long long> cash;            // cash movements asked, hundredths (+ in, - out)
    std::vector<std::string> drawers;       // drawer command data asked (unique per row)
    int zReports = 0;                       // rows of code 90
    std::vector<std::string> articles;      // article codes of the rows
    std::vector<long long> stock;           // ART-K: thousandths added per row (unique)
    std::vector<std::string> texts;         // text lines
    bool cancelledReceipt = false;          // a receipt the link must cancel halfway
    int tag = -1;                           // its tag line's k
};

// Generators of the requests; k makes amounts, quantities and names unique.
SentRequest MakeCashFile(int k, std::mt19937& rng);      // deposits, withdrawals, a drawer
SentRequest MakeDayClosingFile(int k);                   // code 90
SentRequest MakeTextFile(int k, std::mt19937& rng);
// pool: article codes the files work on; ART-N adds new codes to it, ART-D takes one out.
SentRequest MakeArticleFile(int k, char op, std::vector<std::string>& pool, std::mt19937& rng);
// A receipt whose void finds no sale to void: the link prints its first lines,
// then cancels it (every line voided, closed at 0). Its only sound answer is ".err".
SentRequest MakeCancelledReceipt(int k);

// What the printer did besides receipts, from its journal (ledger lines on).
struct PrinterBooks {
    std::vector<long long> cash;          // CASH lines
    int zReports = 0;
    std::map<std::string, int> drawers;   // DRAWER data -> times
    std::map<long long, int> stockAdds;   // ART A quantity (thousandths) -> times
    std::map<int, long long> articles;    // final article table: plu -> price (from the state file)
    std::map<std::string, int> texts;     // NF_TEXT of a harness line (its mark "HTk.i") -> times printed
};
PrinterBooks ReadPrinterBooks(const std::vector<std::string>& journal);

// Every request answered once, as its normal path answers it; command, article
// and text files carried out once; printer and database agreeing on cash, days
// closed, stock and articles. receipts: the names of the receipts sent (their
// own books are Compare's). unexplained: differences of the article tables the
// harness made behind the link's back; each may cost one Z report (the link's
// repair, which empties both tables), no other Z report may come unasked.
// Each disagreement becomes a fault line.
std::vector<std::string> CompareRequests(const std::vector<SentRequest>& sent,
                                         const std::vector<std::string>& receipts, const AnswerBook& answers,
                                         const PrinterBooks& printer, const StoredBooks& db, int unexplained = 0);

// Compares the requests, their answers, the journal and the database; each
// disagreement becomes a fault line. printerDayTotal is the printer's day
// total in hundredths (voided first prints of recovered receipts count 0).
// cancelledTags: tags of the receipts the link must cancel, whose lines are all
// stored voided.
Verdict Compare(const std::vector<SentReceipt>& sent, const AnswerBook& answers,
                const std::vector<PrintedReceipt>& journal, const StoredBooks& db, long long printerDayTotal,
                const std::vector<int>& cancelledTags = {});

}  // namespace velbrin::harness
