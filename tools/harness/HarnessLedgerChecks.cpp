// The books of the command, article and text files: what the printer's journal
// shows was done, against what was asked, what was answered and what the
// database recorded.
#include <algorithm>
#include <set>
#include <sstream>

#include "app/P00_util.h"
#include "tools/harness/HarnessLedger.h"

namespace velbrin::harness {

namespace {

long long Thousandths(const std::string& text) {
    const auto dot = text.find('.');
    long long v = StrToInt(text.substr(0, dot)) * 1000;
    if (dot != std::string::npos) v += StrToInt((text.substr(dot + 1) + "000").substr(0, 3));
    return v;
}

bool IsOk(const std::string& answer) {
    return answer.rfind("ok ", 0) == 0;
}

std::string Describe(const std::vector<std::string>& got) {
    std::string out;
    for (const std::string& a : got) {
        std::string t = a;
        while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
        out += (out.empty() ? "" : " / ") + t;
    }
    return out;
}

}  // namespace

PrinterBooks ReadPrinterBooks(const std::vector<std::string>& journal) {
    PrinterBooks p;
    for (const std::string& line : journal) {
        std::istringstream in(line);
        std::string what;
        in >> what;
        if (what == "CASH") {
            // An amount of 0 moves nothing: the link reads the cash totals that way.
            std::string amount;
            in >> amount;
            if (HundredthsOf(amount) != 0) p.cash.push_back(HundredthsOf(amount));
        } else if (what == "Z") {
            ++p.zReports;
        } else if (what == "DRAWER") {
            std::string data;
            std::getline(in, data);
            ++p.drawers[Trim(data)];
        } else if (what == "ART") {
            std::string sub, plu, qty;
            in >> sub >> plu >> qty;
            if (sub == "A") ++p.stockAdds[Thousandths(qty)];
        } else if (what == "NF_TEXT") {
            std::string mark;
            in >> mark;
            if (mark.rfind("HT", 0) == 0) ++p.texts[mark];
        }
    }
    return p;
}

std::vector<std::string> CompareRequests(const std::vector<SentRequest>& sent,
                                         const std::vector<std::string>& receipts,
                                         const AnswerBook& answers, const PrinterBooks& printer,
                                         const StoredBooks& db, int unexplained) {
    std::vector<std::string> faults;
    auto fault = [&](const std::string& text) { faults.push_back(text); };

    // Answers: one per request, never to a name nobody sent.
    std::set<std::string> names;
    for (const std::string& r : receipts) names.insert(UpperCase(r));
    for (const SentRequest& s : sent) names.insert(UpperCase(s.request));
    for (const auto& [name, got] : answers)
        if (!names.count(name) && name != "F_300")
            fault("answer " + name + " (" + Describe(got) + ") to a request never sent");

    std::multiset<long long> printedCash(printer.cash.begin(), printer.cash.end());
    std::multiset<long long> storedCash(db.cash.begin(), db.cash.end());
    std::set<std::string> definedOk, replaced;
    for (const SentRequest& s : sent)
        if (s.op == "R" || s.op == "D") replaced.insert(s.articles.begin(), s.articles.end());
    for (const SentRequest& s : sent) {
        const auto a = answers.find(UpperCase(s.request));
        const std::vector<std::string> got =
            a == answers.end() ? std::vector<std::string>{} : a->second;
        if (s.op == "N" && !got.empty() && IsOk(got[0]))
            definedOk.insert(s.articles.begin(), s.articles.end());
        if (got.empty()) {
            fault(s.name + " has no answer");
        } else if (got.size() > 1) {
            fault(s.name + " answered " + std::to_string(got.size()) + " times: " + Describe(got));
        }
        const bool ok = !got.empty() && IsOk(got[0]);
        const bool answered = !got.empty();
        if (s.cancelledReceipt) {
            if (ok)
                fault(s.name + " (cancelled by the link) answered as a success: " + Describe(got));
            continue;
        }
        if (ok && s.kind != RequestKind::Receipt && got[0] != "ok \r\n")
            fault(s.name + " answered '" + Describe(got) + "', expected an empty success");

        // Side effects: each at most once; all of them when answered ok, not all when answered
        // .err.
        int done = 0, asked = 0;
        for (long long c : s.cash) {
            ++asked;
            const auto n = printedCash.count(c);
            const auto m = storedCash.count(c);
            if (n > 1)
                fault(s.name + ": cash " + Hundredths(c) + " moved " + std::to_string(n) +
                      " times");
            if (n != m)
                fault(s.name + ": cash " + Hundredths(c) + " moved " + std::to_string(n) +
                      " times on the printer, " + std::to_string(m) + " rows in the database");
            if (ok && n == 0)
                fault(s.name + " answered ok but cash " + Hundredths(c) + " never moved");
            done += n > 0;
        }
        for (const std::string& d : s.drawers) {
            ++asked;
            const auto it = printer.drawers.find(d);
            const int n = it == printer.drawers.end() ? 0 : it->second;
            if (n > 1) fault(s.name + ": drawer " + d + " opened " + std::to_string(n) + " times");
            if (ok && n == 0) fault(s.name + " answered ok but the drawer " + d + " never opened");
            done += n > 0;
        }
        for (std::size_t row = 0; row < s.stock.size(); ++row) {
            ++asked;
            const long long q = s.stock[row];
            const auto it = printer.stockAdds.find(q);
            const int n = it == printer.stockAdds.end() ? 0 : it->second;
            if (n > 1)
                fault(s.name + ": stock " + std::to_string(q) + " thousandths added " +
                      std::to_string(n) + " times");
            // An article defined by an answered ART-N, never replaced or deleted, gets its stock.
            if (ok && n == 0 && unexplained == 0 && row < s.articles.size() &&
                definedOk.count(s.articles[row]) && !replaced.count(s.articles[row]))
                fault(s.name + " answered ok but stock of " + s.articles[row] + " never added");
            done += n > 0;
        }
        for (const std::string& t : s.texts) {
            ++asked;
            const auto it = printer.texts.find(t);
            const int n = it == printer.texts.end() ? 0 : it->second;
            if (n > 1)
                fault(s.name + ": text line " + t + " printed " + std::to_string(n) + " times");
            if (ok && n == 0) fault(s.name + " answered ok but text line " + t + " never printed");
            done += n > 0;
        }
        // A command file answered .err stopped at its failing row; one whose every
        // movement was made has not failed. The one exception says so itself: a
        // drawer row begun just before a kill, which the printer cannot be asked
        // about, is reported as possibly opened rather than opened a second time.
        const bool drawerInDoubt =
            answered && !ok && got[0].find("the drawer may have opened before the link stopped") != std::string::npos;
        if (answered && !ok && s.kind == RequestKind::Command && asked > 0 && done == asked && !drawerInDoubt)
            fault(s.name + " answered .err although every row was carried out: " + Describe(got));
    }
    // Movements nobody asked for, or recorded on one side only.
    for (long long c : std::set<long long>(printedCash.begin(), printedCash.end())) {
        bool known = false;
        for (const SentRequest& s : sent)
            known = known || std::count(s.cash.begin(), s.cash.end(), c);
        if (!known) fault("cash " + Hundredths(c) + " moved on the printer, asked by no request");
    }
    if (printedCash.size() != storedCash.size())
        fault("cash movements: " + std::to_string(printedCash.size()) + " on the printer, " +
              std::to_string(storedCash.size()) + " rows in the database");
    // A Z report answers a closing the cash register asked for (a day closing,
    // an ART-R file that needs a closed day) or a difference of the article
    // tables no record of the link explains; any other is a fault: a day
    // closing carried out again, or a repair nobody needed.
    int zAsked = unexplained;
    for (const SentRequest& s : sent) zAsked += s.zReports + (s.op == "R");
    if (printer.zReports > zAsked)
        fault("Z reports printed: " + std::to_string(printer.zReports) +
              ", asked: " + std::to_string(zAsked) + " (day closings and ART-R files, and " +
              std::to_string(unexplained) + " article table differences nothing explains)");
    if (printer.zReports != db.daysClosed)
        fault("Z reports printed: " + std::to_string(printer.zReports) +
              ", days closed in the database: " + std::to_string(db.daysClosed));

    // The article tables of printer and database hold the same numbers and prices.
    std::map<int, std::string> dbPlus;
    for (const auto& [code, art] : db.arts) {
        dbPlus[art.plu] = code;
        const auto p = printer.articles.find(art.plu);
        if (p == printer.articles.end())
            fault("article " + code + " (number " + std::to_string(art.plu) +
                  ") in the database, not in the printer");
        else if (p->second != art.price)
            fault("article " + code + " (number " + std::to_string(art.plu) + "): price " +
                  Hundredths(art.price) + " in the database, " + Hundredths(p->second) +
                  " in the printer");
    }
    for (const auto& [plu, price] : printer.articles)
        if (!dbPlus.count(plu))
            fault("article number " + std::to_string(plu) + " (" + Hundredths(price) +
                  ") in the printer, not in the database");
    return faults;
}

}  // namespace velbrin::harness
