#include "tools/powercutfs/PowercutDaemon.h"

#include <fuse_lowlevel.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "tools/powercutfs/PowerCut.h"

namespace velbrin::powercut {

namespace {

int signalPipe[2] = {-1, -1};

void OnSignal(int) {
    char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(signalPipe[1], &byte, 1);
}

void CatchSignals() {
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    ::sigemptyset(&sa.sa_mask);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(sig, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
}

}  // namespace

PowercutDaemon::PowercutDaemon(DaemonOptions options)
    : options_(std::move(options)),
      tree_(options_.backing, options_.state),
      fs_(tree_),
      rng_(options_.seed) {}

std::string PowercutDaemon::Stats() const {
    const FsCounters& c = fs_.Counters();
    std::ostringstream out;
    out << "ok fsync=" << c.fsyncs << " fsyncdir=" << c.fsyncdirs << " syncwrites=" << c.syncWrites
        << " changes=" << c.changes << " ops=" << c.ops << " frozen=" << (fs_.Frozen() ? 1 : 0)
        << " torn=" << (options_.torn ? "on" : "off");
    return out.str();
}

std::optional<std::string> PowercutDaemon::Command(const std::string& line, int client) {
    std::istringstream in(line);
    std::string word, arg, extra;
    in >> word >> arg >> extra;
    if (!extra.empty()) return "error too many words: " + line;
    if (word == "cut" && arg.empty()) {
        stop_ = true;
        cutClient_ = client;
        return std::nullopt;
    }
    if (word == "cut-at" && !arg.empty() &&
        arg.find_first_not_of("0123456789") == std::string::npos && arg.size() < 19) {
        fs_.FreezeAt(std::stoull(arg));
        return "ok cut-at " + arg;
    }
    if (word == "torn" && (arg == "on" || arg == "off")) {
        options_.torn = arg == "on";
        return "ok torn " + arg;
    }
    if (word == "stats" && arg.empty()) return Stats();
    if (word == "sync-all" && arg.empty()) {
        // After a freeze the power is already gone: nothing can reach the disk.
        if (fs_.Frozen()) return std::string("error frozen: nothing more becomes durable");
        tree_.SyncAll();
        return std::string("ok sync-all");
    }
    return "error unknown command: " + line;
}

void PowercutDaemon::Loop(fuse* f) {
    fuse_session* se = fuse_get_session(f);
    fuse_buf buf{};
    while (!stop_) {
        std::vector<pollfd> fds{{fuse_session_fd(se), POLLIN, 0}, {signalPipe[0], POLLIN, 0}};
        control_.AddPollFds(fds);
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents != 0) break;  // SIGTERM and the like: a cut
        if (fds[0].revents != 0) {
            int res = fuse_session_receive_buf(se, &buf);
            if (res == -EINTR || res == -EAGAIN) continue;
            if (res <= 0 || fuse_session_exited(se)) break;  // unmounted from outside
            fuse_session_process_buf(se, &buf);
        }
        control_.Serve(
            fds, 2, [this](const std::string& line, int client) { return Command(line, client); });
    }
    std::free(buf.mem);
}

int PowercutDaemon::Run() {
    ::umask(0);  // modes come masked by the kernel already
    CatchSignals();
    fuse_args args = FUSE_ARGS_INIT(0, nullptr);
    fuse_opt_add_arg(&args, "velbrin-powercutfs");
    fuse_opt_add_arg(&args, "-o");
    fuse_opt_add_arg(
        &args, "allow_other,default_permissions,fsname=velbrin-powercutfs,subtype=powercutfs");
    fuse* f = fuse_new(&args, &PowercutFs::Operations(), sizeof(fuse_operations), &fs_);
    fuse_opt_free_args(&args);
    if (f == nullptr) return 2;
    if (fuse_mount(f, options_.mount.c_str()) != 0) {
        fuse_destroy(f);
        return 2;
    }
    // The control socket appears once the mount is there: the caller waits for it.
    std::string err = control_.Listen(options_.control);
    if (!err.empty()) {
        std::fprintf(stderr, "velbrin-powercutfs: %s\n", err.c_str());
        fuse_unmount(f);
        fuse_destroy(f);
        return 2;
    }
    Loop(f);
    fuse_unmount(f);
    PowerCut cut(tree_, options_.torn ? &rng_ : nullptr);
    std::string fault = cut.Apply(options_.state);
    if (!fault.empty()) std::fprintf(stderr, "velbrin-powercutfs: cut: %s\n", fault.c_str());
    if (cutClient_ >= 0)
        control_.Answer(cutClient_, fault.empty() ? "ok cut" : "error cut: " + fault);
    fuse_destroy(f);
    return fault.empty() ? 0 : 1;
}

}  // namespace velbrin::powercut
