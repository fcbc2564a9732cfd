// The printer's article table: command 107 and its sub-commands.
#include "tools/fp550sim/SimFiscal.h"
#include "tools/fp550sim/SimFiscalDetail.h"

namespace velbrin::sim {

using namespace detail;

void SimFiscal::ArticleAnswer(const SimArticle* art, SimAnswer& a, const std::string& mark)
{
    if (!art) {
        a.data = "F";
        return;
    }
    a.data = mark + "," + std::to_string(art->plu) + "," + art->tax + "," + FormatFixed(art->price, 2) + "," +
             FormatFixed(art->quantity, 3) + "," + art->name;
}

void SimFiscal::Article(const std::string& data, SimAnswer& a)
{
    if (data.empty())
        SyntaxError();
    const char sub = data[0];
    const std::string rest = data.substr(1);
    switch (sub) {
    case 'P': {
        if (rest.empty() || rest[0] < 'A' || rest[0] > 'H')
            SyntaxError();
        const char tax = rest[0];
        const auto f = Split(rest.substr(1), ',');
        if (f.size() < 4)
            SyntaxError();
        const int plu = ParsePlu(f[0]);
        const int64_t price = Amount(f[1], 2);
        const int64_t qty = Amount(f[2], 3);
        std::string name = f[3];
        for (std::size_t i = 4; i < f.size(); ++i)
            name += "," + f[i];
        if (price < 0 || name.empty())
            SyntaxError();
        const std::size_t g = static_cast<std::size_t>(tax - 'A');
        if (st_.articles.count(plu) || (g < st_.taxFlags.size() && st_.taxFlags[g] == '0'))
            Refuse();
        st_.articles[plu] = SimArticle{plu, tax, price, qty, name};
        if (ledger_)
            Print("ART P " + std::to_string(plu) + " " + tax + " " + FormatFixed(price, 2) + " " + FormatFixed(qty, 3));
        return;
    }
    case 'C': {
        const auto f = Split(rest, ',');
        if (f.size() != 2)
            SyntaxError();
        const int plu = ParsePlu(f[0]);
        const int64_t price = Amount(f[1], 2);
        if (price < 0)
            SyntaxError();
        auto it = st_.articles.find(plu);
        if (it == st_.articles.end())
            Refuse();
        it->second.price = price;
        if (ledger_)
            Print("ART C " + std::to_string(plu) + " " + FormatFixed(price, 2));
        return;
    }
    case 'D': {
        const int plu = ParsePlu(rest);
        if (!st_.articles.erase(plu))
            Refuse();
        if (ledger_)
            Print("ART D " + std::to_string(plu));
        return;
    }
    case 'A': {
        const auto f = Split(rest, ',');
        if (f.size() != 2)
            SyntaxError();
        auto it = st_.articles.find(ParsePlu(f[0]));
        const int64_t qty = Amount(f[1], 3);
        if (it == st_.articles.end())
            Refuse();
        it->second.quantity += qty;
        if (ledger_)
            Print("ART A " + std::to_string(it->first) + " " + FormatFixed(qty, 3));
        return;
    }
    case 'F':
    case 'N': {
        if (!rest.empty())
            SyntaxError();
        auto it = sub == 'F' ? st_.articles.begin() : st_.articles.upper_bound(st_.articleCursor);
        const SimArticle* art = it == st_.articles.end() ? nullptr : &it->second;
        st_.articleCursor = art ? art->plu : 0;
        if (!art && sub == 'N')
            st_.articleCursor = st_.articles.empty() ? 0 : st_.articles.rbegin()->first;
        ArticleAnswer(art, a, articleMark_);
        return;
    }
    case 'I':
        a.changed = false;
        a.data = "3000,32," + std::to_string(st_.articles.size());
        return;
    case 'R': {
        a.changed = false;
        auto it = st_.articles.find(ParsePlu(rest));
        ArticleAnswer(it == st_.articles.end() ? nullptr : &it->second, a, "P");
        return;
    }
    default:
        SyntaxError();
    }
}

}  // namespace velbrin::sim
