#include "store/P31_articledoubt.h"

#include "app/P00_durable.h"
#include "app/P00_inilink.h"
#include "app/P00_log.h"
#include "app/P00_util.h"
#include "printer/P00_fp.h"
#include "store/P00_query.h"
#include "store/P31_saleitem.h"
#include "store/P31_storecontext.h"

#include <cstdio>
#include <map>
#include <sstream>

namespace velbrin {

namespace {

constexpr const char* kHeader = "velbrin article command 1";

// One value a line: every byte that could break the line or the "=" is written
// as %XX, so any article id or name of the cash register round-trips.
std::string Escape(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 || c == '%' || c == '=' || c == 0x7F) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string Unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const int hi = text[i] == '%' && i + 2 < text.size() ? HexDigit(text[i + 1]) : -1;
        const int lo = hi >= 0 ? HexDigit(text[i + 2]) : -1;
        if (lo >= 0) {
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

struct ArtsRow {
    bool found = false;
    std::string artId;
    int64_t plu = 0;
    Money price;
};

ArtsRow ArtsBy(TFormConnection& connection, const std::string& column, const std::string& value) {
    TSqlQuery q(connection);
    q.SetSQL("select art_id, plu_id, cena from arts where " + column + " = :v");
    q.SetString("v", value);
    q.Open();
    ArtsRow row;
    if (!q.Eof()) {
        row.found = true;
        row.artId = q.AsString("art_id");
        row.plu = LeadingInt(q.AsString("plu_id"));
        row.price = q.AsMoney("cena");
    }
    q.Close();
    return row;
}

}  // namespace

TArticleInDoubt::TArticleInDoubt(TFormConnection& connection, TFormFP& fp, TIniLink& ini, TLogFile& linkLog)
    : connection_(connection), fp_(fp), ini_(ini), linkLog_(linkLog) {}

TArticleInDoubt::TArticleInDoubt(TStoreContext& ctx) : TArticleInDoubt(ctx.connection, ctx.fp, ctx.ini, ctx.linkLog) {}

std::string TArticleInDoubt::Path() const { return JoinPath(ini_.OtherDir(), "Article.pending"); }

// A stock command is written down apart: its record must outlive the article
// commands other requests send before its row is resumed (a receipt's price
// changes come before an article file after a start), or the row would be
// taken for one that sent nothing and its stock added twice.
std::string TArticleInDoubt::StockPath() const { return JoinPath(ini_.OtherDir(), "Article.stock"); }

void TArticleInDoubt::Record(const TArticleCommand& c) {
    std::ostringstream out;
    out << kHeader << "\nop=" << c.op << "\nplu=" << c.plu << "\nart=" << Escape(c.artId)
        << "\ntax=" << Escape(c.taxId) << "\nname=" << Escape(c.name) << "\nprice=" << c.price.Raw()
        << "\nquantity=" << c.quantity.Raw() << "\nbefore=" << c.stockBefore.Raw() << "\nowner=" << Escape(c.owner)
        << "\nend\n";
    try {
        if (!DirectoryExists(ini_.OtherDir())) MakeDirectoriesDurably(ini_.OtherDir());
        WriteFileDurably(c.op == 'A' ? StockPath() : Path(), out.str());
    } catch (const LinkError& e) {
        throw LinkError("The article command cannot be written down before it is sent: " + e.Text());
    }
}

TArticleCommand TArticleInDoubt::Last() const { return Read(Path()); }

TArticleCommand TArticleInDoubt::Read(const std::string& path) const {
    TArticleCommand c;
    if (!FileExists(path)) return c;
    std::string text;
    try {
        text = ReadWholeFile(path);
    } catch (const std::exception&) {
        return c;
    }
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != kHeader) return c;
    std::map<std::string, std::string> v;
    bool ended = false;
    while (std::getline(in, line)) {
        if (line == "end") {
            ended = true;
            break;
        }
        const auto eq = line.find('=');
        if (eq != std::string::npos) v[line.substr(0, eq)] = Unescape(line.substr(eq + 1));
    }
    if (!ended || v["op"].size() != 1) return c;
    long long plu = 0, price = 0, quantity = 0, before = 0;
    if (!TryStrToInt(v["plu"], plu) || !TryStrToInt(v["price"], price) || !TryStrToInt(v["quantity"], quantity) ||
        !TryStrToInt(v["before"], before))
        return c;
    c.op = v["op"][0];
    c.plu = plu;
    c.artId = v["art"];
    c.taxId = v["tax"];
    c.name = v["name"];
    c.price = Money::FromRaw(price);
    c.quantity = Money::FromRaw(quantity);
    c.stockBefore = Money::FromRaw(before);
    c.owner = v["owner"];
    return c;
}

bool TArticleInDoubt::SettleLast() {
    bool changed = SettleDefine();
    const TArticleCommand c = Last();
    if ((c.op != 'C' && c.op != 'D') || c.plu <= 0) return changed;
    const TFormFP::TArticle printer = fp_.ReadArticle(c.plu);
    const ArtsRow byPlu = ArtsBy(connection_, "plu_id", std::to_string(c.plu));
    const std::string what = "Artikal " + c.artId + " (PLU " + std::to_string(c.plu) + ")";
    TSqlQuery q(connection_);
    if (c.op == 'D') {
        if (printer.found || !byPlu.found || byPlu.artId != c.artId) return changed;
        q.SetSQL("delete from arts where plu_id = :plu_id");
        q.SetString("plu_id", std::to_string(c.plu));
        q.ExecSQL();
        linkLog_.Write(what + ": deleted in the printer before the link stopped; its row is deleted now");
        return true;
    }
    if (!printer.found || !byPlu.found || byPlu.artId != c.artId || printer.price != c.price || byPlu.price == c.price)
        return changed;
    q.SetSQL("update arts set cena = :cena where plu_id = :plu_id");
    q.SetMoney("cena", c.price);
    q.SetString("plu_id", std::to_string(c.plu));
    q.ExecSQL();
    linkLog_.Write(what + ": price " + c.price.Format(2) + " taken by the printer before the link stopped; stored now");
    return true;
}

bool TArticleInDoubt::SettleDefine() {
    // A define always takes the number after the highest in arts, and arts gets
    // its row only after the printer took it: an article under that number is
    // one whose row a stop cut off (or one in the way of the next define). It
    // goes, and the request that defined it defines it again.
    // Asked without the fallback a define uses (1 when the query fails): a
    // database that does not answer now must not make an article of arts look
    // like one whose row was cut off.
    TSqlQuery q(connection_);
    q.SetSQL("select max(cast(plu_id as integer)) maxPlu from arts");
    q.Open();
    const int64_t next = (q.Eof() || q.IsNull("maxPlu") ? 1 : q.AsInteger("maxPlu")) + 1;
    q.Close();
    const TFormFP::TArticle printer = fp_.ReadArticle(next);
    if (!printer.found) return false;
    try {
        fp_.ProgramArticle("D" + std::to_string(next));
    } catch (const LinkError& e) {
        // Left as it is: the count below finds the difference.
        linkLog_.Write("PLU " + std::to_string(next) + " (" + printer.name + "), in the printer but not in arts, " +
                       "could not be deleted: " + e.Text());
        return false;
    }
    linkLog_.Write("PLU " + std::to_string(next) + " (" + printer.name + "): defined in the printer before the " +
                   "link stopped, without its row in arts; deleted again, its request defines it anew");
    return true;
}

int TArticleInDoubt::RowOutcome(const std::string& owner, const std::string& artId) {
    // A stock row's command is written down with the row before it is sent: a
    // last record of another row means this one sent nothing.
    const TArticleCommand c = Read(StockPath());
    if (owner.empty() || c.owner != owner || c.artId != artId || c.op != 'A') return 0;
    const TFormFP::TArticle printer = fp_.ReadArticle(c.plu);
    if (printer.found && printer.quantity == c.stockBefore + c.quantity) return 1;
    return printer.found && printer.quantity == c.stockBefore ? 0 : -1;
}

}  // namespace velbrin
