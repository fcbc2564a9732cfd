#include "app/P00_marker.h"

#include "app/P00_util.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>

namespace velbrin {

namespace {

bool UsableDir(const std::string& dir) {
    if (!DirectoryExists(dir)) {
        // Shared by every user of the workstation: the umask must not narrow it.
        if (::mkdir(dir.c_str(), 01777) == 0) ::chmod(dir.c_str(), 01777);
        ForceDirectories(dir);
    }
    return DirectoryExists(dir) && ::access(dir.c_str(), W_OK | X_OK) == 0;
}

std::string DescribeOpenFailure(const std::string& path, int err) {
    std::string text = std::strerror(err);
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        const passwd* pw = ::getpwuid(st.st_uid);
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        text += "; owner " + (pw ? std::string(pw->pw_name) : std::to_string(st.st_uid)) + ", mode " + mode;
    }
    return text;
}

}  // namespace

TNamedMarker::TNamedMarker(std::string name) : name_(std::move(name)) {}

TNamedMarker::~TNamedMarker() { Release(); }

std::string TNamedMarker::RuntimeDir() {
    const char* env = std::getenv("VELBRIN_RUNTIME_DIR");
    if (env && *env) {
        ForceDirectories(env);
        return env;
    }
    if (UsableDir("/run/lock/velbrin")) return "/run/lock/velbrin";
    UsableDir("/tmp/velbrin");
    return "/tmp/velbrin";
}

std::string TNamedMarker::PathOf(const std::string& name) { return JoinPath(RuntimeDir(), name); }

bool TNamedMarker::IsHeld(const std::string& name) {
    int fd = ::open(PathOf(name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return held;
}

bool TNamedMarker::Acquire() {
    if (fd_ >= 0) return true;
    openFailure_.clear();
    path_ = PathOf(name_);
    // A holder removes the file while still locking it; whoever opened the old
    // file meanwhile locks an orphan and must try again on the new one.
    for (int attempt = 0; attempt < 20; ++attempt) {
        int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        // A lock file that another user made (`flock FILE true` as root leaves it
        // 0644) still locks through a read-only descriptor.
        if (fd < 0 && errno == EACCES) fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            openFailure_ = DescribeOpenFailure(path_, errno);
            return false;
        }
        // Left behind by a crash, the file must stay openable for another user's start.
        (void)::fchmod(fd, 0666);
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            return false;
        }
        struct stat opened {}, named {};
        if (::fstat(fd, &opened) == 0 && ::stat(path_.c_str(), &named) == 0 && opened.st_ino == named.st_ino &&
            opened.st_dev == named.st_dev) {
            fd_ = fd;
            return true;
        }
        ::close(fd);
    }
    return false;
}

void TNamedMarker::Release() {
    if (fd_ < 0) return;
    ::unlink(path_.c_str());
    ::close(fd_);
    fd_ = -1;
}

}  // namespace velbrin
