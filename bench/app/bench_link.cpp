// The real link program against the printer simulator program, installed and
// started the way tools/demo.sh does it (a throw-away installation with its own
// settings store, LINK.INI naming the simulator's port, offscreen Qt):
//  1. start-up: from starting the program, with only a waiting command file in
//     the exchange directory, to its answer, i.e. to the end of the first cycle;
//  2. drop to answer: one-line receipts renamed into To_FP at random moments,
//     the time until each answer is in From_FP; median, p95 and worst.
// Both are measured with the directory watch on and with Timer1 alone
// (VELBRIN_EXCHANGE_WATCH=0), side by side.
//   bench_link [--prefix DIR] [--rounds N] [--seed S] [--in DIR]
// --prefix names an installation prefix (cmake --install BUILD --prefix DIR);
// without it the programs of this build tree are run. --in is where the throw-away
// installations go (default /tmp; its disk sets what a commit costs).
#include "app/P00_util.h"
#include "bench/support/LinkRig.h"
#include "store/P00_connection.h"
#include "store/P00_query.h"

#include <cstdio>
#include <cstring>
#include <random>

using namespace velbrin;
using namespace velbrin::bench;

namespace {

struct Options : LinkPrograms {
    int rounds = 40;
    unsigned seed = 15;
};

// What one committed insert costs with forced writes in the folder right now: the
// disk's sync dominates a receipt's time, and on a shared machine it varies.
double CommitCostMs(const Options& o) {
    std::string tmpl = o.in + "/velbrin-bench-commit-XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) throw LinkError("cannot make a folder in " + o.in);
    const std::string db = tmpl + "/Zorvex.fdb";
    // The engine in this process keeps the lock folder of its first attach.
    const std::string lock = o.in + "/velbrin-bench-link-lock";
    ForceDirectories(lock);
    ::setenv("FIREBIRD_LOCK", lock.c_str(), 0);
    if (!CopyFileOverwrite(o.templateDb, db)) throw LinkError("cannot copy " + o.templateDb);
    constexpr int kInserts = 30;
    double ms = 0;
    {
        TFormConnection connection(db);
        TSqlQuery q(connection);
        const auto t = Clock::now();
        for (int i = 0; i < kInserts; ++i) {
            q.SetSQL("insert into vle(vle_key, vle_value) values(:k, 'x')");
            q.SetString("k", "bench" + std::to_string(i));
            q.ExecSQL();
        }
        ms = Ms(Clock::now() - t) / kInserts;
    }
    std::error_code ec;
    std::filesystem::remove_all(tmpl, ec);
    return ms;
}

struct Figures {
    double startup = 0;
    std::vector<double> drops;
    double Quantile(double q) const {
        std::vector<double> v = drops;
        std::sort(v.begin(), v.end());
        const std::size_t i =
            std::min(v.size() - 1, static_cast<std::size_t>(q * static_cast<double>(v.size())));
        return v[i];
    }
};

Figures Run(const Options& o, bool watch) {
    LinkRig rig(o.in, o.templateDb, o.sim, watch);
    Figures f;
    rig.WriteIni();
    // A beep: the one request waiting at the start, answered by the first cycle.
    Drop(rig.to, "CMD_START.zvx", Packet("CMD_", {{{"KOMANDA", "70"}, {"TEKST", ""}}}));
    const auto start = Clock::now();
    rig.StartLink(o.link);
    f.startup = Ms(WaitForFile(rig.from + "/CMD_START.ok", 30000) - start);

    Drop(rig.to, "ABC_WARM.zvx", Receipt(0));  // the article defined, the day opened
    WaitForFile(rig.from + "/ABC_WARM.ok", 30000);
    std::mt19937 random(o.seed);
    std::uniform_int_distribution<int> pause(0, 500);
    for (int k = 1; k <= o.rounds; ++k) {
        std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
        const std::string name = "ABC_" + std::to_string(1000 + k);
        Drop(rig.to, name + ".zvx", Receipt(k));
        const auto dropped = Clock::now();
        f.drops.push_back(Ms(WaitForFile(rig.from + "/" + name + ".ok", 30000) - dropped));
    }
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i], v = argv[i + 1];
        if (a == "--prefix") {
            o.link = v + "/bin/velbrin-link";
            o.sim = v + "/bin/fp550-sim";
            o.templateDb = v + "/share/velbrin/Other/DB_Clear/Zorvex.fdb";
        } else if (a == "--rounds") {
            o.rounds = std::max(1, std::atoi(v.c_str()));
        } else if (a == "--in") {
            o.in = v;
        } else if (a == "--seed") {
            o.seed = static_cast<unsigned>(std::strtoul(v.c_str(), nullptr, 10));
        }
    }
    try {
        std::printf("link: %s\n", o.link.c_str());
        const double commitBefore = CommitCostMs(o);
        const Figures watched = Run(o, true);
        const Figures timed = Run(o, false);
        const double commitAfter = CommitCostMs(o);
        std::printf("%-44s %12s %12s\n", "", "watch on", "timer only");
        std::printf("%-44s %9.1f ms %9.1f ms\n", "start-up to the end of the first cycle",
                    watched.startup, timed.startup);
        std::printf("%-44s %9.1f ms %9.1f ms\n", "one-line receipt, drop to answer, median",
                    watched.Quantile(0.5), timed.Quantile(0.5));
        std::printf("%-44s %9.1f ms %9.1f ms\n", "                                  p95",
                    watched.Quantile(0.95), timed.Quantile(0.95));
        std::printf("%-44s %9.1f ms %9.1f ms\n", "                                  worst",
                    watched.Quantile(1.0), timed.Quantile(1.0));
        std::printf("%-44s %9.2f ms %9.2f ms  (before and after the runs)\n",
                    "one commit, forced writes, in this folder", commitBefore, commitAfter);
        TSqlConnection::ShutdownClient();
        std::printf(
            "(%d receipts each, dropped 0..500 ms apart, commits per receipt in bench_exchange;\n"
            " aims: median <= 30 ms, p95 <= 60 ms, start-up < 1500 ms)\n",
            o.rounds);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_link: %s\n", e.what());
        return 1;
    }
}
