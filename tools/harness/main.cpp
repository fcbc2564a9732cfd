// velbrin-harness: runs the real link against the printer simulator program
// under faults (kills, line noise, malformed requests, disk and database
// faults, answer delivery faults, a long run) and prints what it found. Exit
// code 0 when no run found a fault.
//   --kills N   kill points over every request kind (default 30)
//   --noise N   requests of every kind on a noisy line (20)
//   --seeds A-B the noise run once per seed A..B, a line per seed and a total
//   --bad       the malformed request files  --disk     the disk and database faults
//   --delivery  answer and request directories refusing files in a running link
//   --hostile N rounds of odd files of every kind in the exchange directory
//   --only TEXT the hostile cases whose kind holds TEXT
//   --long N    receipts in one run of the link (0: none)
//   --powercuts N  power cuts under the link's whole installation (root, /dev/fuse)
//   --server-stops N  the server under a link in server mode stopped N times
//   --api N     rounds of tills over the HTTP interface beside files, with kills and cut
//               connections, then N/3 rounds with power cuts (as --powercuts needs)
//   --server-load S   1, 4 and 8 links on one server, S seconds each way
//   --seed S    random seed (default 1)      --keep     keep the installations
//   --root DIR  where installations go (default a new folder under /tmp)
//   --firebird-lock DIR  the database engine's lock folder (default the build's)
//   --no-display  no virtual X display: nobody answers operator messages, and
//               a link that waits for one ends its run with a fault
// With none of --kills/--noise/--bad/--disk/--long given, all five run.
#include "app/P00_util.h"
#include "tools/harness/HarnessRuns.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <climits>
#include <filesystem>
#include <sstream>
#include <string>

#ifndef VELBRIN_HARNESS_LINK
#define VELBRIN_HARNESS_LINK ""
#define VELBRIN_HARNESS_SIM ""
#define VELBRIN_HARNESS_TEMPLATE_DB ""
#define VELBRIN_HARNESS_FIREBIRD_LOCK ""
#endif
#ifndef VELBRIN_HARNESS_POWERCUTFS
#define VELBRIN_HARNESS_POWERCUTFS ""  // not built: the power-cut run skips
#endif

