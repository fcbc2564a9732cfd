#include "tools/harness/HarnessLedger.h"

#include "app/P00_money.h"
#include "app/P00_util.h"
#include "store/P00_connection.h"
#include "store/P00_query.h"

#include <algorithm>
#include <sstream>

namespace velbrin::harness {

namespace {

struct Row {
    std::string art, tax, name;
    long long price = 0;   // hundredths
    long long qty = 0;     // whole pieces; negative for a void
};

std::string ZvxPacket(const std::vector<Row>& rows) {
    std::string out =
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
        "<DATAPACKET Version=\"2.0\"><METADATA><FIELDS>"
        "<FIELD attrname=\"ART_ID\" fieldtype=\"string\" required=\"true\" WIDTH=\"20\"/>"
        "<FIELD attrname=\"TAX_ID\" fieldtype=\"string\" required=\"true\" WIDTH=\"1\"/>"
        "<FIELD attrname=\"PLU_NAZIV\" fieldtype=\"string\" required=\"true\" WIDTH=\"40\"/>"
        "<FIELD attrname=\"CENA\" fieldtype=\"fixedFMT\" required=\"true\" DECIMALS=\"2\" WIDTH=\"10\"/>"
        "<FIELD attrname=\"KOLICINA\" fieldtype=\"fixedFMT\" required=\"true\" DECIMALS=\"3\" WIDTH=\"10\"/>"
        "</FIELDS><PARAMS LCID=\"0\"/></METADATA><ROWDATA>\n";
    for (const Row& r : rows)
        out += "<ROW ART_ID=\"" + r.art + "\" TAX_ID=\"" + r.tax + "\" PLU_NAZIV=\"" + r.name + "\" CENA=\"" +
               Hundredths(r.price) + "\" KOLICINA=\"" + std::to_string(r.qty) + "\"/>\n";
    return out + "</ROWDATA></DATAPACKET>\n";
}

std::string CsvText(const std::vector<Row>& rows) {
    std::string out;
    for (const Row& r : rows)
        out += r.art + "," + r.tax + ",\"" + r.name + "\"," + Hundredths(r.price) + "," + std::to_string(r.qty) + "\r\n";
    return out;
}

}  // namespace

long long HundredthsOf(const std::string& text) {
    const bool negative = !text.empty() && text[0] == '-';
    const std::string t = negative ? text.substr(1) : text;
    const auto dot = t.find('.');
    long long v = StrToInt(t.substr(0, dot)) * 100;
    if (dot != std::string::npos) v += StrToInt((t.substr(dot + 1) + "00").substr(0, 2));
    return negative ? -v : v;
}

namespace {

long long JournalAmount(const std::string& text) { return HundredthsOf(text); }

long long ToHundredths(Money m) { return m.Raw() / 100; }

}  // namespace

std::string Hundredths(long long v) {
    const bool negative = v < 0;
    const long long a = negative ? -v : v;
    std::string cents = std::to_string(a % 100);
    if (cents.size() < 2) cents = "0" + cents;
    return (negative ? "-" : "") + std::to_string(a / 100) + "." + cents;
}

SentReceipt MakeReceipt(int k, std::mt19937& rng, const std::string& format, int wanted) {
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    std::vector<Row> rows;
    long long total = kTagBase + k;
    rows.push_back({"TAG", "1", "Oznaka", kTagBase + k, 1});
    const int lines = wanted > 0 ? wanted : pick(1, 4);
    for (int i = 0; i < lines; ++i) {
        const int a = pick(1, 12);
        // prices drift every few receipts, so articles get their price updated
        const long long price = 5000 + 1000 * a + 10 * ((k / 5 + a) % 4);
        const long long qty = pick(1, 3);
        rows.push_back({std::to_string(7000 + a), a % 3 == 0 ? "2" : "1", "Artikal " + std::to_string(a), price, qty});
        total += price * qty;
    }
    if (pick(0, 3) == 0) {
        // a line sold and voided again on the same receipt
        const Row sold = rows[static_cast<std::size_t>(pick(1, lines))];
        rows.push_back(sold);
        rows.push_back({sold.art, sold.tax, sold.name, sold.price, -sold.qty});
    }
    rows.push_back({"KRAJBONA", "0", "-", 0, 0});
    const int payment = pick(0, 9);
    if (payment < 4) {
        rows.push_back({"PAY_1", "0", "-", total / 200 * 100, 0});  // part by card, the rest in cash
    } else if (payment < 6) {
        rows.push_back({"PAY_2", "0", "-", (total / 100 + 20) * 100, 0});  // with change
    } else if (payment == 6) {
        rows.push_back({"PAY_1", "0", "-", 1000, 0});
        rows.push_back({"PAY_3", "0", "-", 500, 0});
    }
    rows.push_back({"USR_NAME", "0", "Kasir " + std::to_string(k % 7), 0, 0});

    SentReceipt r;
    r.k = k;
    char base[32];
    std::snprintf(base, sizeof base, "ABC_%06d", k);
    r.request = base;
    r.name = r.request + (format == "csv" ? ".csv" : ".zvx");
    r.bytes = format == "csv" ? CsvText(rows) : ZvxPacket(rows);
    r.total = total;
    return r;
}

std::vector<PrintedReceipt> ParseJournal(const std::vector<std::string>& lines) {
    std::vector<PrintedReceipt> out;
    for (const std::string& line : lines) {
        std::istringstream in(line);
        std::string what;
        int number = 0;
        in >> what >> number;
        if (what == "OPEN") {
            PrintedReceipt p;
            p.number = number;
            out.push_back(p);
            continue;
        }
        if (out.empty() || out.back().number != number || out.back().closed) continue;
        PrintedReceipt& p = out.back();
        if (what == "SALE") {
            std::string plu, price;
            in >> plu >> price;
            if (p.sales++ == 0) p.tagK = static_cast<int>(JournalAmount(price) - kTagBase);
        } else if (what == "VOID") {
            ++p.voids;
        } else if (what == "CLOSE") {
            std::string total, paid;
            in >> total >> paid;
            p.total = JournalAmount(total);
            p.paid = JournalAmount(paid);
            p.closed = true;
        }
    }
    return out;
}

StoredBooks ReadDatabase(const std::string& path, const TDbLogin& login) {
    StoredBooks books;
    TFormConnection connection(path, login);
    TSqlQuery q(connection);
    auto key = [](const std::string& day, long long bon) { return day + "/" + std::to_string(bon); };
    q.SetSQL("select zet_id, bon_id, art_id, cena, iznos, ind_storno from sales");
    q.Open();
    for (; !q.Eof(); q.Next()) {
        StoredReceipt& r = books.receipts[key(q.AsString("zet_id"), q.AsInteger("bon_id"))];
        r.day = q.AsString("zet_id");
        r.bon = q.AsInteger("bon_id");
        if (q.AsString("ind_storno") == "D") continue;
        const long long amount = ToHundredths(q.AsMoney("iznos"));
        r.salesSum += amount;
        books.salesTotal += amount;
        if (q.AsString("art_id") == "TAG") r.tagK = static_cast<int>(ToHundredths(q.AsMoney("cena")) - kTagBase);
    }
    q.Close();
    q.SetSQL("select zet_id, bon_id, iznos, kusur, pay_1 + pay_2 + pay_3 + pay_4 + pay_5 + pay_6 paid from payments");
    q.Open();
    for (; !q.Eof(); q.Next()) {
        StoredReceipt& r = books.receipts[key(q.AsString("zet_id"), q.AsInteger("bon_id"))];
        r.day = q.AsString("zet_id");
        r.bon = q.AsInteger("bon_id");
        ++r.payRows;
        r.payTotal += ToHundredths(q.AsMoney("iznos"));
        r.paidLessChange += ToHundredths(q.AsMoney("paid")) - ToHundredths(q.AsMoney("kusur"));
        books.paymentsTotal += ToHundredths(q.AsMoney("iznos"));
    }
    q.Close();
    auto count = [&](const std::string& table) {
        q.SetSQL("select count(*) cnt from " + table);
        q.Open();
        const int n = static_cast<int>(q.AsInteger("cnt"));
        q.Close();
        return n;
    };
    q.SetSQL("select cash_in, cash_out from cash");
    q.Open();
    for (; !q.Eof(); q.Next()) books.cash.push_back(ToHundredths(q.AsMoney("cash_in")) - ToHundredths(q.AsMoney("cash_out")));
    q.Close();
    q.SetSQL("select count(*) cnt from zets where dtm_tran is not null");
    q.Open();
    books.daysClosed = static_cast<int>(q.AsInteger("cnt"));
    q.Close();
    q.SetSQL("select art_id, plu_id, cena from arts");
    q.Open();
    for (; !q.Eof(); q.Next())
        books.arts[q.AsString("art_id")] = {static_cast<int>(StrToInt(Trim(q.AsString("plu_id")))),
                                            ToHundredths(q.AsMoney("cena"))};
    q.Close();
    books.currAbc = count("curr_abc");
    books.currSales = count("curr_sales");
    books.currPayments = count("curr_payments");
    return books;
}

Verdict Compare(const std::vector<SentReceipt>& sent, const AnswerBook& answers,
                const std::vector<PrintedReceipt>& journal, const StoredBooks& db, long long printerDayTotal,
                const std::vector<int>& cancelledTags) {
    Verdict v;
    auto fault = [&](const std::string& text) { v.faults.push_back(text); };
    std::map<int, std::vector<const PrintedReceipt*>> prints;
    for (const PrintedReceipt& p : journal) {
        if (!p.closed) {
            fault("receipt " + std::to_string(p.number) + " was left open on the printer");
            continue;
        }
        if (p.total != 0 || p.sales > p.voids) prints[p.tagK].push_back(&p);
    }
    std::map<int, std::vector<const StoredReceipt*>> stored;
    for (const auto& [key, r] : db.receipts) {
        if (r.tagK >= 0 || r.salesSum != 0) stored[r.tagK].push_back(&r);
        if (r.payRows != 1) fault("database receipt " + key + " has " + std::to_string(r.payRows) + " payment rows");
        else if (r.payTotal != r.salesSum || r.paidLessChange != r.payTotal)
            fault("database receipt " + key + ": lines " + Hundredths(r.salesSum) + ", payment " +
                  Hundredths(r.payTotal) + ", paid less change " + Hundredths(r.paidLessChange));
    }
    for (const SentReceipt& s : sent) {
        ++v.sent;
        const auto a = answers.find(UpperCase(s.request));
        const std::vector<std::string> got = a == answers.end() ? std::vector<std::string>{} : a->second;
        const auto& printed = prints[s.k];
        const auto& kept = stored[s.k];
        v.printed += static_cast<int>(printed.size());
        if (printed.size() > 1) {
            ++v.duplicated;
            fault(s.name + " printed " + std::to_string(printed.size()) + " times");
        }
        if (got.empty()) {
            ++v.lost;
            fault(s.name + " has no answer" + (printed.empty() ? "" : " although it was printed"));
            continue;
        }
        if (got.size() > 1) {
            ++v.duplicated;
            fault(s.name + " answered " + std::to_string(got.size()) + " times: " + Trim(got[0]) + " / " + Trim(got[1]));
        }
        const std::string& first = got[0];
        if (first.rfind("ok ", 0) == 0) {
            ++v.answeredOk;
            const std::string expected = "ok " + Hundredths(s.total) + "\r\n";
            if (first != expected) {
                ++v.wrongAnswers;
                fault(s.name + " answered '" + first + "', expected the total " + Hundredths(s.total));
            }
            if (printed.empty()) fault(s.name + " answered ok but never printed");
            if (kept.size() != 1) {
                ++v.dbMismatches;
                fault(s.name + " stored " + std::to_string(kept.size()) + " times in the database");
            } else if (!printed.empty() && kept[0]->salesSum != printed[0]->total) {
                ++v.dbMismatches;
                fault(s.name + " stored with lines of " + Hundredths(kept[0]->salesSum) + ", printed " +
                      Hundredths(printed[0]->total));
            }
        } else {
            ++v.answeredErr;
            if (!printed.empty()) fault(s.name + " answered with an error but printed: " + first);
            if (!kept.empty()) fault(s.name + " answered with an error but stored in the database");
        }
    }
    for (const auto& [k, list] : stored) {
        bool known = false;
        for (const SentReceipt& s : sent) known = known || s.k == k;
        const bool cancelled = std::count(cancelledTags.begin(), cancelledTags.end(), k) > 0;
        if (cancelled)
            fault("the database holds receipt tag " + std::to_string(k) + ", cancelled by the link, with lines not voided");
        else if (!known)
            fault("the database holds a receipt of tag " + std::to_string(k) + " that was never sent");
    }
    if (db.currAbc || db.currSales || db.currPayments)
        fault("work tables not empty: curr_abc " + std::to_string(db.currAbc) + ", curr_sales " +
              std::to_string(db.currSales) + ", curr_payments " + std::to_string(db.currPayments));
    v.totalsEqual = db.salesTotal == printerDayTotal && db.paymentsTotal == printerDayTotal;
    if (!v.totalsEqual)
        fault("day totals differ: printer " + Hundredths(printerDayTotal) + ", database lines " +
              Hundredths(db.salesTotal) + ", payments " + Hundredths(db.paymentsTotal));
    return v;
}

}  // namespace velbrin::harness
