// The power-cut file system program as the power-cut run drives it: mounted
// over a backing folder, cut (the backing folder then holds only what was on
// disk) and mounted again over the same folder.
#pragma once

#include "tools/harness/HarnessRig.h"

#include <map>
#include <string>

namespace velbrin::harness {

class PowercutMount {
public:
    // program: the file system program; backing and mountPoint must exist;
    // the control socket and the program's output go to outside.
    PowercutMount(std::string program, std::string backing, std::string mountPoint, std::string outside);
    ~PowercutMount();  // cuts a file system still mounted
    PowercutMount(const PowercutMount&) = delete;
    PowercutMount& operator=(const PowercutMount&) = delete;

    // Why the program cannot be mounted here ("" when it can).
    static std::string Unusable(const std::string& program);

    // Mounts; seed chooses the blocks a torn cut keeps. Raises LinkError.
    void Mount(unsigned seed);
    bool Mounted() { return child_.Running(); }
    // One control line; the answer line ("error ..." when the socket failed).
    std::string Control(const std::string& line);
    // "cut" and the end of the program; the program's answer.
    std::string Cut();
    // True once a "cut-at" has been reached: every change now fails.
    bool Frozen();
    // File and folder syncs of every mount so far, the current one included.
    long long FileSyncs();
    long long FolderSyncs();
    // Changes made since this mount (writes, names, syncs, ...).
    long long Changes();

private:
    std::map<std::string, long long> Stats();

    std::string program_, backing_, mountPoint_, control_, output_;
    Child child_;
    long long fileSyncs_ = 0, folderSyncs_ = 0;  // of the mounts before this one
};

}  // namespace velbrin::harness
