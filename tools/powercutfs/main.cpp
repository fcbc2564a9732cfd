// velbrin-powercutfs: a file system for the tests that forgets, at a power cut,
// everything that was not synced. See PowercutDaemon.h and the README.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "tools/powercutfs/PowercutDaemon.h"

namespace {

namespace fs = std::filesystem;
using velbrin::powercut::DaemonOptions;

const char kUsage[] =
    "usage: velbrin-powercutfs --backing DIR --mount DIR --control SOCKET\n"
    "                          [--state DIR] [--seed S] [--torn]\n"
    "Mounts DIR of --backing at --mount (foreground, one thread, allow_other,\n"
    "default_permissions). Control lines on SOCKET: cut, cut-at N, torn on|off,\n"
    "stats, sync-all. The state folder (default: backing folder + \".powercut-state\")\n"
    "must be on the file system of the backing folder and outside it.\n";

int Usage(const char* why) {
    std::fprintf(stderr, "velbrin-powercutfs: %s\n%s", why, kUsage);
    return 2;
}

bool Inside(const fs::path& inner, const fs::path& outer) {
    auto rel = inner.lexically_relative(outer);
    return !rel.empty() && *rel.begin() != "..";
}

}  // namespace

int main(int argc, char** argv) {
    DaemonOptions opt;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool hasValue = i + 1 < argc;
        if (a == "--torn") {
            opt.torn = true;
        } else if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (!hasValue) {
            return Usage(("missing value or unknown option: " + a).c_str());
        } else if (a == "--backing") {
            opt.backing = argv[++i];
        } else if (a == "--mount") {
            opt.mount = argv[++i];
        } else if (a == "--state") {
            opt.state = argv[++i];
        } else if (a == "--control") {
            opt.control = argv[++i];
        } else if (a == "--seed") {
            try {
                opt.seed = std::stoull(argv[++i]);
            } catch (const std::exception&) {
                return Usage("--seed needs a number");
            }
        } else {
            return Usage(("unknown option: " + a).c_str());
        }
    }
    if (opt.backing.empty() || opt.mount.empty() || opt.control.empty()) {
        return Usage("--backing, --mount and --control are needed");
    }
    std::error_code ec;
    fs::path backing = fs::canonical(opt.backing, ec);
    if (ec || !fs::is_directory(backing)) return Usage("--backing is not a folder");
    if (opt.state.empty()) opt.state = backing.string() + ".powercut-state";
    fs::create_directories(opt.state, ec);
    fs::path state = fs::canonical(opt.state, ec);
    if (ec) return Usage("cannot create the state folder");
    if (Inside(state, backing) || Inside(backing, state) || state == backing) {
        return Usage("the state folder and the backing folder must not hold one another");
    }
    struct stat b {
    }, s{};
    if (::stat(backing.c_str(), &b) != 0 || ::stat(state.c_str(), &s) != 0 ||
        b.st_dev != s.st_dev) {
        // Files unlinked live move there and must keep their inode.
        return Usage("the state folder must be on the file system of the backing folder");
    }
    // What a previous run left (it died without its cut) belongs to no one now.
    for (const auto& leftover : fs::directory_iterator(state, ec))
        fs::remove_all(leftover.path(), ec);
    opt.backing = backing.string();
    opt.state = state.string();
    velbrin::powercut::PowercutDaemon daemon(opt);
    return daemon.Run();
}
