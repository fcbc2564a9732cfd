// The power-cut file system program mounted on a private temporary folder,
// with its control socket, for the tests of that program.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>

namespace velbrin::test {

class PowercutRig {
public:
    // Why the program cannot be mounted here ("" when it can): it needs root
    // and a usable /dev/fuse.
    static std::string Unusable();

    PowercutRig();
    ~PowercutRig();
    PowercutRig(const PowercutRig&) = delete;
    PowercutRig& operator=(const PowercutRig&) = delete;

    // Mounts the backing folder; returns "" or what went wrong.
    std::string Mount(unsigned seed = 1);
    // One control line and its answer.
    std::string Control(const std::string& line);
    // "cut" and the end of the program; returns its answer.
    std::string Cut();
    // SIGTERM to the program; returns its exit status.
    int Terminate();

    std::string Mounted(const std::string& rel) const { return mount_ + "/" + rel; }
    std::string Backing(const std::string& rel) const { return backing_ + "/" + rel; }
    // Every entry below the backing folder: path -> content ("<dir>" for a folder).
    std::map<std::string, std::string> BackingTree() const;

private:
    void Stop();

    std::string root_, backing_, mount_, state_, control_;
    pid_t pid_ = -1;
};

// Helpers for what a program does on the mounted tree.
void PutFile(const std::string& path, const std::string& data, bool sync, int flags = 0);
void SyncDir(const std::string& path);
std::string Blocks(const std::string& letters);  // one 4 KiB block per letter

}  // namespace velbrin::test
