#include "api/P40_apiserver.h"

#include "api/P40_apibody.h"
#include "app/P00_durable.h"
#include "app/P00_safedir.h"
#include "app/P00_util.h"
#include "exchange/P30_apibook.h"

#include <httplib.h>
#include <nlohmann/json.hpp>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstring>

namespace velbrin {

namespace {

using nlohmann::json;

std::string Sha256Hex(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1)
        throw LinkError("The body's digest cannot be made");
    static const char* hex = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 15];
    }
    return text;
}

void SendJson(httplib::Response& res, int status, const json& body) {
    res.status = status;
    res.set_content(body.dump(), "application/json");
}

void SendError(httplib::Response& res, int status, const std::string& error, const std::string& message) {
    SendJson(res, status, {{"error", error}, {"message", Cp1250ToUtf8(message)}});
}

// The states in which a request waits for the printer or the database to come back.
bool Held(const std::string& state) {
    return state == "printer-not-answering" || state == "database-not-answering" || state == "connecting-to-database" ||
           state == "waiting-for-operator";
}

bool Bit(const std::string& statusHex, int byte, int bit) {
    if (statusHex.size() != 12) return false;
    const long value = std::strtol(statusHex.substr(static_cast<std::size_t>(byte) * 2, 2).c_str(), nullptr, 16);
    return (value >> bit) & 1;
}

}  // namespace

TApiServer::TApiServer(TApiSettings settings, TApiBook& book, std::function<void()> queued,
                       std::function<TStatusAnswer()> status)
    : settings_(std::move(settings)), book_(book), queued_(std::move(queued)), status_(std::move(status)) {}

TApiServer::~TApiServer() { Stop(); }

bool TApiServer::Loopback(const std::string& address) {
    return address == "localhost" || address == "::1" || address.rfind("127.", 0) == 0;
}

std::string TApiServer::LoadToken(const std::string& path) {
    if (!FileExists(path)) {
        MakeDirectoriesDurably(ExtractFileDir(path));
        // Made by the link for its own user alone; a name someone put there meanwhile is not written through.
        if (const int err = CreatePrivateFileDurably(path, RandomHex(32) + "\n"); err != 0 && err != EEXIST)
            throw LinkError("Cannot create the token file " + path + ": " + std::strerror(err));
    }
    if (ReadableByEveryone(path))
        throw LinkError("The token file " + path + " may be read by every user (make it readable by the link's user only, chmod 0600)");
    const std::string token = Trim(TSafeDir(ExtractFileDir(path)).ReadFile(ExtractFileName(path), 4096));
    if (token.size() < 16) throw LinkError("The token in " + path + " is shorter than 16 characters");
    return token;
}

void TApiServer::Start() {
    if (settings_.token.empty()) throw LinkError("The HTTP interface has no token");
    const bool tls = !settings_.certFile.empty() || !settings_.keyFile.empty();
    if (!Loopback(settings_.address) && !tls)
        throw LinkError("The HTTP interface listens on " + settings_.address +
                        " only with TLS ([Api] CertFile and KeyFile): the token must not cross a network in clear");
    if (tls) {
        auto ssl = std::make_unique<httplib::SSLServer>(settings_.certFile.c_str(), settings_.keyFile.c_str());
        if (!ssl->is_valid())
            throw LinkError("The TLS certificate or key cannot be read: " + settings_.certFile + ", " + settings_.keyFile);
        server_ = std::move(ssl);
    } else {
        server_ = std::make_unique<httplib::Server>();
    }
    httplib::Server& s = *server_;
    const int threads = settings_.threads;
    s.new_task_queue = [threads] { return new httplib::ThreadPool(static_cast<size_t>(threads)); };
    s.set_payload_max_length(settings_.maxBody);
    s.set_read_timeout(settings_.readTimeoutSeconds, 0);
    s.set_write_timeout(settings_.readTimeoutSeconds, 0);
    // Replies are small: without this a reply waits on the client's delayed acknowledgement.
    s.set_tcp_nodelay(true);
    s.set_keep_alive_timeout(5);
    s.set_keep_alive_max_count(100);
    const auto post = [this](const char* kind) {
        return [this, kind](const httplib::Request& req, httplib::Response& res) { Post(kind, req, res); };
    };
    s.Post("/v1/receipts", post("ABC_"));
    s.Post("/v1/texts", post("TXT_"));
    s.Post("/v1/commands", post("CMD_"));
    s.Post("/v1/articles", post("ART-"));
    s.Get(R"(/v1/requests/([^/]+))", [this](const httplib::Request& req, httplib::Response& res) { GetAnswer(req, res); });
    s.Get("/v1/state", [this](const httplib::Request& req, httplib::Response& res) {
        if (Authorised(req, res)) GetState(res);
    });
    s.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (!res.body.empty()) return;
        if (res.status == 413) return SendError(res, 413, "too-large", "The body is larger than the link takes");
        if (res.status == 404) return SendError(res, 404, "not-found", "Nothing is served here but the link's interface");
        SendError(res, res.status, "bad-request", "The request is no HTTP request the link takes");
    });
    s.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr e) {
        std::string what = "internal failure";
        try {
            if (e) std::rethrow_exception(e);
        } catch (const std::exception& x) {
            what = x.what();
        } catch (...) {
        }
        SendError(res, 500, "link-failure", what);
    });
    if (!s.bind_to_port(settings_.address.c_str(), settings_.port))
        throw LinkError("The HTTP interface cannot listen on " + settings_.address + ":" +
                        std::to_string(settings_.port) + ": " + LastSystemError());
    boundPort_ = settings_.port;
    thread_ = std::thread([this] { server_->listen_after_bind(); });
}

