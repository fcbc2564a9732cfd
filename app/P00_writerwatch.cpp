#include "app/P00_writerwatch.h"

#include "app/P00_util.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace velbrin {

TWriterWatch::~TWriterWatch() { Close(); }

void TWriterWatch::Open(const std::string& dir) {
    Close();
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) throw LinkError("Pracenje foldera " + dir + ": " + std::strerror(errno));
    const uint32_t mask = IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE |
                          IN_ONLYDIR | IN_EXCL_UNLINK;
    if (::inotify_add_watch(fd, dir.c_str(), mask) < 0) {
        const int cause = errno;
        ::close(fd);
        throw LinkError("Pracenje foldera " + dir + ": " + std::strerror(cause));
    }
    fd_ = fd;
    dir_ = dir;
}

void TWriterWatch::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    states_.clear();
}

void TWriterWatch::Drain() {
    alignas(inotify_event) char buffer[16384];
    while (fd_ >= 0) {
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n <= 0) break;  // EAGAIN: nothing more pending
        for (ssize_t at = 0; at < n;) {
            inotify_event event;
            std::memcpy(&event, buffer + at, sizeof event);
            const std::string name =
                event.len > 0 ? std::string(buffer + at + sizeof event, ::strnlen(buffer + at + sizeof event, event.len))
                              : std::string();
            at += static_cast<ssize_t>(sizeof event + event.len);
            if (event.mask & IN_Q_OVERFLOW) {
                // Notices were lost: nothing is known of any file any more.
                states_.clear();
            } else if (event.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) {
                Close();
                return;
            } else if (name.empty() || (event.mask & IN_ISDIR)) {
                continue;
            } else if (event.mask & (IN_DELETE | IN_MOVED_FROM | IN_CREATE)) {
                // A name made is not yet a file being written: a hard link to a
                // whole file is made the same way. Its first write tells.
                states_.erase(name);
            } else if (event.mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) {
                states_[name] = TState::Closed;
            } else if (event.mask & IN_MODIFY) {
                states_[name] = TState::Writing;
            }
        }
        if (states_.size() > kMaxNames) states_.clear();
    }
}

TWriterWatch::TState TWriterWatch::State(const std::string& name) const {
    const auto it = states_.find(name);
    return it == states_.end() ? TState::Unknown : it->second;
}

}  // namespace velbrin
