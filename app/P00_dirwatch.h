// Notice of files that land in a directory: a file closed after writing or moved
// in. The descriptor is read by the caller's event loop; the events themselves
// carry nothing the caller needs, only that something landed since the last look.
#pragma once

#include <string>

namespace velbrin {

class TDirWatch {
public:
    TDirWatch() = default;
    ~TDirWatch();
    TDirWatch(const TDirWatch&) = delete;
    TDirWatch& operator=(const TDirWatch&) = delete;

    // Starts watching dir (closing an earlier watch). Raises LinkError naming the
    // directory and the cause when the system refuses (no such directory, no
    // watches left); the caller then lives on its timer alone.
    void Open(const std::string& dir);
    void Close();
    bool IsOpen() const { return fd_ >= 0; }
    // The descriptor that becomes readable when files land; -1 when closed.
    int Descriptor() const { return fd_; }

    // Reads every pending notice without blocking. True when at least one file
    // landed, or when the notices overflowed or the watch ended (the directory was
    // removed or replaced): then the directory must be looked at anyway.
    bool Drain();
    // True once the watched directory went away; the watch sees nothing more.
    bool Lost() const { return lost_; }

private:
    int fd_ = -1;
    bool lost_ = false;
};

}  // namespace velbrin
