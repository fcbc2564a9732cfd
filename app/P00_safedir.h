// A folder that other programs write into, reached through its own descriptor:
// every name is looked at without following a link, opened without blocking and
// judged on the open descriptor, read with a bound, and the link's own files in
// it are made new, never written through a name that was already there.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace velbrin {

// What a name in a folder is, as the name itself (a link is a link).
struct TFileFacts {
    enum class Type { Missing, Plain, Link, Folder, Other };
    Type type = Type::Missing;
    unsigned long long ino = 0, size = 0;
    long long mtimeNs = 0, ctimeNs = 0;
    unsigned uid = 0;

    bool Plain() const { return type == Type::Plain; }
    // The same file, unchanged since: inode, size and both times.
    bool Unchanged(const TFileFacts& before) const {
        return type == before.type && ino == before.ino && size == before.size && mtimeNs == before.mtimeNs &&
               ctimeNs == before.ctimeNs;
    }
};

// What the kernel says of a file's writers, asked with a read lease.
enum class TLease { Released, Busy, NotGiven };

class TSafeDir {
public:
    TSafeDir() = default;
    // Opens the folder; IsOpen() tells whether it could be.
    explicit TSafeDir(const std::string& path);
    ~TSafeDir();
    TSafeDir(const TSafeDir&) = delete;
    TSafeDir& operator=(const TSafeDir&) = delete;

    bool IsOpen() const { return fd_ >= 0; }
    const std::string& Path() const { return path_; }

    // The names in the folder (without "." and ".."), at most maxEntries looked
    // at, in the order the file system gives them.
    std::vector<std::string> Names(std::size_t maxEntries) const;
    TFileFacts Facts(const std::string& name) const;
    // Opens name read-only without following a link, blocking on a pipe or
    // taking a terminal. -1 with errno on failure (ELOOP: a link).
    int OpenForReading(const std::string& name) const;
    // Makes name new (never through a name already there, a link included),
    // writes bytes and syncs them; made gets its facts. 0, or the errno of the
    // failure (EEXIST: the name is taken).
    int CreateNew(const std::string& name, std::string_view bytes, TFileFacts& made) const;
    // Removes the name itself (a link, not its target); true when it is gone.
    bool Remove(const std::string& name) const;
    // Makes names made, renamed or removed in the folder durable. Raises LinkError.
    void Sync() const;
    // True when the folder lives on a file system whose writers this machine
    // may not see: mounted from another machine (NFS, SMB, ...) or served by a
    // program (FUSE).
    bool OnShare() const;
    // Reads the whole plain file name, at most maxBytes. Raises LinkError naming
    // the file: a link, not a plain file, larger than maxBytes or unreadable.
    std::string ReadFile(const std::string& name, std::size_t maxBytes) const;

    // Facts of an open descriptor.
    static TFileFacts FactsOf(int fd);
    // Reads what fd holds from its start, at most maxBytes: false when a read
    // fails or the file holds more (it grew since it was judged).
    static bool ReadAtMost(int fd, std::size_t maxBytes, std::string& bytes);
    static TLease LeaseOf(int fd);

private:
    std::string path_;
    int fd_ = -1;
    int openErrno_ = 0;
};

}  // namespace velbrin
