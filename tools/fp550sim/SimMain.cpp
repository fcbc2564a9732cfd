// fp550-sim --state FILE --link PATH [--control SOCKET]
// Serves a simulated FP-550 on a pseudo-terminal whose slave PATH links to, until
// SIGTERM or SIGINT. Control lines arrive one per line on the Unix socket; each
// gets one reply line: "ok", a query's answer, or "error: " and the reason.
#include "app/P00_version.h"
#include "tools/fp550sim/Fp550Simulator.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

const char* const kUsage =
    "usage: fp550-sim --state FILE --link PATH [--control SOCKET]\n"
    "       fp550-sim --help | --version\n"
    "Simulates an FP-550 fiscal printer on a pseudo-terminal for tests and demos.\n"
    "  --state FILE      the printer's memory (articles, totals, settings); kept across\n"
    "                    restarts; what it printed goes to FILE.journal\n"
    "  --link PATH       symbolic link made to the pseudo-terminal (LINK.INI [Portovi] FP=PATH)\n"
    "  --control SOCKET  Unix socket for control lines, one reply line each:\n"
    "                    paper off|journal|on, display off|on, fiscal off|on,\n"
    "                    noanswer N, nak N, lose N, badsum N, badseq N, badcmd N,\n"
    "                    badlen N, trunc N, syn N, late MS, delay MS [CMD], synint MS,\n"
    "                    baud N|off, cut N|off, noise RATE SEED|off, clock SECONDS,\n"
    "                    firmware TEXT, ident TEXT, serial TEXT, taxflags TEXT,\n"
    "                    reset, factory, status\n"
    "Ends on SIGTERM or SIGINT. Exit status 0, 1 on a failure, 2 on a wrong command line.\n";

int Usage()
{
    std::fputs(kUsage, stderr);
    return 2;
}

int ListenOn(const std::string& path)
{
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path)
        throw std::runtime_error("control socket path too long: " + path);
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    ::unlink(path.c_str());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 8) != 0)
        throw std::runtime_error("cannot listen on " + path + ": " + std::strerror(errno));
    return fd;
}

struct Client {
    int fd;
    std::string pending;
};

// Runs every complete line of the client; false when the client has gone.
bool ServeClient(Client& c, velbrin::sim::Fp550Simulator& sim)
{
    char buf[512];
    const ssize_t n = ::read(c.fd, buf, sizeof buf);
    if (n <= 0)
        return false;
    c.pending.append(buf, static_cast<std::size_t>(n));
    if (c.pending.size() > 65536)
        return false;  // no line is that long
    std::size_t nl;
    while ((nl = c.pending.find('\n')) != std::string::npos) {
        const std::string line = c.pending.substr(0, nl);
        c.pending.erase(0, nl + 1);
        if (line.find_first_not_of(" \t\r") == std::string::npos)
            continue;
        std::string reply;
        try {
            reply = sim.Control(line);
        } catch (const std::exception& e) {
            reply = std::string("error: ") + e.what();
        }
        reply += "\n";
        if (::send(c.fd, reply.data(), reply.size(), MSG_NOSIGNAL) < 0)
            return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (velbrin::AnswersHelpOrVersion(argc, argv, "fp550-sim", kUsage))
        return 0;
    std::string state, link, control;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc)
            return Usage();
        if (a == "--state") state = argv[++i];
        else if (a == "--link") link = argv[++i];
        else if (a == "--control") control = argv[++i];
        else return Usage();
    }
    if (state.empty() || link.empty())
        return Usage();

    struct sigaction sa{};
    sa.sa_handler = OnSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    try {
        velbrin::sim::Fp550Simulator sim(state);
        const std::string device = sim.Start();
        // Replace an old link, never a file or device of someone else's.
        struct stat old{};
        if (::lstat(link.c_str(), &old) == 0) {
            if (!S_ISLNK(old.st_mode))
                throw std::runtime_error(link + " exists and is not a symbolic link");
            ::unlink(link.c_str());
        }
        if (::symlink(device.c_str(), link.c_str()) != 0)
            throw std::runtime_error("cannot link " + link + " to " + device + ": " + std::strerror(errno));
        const int listener = control.empty() ? -1 : ListenOn(control);
        std::fprintf(stderr, "fp550-sim: serving %s as %s\n", device.c_str(), link.c_str());

        std::vector<Client> clients;
        while (!g_stop) {
            std::vector<pollfd> fds;
            if (listener >= 0)
                fds.push_back({listener, POLLIN, 0});
            for (const Client& c : clients)
                fds.push_back({c.fd, POLLIN, 0});
            if (::poll(fds.data(), fds.size(), 200) <= 0)
                continue;
            std::size_t k = 0;
            if (listener >= 0) {
                if (fds[0].revents & POLLIN) {
                    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
                    if (fd >= 0)
                        clients.push_back({fd, {}});
                }
                k = 1;
            }
            for (std::size_t i = 0; k + i < fds.size(); ++i) {
                if (fds[k + i].revents & (POLLIN | POLLHUP | POLLERR)) {
                    Client& c = clients[i];
                    if (!ServeClient(c, sim)) {
                        ::close(c.fd);
                        c.fd = -1;
                    }
                }
            }
            std::erase_if(clients, [](const Client& c) { return c.fd < 0; });
        }
        for (const Client& c : clients)
            ::close(c.fd);
        if (listener >= 0) {
            ::close(listener);
            ::unlink(control.c_str());
        }
        sim.Stop();
        ::unlink(link.c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "fp550-sim: %s\n", e.what());
        return 1;
    }
    return 0;
}
