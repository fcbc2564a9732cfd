// The link's HTTP interface against its files, through the real program and the
// printer simulator program (no line delay):
//  1. a one-line receipt through the interface (POST to reply) and the same
//     receipt as a file (drop to answer), alternating in one run; median, p95;
//  2. 8 clients sending receipts at once while a ninth asks for the state every
//     20 ms: receipts per second, and how long each state request took;
//  3. the link's peak resident memory with the interface on.
//   bench_api [--rounds N] [--seconds S] [--in DIR]
#include "app/P00_util.h"
#include "bench/support/LinkRig.h"
#include "tools/harness/LoopbackPort.h"

#include <httplib.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>

using namespace velbrin;
using namespace velbrin::bench;

namespace {

struct Options : LinkPrograms {
    int rounds = 40;
    int seconds = 10;
};

double Quantile(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(q * static_cast<double>(v.size())))];
}

long long PeakKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::atoll(line.c_str() + 6);
    return 0;
}

std::string ReceiptJson(int k) {
    return "{\"lines\":[{\"article\":\"1001\",\"taxGroup\":\"1\",\"name\":\"ART 1001\",\"price\":\"" + OneLinePrice(k) +
           "\",\"quantity\":\"1\"}]}";
}

class Client {
public:
    Client(int port, std::string token) : http_("127.0.0.1", port), token_(std::move(token)) {
        http_.set_read_timeout(60, 0);
        http_.set_keep_alive(true);
        http_.set_tcp_nodelay(true);
    }
    // The HTTP status of one receipt (0: no reply).
    int PostReceipt(const std::string& key, int k) {
        const auto res = http_.Post("/v1/receipts", {{"Authorization", "Bearer " + token_}, {"Idempotency-Key", key}},
                                    ReceiptJson(k), "application/json");
        return res ? res->status : 0;
    }
    int GetState() {
        const auto res = http_.Get("/v1/state", {{"Authorization", "Bearer " + token_}});
        return res ? res->status : 0;
    }

private:
    httplib::Client http_;
    std::string token_;
};

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i], v = argv[i + 1];
        if (a == "--rounds") o.rounds = std::max(1, std::atoi(v.c_str()));
        if (a == "--seconds") o.seconds = std::max(1, std::atoi(v.c_str()));
        if (a == "--in") o.in = v;
    }
    try {
        LinkRig rig(o.in, o.templateDb, o.sim, true);
        const int port = loopback::FreePort();
        rig.WriteIni("[Api]\nPort=" + std::to_string(port) + "\n");
        rig.StartLink(o.link);
        const std::string tokenPath = rig.inst + "/Other/Api/token";
        for (int i = 0; i < 600 && !FileExists(tokenPath); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const std::string token = Trim(ReadWholeFile(tokenPath));
        Client client(port, token);
        for (int i = 0; i < 600 && client.GetState() != 200; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        Drop(rig.to, "ABC_WARM.zvx", Receipt(0));  // the article defined, the day opened
        WaitForFile(rig.from + "/ABC_WARM.ok", 30000);
        if (client.PostReceipt("warm", 0) != 200) throw LinkError("the warm-up receipt through the interface failed");

        // 1. Alternating, so that both see the same machine at the same time.
        std::vector<double> api, file;
        std::mt19937 random(15);
        std::uniform_int_distribution<int> pause(0, 300);
        for (int k = 1; k <= o.rounds; ++k) {
            std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
            const auto sent = Clock::now();
            if (client.PostReceipt("one-" + std::to_string(k), k) != 200) throw LinkError("a receipt was not done");
            api.push_back(Ms(Clock::now() - sent));
            std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
            const std::string name = "ABC_" + std::to_string(1000 + k);
            Drop(rig.to, name + ".zvx", Receipt(k));
            const auto dropped = Clock::now();
            file.push_back(Ms(WaitForFile(rig.from + "/" + name + ".ok", 30000) - dropped));
        }

        // 2. Eight clients at once, each receipt after the previous one's reply.
        std::atomic<bool> stop{false};
        std::atomic<int> done{0}, failed{0};
        std::vector<std::thread> clients;
        for (int c = 0; c < 8; ++c)
            clients.emplace_back([&, c] {
                Client mine(port, token);
                for (int k = 0; !stop; ++k)
                    (mine.PostReceipt("load-" + std::to_string(c) + "-" + std::to_string(k), k) == 200 ? done : failed)++;
            });
        std::vector<double> state;
        Client asker(port, token);
        const auto loadStart = Clock::now();
        while (Clock::now() - loadStart < std::chrono::seconds(o.seconds)) {
            const auto asked = Clock::now();
            if (asker.GetState() != 200) ++failed;
            state.push_back(Ms(Clock::now() - asked));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        stop = true;
        for (std::thread& t : clients) t.join();
        const double loadSeconds = Ms(Clock::now() - loadStart) / 1000;

        std::printf("link: %s\n", o.link.c_str());
        std::printf("%-48s %10s %10s\n", "one-line receipt (ms), alternating", "median", "p95");
        std::printf("%-48s %10.1f %10.1f\n", "  through the HTTP interface, POST to reply", Quantile(api, 0.5),
                    Quantile(api, 0.95));
        std::printf("%-48s %10.1f %10.1f\n", "  as a file, drop to answer", Quantile(file, 0.5), Quantile(file, 0.95));
        std::printf("  ratio of the medians, interface / file: %.2f (%d receipts each)\n",
                    Quantile(api, 0.5) / Quantile(file, 0.5), o.rounds);
        std::printf("8 clients at once for %.1f s: %d receipts done (%.1f per second), %d failed\n", loadSeconds,
                    done.load(), done / loadSeconds, failed.load());
        std::printf("  state requests meanwhile: %zu, median %.2f ms, p95 %.2f ms, worst %.2f ms (aim: under 50 ms)\n",
                    state.size(), Quantile(state, 0.5), Quantile(state, 0.95), Quantile(state, 1.0));
        std::printf("link's peak resident memory with the interface on: %.1f MB\n", PeakKb(rig.LinkPid()) / 1024.0);
        return failed == 0 ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_api: %s\n", e.what());
        return 1;
    }
}
