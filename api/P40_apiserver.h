// The link's HTTP interface: receipts, texts, commands and articles as JSON,
// each with an idempotency key, taken into the same book and queue as the
// request files and answered with what the answer file says; the answer of a
// key asked for again; the link's state. Served from threads of its own, so
// that a state request is answered while the cycle prints.
#pragma once

#include "app/P00_linkstatus.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace velbrin {

class TApiBook;

struct TApiSettings {
    std::string address = "127.0.0.1";
    int port = 0;  // 0: off
    std::string token;
    std::string certFile, keyFile;  // TLS; needed for any address but loopback
    std::chrono::milliseconds replyWait{15000};
    // Bounds of a request: the body, and how long the client may stay silent.
    std::size_t maxBody = 1u << 20;
    int readTimeoutSeconds = 3;
    int threads = 16;
};

class TApiServer {
public:
    // queued: a request was taken (the cycle is asked to run now);
    // status: a snapshot of the link's state, safe to take from any thread.
    TApiServer(TApiSettings settings, TApiBook& book, std::function<void()> queued,
               std::function<TStatusAnswer()> status);
    ~TApiServer();
    TApiServer(const TApiServer&) = delete;
    TApiServer& operator=(const TApiServer&) = delete;

    // Binds and serves from its threads. Raises LinkError when the settings
    // are unsafe (no token; a LAN address without TLS) or the port is taken.
    void Start();
    void Stop();
    int Port() const { return boundPort_; }

    // A LAN address is one a client of another machine can reach.
    static bool Loopback(const std::string& address);
    // The token of the file at path: made (random, readable by the link's user
    // only) when missing; refused when every user may read it.
    static std::string LoadToken(const std::string& path);

private:
    void Post(const std::string& kind, const httplib::Request& req, httplib::Response& res);
    void GetAnswer(const httplib::Request& req, httplib::Response& res);
    void GetState(httplib::Response& res);
    bool Authorised(const httplib::Request& req, httplib::Response& res) const;
    // The reply of an entry as it stands: done, refused, held or in work.
    void Reply(const std::string& key, httplib::Response& res, bool waited);

    TApiSettings settings_;
    TApiBook& book_;
    std::function<void()> queued_;
    std::function<TStatusAnswer()> status_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int boundPort_ = 0;
    // Set by Stop: replies that wait for an answer go at once (the request stays taken).
    std::atomic<bool> stopping_{false};
};

}  // namespace velbrin
