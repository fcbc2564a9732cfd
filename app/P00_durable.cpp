#include "app/P00_durable.h"

#include "app/P00_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace velbrin {

namespace {

// Room an answer and its journal record need, with a margin.
constexpr unsigned long long kRoomForAnswers = 64 * 1024;

std::string Failure(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

void WriteAllAndSync(int fd, std::string_view bytes, const std::string& path) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const std::string text = Failure("Cannot write file", path);
            ::close(fd);
            throw LinkError(text);
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0) {
        const std::string text = Failure("Cannot write file", path);
        ::close(fd);
        throw LinkError(text);
    }
    if (::close(fd) != 0) throw LinkError(Failure("Cannot write file", path));
}

}  // namespace

std::string FileIdentityOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};
    const long long mtimeNs = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    // A file removed and the next one made at once may get the same inode and,
    // on the kernel's coarse clock, the same time: its name and bytes tell them apart.
    uint64_t hash = 1469598103934665603ULL;  // FNV-1a
    auto mix = [&](std::string_view bytes) {
        for (unsigned char c : bytes) hash = (hash ^ c) * 1099511628211ULL;
    };
    mix(ExtractFileName(path));
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    char buffer[65536];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) mix(std::string_view(buffer, static_cast<std::size_t>(n)));
    ::close(fd);
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return std::to_string(static_cast<unsigned long long>(st.st_dev)) + ":" +
           std::to_string(static_cast<unsigned long long>(st.st_ino)) + ":" +
           std::to_string(static_cast<long long>(st.st_size)) + ":" + std::to_string(mtimeNs) + ":" + hex;
}

std::string WriteDraftDurably(const std::string& path, std::string_view bytes) {
    const std::string draft = JoinPath(ExtractFileDir(path), "." + ExtractFileName(path) + ".draft");
    const int fd = ::open(draft.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw LinkError(Failure("Cannot create file", draft));
    try {
        WriteAllAndSync(fd, bytes, draft);
    } catch (...) {
        ::unlink(draft.c_str());
        throw;
    }
    return draft;
}

void PublishDraft(const std::string& draft, const std::string& path) {
    if (::rename(draft.c_str(), path.c_str()) != 0) {
        const std::string text = Failure("Cannot create file", path);
        ::unlink(draft.c_str());
        throw LinkError(text);
    }
    SyncDirectory(ExtractFileDir(path));
}

void WriteFileDurably(const std::string& path, std::string_view bytes) {
    PublishDraft(WriteDraftDurably(path, bytes), path);
}

void AppendDurably(const std::string& path, std::string_view bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) throw LinkError(Failure("Cannot open file", path));
    WriteAllAndSync(fd, bytes, path);
}

void SyncDirectory(const std::string& dir) {
    const int fd = ::open(dir.empty() ? "/" : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    // Some file systems refuse to sync a folder; the rename itself still stands.
    ::fsync(fd);
    ::close(fd);
}

int RenameOrErrno(const std::string& from, const std::string& to) {
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

std::vector<std::string> ListPlainFiles(const std::string& dir, std::size_t maxEntries, bool hidden) {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return names;
    std::size_t seen = 0;
    while (dirent* e = ::readdir(d)) {
        if (++seen > maxEntries) break;
        const std::string name = e->d_name;
        if (name.empty() || (name[0] == '.') != hidden) continue;
        struct stat st {};
        if (::stat(JoinPath(dir, name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        names.push_back(name);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

bool CanWriteIn(const std::string& dir) {
    // Asked before every cycle: no file is made, only rights and room looked at.
    if (::access(dir.c_str(), W_OK | X_OK) != 0) return false;
    struct statvfs fs {};
    if (::statvfs(dir.c_str(), &fs) != 0) return true;
    return static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize >= kRoomForAnswers;
}

std::string LastSystemError() { return std::strerror(errno); }

}  // namespace velbrin
