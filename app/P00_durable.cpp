#include "app/P00_durable.h"

#include "app/P00_safedir.h"
#include "app/P00_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/random.h>
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

// The folder whose entry names path ("/" for a name in the root, "." for a bare name).
std::string FolderOf(const std::string& path) {
    const std::string dir = ExtractFileDir(path);
    if (!dir.empty()) return dir;
    return !path.empty() && path[0] == '/' ? "/" : ".";
}

}  // namespace

namespace {

std::string Identity(const TFileFacts& facts, const std::string& name, const std::string_view* bytes) {
    // A file removed and the next one made at once may get the same inode and,
    // on the kernel's coarse clock, the same time: its name and bytes tell them apart.
    uint64_t hash = 1469598103934665603ULL;  // FNV-1a
    auto mix = [&](std::string_view text) {
        for (unsigned char c : text) hash = (hash ^ c) * 1099511628211ULL;
    };
    mix(name);
    if (bytes != nullptr) mix(*bytes);
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return std::to_string(facts.ino) + ":" + std::to_string(facts.size) + ":" + std::to_string(facts.mtimeNs) + ":" +
           hex;
}

}  // namespace

std::string IdentityOf(const TFileFacts& facts, const std::string& name, std::string_view bytes) {
    return Identity(facts, name, &bytes);
}

std::string UnreadIdentityOf(const TFileFacts& facts, const std::string& name) {
    return Identity(facts, name, nullptr);
}

std::string FileIdentityOf(const std::string& path) {
    const std::string name = ExtractFileName(path);
    const TSafeDir dir(FolderOf(path));
    const int fd = dir.OpenForReading(name);
    if (fd < 0) return {};
    const TFileFacts facts = TSafeDir::FactsOf(fd);
    std::string bytes;
    std::string id;
    if (facts.Plain() && facts.size > kMaxIdentityBytes)
        id = UnreadIdentityOf(facts, name);
    else if (facts.Plain() && TSafeDir::ReadAtMost(fd, kMaxIdentityBytes, bytes))
        id = IdentityOf(facts, name, bytes);
    ::close(fd);
    return id;
}

std::string WithoutDevice(const std::string& identity) {
    if (std::count(identity.begin(), identity.end(), ':') != 4) return identity;
    return identity.substr(identity.find(':') + 1);
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
    SyncDirectory(FolderOf(path));
}

void WriteFileDurably(const std::string& path, std::string_view bytes) {
    PublishDraft(WriteDraftDurably(path, bytes), path);
}

void AppendDurably(const std::string& path, std::string_view bytes) {
    struct stat st {};
    const bool made = ::stat(path.c_str(), &st) != 0;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) throw LinkError(Failure("Cannot open file", path));
    WriteAllAndSync(fd, bytes, path);
    if (made) SyncDirectory(FolderOf(path));
}

void SyncFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw LinkError(Failure("Cannot open file", path));
    WriteAllAndSync(fd, {}, path);
}

void TruncateDurably(const std::string& path, unsigned long long size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) throw LinkError(Failure("Cannot open file", path));
    if (::ftruncate(fd, static_cast<off_t>(size)) != 0) {
        const std::string text = Failure("Cannot cut file", path);
        ::close(fd);
        throw LinkError(text);
    }
    WriteAllAndSync(fd, {}, path);
}

void CopyFileDurably(const std::string& from, const std::string& to) {
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) throw LinkError(Failure("Cannot open file", from));
    const std::string draft = JoinPath(ExtractFileDir(to), "." + ExtractFileName(to) + ".draft");
    const int out = ::open(draft.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) {
        const std::string text = Failure("Cannot create file", draft);
        ::close(in);
        throw LinkError(text);
    }
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const std::string text = Failure("Cannot read file", from);
            ::close(in), ::close(out), ::unlink(draft.c_str());
            throw LinkError(text);
        }
        if (n == 0) break;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(out, buffer + done, static_cast<std::size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                const std::string text = Failure("Cannot write file", draft);
                ::close(in), ::close(out), ::unlink(draft.c_str());
                throw LinkError(text);
            }
            done += w;
        }
    }
    ::close(in);
    try {
        WriteAllAndSync(out, {}, draft);
    } catch (...) {
        ::unlink(draft.c_str());
        throw;
    }
    PublishDraft(draft, to);
}

bool RemoveFileDurably(const std::string& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return false;
    SyncDirectory(FolderOf(path));
    return true;
}

bool MakeDirectoriesDurably(const std::string& dir) {
    if (dir.empty()) return false;
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    const std::string parent = FolderOf(dir);
    if (parent != dir && !MakeDirectoriesDurably(parent)) return false;
    if (::mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) return false;
    try {
        SyncDirectory(parent);
    } catch (const LinkError&) {
        return false;
    }
    return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void SyncDirectory(const std::string& dir) {
    const std::string path = dir.empty() ? "." : dir;
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) throw LinkError(Failure("Cannot open folder", path));
    // EINVAL: a file system with no way to sync a folder; its names are as
    // durable as it makes them, and nothing better can be done here.
    if (::fsync(fd) != 0 && errno != EINVAL) {
        const std::string text = Failure("Cannot sync folder", path);
        ::close(fd);
        throw LinkError(text);
    }
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
        if (::lstat(JoinPath(dir, name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
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

int CreatePrivateFileDurably(const std::string& path, std::string_view bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return errno;
    try {
        WriteAllAndSync(fd, bytes, path);  // closes fd
    } catch (const LinkError&) {
        const int err = errno != 0 ? errno : EIO;
        ::unlink(path.c_str());
        return err;
    }
    SyncDirectory(FolderOf(path));
    return 0;
}

std::string RandomHex(std::size_t bytes) {
    std::string raw(bytes, '\0');
    std::size_t got = 0;
    while (got < bytes) {
        const ssize_t n = ::getrandom(raw.data() + got, bytes - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw LinkError(std::string("No random bytes: ") + std::strerror(errno));
        got += static_cast<std::size_t>(n);
    }
    static const char* hex = "0123456789abcdef";
    std::string text;
    for (const char c : raw) {
        const auto b = static_cast<unsigned char>(c);
        text += hex[b >> 4];
        text += hex[b & 15];
    }
    return text;
}

std::string LastSystemError() { return std::strerror(errno); }

}  // namespace velbrin