void TApiServer::Stop() {
    if (!server_) return;
    stopping_ = true;
    server_->stop();
    if (thread_.joinable()) thread_.join();
    server_.reset();
}

bool TApiServer::Authorised(const httplib::Request& req, httplib::Response& res) const {
    const std::string given = req.get_header_value("Authorization");
    const std::string wanted = "Bearer " + settings_.token;
    if (given.size() == wanted.size() && CRYPTO_memcmp(given.data(), wanted.data(), given.size()) == 0) return true;
    res.set_header("WWW-Authenticate", "Bearer");
    SendError(res, 401, "unauthorised", "A valid bearer token is needed");
    return false;
}

void TApiServer::Post(const std::string& kind, const httplib::Request& req, httplib::Response& res) {
    if (!Authorised(req, res)) return;
    const std::string key = req.get_header_value("Idempotency-Key");
    if (!TApiBook::ValidKey(key))
        return SendError(res, 400, "no-key",
                         "Every request needs an Idempotency-Key header of 1 to " +
                             std::to_string(TApiBook::kMaxKeyBytes) + " printable characters without blanks");
    const std::string digest = Sha256Hex(req.body);
    TApiBook::TEntry entry;
    bool longWork = false;
    if (const std::optional<TApiBook::TEntry> known = book_.Find(key)) {
        if (known->digest != digest)
            return SendError(res, 409, "key-reused", "The key " + key + " was given with another body");
    } else {
        TApiPacket packet;
        try {
            if (kind == "ABC_") packet = TApiBody::Receipt(req.body);
            if (kind == "TXT_") packet = TApiBody::Text(req.body);
            if (kind == "CMD_") packet = TApiBody::Commands(req.body);
            if (kind == "ART-") packet = TApiBody::Articles(req.body);
        } catch (const LinkError& e) {
            // The request's own fault: nothing recorded, the same body is refused again.
            return SendJson(res, 422, {{"key", key}, {"state", "refused"}, {"text", Cp1250ToUtf8(e.what())}});
        }
        longWork = packet.longWork;
        const TApiBook::TAccepted taken = book_.Accept(key, digest, packet.kind, packet.op, packet.packet, entry);
        if (taken == TApiBook::TAccepted::OtherBody)
            return SendError(res, 409, "key-reused", "The key " + key + " was given with another body");
        if (taken == TApiBook::TAccepted::Full) {
            res.set_header("Retry-After", "5");
            return SendError(res, 503, "queue-full",
                             "More than " + std::to_string(TApiBook::kMaxPending) + " requests wait; nothing was taken");
        }
        if (queued_) queued_();
    }
    if (longWork) return Reply(key, res, false);
    // Waits for the answer while the link works; a link that waits for the
    // printer or the database says so at once, and the request stays queued.
    const auto until = std::chrono::steady_clock::now() + settings_.replyWait;
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        const std::optional<TApiBook::TEntry> e =
            book_.WaitAnswer(key, std::min(left, std::chrono::milliseconds(250)));
        if (!e || e->answered || left.count() <= 250 || stopping_ ||
            Held(status_ ? status_().state : std::string()))
            break;
    }
    Reply(key, res, true);
}

void TApiServer::Reply(const std::string& key, httplib::Response& res, bool waited) {
    const std::optional<TApiBook::TEntry> e = book_.Find(key);
    if (!e) return SendError(res, 404, "unknown-key", "No request with the key " + key + " is known (kept for a while only)");
    json body = {{"key", key}, {"request", e->Name()}};
    const std::string location = "/v1/requests/" + key;
    if (e->answered) {
        const bool ok = UpperCase(ExtractFileExt(e->answerName)) == ".OK";
        std::string text = e->answerText;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        body["state"] = ok ? "done" : "refused";
        body["answer"] = e->answerName;
        body["text"] = Cp1250ToUtf8(text);
        return SendJson(res, ok ? 200 : 422, body);
    }
    const std::string state = status_ ? status_().state : std::string();
    res.set_header("Location", location);
    if (waited && Held(state)) {
        // The printer or the database is gone: the request waits and is done once.
        res.set_header("Retry-After", "5");
        body["state"] = "held";
        body["reason"] = state;
        return SendJson(res, 503, body);
    }
    res.set_header("Retry-After", "1");
    body["state"] = "working";
    SendJson(res, 202, body);
}

void TApiServer::GetAnswer(const httplib::Request& req, httplib::Response& res) {
    if (!Authorised(req, res)) return;
    const std::string key = req.matches[1];
    Reply(key, res, true);
}

void TApiServer::GetState(httplib::Response& res) {
    const TStatusAnswer a = status_ ? status_() : TStatusAnswer{};
    json printer = {{"port", a.port}, {"identification", Cp1250ToUtf8(a.identification)}};
    if (!a.status.empty()) {
        printer["lastCommand"] = a.command;
        printer["status"] = a.status;
        printer["paper"] = {{"receiptOut", Bit(a.status, 2, 0)},
                            {"receiptNearEnd", Bit(a.status, 2, 1)},
                            {"journalOut", Bit(a.status, 2, 2)},
                            {"journalNearEnd", Bit(a.status, 2, 4)}};
        printer["coverOpen"] = Bit(a.status, 1, 5);
        printer["fiscalReceiptOpen"] = Bit(a.status, 2, 3);
        printer["fiscalised"] = Bit(a.status, 5, 3);
    }
    SendJson(res, 200,
             {{"state", a.state},
              {"text", Cp1250ToUtf8(a.text)},
              {"lastAnswer", Cp1250ToUtf8(a.lastAnswer)},
              {"printer", printer},
              {"waiting", book_.PendingCount()}});
}

}  // namespace velbrin
