// The command, article and text files of the fault runs, and the wholly voided
// receipt the link must cancel. Every amount, drawer argument, stock quantity and text line carries
// the request's number, so that the journal shows which request did what.
#include <cstdio>

#include "app/P00_util.h"
#include "formats/P00_convert.h"
#include "formats/P01_datapacket.h"
#include "tools/harness/HarnessLedger.h"

namespace velbrin::harness {

namespace {

std::string Named(const std::string& prefix, int k) {
    char base[40];
    std::snprintf(base, sizeof base, "%s%06d", prefix.c_str(), k);
    return base;
}

std::string CommandPacket(const std::vector<std::pair<std::string, std::string>>& rows) {
    TDataPacket p;
    p.LoadFromText(TFormConvert::EmptyPacket("CMD_"));
    for (const auto& [code, text] : rows) {
        const std::size_t r = p.AppendRow();
        p.SetRawValue(r, p.FieldIndex("KOMANDA"), code);
        if (!text.empty()) p.SetRawValue(r, p.FieldIndex("TEKST"), text);
    }
    return p.SaveToText();
}

// Article rows in the receipt layout, as comma text.
std::string ArticleCsv(const std::vector<std::array<std::string, 4>>& rows) {
    std::string out;
    for (const auto& r : rows) out += r[0] + ",1,\"" + r[1] + "\"," + r[2] + "," + r[3] + "\r\n";
    return out;
}

SentRequest Base(RequestKind kind, const std::string& request, const std::string& ext) {
    SentRequest r;
    r.kind = kind;
    r.request = request;
    r.name = request + ext;
    return r;
}

}  // namespace

SentRequest MakeCashFile(int k, std::mt19937& rng) {
    SentRequest r = Base(RequestKind::Command, Named("CMD_", k), ".zvx");
    std::vector<std::pair<std::string, std::string>> rows;
    const int n = std::uniform_int_distribution<int>(1, 3)(rng);
    for (int i = 0; i < n; ++i) {
        // Unique amounts: the request number in whole units, the row in hundredths.
        const long long amount = 100LL * (10 + k) + i + 1;
        const bool in = std::uniform_int_distribution<int>(0, 2)(rng) != 0;
        rows.push_back({in ? "50" : "60", Hundredths(amount)});
        r.cash.push_back(in ? amount : -amount);
        if (i == 0 && std::uniform_int_distribution<int>(0, 1)(rng)) {
            const std::string data = std::to_string(1000 + k);
            rows.push_back({"30", data});
            r.drawers.push_back(data);
        }
    }
    r.bytes = CommandPacket(rows);
    return r;
}

SentRequest MakeDayClosingFile(int k) {
    SentRequest r = Base(RequestKind::Command, Named("CMD_", k), ".zvx");
    r.bytes = CommandPacket({{"90", ""}});
    r.zReports = 1;
    return r;
}

SentRequest MakeTextFile(int k, std::mt19937& rng) {
    SentRequest r = Base(RequestKind::Text, Named("TXT_", k), ".zvx");
    TDataPacket p;
    p.LoadFromText(TFormConvert::EmptyPacket("TXT_"));
    const int n = std::uniform_int_distribution<int>(1, 5)(rng);
    for (int i = 1; i <= n; ++i) {
        const std::string line = "HT" + std::to_string(k) + "." + std::to_string(i) + " tekst";
        p.SetRawValue(p.AppendRow(), p.FieldIndex("TEKST"), line);
        r.texts.push_back("HT" + std::to_string(k) + "." + std::to_string(i));
    }
    r.bytes = p.SaveToText();
    return r;
}

SentRequest MakeArticleFile(int k, char op, std::vector<std::string>& pool, std::mt19937& rng) {
    SentRequest r = Base(RequestKind::Article, Named(std::string("ART-") + op + "_", k), ".csv");
    r.op = std::string(1, op);
    std::vector<std::array<std::string, 4>> rows;
    auto price = [&](const std::string& code) {
        return Hundredths(2000 + 7 * k + static_cast<long long>(code.size()));
    };
    if (op == 'N' || pool.empty()) {
        r.op = "N";
        r.name = r.request = Named("ART-N_", k);
        r.name += ".csv";
        const int n = std::uniform_int_distribution<int>(1, 3)(rng);
        for (int i = 0; i < n; ++i) {
            const std::string code = std::to_string(8000 + 10 * k + i);
            pool.push_back(code);
            rows.push_back({code, "Roba " + code, price(code), "0"});
        }
    } else {
        std::vector<std::string> picked;
        const int n = std::min<int>(static_cast<int>(pool.size()),
                                    std::uniform_int_distribution<int>(1, 3)(rng));
        std::vector<std::string> left = pool;
        for (int i = 0; i < n; ++i) {
            const std::size_t at =
                std::uniform_int_distribution<std::size_t>(0, left.size() - 1)(rng);
            picked.push_back(left[at]);
            left.erase(left.begin() + static_cast<long>(at));
        }
        for (std::size_t i = 0; i < picked.size(); ++i) {
            const std::string& code = picked[i];
            // Unique quantities: the request number in pieces, the row in thousandths.
            const long long qty = 1000LL * k + static_cast<long long>(i) + 1;
            char q[32];
            std::snprintf(q, sizeof q, "%lld.%03lld", qty / 1000, qty % 1000);
            rows.push_back({code, "Roba " + code, price(code), q});
            if (op == 'K') r.stock.push_back(qty);
        }
        if (op == 'D')
            for (const std::string& code : picked) std::erase(pool, code);
    }
    for (const auto& row : rows) r.articles.push_back(row[0]);
    r.bytes = ArticleCsv(rows);
    return r;
}

SentRequest MakeCancelledReceipt(int k) {
    SentRequest r = Base(RequestKind::Receipt, Named("ABC_V", k), ".csv");
    r.cancelledReceipt = true;
    r.tag = k;
    const std::string tag = Hundredths(kTagBase + k);
    // Two pieces sold, three voided: no sale of three pieces to void.
    r.bytes = "TAG,1,\"Oznaka\"," + tag + ",1\r\n7301,1,\"Artikal 301\",60.00,2\r\n" +
              "7301,1,\"Artikal 301\",60.00,-3\r\nKRAJBONA,0,-,0,0\r\n";
    return r;
}

}  // namespace velbrin::harness
