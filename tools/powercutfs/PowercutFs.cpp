#include "tools/powercutfs/PowercutFs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>

namespace velbrin::powercut {

namespace {

struct DirHandle {
    DIR* dir;
    NodeId node;
};

int Ok(int rc) {
    return rc == 0 ? 0 : -errno;
}

// What the calling program owns: the daemon runs as root, the files must not.
void OwnByCaller(const std::string& path) {
    const fuse_context* ctx = fuse_get_context();
    ::lchown(path.c_str(), ctx->uid, ctx->gid);
}

}  // namespace

PowercutFs& PowercutFs::Self() {
    return *static_cast<PowercutFs*>(fuse_get_context()->private_data);
}

void PowercutFs::FreezeAt(std::uint64_t count) {
    if (count == 0) frozen_ = true;
    countdown_ = count;
}

int PowercutFs::Gate(bool changes) {
    ++counters_.ops;
    if (frozen_) return -EIO;
    if (!changes) return 0;
    ++counters_.changes;
    if (countdown_ > 0 && --countdown_ == 0) frozen_ = true;
    return frozen_ ? -EIO : 0;
}

int PowercutFs::OpenHandle(const std::string& path, ShadowNode& node, fuse_file_info* fi) {
    int flags = fi->flags;
    // Appends, syncs and truncation are the model's business: the backing file
    // gets plain writes at the offsets the kernel chose. Written files are opened
    // for reading too, to save the blocks a write replaces.
    int backing =
        flags & ~(O_TRUNC | O_APPEND | O_SYNC | O_DSYNC | O_DIRECT | O_CREAT | O_EXCL | O_NOCTTY);
    int fd = -1;
    if ((flags & O_ACCMODE) != O_RDONLY) {
        fd = ::open(tree_.Live(path).c_str(), (backing & ~O_ACCMODE) | O_RDWR | O_CLOEXEC);
    }
    if (fd < 0) fd = ::open(tree_.Live(path).c_str(), backing | O_CLOEXEC);
    if (fd < 0) return -errno;
    if ((flags & O_TRUNC) != 0) {
        if (int err = Resize(&node, fd, 0)) {
            ::close(fd);
            return err;
        }
    }
    handles_[fd] = Handle{node.id, flags};
    tree_.Opened(node);
    fi->fh = static_cast<std::uint64_t>(fd);
    return 0;
}

int PowercutFs::Resize(ShadowNode* node, int fd, std::uint64_t newSize) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return -errno;
    if (node != nullptr && node->data) {
        auto oldSize = static_cast<std::uint64_t>(st.st_size);
        if (int err = node->data->BeforeResize(fd, oldSize, newSize)) return -err;
    }
    return Ok(::ftruncate(fd, static_cast<off_t>(newSize)));
}

void PowercutFs::DataSynced(ShadowNode* node, int fd) {
    struct stat st {};
    if (node != nullptr && node->data && ::fstat(fd, &st) == 0) {
        node->data->Synced(static_cast<std::uint64_t>(st.st_size));
    }
}

int PowercutFs::GetAttr(const char* path, struct stat* st, fuse_file_info* fi) {
    PowercutFs& s = Self();
    if (int err = s.Gate(false)) return err;
    if (fi != nullptr) return Ok(::fstat(static_cast<int>(fi->fh), st));
    return Ok(::lstat(s.tree_.Live(path).c_str(), st));
}

int PowercutFs::ReadLink(const char* path, char* buf, size_t size) {
    PowercutFs& s = Self();
    if (int err = s.Gate(false)) return err;
    ssize_t n = ::readlink(s.tree_.Live(path).c_str(), buf, size - 1);
    if (n < 0) return -errno;
    buf[n] = '\0';
    return 0;
}

int PowercutFs::MkNod(const char* path, mode_t mode, dev_t rdev) {
    PowercutFs& s = Self();
    if (int err = s.Gate(true)) return err;
    std::string live = s.tree_.Live(path);
    int rc = 0;
    if (S_ISREG(mode)) {
        int fd = ::open(live.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, mode);
        rc = fd < 0 ? -errno : Ok(::close(fd));
    } else {
        rc = Ok(::mknod(live.c_str(), mode, rdev));
    }
    if (rc != 0) return rc;
    OwnByCaller(live);
    s.tree_.Created(path, mode);
    return 0;
}