using namespace velbrin;
using namespace velbrin::harness;

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: velbrin-harness [--kills N] [--noise N] [--bad] [--disk] [--long N] [--delivery] [--hostile N [--only TEXT]] [--powercuts N] [--server-stops N] [--api N] [--server-load S] [--seed S] [--seeds A-B] [--keep] "
                 "[--root DIR] [--link PATH] [--sim PATH] [--template-db PATH]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    Tools tools{VELBRIN_HARNESS_LINK, VELBRIN_HARNESS_SIM, VELBRIN_HARNESS_TEMPLATE_DB, VELBRIN_HARNESS_FIREBIRD_LOCK, ""};
    int kills = -1, noise = -1, longRun = -1, powercuts = -1, serverStops = -1, serverLoad = -1, hostile = -1, api = -1;
    std::string powercutfs = VELBRIN_HARNESS_POWERCUTFS;
    bool bad = false, disk = false, delivery = false, keep = false, display = true;
    unsigned seed = 1, seedFrom = 0, seedTo = 0;
    std::string root, only;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw LinkError("missing value after " + a);
            return argv[++i];
        };
        try {
            if (a == "--kills") kills = static_cast<int>(StrToInt(value()));
            else if (a == "--noise") noise = static_cast<int>(StrToInt(value()));
            else if (a == "--long") longRun = static_cast<int>(StrToInt(value()));
            else if (a == "--powercuts") powercuts = static_cast<int>(StrToInt(value()));
            else if (a == "--hostile") hostile = static_cast<int>(StrToInt(value()));
            else if (a == "--api") api = static_cast<int>(StrToInt(value()));
            else if (a == "--only") only = value();
            else if (a == "--server-stops") serverStops = static_cast<int>(StrToInt(value()));
            else if (a == "--server-load") serverLoad = static_cast<int>(StrToInt(value()));
            else if (a == "--powercutfs") powercutfs = value();
            else if (a == "--bad") bad = true;
            else if (a == "--disk") disk = true;
            else if (a == "--delivery") delivery = true;
            else if (a == "--seeds") {
                const std::string range = value();
                const auto dash = range.find('-');
                seedFrom = static_cast<unsigned>(StrToInt(range.substr(0, dash)));
                seedTo = dash == std::string::npos ? seedFrom : static_cast<unsigned>(StrToInt(range.substr(dash + 1)));
                if (seedTo < seedFrom) throw LinkError("--seeds: " + range);
            }
            else if (a == "--keep") keep = true;
            else if (a == "--no-display") display = false;
            else if (a == "--seed") seed = static_cast<unsigned>(StrToInt(value()));
            else if (a == "--root") root = value();
            else if (a == "--link") tools.link = value();
            else if (a == "--sim") tools.sim = value();
            else if (a == "--template-db") tools.templateDb = value();
            else if (a == "--firebird-lock") tools.firebirdLock = value();
            else return Usage();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s\n", e.what());
            return Usage();
        }
    }
    if (seedTo > 0 && noise < 0) noise = 40;
    if (kills < 0 && noise < 0 && longRun < 0 && powercuts < 0 && serverStops < 0 && serverLoad < 0 && hostile < 0 &&
        api < 0 && !bad && !disk && !delivery) {
        kills = 30, noise = 20, longRun = 300, bad = disk = delivery = true;
    }
    if (root.empty()) {
        char tmpl[] = "/tmp/velbrin-harness-XXXXXX";
        if (!::mkdtemp(tmpl)) return 1;
        root = tmpl;
    }
    ForceDirectories(root);
    if (tools.firebirdLock.empty()) tools.firebirdLock = root + "/firebird-lock";
    ForceDirectories(tools.firebirdLock);
    // The harness opens the database with the embedded engine as well (after the link stopped).
    ::setenv("FIREBIRD_LOCK", tools.firebirdLock.c_str(), 1);

    // Operator messages are answered with a key press on a virtual display. The
    // X server picks a display itself (-displayfd): one whose socket nobody
    // listens on, however many lock files and sockets dead servers left behind.
    Child xserver;
    std::string noDisplayWhy = display ? "" : "--no-display";
    if (display && (::access("/usr/bin/Xvfb", X_OK) != 0 || ::access("/usr/bin/xdotool", X_OK) != 0))
        noDisplayWhy = "Xvfb or xdotool is not installed";
    if (noDisplayWhy.empty()) {
        const std::string number = root + "/xvfb.display";
        xserver.Start({"/bin/sh", "-c", "exec /usr/bin/Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp "
                                        // no reset when the last client goes: a killed link is often the last
                                        "-noreset -extension MIT-SHM 3>\"$0\"",
                       number},
                      {}, root + "/xvfb.out");
        std::string chosen;
        WaitUntil(
            [&] {
                chosen = FileExists(number) ? ReadWholeFile(number) : "";
                return chosen.find('\n') != std::string::npos || !xserver.Running();
            },
            15000);
        long long n = -1;
        if (xserver.Running() && TryStrToInt(Trim(chosen), n) && n >= 0) {
            tools.display = ":" + std::to_string(n);
        } else {
            xserver.Kill();
            noDisplayWhy = "the X server did not start (see " + root + "/xvfb.out)";
        }
    }
    std::printf("operator messages: %s\n",
                tools.display.empty()
                    ? ("no display (" + noDisplayWhy + "): a link that waits for the operator is a fault").c_str()
                    : ("answered with Return on display " + tools.display).c_str());

    std::vector<RunResult> results;
    auto run = [&](const char* name, auto f) {
        std::printf("== %s\n", name);
        std::fflush(stdout);
        try {
            results.push_back(f());
        } catch (const std::exception& e) {
            RunResult r;
            r.name = name;
            r.faults.push_back(std::string("the run failed: ") + e.what());
            results.push_back(r);
        }
    };
    if (kills > 0)
        run("kill points", [&] { return RunKills(tools, root + "/kills", kills, seed); });
    if (noise > 0 && seedTo == 0)
        run("noise", [&] { return RunNoise(tools, root + "/noise", noise, seed); });
    char selfPath[PATH_MAX] = {};
    const ssize_t selfLength = ::readlink("/proc/self/exe", selfPath, sizeof selfPath - 1);
    const std::string self =
        selfLength > 0 ? std::string(selfPath, static_cast<std::size_t>(selfLength)) : argv[0];
    if (noise > 0 && seedTo > 0) {
        // The noise run over many seeds: one line per seed, then the total.
        RunResult total;
        total.name = "noise over seeds " + std::to_string(seedFrom) + "-" + std::to_string(seedTo);
        int requests = 0;
        for (unsigned sd = seedFrom; sd <= seedTo; ++sd) {
            std::printf("== noise, seed %u\n", sd);
            std::fflush(stdout);
            // Each seed runs in a harness process of its own, with its own database
            // engine and lock folder: a seed that goes wrong cannot spoil the next.
            const std::string tag = "noise-" + std::to_string(sd);
            std::vector<std::string> args = {self,
                                             "--noise",
                                             std::to_string(noise),
                                             "--seed",
                                             std::to_string(sd),
                                             "--root",
                                             root + "/" + tag,
                                             "--link",
                                             tools.link,
                                             "--sim",
                                             tools.sim,
                                             "--template-db",
                                             tools.templateDb,
                                             "--firebird-lock",
                                             root + "/" + tag + "-lock"};
            if (!display) args.push_back("--no-display");
            if (keep) args.push_back("--keep");
            RunResult r;
            Child one;
            one.Start(args, {}, root + "/" + tag + ".out");
            const int code = one.Wait(4 * 3600 * 1000);
            std::istringstream out(ReadWholeFile(root + "/" + tag + ".out"));
            bool report = false;
            for (std::string line; std::getline(out, line);) {
                report = report || line.rfind("==== harness report", 0) == 0;
                if (report && line.rfind("  FAULT: ", 0) == 0) r.faults.push_back(line.substr(9));
            }
            if (code != 0 && r.faults.empty())
                r.faults.push_back("the run ended with code " + std::to_string(code) + " (see " +
                                   root + "/" + tag + ".out)");
            requests += noise;
            const std::string line = "seed " + std::to_string(sd) + ": " + std::to_string(noise) + " requests, " +
                                     std::to_string(r.faults.size()) + " faults";
            std::printf("  %s\n", line.c_str());
            total.figures.push_back(line);
            for (const std::string& f : r.faults) total.faults.push_back("seed " + std::to_string(sd) + ": " + f);
        }
        total.figures.push_back("total: " + std::to_string(seedTo - seedFrom + 1) + " seeds, " +
                                std::to_string(requests) + " requests, " + std::to_string(total.faults.size()) +
                                " faults");
        results.push_back(total);
    }
    if (bad) run("bad files", [&] { return RunBadFiles(tools, root + "/bad", seed); });
    if (disk) run("disk and database faults", [&] { return RunDiskFaults(tools, root + "/disk", seed); });
    if (delivery) run("delivery faults", [&] { return RunDelivery(tools, root + "/delivery", seed); });
    if (hostile > 0) run("hostile files", [&] { return RunHostile(tools, root + "/hostile", hostile, seed, only); });
    if (longRun > 0) run("long run", [&] { return RunLong(tools, root + "/long", longRun, seed); });
    if (powercuts > 0)
        run("power cuts", [&] { return RunPowerCuts(tools, powercutfs, root + "/powercuts", powercuts, seed); });
    if (serverStops > 0)
        run("server stops", [&] { return RunServerStops(tools, root + "/server-stops", serverStops, seed); });
    if (api > 0) run("HTTP interface", [&] { return RunApi(tools, root + "/api", api, seed, powercutfs); });
    if (serverLoad > 0)
        run("server load", [&] { return RunServerLoad(tools, root + "/server-load", serverLoad, seed); });

    int faults = 0;
    if (seedTo > 0 && kills <= 0 && longRun <= 0 && hostile <= 0 && api <= 0 && !bad && !disk && !delivery)
        std::printf("\n==== harness report (seeds %u-%u)\n", seedFrom, seedTo);
    else
        std::printf("\n==== harness report (seed %u%s)\n", seed, seedTo > 0 ? ", noise over the seeds above" : "");
    for (const RunResult& r : results) {
        std::printf("%s%s\n", r.name.c_str(), r.skipped ? " (skipped)" : "");
        for (const std::string& f : r.figures) std::printf("  %s\n", f.c_str());
        for (const std::string& f : r.faults) std::printf("  FAULT: %s\n", f.c_str());
        faults += static_cast<int>(r.faults.size());
    }
    std::printf("faults: %d\n", faults);
    xserver.Signal(SIGTERM);
    xserver.Wait(5000);
    if (!keep && faults == 0) {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    } else {
        std::printf("installations kept in %s\n", root.c_str());
    }
    return faults == 0 ? 0 : 1;
}
