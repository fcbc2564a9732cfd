#include "api/P40_apibody.h"

#include "app/P00_util.h"
#include "exchange/P30_requestscan.h"
#include "formats/P00_convert.h"
#include "formats/P01_commatext.h"

#include <nlohmann/json.hpp>

namespace velbrin {

namespace {

using nlohmann::json;

// Most rows a body may hold, as a request file of its kind.
constexpr std::size_t kMaxReceiptLines = 250;

json Parse(const std::string& text) {
    json body = json::parse(text, nullptr, false);
    if (body.is_discarded()) throw LinkError("The body is not JSON");
    if (!body.is_object()) throw LinkError("The body is not a JSON object");
    return body;
}

// A text field in the link's 8-bit character set; "" when absent.
std::string Field(const json& object, const char* field, const std::string& where) {
    const auto it = object.find(field);
    if (it == object.end() || it->is_null()) return {};
    if (!it->is_string()) throw LinkError(where + ": \"" + field + "\" must be a string");
    try {
        return Utf8ToCp1250(it->get<std::string>());
    } catch (const LinkError&) {
        throw LinkError(where + ": \"" + field + "\" holds a character the printer cannot print");
    }
}

// A number as the client wrote it (a JSON number's shortest text, or a
// string): the conversion reads it as a file's number, without rounding here.
std::string Number(const json& object, const char* field, const std::string& where, bool required) {
    const auto it = object.find(field);
    if (it == object.end() || it->is_null()) {
        if (required) throw LinkError(where + ": \"" + field + "\" is missing");
        return {};
    }
    if (it->is_number()) return it->dump();
    if (it->is_string()) return it->get<std::string>();
    throw LinkError(where + ": \"" + field + "\" must be a number");
}

const json& Array(const json& body, const char* field, bool required) {
    static const json empty = json::array();
    const auto it = body.find(field);
    if (it == body.end() || it->is_null()) {
        if (required) throw LinkError("\"" + std::string(field) + "\" is missing");
        return empty;
    }
    if (!it->is_array()) throw LinkError("\"" + std::string(field) + "\" must be an array");
    return *it;
}

void AddLine(std::string& text, const std::vector<std::string>& items) { text += JoinCommaText(items) + "\r\n"; }

TApiPacket Convert(const std::string& kind, const std::string& op, const std::string& csv) {
    TFormConvert convert;  // one per request: the HTTP threads share nothing
    TApiPacket p;
    p.kind = kind;
    p.op = op;
    p.packet = convert.ConvertInput(kind + op + "API.csv", csv, TRequestScan::MaxRows(kind));
    return p;
}

std::vector<std::string> ArticleRow(const json& row, const std::string& where, bool forSale) {
    if (!row.is_object()) throw LinkError(where + " must be an object");
    std::string quantity = Number(row, "quantity", where, forSale);
    if (forSale && row.value("void", false)) {
        // A void line is a line of negative quantity, as in a receipt file.
        if (!quantity.empty() && quantity[0] == '-') throw LinkError(where + ": a void line takes a positive quantity");
        quantity = "-" + quantity;
    }
    return {Field(row, "article", where), Field(row, "taxGroup", where), Field(row, "name", where),
            Number(row, "price", where, forSale), quantity.empty() ? "0" : quantity};
}

}  // namespace

TApiPacket TApiBody::Receipt(const std::string& body) {
    const json b = Parse(body);
    const json& lines = Array(b, "lines", true);
    if (lines.empty()) throw LinkError("A receipt needs at least one line");
    if (lines.size() > kMaxReceiptLines)
        throw LinkError("A receipt holds at most " + std::to_string(kMaxReceiptLines) + " lines");
    std::string csv;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string where = "line " + std::to_string(i + 1);
        std::vector<std::string> items = ArticleRow(lines[i], where, true);
        // The rows after the lines are the link's own: a line may not pose as one.
        const std::string id = UpperCase(Trim(items[0]));
        if (id == "KRAJBONA" || id.rfind("PAY_", 0) == 0 || id == "USR_ID" || id == "USR_NAME" || id == "CMD159" ||
            id == "CARD_ID")
            throw LinkError(where + ": \"" + items[0] + "\" is no article code");
        AddLine(csv, items);
    }
    AddLine(csv, {"KRAJBONA", "0", "-", "0", "0"});
    // Payments by kind 1..4, each once, in that order, as the trailer carries them.
    std::string paid[4];
    const json& payments = Array(b, "payments", false);
    for (std::size_t i = 0; i < payments.size(); ++i) {
        const std::string where = "payment " + std::to_string(i + 1);
        if (!payments[i].is_object()) throw LinkError(where + " must be an object");
        const auto kind = payments[i].find("kind");
        if (kind == payments[i].end() || !kind->is_number_integer() || *kind < 1 || *kind > 4)
            throw LinkError(where + ": \"kind\" must be 1, 2, 3 or 4");
        std::string& slot = paid[kind->get<int>() - 1];
        if (!slot.empty()) throw LinkError(where + ": kind " + kind->dump() + " is given twice");
        slot = Number(payments[i], "amount", where, true);
    }
    for (int k = 0; k < 4; ++k)
        if (!paid[k].empty()) AddLine(csv, {"PAY_" + std::to_string(k + 1), "0", "-", paid[k], "0"});
    const auto trailer = [&](const char* row, const std::string& value) {
        if (!value.empty()) AddLine(csv, {row, "0", value, "0", "0"});
    };
    if (const auto c = b.find("cashier"); c != b.end() && !c->is_null()) {
        if (!c->is_object()) throw LinkError("\"cashier\" must be an object");
        trailer("USR_ID", Field(*c, "code", "cashier"));
        trailer("USR_NAME", Field(*c, "name", "cashier"));
    }
    trailer("CMD159", Field(b, "header", "receipt"));
    trailer("CARD_ID", Field(b, "card", "receipt"));
    return Convert("ABC_", "", csv);
}

