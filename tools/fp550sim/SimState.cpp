#include "tools/fp550sim/SimState.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace velbrin::sim {

int64_t SimState::ReceiptTotal() const
{
    int64_t total = 0;
    for (const SimLine& l : lines)
        total += l.amount;
    return total;
}

int64_t SimState::ReceiptPaid() const
{
    int64_t paid = 0;
    for (const SimPayment& p : payments)
        paid += p.amount;
    return paid;
}

int64_t SimState::DayTotal() const
{
    int64_t total = 0;
    for (int64_t t : dayTax)
        total += t;
    return total;
}

bool ParseFixed(const std::string& text, int decimals, int64_t& value)
{
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+'))
        negative = text[i++] == '-';
    int64_t whole = 0;
    int digits = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
        if (whole > 100000000000LL)
            return false;
        whole = whole * 10 + (text[i] - '0');
    }
    int64_t frac = 0;
    int fracDigits = 0;
    if (i < text.size() && text[i] == '.') {
        for (++i; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++fracDigits) {
            if (fracDigits >= decimals)
                return false;
            frac = frac * 10 + (text[i] - '0');
        }
    }
    if (i != text.size() || digits + fracDigits == 0)
        return false;
    for (int k = fracDigits; k < decimals; ++k)
        frac *= 10;
    int64_t scale = 1;
    for (int k = 0; k < decimals; ++k)
        scale *= 10;
    value = whole * scale + frac;
    if (negative)
        value = -value;
    return true;
}

std::string FormatFixed(int64_t value, int decimals)
{
    int64_t scale = 1;
    for (int k = 0; k < decimals; ++k)
        scale *= 10;
    const bool negative = value < 0;
    const uint64_t mag = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    std::string out = negative ? "-" : "";
    out += std::to_string(mag / scale);
    if (decimals > 0) {
        std::string frac = std::to_string(mag % scale);
        out += "." + std::string(decimals - frac.size(), '0') + frac;
    }
    return out;
}