int PowercutFs::MkDir(const char* path, mode_t mode) {
    PowercutFs& s = Self();
    if (int err = s.Gate(true)) return err;
    if (::mkdir(s.tree_.Live(path).c_str(), mode) != 0) return -errno;
    OwnByCaller(s.tree_.Live(path));
    s.tree_.Created(path, S_IFDIR);
    return 0;
}

int PowercutFs::SymLink(const char* target, const char* path) {
    PowercutFs& s = Self();
    if (int err = s.Gate(true)) return err;
    if (::symlink(target, s.tree_.Live(path).c_str()) != 0) return -errno;
    OwnByCaller(s.tree_.Live(path));
    s.tree_.Created(path, S_IFLNK);
    return 0;
}

int PowercutFs::Unlink(const char* path) {
    PowercutFs& s = Self();
    if (int err = s.Gate(true)) return err;
    return -s.tree_.Unlink(path);
}

int PowercutFs::RmDir(const char* path) {
    PowercutFs& s = Self();
    if (int err = s.Gate(true)) return err;
    return -s.tree_.Rmdir(path);
}

int PowercutFs::Rename(const char* from, const char* to, unsigned flags) {
    PowercutFs& s = Self();
    if (int err = s.Gate(true)) return err;
    return -s.tree_.Rename(from, to, flags);
}

int PowercutFs::Link(const char* from, const char* to) {
    PowercutFs& s = Self();
    if (int err = s.Gate(true)) return err;
    return -s.tree_.Link(from, to);
}

int PowercutFs::ChMod(const char* path, mode_t mode, fuse_file_info* fi) {
    PowercutFs& s = Self();
    if (int err = s.Gate(true)) return err;
    if (fi != nullptr) return Ok(::fchmod(static_cast<int>(fi->fh), mode));
    return Ok(::chmod(s.tree_.Live(path).c_str(), mode));
}

int PowercutFs::ChOwn(const char* path, uid_t uid, gid_t gid, fuse_file_info* fi) {
    PowercutFs& s = Self();
    if (int err = s.Gate(true)) return err;
    if (fi != nullptr) return Ok(::fchown(static_cast<int>(fi->fh), uid, gid));
    return Ok(::lchown(s.tree_.Live(path).c_str(), uid, gid));
}

