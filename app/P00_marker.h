// A named marker that other programs on the workstation can observe: a lock file
// named after it in the runtime directory, held with an exclusive flock while it
// is owned and removed on release. `flock -n 9 9<FILE` fails while it is held;
// a holder that dies loses the lock with its process, so nothing stays stuck.
#pragma once

#include <string>

namespace velbrin {

class TNamedMarker {
public:
    explicit TNamedMarker(std::string name);
    ~TNamedMarker();
    TNamedMarker(const TNamedMarker&) = delete;
    TNamedMarker& operator=(const TNamedMarker&) = delete;

    // VELBRIN_RUNTIME_DIR, else /run/lock/velbrin, else /tmp/velbrin (the first
    // that exists or can be created and is writable).
    static std::string RuntimeDir();
    static std::string PathOf(const std::string& name);
    // True while any process (this one included) holds the marker.
    static bool IsHeld(const std::string& name);

    // Takes the marker; false when another holder has it (or the lock file
    // cannot be made). Taking it twice is harmless.
    bool Acquire();
    // Removes the lock file and drops the lock; nothing when not held.
    void Release();
    bool Held() const { return fd_ >= 0; }
    // Why the last Acquire could not open the lock file (error, owner and mode);
    // empty when it could, or when another holder had the marker.
    const std::string& OpenFailure() const { return openFailure_; }
    const std::string& Name() const { return name_; }

private:
    std::string name_;
    std::string path_;
    std::string openFailure_;
    int fd_ = -1;
};

}  // namespace velbrin