namespace {

std::string Escape(const std::string& s)
{
    std::string out;
    for (char c : s) {
        const auto b = static_cast<uint8_t>(c);
        if (b < 0x20 || b == '\\' || b == '|' || b == 0x7F) {
            char buf[5];
            std::snprintf(buf, sizeof buf, "\\x%02X", b);
            out += buf;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string Unescape(const std::string& s)
{
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] == 'x') {
            out.push_back(static_cast<char>(std::stoi(s.substr(i + 2, 2), nullptr, 16)));
            i += 3;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

std::vector<std::string> SplitBar(const std::string& s)
{
    std::vector<std::string> parts;
    std::string cur;
    for (char c : s) {
        if (c == '|') {
            parts.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(c);
        }
    }
    parts.push_back(cur);
    return parts;
}

long long Num(const std::string& s)
{
    std::size_t used = 0;
    const long long v = std::stoll(s, &used);
    if (used != s.size())
        throw std::invalid_argument(s);
    return v;
}

}  // namespace

std::string SerializeState(const SimState& st)
{
    std::ostringstream o;
    o << "fiscalised=" << (st.fiscalised ? 1 : 0) << "\n";
    o << "clock_offset=" << st.clockOffset << "\n";
    o << "firmware=" << Escape(st.firmware) << "\n";
    o << "tax_flags=" << Escape(st.taxFlags) << "\n";
    o << "serial=" << Escape(st.serial) << "\n";
    o << "fm_number=" << Escape(st.fmNumber) << "\n";
    o << "ident=" << Escape(st.ident) << "\n";
    o << "cashier=" << Escape(st.cashierName) << "\n";
    for (std::size_t i = 0; i < st.header.size(); ++i)
        o << "header" << i << "=" << Escape(st.header[i]) << "\n";
    o << "receipt_number=" << st.receiptNumber << "\n";
    o << "z_number=" << st.zNumber << "\n";
    o << "receipt_open=" << (st.receiptOpen ? 1 : 0) << "\n";
    for (const SimLine& l : st.lines)
        o << "line=" << l.plu << "|" << l.tax << "|" << l.price << "|" << l.quantity << "|" << l.amount << "|"
          << (l.isVoid ? 1 : 0) << "|" << (l.voided ? 1 : 0) << "\n";
    for (const SimPayment& p : st.payments)
        o << "payment=" << p.type << "|" << p.amount << "\n";
    o << "non_fiscal_open=" << (st.nonFiscalOpen ? 1 : 0) << "\n";
    o << "last=" << st.lastItems << "|" << st.lastAmount << "|" << st.lastPaid << "\n";
    o << "day_tax=";
    for (std::size_t i = 0; i < st.dayTax.size(); ++i)
        o << (i ? "|" : "") << st.dayTax[i];
    o << "\n";
    o << "cash=" << st.cashIn << "|" << st.cashOut << "|" << st.drawerOpens << "\n";
    for (const auto& [plu, a] : st.articles)
        o << "article=" << a.plu << "|" << a.tax << "|" << a.price << "|" << a.quantity << "|" << Escape(a.name) << "\n";
    o << "article_cursor=" << st.articleCursor << "\n";
    return o.str();
}

SimState ParseState(const std::string& text)
{
    SimState st;
    std::istringstream in(text);
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        if (line.empty())
            continue;
        const auto eq = line.find('=');
        if (eq == std::string::npos)
            throw std::runtime_error("state line " + std::to_string(lineNo) + ": no '='");
        const std::string key = line.substr(0, eq);
        const std::string value = line.substr(eq + 1);
        const auto parts = SplitBar(value);
        auto need = [&](std::size_t n) {
            if (parts.size() != n)
                throw std::runtime_error("state line " + std::to_string(lineNo) + ": wrong field count");
        };
        try {
            if (key == "fiscalised") st.fiscalised = Num(value) != 0;
            else if (key == "clock_offset") st.clockOffset = Num(value);
            else if (key == "firmware") st.firmware = Unescape(value);
            else if (key == "tax_flags") st.taxFlags = Unescape(value);
            else if (key == "serial") st.serial = Unescape(value);
            else if (key == "fm_number") st.fmNumber = Unescape(value);
            else if (key == "ident") st.ident = Unescape(value);
            else if (key == "cashier") st.cashierName = Unescape(value);
            else if (key.size() == 7 && key.rfind("header", 0) == 0 && key[6] >= '0' && key[6] <= '7')
                st.header[key[6] - '0'] = Unescape(value);
            else if (key == "receipt_number") st.receiptNumber = static_cast<int>(Num(value));
            else if (key == "z_number") st.zNumber = static_cast<int>(Num(value));
            else if (key == "receipt_open") st.receiptOpen = Num(value) != 0;
            else if (key == "line") {
                need(7);
                SimLine l;
                l.plu = static_cast<int>(Num(parts[0]));
                l.tax = parts[1].empty() ? 'A' : parts[1][0];
                l.price = Num(parts[2]);
                l.quantity = Num(parts[3]);
                l.amount = Num(parts[4]);
                l.isVoid = Num(parts[5]) != 0;
                l.voided = Num(parts[6]) != 0;
                st.lines.push_back(l);
            } else if (key == "payment") {
                need(2);
                st.payments.push_back({parts[0].empty() ? 'P' : parts[0][0], Num(parts[1])});
            } else if (key == "non_fiscal_open") st.nonFiscalOpen = Num(value) != 0;
            else if (key == "last") {
                need(3);
                st.lastItems = static_cast<int>(Num(parts[0]));
                st.lastAmount = Num(parts[1]);
                st.lastPaid = Num(parts[2]);
            } else if (key == "day_tax") {
                need(8);
                for (std::size_t i = 0; i < 8; ++i)
                    st.dayTax[i] = Num(parts[i]);
            } else if (key == "cash") {
                need(3);
                st.cashIn = Num(parts[0]);
                st.cashOut = Num(parts[1]);
                st.drawerOpens = static_cast<int>(Num(parts[2]));
            } else if (key == "article") {
                need(5);
                SimArticle a;
                a.plu = static_cast<int>(Num(parts[0]));
                a.tax = parts[1].empty() ? 'A' : parts[1][0];
                a.price = Num(parts[2]);
                a.quantity = Num(parts[3]);
                a.name = Unescape(parts[4]);
                st.articles[a.plu] = a;
            } else if (key == "article_cursor") st.articleCursor = static_cast<int>(Num(value));
            // unknown keys are skipped so that an older simulator reads a newer file
        } catch (const std::logic_error&) {
            throw std::runtime_error("state line " + std::to_string(lineNo) + ": bad number");
        }
    }
    return st;
}

SimState LoadStateFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return SimState{};
    std::ostringstream text;
    text << in.rdbuf();
    try {
        return ParseState(text.str());
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(path + ": " + e.what());
    }
}

void SaveStateFile(const std::string& path, const SimState& state)
{
    const std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << SerializeState(state);
        out.flush();
        if (!out)
            throw std::runtime_error("cannot write " + tmp);
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0)
        throw std::runtime_error("cannot rename " + tmp + " to " + path);
}

}  // namespace velbrin::sim
