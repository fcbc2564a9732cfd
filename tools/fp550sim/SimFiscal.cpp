#include "tools/fp550sim/SimFiscal.h"
#include "tools/fp550sim/SimFiscalDetail.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace velbrin::sim {

using namespace detail;

namespace detail {

std::vector<std::string> Split(const std::string& s, char sep)
{
    std::vector<std::string> parts;
    std::string cur;
    for (char c : s) {
        if (c == sep) {
            parts.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(c);
        }
    }
    parts.push_back(cur);
    return parts;
}

int ParsePlu(const std::string& s)
{
    int64_t v = 0;
    if (s.empty() || s.size() > 6 || !ParseFixed(s, 0, v) || s[0] == '-' || s[0] == '+' || v < 1)
        SyntaxError();
    return static_cast<int>(v);
}

int64_t Amount(const std::string& s, int decimals)
{
    int64_t v = 0;
    if (!ParseFixed(s, decimals, v))
        SyntaxError();
    return v;
}

}  // namespace detail

namespace {

constexpr const char* kPassword = "4826";

// price (hundredths) x quantity (thousandths), rounded half away from zero to hundredths
int64_t LineAmount(int64_t price, int64_t qty)
{
    const int64_t p = price * qty;
    return p >= 0 ? (p + 500) / 1000 : -((-p + 500) / 1000);
}

bool ValidSixDigitDate(const std::string& s)
{
    if (s.size() != 6 || !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    const int d = std::stoi(s.substr(0, 2)), m = std::stoi(s.substr(2, 2));
    return d >= 1 && d <= 31 && m >= 1 && m <= 12;
}

}  // namespace

bool PrintsOnPaper(int cmd, const std::string& data)
{
    switch (cmd) {
    case 38: case 39: case 42: case 43: case 48: case 50: case 52: case 53: case 56:
    case 69: case 70: case 79: case 109: case 111:
        return true;
    case 90:
        return data != "1";  // the diagnostic read only answers; other forms print
    default:
        return false;
    }
}

std::time_t SimFiscal::PrinterTime() const
{
    return std::time(nullptr) + static_cast<std::time_t>(st_.clockOffset);
}

std::string SimFiscal::ClockText() const
{
    const std::time_t t = PrinterTime();
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d-%02d-%02d %02d:%02d:%02d", tm.tm_mday, tm.tm_mon + 1, tm.tm_year % 100,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

void SimFiscal::SetClock(const std::string& data)
{
    int d, m, y, h, n, s;
    char tail;
    if (std::sscanf(data.c_str(), "%d-%d-%d %d:%d:%d%c", &d, &m, &y, &h, &n, &s, &tail) != 6)
        SyntaxError();
    std::tm tm{};
    tm.tm_mday = d;
    tm.tm_mon = m - 1;
    tm.tm_year = y + 100;
    tm.tm_hour = h;
    tm.tm_min = n;
    tm.tm_sec = s;
    tm.tm_isdst = -1;
    if (d < 1 || d > 31 || m < 1 || m > 12 || y < 0 || y > 99 || h > 23 || n > 59 || s > 59 || h < 0 || n < 0 || s < 0)
        SyntaxError();
    const std::time_t t = std::mktime(&tm);
    st_.clockOffset = static_cast<long long>(t - std::time(nullptr));
}

SimAnswer SimFiscal::Execute(int cmd, const std::string& data, const SimHardware& hw)
{
    SimAnswer a;
    StatusBytes& s = a.status;
    const bool displayCmd = cmd == 33 || cmd == 47 || cmd == 35;
    bool refuse = false;
    articleMark_ = hw.articleMark;
    if (hw.paperOut && PrintsOnPaper(cmd, data))
        refuse = true;
    else if (hw.displayOff && displayCmd)
        refuse = true, s[0] |= 1u << 5;
    else if (hw.refuseCommand == cmd)
        refuse = true, s[0] |= 1u << 5;
    if (!refuse) {
        const SimState before = st_;
        try {
            Dispatch(cmd, data, a);
        } catch (const Refused& r) {
            st_ = before;  // a refused command leaves no trace
            a.data.clear();
            a.changed = false;
            s[0] |= 1u << 5;
            if (r.bit >= 0)
                s[0] |= static_cast<uint8_t>(1u << r.bit);
        }
    }
    if (hw.displayOff)
        s[0] |= 1u << 3;
    if (hw.paperOut)
        s[2] |= hw.journalOut ? 0x05 : 0x01;
    if (st_.receiptOpen)
        s[2] |= 1u << 3;
    if (st_.nonFiscalOpen)
        s[2] |= 1u << 5;
    if (st_.fiscalised)
        s[5] |= (1u << 3) | (1u << 4) | (1u << 5);
    return a;
}

void SimFiscal::CheckPassword(const std::string& data, std::string* rest)
{
    // "<cashier>,<password>[,<rest>]"
    const auto c1 = data.find(',');
    if (c1 == std::string::npos)
        SyntaxError();
    const auto c2 = data.find(',', c1 + 1);
    const std::string cashier = data.substr(0, c1);
    const std::string password = data.substr(c1 + 1, c2 == std::string::npos ? std::string::npos : c2 - c1 - 1);
    if (cashier != "1" || password != kPassword)
        Refuse();
    if (rest)
        *rest = c2 == std::string::npos ? "" : data.substr(c2 + 1);
}

void SimFiscal::Dispatch(int cmd, const std::string& data, SimAnswer& a)
{
    a.changed = true;
    switch (cmd) {
    case 33:  // clear display
    case 47:  // display upper line
    case 35:  // display lower line
    case 80:  // beep
        a.changed = false;
        return;
    case 38:
        if (st_.receiptOpen || st_.nonFiscalOpen)
            Refuse();
        st_.nonFiscalOpen = true;
        Print("NF_OPEN");
        return;
    case 42:
        if (!st_.nonFiscalOpen)
            Refuse();
        Print("NF_TEXT " + data);
        return;
    case 39:
        if (!st_.nonFiscalOpen)
            Refuse();
        st_.nonFiscalOpen = false;
        Print("NF_CLOSE");
        return;
    case 43:
        if (data.empty() || data[0] < '0' || data[0] > '7')
            SyntaxError();
        st_.header[data[0] - '0'] = data.substr(1);
        return;
    case 48:
        OpenReceipt(data, a);
        return;
    case 52:
        Sell(data, a);
        return;
    case 53:
        Pay(data, a);
        return;
    case 56:
        CloseReceipt(a);
        return;
    case 109:
        if (st_.receiptOpen || st_.nonFiscalOpen || st_.receiptNumber == 0)
            Refuse();
        Print("DUPLICATE " + std::to_string(st_.receiptNumber));
        return;
    case 76:
        a.changed = false;
        if (data != "T")
            SyntaxError();
        a.data = std::string(st_.receiptOpen ? "1" : "0") + "," + std::to_string(st_.lastItems) + "," +
                 std::to_string(st_.lastAmount) + "," + std::to_string(st_.lastPaid);
        return;
    case 103:
        a.changed = false;
        a.data = std::string(st_.ReceiptVoidable() ? "1" : "0") + "," + std::to_string(st_.lastItems);
        return;
    case 106:
        ++st_.drawerOpens;
        if (ledger_)
            Print("DRAWER " + data);
        return;
    case 70: {
        if (st_.receiptOpen || st_.nonFiscalOpen)
            Refuse();
        const int64_t v = Amount(data, 2);
        (v >= 0 ? st_.cashIn : st_.cashOut) += v >= 0 ? v : -v;
        Print("CASH " + FormatFixed(v, 2));
        a.data = "P," + std::to_string(st_.cashIn) + "," + std::to_string(st_.cashOut);
        return;
    }
    case 102: {
        std::string name;
        CheckPassword(data, &name);
        st_.cashierName = name.substr(0, 24);
        return;
    }
    case 69:
        DailyReport(data, a);
        return;
    case 50:
    case 79: {
        const auto parts = Split(data, ',');
        if (parts.size() != 2 || !ValidSixDigitDate(parts[0]) || !ValidSixDigitDate(parts[1]))
            SyntaxError();
        if (st_.receiptOpen || st_.nonFiscalOpen)
            Refuse();
        Print("REPORT " + std::to_string(cmd) + " " + data);
        a.changed = false;
        return;
    }
    case 111:
        if (data.size() != 1 || data[0] < '0' || data[0] > '2')
            SyntaxError();
        if (st_.receiptOpen || st_.nonFiscalOpen)
            Refuse();
        Print("REPORT 111 " + data);
        a.changed = false;
        return;
    case 62:
        if (!data.empty())
            SetClock(data);
        else
            a.changed = false;
        a.data = ClockText();
        return;
    case 90:
        a.changed = false;
        a.data = st_.firmware + ",00000000,1," + st_.serial + "," + st_.fmNumber;
        return;
    case 83:
        a.changed = false;
        a.data = "2,0," + st_.taxFlags + ",20.00,10.00,0.00,0.00,0.00,0.00,0.00,0.00";
        return;
    case 99:
        a.changed = false;
        a.data = st_.ident;
        return;
    case 74:
        a.changed = false;
        if (data != "W" && !data.empty())
            SyntaxError();
        return;
    case 107:
        Article(data, a);
        return;
    default:
        a.changed = false;
        InvalidCommand();
    }
}

void SimFiscal::OpenReceipt(const std::string& data, SimAnswer& a)
{
    std::string rest;
    CheckPassword(data, &rest);
    if (rest != "1")
        SyntaxError();
    if (st_.receiptOpen || st_.nonFiscalOpen)
        Refuse();
    st_.receiptOpen = true;
    st_.lines.clear();
    st_.payments.clear();
    ++st_.receiptNumber;
    st_.lastItems = 0;
    st_.lastAmount = 0;
    st_.lastPaid = 0;
    Print("OPEN " + std::to_string(st_.receiptNumber));
    a.data = std::to_string(st_.receiptNumber);
}

void SimFiscal::Sell(const std::string& data, SimAnswer& a)
{
    const bool isVoid = !data.empty() && data[0] == '-';
    const std::string body = isVoid ? data.substr(1) : data;
    const auto hash = body.find('#');
    if (hash == std::string::npos)
        SyntaxError();
    const int plu = ParsePlu(body.substr(0, hash));
    const std::string rest = body.substr(hash + 1);
    const auto star = rest.find('*');
    const int64_t price = Amount(rest.substr(0, star), 2);
    const int64_t qty = star == std::string::npos ? 1000 : Amount(rest.substr(star + 1), 3);
    if (price < 0 || qty <= 0)
        SyntaxError();
    if (!st_.receiptOpen || !st_.payments.empty())
        Refuse();
    const auto art = st_.articles.find(plu);
    if (art == st_.articles.end())
        Refuse();
    SimLine line{plu, art->second.tax, price, qty, LineAmount(price, qty), isVoid, false};
    if (isVoid) {
        auto sale = std::find_if(st_.lines.begin(), st_.lines.end(), [&](const SimLine& l) {
            return !l.isVoid && !l.voided && l.plu == plu && l.price == price && l.quantity == qty;
        });
        if (sale == st_.lines.end())
            Refuse();
        sale->voided = true;
        line.tax = sale->tax;
        line.amount = -sale->amount;
    }
    st_.lines.push_back(line);
    st_.lastItems = static_cast<int>(st_.lines.size());
    st_.lastAmount = st_.ReceiptTotal();
    Print(std::string(isVoid ? "VOID " : "SALE ") + std::to_string(st_.receiptNumber) + " " + std::to_string(plu) +
          " " + FormatFixed(price, 2) + " " + FormatFixed(qty, 3) + " " + FormatFixed(line.amount, 2));
    a.data = "P," + std::to_string(st_.lastAmount);
}

void SimFiscal::Pay(const std::string& data, SimAnswer& a)
{
    if (data.empty() || data[0] != '\t')
        SyntaxError();
    std::string rest = data.substr(1);
    char type = 'P';
    if (!rest.empty() && (rest[0] == 'P' || rest[0] == 'D' || rest[0] == 'C' || rest[0] == 'N')) {
        type = rest[0];
        rest.erase(0, 1);
    }
    const int64_t amount = Amount(rest, 2);
    if (amount < 0)
        SyntaxError();
    if (!st_.receiptOpen)
        Refuse();
    st_.payments.push_back({type, amount});
    st_.lastPaid = st_.ReceiptPaid();
    Print("PAY " + std::to_string(st_.receiptNumber) + " " + type + " " + FormatFixed(amount, 2));
    const int64_t due = st_.ReceiptTotal() - st_.lastPaid;
    a.data = std::string(due > 0 ? "D" : "R") + "," + std::to_string(due > 0 ? due : -due);
}

void SimFiscal::CloseReceipt(SimAnswer& a)
{
    if (!st_.receiptOpen)
        Refuse();
    const int64_t total = st_.ReceiptTotal();
    const int64_t paid = st_.ReceiptPaid();
    if (paid < total)
        Refuse();
    for (const SimLine& l : st_.lines) {
        const int group = l.tax >= 'A' && l.tax <= 'H' ? l.tax - 'A' : 0;
        st_.dayTax[group] += l.amount;
    }
    st_.receiptOpen = false;
    st_.lines.clear();
    st_.payments.clear();
    st_.lastAmount = total;
    st_.lastPaid = paid;
    Print("CLOSE " + std::to_string(st_.receiptNumber) + " " + FormatFixed(total, 2) + " " + FormatFixed(paid, 2));
    a.data = std::to_string(st_.receiptNumber);
}

void SimFiscal::DailyReport(const std::string& data, SimAnswer& a)
{
    const bool zero = !data.empty() && data[0] == '0';
    if (!zero && data != "2" && data != "1")
        SyntaxError();
    if (st_.receiptOpen || st_.nonFiscalOpen)
        Refuse();
    std::string totals = std::to_string(st_.DayTotal());
    std::string printed = FormatFixed(st_.DayTotal(), 2);
    for (int64_t t : st_.dayTax) {
        totals += "," + std::to_string(t);
        printed += " " + FormatFixed(t, 2);
    }
    if (zero) {
        ++st_.zNumber;
        a.data = std::to_string(st_.zNumber) + "," + totals;
        Print("Z " + std::to_string(st_.zNumber) + " " + printed);
        st_.dayTax.fill(0);
        st_.cashIn = st_.cashOut = 0;
        st_.lastItems = 0;
        st_.lastAmount = st_.lastPaid = 0;
    } else {
        a.changed = false;
        a.data = std::to_string(st_.zNumber + 1) + "," + totals;
        Print("X " + printed);
    }
}

}  // namespace velbrin::sim
