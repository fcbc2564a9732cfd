// A careful till over the link's HTTP interface: every request goes with its
// own idempotency key, and whatever happens on the way (a connection cut, a
// link killed, a reply that says "held" or "working") it is sent again with
// the same key until a final answer comes. Every reply is kept, so that the
// books can tell a key carried out twice or answered in two ways.
#pragma once

#include "tools/harness/HarnessLedger.h"

#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

namespace velbrin::harness {

// The JSON body of a request of the harness (a receipt, a command or a text
// file's bytes, in its packet or CSV form) and the path it goes to.
struct ApiCall {
    std::string key, path, body;
    std::string request;  // the name the books know it by (upper case)
};
ApiCall ApiCallOf(const std::string& key, const std::string& fileName, const std::string& bytes);

class ApiTill {
public:
    ApiTill(int port, std::string token) : port_(port), token_(std::move(token)) {}

    // Sends until a final answer (done or refused) comes or ms have passed.
    // cutMs > 0: the first tries give up waiting after a random time up to
    // cutMs (a till with a short time-out, or a cut connection). False when no
    // final answer came.
    bool SendUntilAnswered(const ApiCall& call, int ms, int cutMs, unsigned seed);
    // Asks for the answer of a key again (GET), as a till that lost its reply
    // does; the reply is kept with the others.
    void AskAgain(const ApiCall& call);

    // The final answers of each request, in the form the answer files give
    // ("ok TEXT\r\n"); a key answered in two ways has two entries.
    void AddTo(AnswerBook& book) const;
    // Keys answered differently when asked again, and other findings.
    std::vector<std::string> Faults() const;
    int Tries() const { return tries_; }
    int Cut() const { return cut_; }
    int Held() const { return held_; }
    int Final() const { return static_cast<int>(finals_.size()); }

private:
    // One try: the HTTP status and body, or 0 when the connection failed or was cut.
    int Post(const ApiCall& call, int timeoutMs, std::string& reply);
    void Keep(const ApiCall& call, int status, const std::string& reply);

    int port_;
    std::string token_;
    mutable std::mutex mutex_;
    std::map<std::string, std::vector<std::string>> finals_;  // request -> final answers seen
    std::vector<std::string> faults_;
    int tries_ = 0, cut_ = 0, held_ = 0;
};

}  // namespace velbrin::harness