TApiPacket TApiBody::Text(const std::string& body) {
    const json b = Parse(body);
    const json& lines = Array(b, "lines", true);
    if (lines.empty()) throw LinkError("A text needs at least one line");
    std::string csv;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string where = "line " + std::to_string(i + 1);
        if (!lines[i].is_string()) throw LinkError(where + " must be a string");
        const json holder = {{"text", lines[i]}};
        std::string line = Field(holder, "text", where);
        // An empty line is printed as one blank: a row without a value is no row.
        AddLine(csv, {line.empty() ? std::string(" ") : line});
    }
    return Convert("TXT_", "", csv);
}

TApiPacket TApiBody::Commands(const std::string& body) {
    const json b = Parse(body);
    const json& rows = Array(b, "commands", true);
    if (rows.empty()) throw LinkError("At least one command is needed");
    std::string csv;
    bool closing = false;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const std::string where = "command " + std::to_string(i + 1);
        if (!rows[i].is_object()) throw LinkError(where + " must be an object");
        const auto code = rows[i].find("code");
        if (code == rows[i].end() || !code->is_number_integer() || *code < 0 || *code > 999)
            throw LinkError(where + ": \"code\" must be a whole number from 0 to 999");
        closing = closing || *code == 90;
        AddLine(csv, {std::to_string(code->get<int>()), Field(rows[i], "text", where)});
    }
    TApiPacket p = Convert("CMD_", "", csv);
    p.longWork = closing;
    return p;
}

TApiPacket TApiBody::Articles(const std::string& body) {
    const json b = Parse(body);
    const std::string op = Field(b, "operation", "articles");
    if (op != "N" && op != "R" && op != "K" && op != "D")
        throw LinkError("\"operation\" must be \"N\" (new), \"R\" (replace), \"K\" (stock) or \"D\" (delete)");
    const json& rows = Array(b, "articles", true);
    if (rows.empty()) throw LinkError("At least one article is needed");
    std::string csv;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        std::vector<std::string> items = ArticleRow(rows[i], "article " + std::to_string(i + 1), false);
        if (items[3].empty()) items[3] = "0";
        AddLine(csv, items);
    }
    TApiPacket p = Convert("ART-", op, csv);
    p.longWork = op == "R" || op == "D";
    return p;
}

}  // namespace velbrin
