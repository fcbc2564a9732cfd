#include "tools/harness/HarnessApiTill.h"

#include "app/P00_util.h"
#include "formats/P00_convert.h"
#include "formats/P01_datapacket.h"
#include "tools/harness/HarnessRig.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <cstdlib>

namespace velbrin::harness {

namespace {

using nlohmann::json;

std::string Utf8(const std::string& cp1250) { return Cp1250ToUtf8(cp1250); }

json ReceiptBody(const TDataPacket& p) {
    json lines = json::array(), payments = json::array(), cashier = json::object();
    json body = json::object();
    bool trailer = false;
    for (std::size_t row = 0; row < p.RowCount(); ++row) {
        const std::string id = UpperCase(Trim(p.Value(row, "ART_ID")));
        const std::string name = Utf8(p.Value(row, "PLU_NAZIV"));
        if (id == "KRAJBONA") {
            trailer = true;
        } else if (!trailer) {
            std::string qty = p.Value(row, "KOLICINA");
            const bool isVoid = !qty.empty() && qty[0] == '-';
            if (isVoid) qty.erase(0, 1);
            lines.push_back({{"article", Utf8(p.Value(row, "ART_ID"))},
                             {"taxGroup", p.Value(row, "TAX_ID")},
                             {"name", name},
                             {"price", p.Value(row, "CENA")},
                             {"quantity", qty},
                             {"void", isVoid}});
        } else if (id.rfind("PAY_", 0) == 0) {
            payments.push_back({{"kind", std::atoi(id.c_str() + 4)}, {"amount", p.Value(row, "CENA")}});
        } else if (id == "USR_NAME") {
            cashier["name"] = name;
        } else if (id == "USR_ID") {
            cashier["code"] = name;
        } else if (id == "CMD159") {
            body["header"] = name;
        }
    }
    body["lines"] = lines;
    if (!payments.empty()) body["payments"] = payments;
    if (!cashier.empty()) body["cashier"] = cashier;
    return body;
}

}  // namespace

ApiCall ApiCallOf(const std::string& key, const std::string& fileName, const std::string& bytes) {
    const std::string kind = TFormConvert::KindOfName(UpperCase(fileName));
    TFormConvert convert;
    const bool packet = bytes.rfind("<?xml", 0) == 0;
    TDataPacket p;
    p.LoadFromText(packet ? bytes : convert.ConvertInput(fileName, bytes));
    ApiCall call;
    call.key = key;
    call.request = UpperCase(key);
    json body;
    if (kind == "ABC_") {
        call.path = "/v1/receipts";
        body = ReceiptBody(p);
    } else if (kind == "CMD_") {
        call.path = "/v1/commands";
        body["commands"] = json::array();
        for (std::size_t row = 0; row < p.RowCount(); ++row)
            body["commands"].push_back(
                {{"code", std::atoi(p.Value(row, "KOMANDA").c_str())}, {"text", Utf8(p.Value(row, "TEKST"))}});
    } else if (kind == "TXT_") {
        call.path = "/v1/texts";
        body["lines"] = json::array();
        for (std::size_t row = 0; row < p.RowCount(); ++row) body["lines"].push_back(Utf8(p.Value(row, "TEKST")));
    } else {
        throw LinkError("The harness sends no " + kind + " request over HTTP");
    }
    call.body = body.dump();
    return call;
}

int ApiTill::Post(const ApiCall& call, int timeoutMs, std::string& reply) {
    httplib::Client client("127.0.0.1", port_);
    client.set_connection_timeout(0, 300000);
    client.set_read_timeout(timeoutMs / 1000, (timeoutMs % 1000) * 1000);
    client.set_write_timeout(2, 0);
    const httplib::Headers headers = {{"Authorization", "Bearer " + token_}, {"Idempotency-Key", call.key}};
    const httplib::Result res = client.Post(call.path, headers, call.body, "application/json");
    {
        std::lock_guard lock(mutex_);
        ++tries_;
    }
    if (!res) return 0;
    reply = res->body;
    return res->status;
}

void ApiTill::Keep(const ApiCall& call, int status, const std::string& reply) {
    const json r = json::parse(reply, nullptr, false);
    std::lock_guard lock(mutex_);
    if (status == 409) {
        faults_.push_back(call.request + ": the same key and body were refused as another body");
        return;
    }
    if (status != 200 && status != 422) return;
    if (r.is_discarded() || !r.contains("state")) {
        faults_.push_back(call.request + ": a reply that is no answer: " + reply);
        return;
    }
    if (!r.contains("answer")) {
        // refused before it was taken (the body's own fault): no request of the link
        faults_.push_back(call.request + ": refused unread: " + reply);
        return;
    }
    const std::string line = std::string(status == 200 ? "ok " : "err ") + Utf8ToCp1250(r.value("text", "")) + "\r\n";
    std::vector<std::string>& seen = finals_[call.request];
    if (std::find(seen.begin(), seen.end(), line) == seen.end()) seen.push_back(line);
}

bool ApiTill::SendUntilAnswered(const ApiCall& call, int ms, int cutMs, unsigned seed) {
    std::mt19937 rng(seed);
    const long long end = NowMs() + ms;
    int attempt = 0;
    while (NowMs() < end) {
        // The first tries may give up early; later ones wait as a patient till would.
        const bool cut = cutMs > 0 && attempt < 3 && std::uniform_int_distribution<int>(0, 1)(rng) == 1;
        const int timeout = cut ? std::uniform_int_distribution<int>(1, cutMs)(rng) : 20000;
        std::string reply;
        const int status = Post(call, timeout, reply);
        ++attempt;
        if (status == 0) {
            std::lock_guard lock(mutex_);
            ++cut_;
        } else {
            Keep(call, status, reply);
            if (status == 200 || status == 422) return true;
            if (status == 503) {
                std::lock_guard lock(mutex_);
                ++held_;
            }
        }
        WaitMs(std::uniform_int_distribution<int>(50, 400)(rng));
    }
    return false;
}

void ApiTill::AskAgain(const ApiCall& call) {
    httplib::Client client("127.0.0.1", port_);
    client.set_read_timeout(20, 0);
    const httplib::Result res =
        client.Get("/v1/requests/" + call.key, {{"Authorization", "Bearer " + token_}});
    if (res) Keep(call, res->status, res->body);
}

void ApiTill::AddTo(AnswerBook& book) const {
    std::lock_guard lock(mutex_);
    for (const auto& [request, answers] : finals_)
        for (const std::string& a : answers) book[request].push_back(a);
}

std::vector<std::string> ApiTill::Faults() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> faults = faults_;
    for (const auto& [request, answers] : finals_)
        if (answers.size() > 1) faults.push_back(request + ": the same key was answered in " +
                                                 std::to_string(answers.size()) + " ways");
    return faults;
}

}  // namespace velbrin::harness