int PowercutFs::Truncate(const char* path, off_t size, fuse_file_info* fi) {
    PowercutFs& s = Self();
    if (int err = s.Gate(true)) return err;
    if (size < 0) return -EINVAL;
    if (fi != nullptr) {
        auto it = s.handles_.find(static_cast<int>(fi->fh));
        ShadowNode* node = it == s.handles_.end() ? nullptr : s.tree_.Get(it->second.node);
        return s.Resize(node, static_cast<int>(fi->fh), static_cast<std::uint64_t>(size));
    }
    int fd = ::open(s.tree_.Live(path).c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return -errno;
    int rc = s.Resize(s.tree_.Find(path), fd, static_cast<std::uint64_t>(size));
    ::close(fd);
    return rc;
}

int PowercutFs::Open(const char* path, fuse_file_info* fi) {
    PowercutFs& s = Self();
    if (int err = s.Gate((fi->flags & O_TRUNC) != 0)) return err;
    ShadowNode* node = s.tree_.Find(path);
    if (node == nullptr) return -ENOENT;
    return s.OpenHandle(path, *node, fi);
}

int PowercutFs::Create(const char* path, mode_t mode, fuse_file_info* fi) {
    PowercutFs& s = Self();
    if (int err = s.Gate(true)) return err;
    if (ShadowNode* existing = s.tree_.Find(path)) {
        if ((fi->flags & O_EXCL) != 0) return -EEXIST;
        return s.OpenHandle(path, *existing, fi);
    }
    std::string live = s.tree_.Live(path);
    int fd = ::open(live.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, mode);
    if (fd < 0) return -errno;
    OwnByCaller(live);
    s.tree_.Created(path, S_IFREG);
    ShadowNode* node = s.tree_.Find(path);
    s.handles_[fd] = Handle{node->id, fi->flags};
    s.tree_.Opened(*node);
    fi->fh = static_cast<std::uint64_t>(fd);
    return 0;
}

int PowercutFs::Read(const char*, char* buf, size_t size, off_t off, fuse_file_info* fi) {
    if (int err = Self().Gate(false)) return err;
    ssize_t n = ::pread(static_cast<int>(fi->fh), buf, size, off);
    return n < 0 ? -errno : static_cast<int>(n);
}

int PowercutFs::Write(const char*, const char* buf, size_t size, off_t off, fuse_file_info* fi) {
    PowercutFs& s = Self();
    if (int err = s.Gate(true)) return err;
    int fd = static_cast<int>(fi->fh);
    auto it = s.handles_.find(fd);
    ShadowNode* node = it == s.handles_.end() ? nullptr : s.tree_.Get(it->second.node);
    if (node != nullptr && node->data) {
        if (int err = node->data->BeforeWrite(fd, static_cast<std::uint64_t>(off), size))
            return -err;
    }
    ssize_t n = ::pwrite(fd, buf, size, off);
    if (n < 0) return -errno;
    // O_SYNC includes O_DSYNC: such a write is a write and an fdatasync.
    if (it != s.handles_.end() && (it->second.flags & O_DSYNC) != 0) {
        ++s.counters_.syncWrites;
        s.DataSynced(node, fd);
    }
    return static_cast<int>(n);
}

int PowercutFs::StatFs(const char*, struct statvfs* st) {
    PowercutFs& s = Self();
    if (int err = s.Gate(false)) return err;
    return Ok(::statvfs(s.tree_.Backing().c_str(), st));
}

int PowercutFs::Flush(const char*, fuse_file_info*) {
    return Self().Gate(false);
}

int PowercutFs::Release(const char*, fuse_file_info* fi) {
    // Not refused after a freeze: the handle goes whatever happened.
    PowercutFs& s = Self();
    int fd = static_cast<int>(fi->fh);
    ::close(fd);
    auto it = s.handles_.find(fd);
    if (it != s.handles_.end()) {
        NodeId node = it->second.node;
        s.handles_.erase(it);
        s.tree_.Closed(node);
    }
    return 0;
}

int PowercutFs::FSync(const char*, int, fuse_file_info* fi) {
    PowercutFs& s = Self();
    if (int err = s.Gate(true)) return err;
    ++s.counters_.fsyncs;
    int fd = static_cast<int>(fi->fh);
    auto it = s.handles_.find(fd);
    if (it != s.handles_.end()) s.DataSynced(s.tree_.Get(it->second.node), fd);
    return 0;
}

int PowercutFs::OpenDir(const char* path, fuse_file_info* fi) {
    PowercutFs& s = Self();
    if (int err = s.Gate(false)) return err;
    ShadowNode* node = s.tree_.Find(path);
    DIR* dir = ::opendir(s.tree_.Live(path).c_str());
    if (dir == nullptr) return -errno;
    fi->fh = reinterpret_cast<std::uint64_t>(new DirHandle{dir, node == nullptr ? 0 : node->id});
    return 0;
}

int PowercutFs::ReadDir(const char*, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info* fi,
                        fuse_readdir_flags) {
    if (int err = Self().Gate(false)) return err;
    // The whole listing at once: libfuse keeps it and serves the offsets itself.
    DIR* dir = reinterpret_cast<DirHandle*>(fi->fh)->dir;
    ::rewinddir(dir);
    errno = 0;
    while (dirent* e = ::readdir(dir)) {
        struct stat st {};
        st.st_ino = e->d_ino;
        st.st_mode = DTTOIF(e->d_type);
        if (fill(buf, e->d_name, &st, 0, static_cast<fuse_fill_dir_flags>(0)) != 0) break;
    }
    return -errno;
}

int PowercutFs::ReleaseDir(const char*, fuse_file_info* fi) {
    auto* handle = reinterpret_cast<DirHandle*>(fi->fh);
    ::closedir(handle->dir);
    delete handle;
    return 0;
}

int PowercutFs::FSyncDir(const char*, int, fuse_file_info* fi) {
    PowercutFs& s = Self();
    if (int err = s.Gate(true)) return err;
    ++s.counters_.fsyncdirs;
    if (ShadowNode* folder = s.tree_.Get(reinterpret_cast<DirHandle*>(fi->fh)->node)) {
        s.tree_.DirSynced(*folder);
    }
    return 0;
}

int PowercutFs::UTimens(const char* path, const struct timespec tv[2], fuse_file_info* fi) {
    PowercutFs& s = Self();
    if (int err = s.Gate(true)) return err;
    if (fi != nullptr) return Ok(::futimens(static_cast<int>(fi->fh), tv));
    return Ok(::utimensat(AT_FDCWD, s.tree_.Live(path).c_str(), tv, AT_SYMLINK_NOFOLLOW));
}

int PowercutFs::FAllocate(const char*, int mode, off_t off, off_t len, fuse_file_info* fi) {
    PowercutFs& s = Self();
    if (int err = s.Gate(true)) return err;
    // Only reserving space (and growing the file) is offered: punching holes
    // and the like would change bytes behind the model's back.
    if ((mode & ~FALLOC_FL_KEEP_SIZE) != 0) return -EOPNOTSUPP;
    int fd = static_cast<int>(fi->fh);
    auto it = s.handles_.find(fd);
    ShadowNode* node = it == s.handles_.end() ? nullptr : s.tree_.Get(it->second.node);
    struct stat st {};
    if (::fstat(fd, &st) != 0) return -errno;
    auto end = static_cast<std::uint64_t>(off) + static_cast<std::uint64_t>(len);
    auto size = static_cast<std::uint64_t>(st.st_size);
    if ((mode & FALLOC_FL_KEEP_SIZE) == 0 && end > size && node != nullptr && node->data) {
        if (int err = node->data->BeforeResize(fd, size, end)) return -err;
    }
    return Ok(::fallocate(fd, mode, off, len));
}

void* PowercutFs::Init(fuse_conn_info* conn, fuse_config* cfg) {
    cfg->use_ino = 1;
    // An unlinked open file is unlinked at once, not renamed to a hidden name
    // (that rename would be a name change the model must not see).
    cfg->hard_remove = 1;
    cfg->nullpath_ok = 1;
    cfg->negative_timeout = 0;
    cfg->direct_io = 0;
    cfg->kernel_cache = 0;
    // Every write must reach the model when the program makes it; the kernel
    // applies the umask, as on any other file system.
    conn->want &= ~(FUSE_CAP_WRITEBACK_CACHE | FUSE_CAP_DONT_MASK);
    return fuse_get_context()->private_data;
}

const fuse_operations& PowercutFs::Operations() {
    static const fuse_operations ops = [] {
        fuse_operations o{};
        o.getattr = GetAttr;
        o.readlink = ReadLink;
        o.mknod = MkNod;
        o.mkdir = MkDir;
        o.unlink = Unlink;
        o.rmdir = RmDir;
        o.symlink = SymLink;
        o.rename = Rename;
        o.link = Link;
        o.chmod = ChMod;
        o.chown = ChOwn;
        o.truncate = Truncate;
        o.open = Open;
        o.read = Read;
        o.write = Write;
        o.statfs = StatFs;
        o.flush = Flush;
        o.release = Release;
        o.fsync = FSync;
        o.opendir = OpenDir;
        o.readdir = ReadDir;
        o.releasedir = ReleaseDir;
        o.fsyncdir = FSyncDir;
        o.init = Init;
        o.create = Create;
        o.utimens = UTimens;
        o.fallocate = FAllocate;
        return o;
    }();
    return ops;
}

}  // namespace velbrin::powercut
