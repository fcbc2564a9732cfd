// The running file system: mounts it, serves the programs and the control
// socket from one thread (so runs repeat), and at the end (the "cut" command,
// SIGTERM or SIGINT, or an unmount from outside) unmounts and leaves in the
// backing folder only what was durable.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <string>

#include "tools/powercutfs/ControlChannel.h"
#include "tools/powercutfs/PowercutFs.h"
#include "tools/powercutfs/ShadowTree.h"

namespace velbrin::powercut {

struct DaemonOptions {
    std::string backing;
    std::string mount;
    std::string state;
    std::string control;
    std::uint64_t seed = 1;
    bool torn = false;
};

class PowercutDaemon {
public:
    explicit PowercutDaemon(DaemonOptions options);
    // Returns the exit status.
    int Run();

private:
    std::optional<std::string> Command(const std::string& line, int client);
    std::string Stats() const;
    void Loop(fuse* f);

    DaemonOptions options_;
    ShadowTree tree_;
    PowercutFs fs_;
    ControlChannel control_;
    std::mt19937_64 rng_;
    bool stop_ = false;
    int cutClient_ = -1;  // the client waiting for the answer to "cut"
};

}  // namespace velbrin::powercut
