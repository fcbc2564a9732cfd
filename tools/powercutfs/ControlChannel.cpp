#include "tools/powercutfs/ControlChannel.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace velbrin::powercut {

ControlChannel::~ControlChannel() {
    for (const auto& [fd, pending] : clients_) ::close(fd);
    if (listen_ >= 0) {
        ::close(listen_);
        ::unlink(path_.c_str());
    }
}

std::string ControlChannel::Listen(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return "control path too long: " + path;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    listen_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_ < 0) return std::string("socket: ") + std::strerror(errno);
    ::unlink(path.c_str());
    if (::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listen_, 8) != 0) {
        std::string err = path + ": " + std::strerror(errno);
        ::close(listen_);
        listen_ = -1;
        return err;
    }
    path_ = path;
    return {};
}

void ControlChannel::AddPollFds(std::vector<pollfd>& fds) const {
    fds.push_back(pollfd{listen_, POLLIN, 0});
    for (const auto& [fd, pending] : clients_) fds.push_back(pollfd{fd, POLLIN, 0});
}

void ControlChannel::Serve(const std::vector<pollfd>& fds, std::size_t first,
                           const Handler& handler) {
    std::vector<int> readable;
    for (std::size_t i = first + 1; i < fds.size(); ++i) {
        if (fds[i].revents != 0) readable.push_back(fds[i].fd);
    }
    for (int fd : readable) {
        char buf[512];
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) {
            Drop(fd);
            continue;
        }
        clients_[fd].append(buf, static_cast<std::size_t>(n));
        for (;;) {
            auto it = clients_.find(fd);  // an answer that could not go drops the client
            if (it == clients_.end()) break;
            auto nl = it->second.find('\n');
            if (nl == std::string::npos) {
                if (it->second.size() > 4096) Drop(fd);  // not a command line
                break;
            }
            std::string line = it->second.substr(0, nl);
            it->second.erase(0, nl + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (auto answer = handler(line, fd)) Answer(fd, *answer);
        }
    }
    if (fds[first].revents != 0) {
        int client = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0) clients_[client];
    }
}

void ControlChannel::Answer(int client, const std::string& text) {
    std::string line = text + "\n";
    // Answers are short; a client that does not read them is dropped.
    if (::send(client, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT) !=
        static_cast<ssize_t>(line.size())) {
        Drop(client);
    }
}

void ControlChannel::Drop(int client) {
    if (clients_.erase(client) != 0) ::close(client);
}

}  // namespace velbrin::powercut
