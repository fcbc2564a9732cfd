#include "app/P00_safedir.h"

#include "app/P00_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace velbrin {

namespace {

TFileFacts FromStat(const struct stat& st) {
    TFileFacts f;
    f.type = S_ISREG(st.st_mode)   ? TFileFacts::Type::Plain
             : S_ISLNK(st.st_mode) ? TFileFacts::Type::Link
             : S_ISDIR(st.st_mode) ? TFileFacts::Type::Folder
                                   : TFileFacts::Type::Other;
    f.ino = static_cast<unsigned long long>(st.st_ino);
    f.size = static_cast<unsigned long long>(st.st_size);
    f.mtimeNs = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    f.ctimeNs = static_cast<long long>(st.st_ctim.tv_sec) * 1000000000LL + st.st_ctim.tv_nsec;
    f.uid = st.st_uid;
    return f;
}

// File systems whose files may be written by another machine, or by a program
// that serves them, where no notice of this kernel sees every writer.
bool SharedFileSystem(long type) {
    switch (static_cast<unsigned long>(type) & 0xFFFFFFFFUL) {
        case 0x6969:      // NFS
        case 0x517B:      // SMB
        case 0xFF534D42:  // CIFS
        case 0xFE534D42:  // SMB2
        case 0x65735546:  // FUSE
        case 0x00C36400:  // Ceph
        case 0x01021997:  // 9P
        case 0x5346414F:  // AFS
        case 0x6B414653:  // kAFS
        case 0x73757245:  // Coda
        case 0x564C:      // NCP
        case 0x7461636F:  // OCFS2
        case 0x01161970:  // GFS2
        case 0x0BD00BD0:  // Lustre
        case 0x47504653:  // GPFS
            return true;
        default:
            return false;
    }
}

}  // namespace

TSafeDir::TSafeDir(const std::string& path) : path_(path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    openErrno_ = fd_ < 0 ? errno : 0;
}

TSafeDir::~TSafeDir() {
    if (fd_ >= 0) ::close(fd_);
}

std::vector<std::string> TSafeDir::Names(std::size_t maxEntries) const {
    std::vector<std::string> names;
    if (fd_ < 0) return names;
    // The listing gets a descriptor of its own: closedir closes it.
    const int listing = ::openat(fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0) return names;
    DIR* d = ::fdopendir(listing);
    if (d == nullptr) {
        ::close(listing);
        return names;
    }
    std::size_t seen = 0;
    while (dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        if (++seen > maxEntries) break;
        names.push_back(name);
    }
    ::closedir(d);
    return names;
}

TFileFacts TSafeDir::Facts(const std::string& name) const {
    struct stat st {};
    if (fd_ < 0 || ::fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return {};
    return FromStat(st);
}

int TSafeDir::OpenForReading(const std::string& name) const {
    if (fd_ < 0) {
        errno = openErrno_;
        return -1;
    }
    return ::openat(fd_, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

int TSafeDir::CreateNew(const std::string& name, std::string_view bytes, TFileFacts& made) const {
    if (fd_ < 0) return EBADF;
    const int fd = ::openat(fd_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0644);
    if (fd < 0) return errno;
    std::size_t done = 0;
    int err = 0;
    while (err == 0 && done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) err = n < 0 ? errno : EIO;
        else done += static_cast<std::size_t>(n);
    }
    if (err == 0 && ::fsync(fd) != 0) err = errno;
    if (err == 0) made = FactsOf(fd);
    if (::close(fd) != 0 && err == 0) err = errno;
    // A half-written file of ours is no request: it goes again.
    if (err != 0) ::unlinkat(fd_, name.c_str(), 0);
    return err;
}

bool TSafeDir::Remove(const std::string& name) const {
    if (fd_ < 0) return false;
    return ::unlinkat(fd_, name.c_str(), 0) == 0 || errno == ENOENT;
}

void TSafeDir::Sync() const {
    // EINVAL: a file system with no way to sync a folder.
    if (fd_ < 0 || (::fsync(fd_) != 0 && errno != EINVAL))
        throw LinkError("Cannot sync folder " + path_ + ": " + std::strerror(errno));
}

bool TSafeDir::OnShare() const {
    struct statfs fs {};
    return fd_ >= 0 && ::fstatfs(fd_, &fs) == 0 && SharedFileSystem(static_cast<long>(fs.f_type));
}

std::string TSafeDir::ReadFile(const std::string& name, std::size_t maxBytes) const {
    const std::string path = JoinPath(path_, name);
    const int fd = OpenForReading(name);
    if (fd < 0) {
        if (errno == ELOOP) throw LinkError(path + " is not a plain file");
        throw LinkError("Cannot open file " + path + ": " + std::strerror(errno));
    }
    const TFileFacts facts = FactsOf(fd);
    std::string bytes;
    std::string failure;
    if (!facts.Plain())
        failure = path + " is not a plain file";
    else if (facts.size > maxBytes)
        failure = "File " + path + " is larger than " + std::to_string(maxBytes) + " bytes";
    else if (!ReadAtMost(fd, maxBytes, bytes))
        failure = "Cannot read file " + path;
    ::close(fd);
    if (!failure.empty()) throw LinkError(failure);
    return bytes;
}

TFileFacts TSafeDir::FactsOf(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return {};
    return FromStat(st);
}

bool TSafeDir::ReadAtMost(int fd, std::size_t maxBytes, std::string& bytes) {
    bytes.clear();
    const TFileFacts facts = FactsOf(fd);
    if (facts.size > maxBytes) return false;
    // Sized from the descriptor, read to its end: one byte more than allowed
    // tells a file that grew meanwhile.
    bytes.resize(static_cast<std::size_t>(facts.size) + 1);
    std::size_t done = 0;
    for (;;) {
        if (done == bytes.size()) {
            if (bytes.size() > maxBytes) return false;
            bytes.resize(std::min(maxBytes + 1, bytes.size() * 2));
        }
        const ssize_t n = ::pread(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    if (done > maxBytes) return false;
    bytes.resize(done);
    return true;
}

TLease TSafeDir::LeaseOf(int fd) {
    // A read lease is given only while no process has the file open for
    // writing, and only to its owner (or with the right to take leases).
    if (::fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
        ::fcntl(fd, F_SETLEASE, F_UNLCK);
        return TLease::Released;
    }
    return errno == EAGAIN || errno == EWOULDBLOCK ? TLease::Busy : TLease::NotGiven;
}

}  // namespace velbrin
