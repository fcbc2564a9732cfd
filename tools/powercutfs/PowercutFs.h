// The file system the programs see: every operation is carried out on the
// backing folder, and what it changes is recorded in the shadow tree so that a
// power cut can later drop what was never synced. It also counts the syncs (for
// the benchmark of syncs per request) and can freeze at the N-th change, as if
// the power went at that instant.
#pragma once

#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <cstdint>
#include <string>
#include <unordered_map>

#include "tools/powercutfs/ShadowTree.h"

namespace velbrin::powercut {

struct FsCounters {
    std::uint64_t fsyncs = 0;      // fsync and fdatasync of files
    std::uint64_t fsyncdirs = 0;   // fsync of folders
    std::uint64_t syncWrites = 0;  // writes through O_SYNC or O_DSYNC handles
    std::uint64_t changes = 0;     // operations that change a file or a name
    std::uint64_t ops = 0;         // every operation
};

class PowercutFs {
public:
    explicit PowercutFs(ShadowTree& tree) : tree_(tree) {}

    // The callbacks for fuse_new; private_data must be this object.
    static const fuse_operations& Operations();

    // From now on the count-th change (1: the next one) and everything after
    // it fail with EIO; 0 freezes at once.
    void FreezeAt(std::uint64_t count);
    bool Frozen() const { return frozen_; }
    const FsCounters& Counters() const { return counters_; }

private:
    struct Handle {
        NodeId node;
        int flags;  // as the program opened the file
    };
    static PowercutFs& Self();
    // 0 when the operation may go on, -EIO once frozen.
    int Gate(bool changes);
    int OpenHandle(const std::string& path, ShadowNode& node, fuse_file_info* fi);
    int Resize(ShadowNode* node, int fd, std::uint64_t newSize);
    void DataSynced(ShadowNode* node, int fd);

    static int GetAttr(const char* path, struct stat* st, fuse_file_info* fi);
    static int ReadLink(const char* path, char* buf, size_t size);
    static int MkNod(const char* path, mode_t mode, dev_t rdev);
    static int MkDir(const char* path, mode_t mode);
    static int Unlink(const char* path);
    static int RmDir(const char* path);
    static int SymLink(const char* target, const char* path);
    static int Rename(const char* from, const char* to, unsigned flags);
    static int Link(const char* from, const char* to);
    static int ChMod(const char* path, mode_t mode, fuse_file_info* fi);
    static int ChOwn(const char* path, uid_t uid, gid_t gid, fuse_file_info* fi);
    static int Truncate(const char* path, off_t size, fuse_file_info* fi);
    static int Open(const char* path, fuse_file_info* fi);
    static int Create(const char* path, mode_t mode, fuse_file_info* fi);
    static int Read(const char* path, char* buf, size_t size, off_t off, fuse_file_info* fi);
    static int Write(const char* path, const char* buf, size_t size, off_t off, fuse_file_info* fi);
    static int StatFs(const char* path, struct statvfs* st);
    static int Flush(const char* path, fuse_file_info* fi);
    static int Release(const char* path, fuse_file_info* fi);
    static int FSync(const char* path, int datasync, fuse_file_info* fi);
    static int OpenDir(const char* path, fuse_file_info* fi);
    static int ReadDir(const char* path, void* buf, fuse_fill_dir_t fill, off_t off,
                       fuse_file_info* fi, fuse_readdir_flags flags);
    static int ReleaseDir(const char* path, fuse_file_info* fi);
    static int FSyncDir(const char* path, int datasync, fuse_file_info* fi);
    static int UTimens(const char* path, const struct timespec tv[2], fuse_file_info* fi);
    static int FAllocate(const char* path, int mode, off_t off, off_t len, fuse_file_info* fi);
    static void* Init(fuse_conn_info* conn, fuse_config* cfg);

    ShadowTree& tree_;
    std::unordered_map<int, Handle> handles_;  // by backing descriptor
    FsCounters counters_;
    std::uint64_t countdown_ = 0;  // changes left before the freeze; 0: not armed
    bool frozen_ = false;
};

}  // namespace velbrin::powercut
