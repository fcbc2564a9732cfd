#include "app/P00_dirwatch.h"

#include "app/P00_util.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace velbrin {

TDirWatch::~TDirWatch() {
    Close();
}

void TDirWatch::Open(const std::string& dir) {
    Close();
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) throw LinkError("Pracenje foldera " + dir + ": " + std::strerror(errno));
    // A writer that closes its file, or a file renamed in whole: both mean a
    // request may now be complete. Opens, reads and deletes are of no interest.
    if (::inotify_add_watch(fd, dir.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO | IN_ONLYDIR) < 0) {
        const int cause = errno;
        ::close(fd);
        throw LinkError("Pracenje foldera " + dir + ": " + std::strerror(cause));
    }
    fd_ = fd;
    lost_ = false;
}

void TDirWatch::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool TDirWatch::Drain() {
    if (fd_ < 0) return false;
    bool landed = false;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n <= 0) break;  // EAGAIN: nothing more pending
        for (ssize_t at = 0; at < n;) {
            inotify_event event;
            std::memcpy(&event, buffer + at, sizeof event);
            if (event.mask & IN_IGNORED) lost_ = true;
            landed = true;
            at += static_cast<ssize_t>(sizeof event + event.len);
        }
    }
    return landed;
}

}  // namespace velbrin
