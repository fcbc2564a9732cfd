// Which files of a folder a local writer still has in hand, from the kernel's
// notices of the folder: a file written to is being written until a writer
// closes it after writing, or until it is renamed in whole. Any local writer is
// seen, whoever it runs as; a writer on another machine (a share) is not, and a
// file that was there before the watch began, or whose notices were lost when
// too many came at once, is not known.
#pragma once

#include <string>
#include <unordered_map>

namespace velbrin {

class TWriterWatch {
public:
    enum class TState { Unknown, Writing, Closed };

    TWriterWatch() = default;
    ~TWriterWatch();
    TWriterWatch(const TWriterWatch&) = delete;
    TWriterWatch& operator=(const TWriterWatch&) = delete;

    // Starts watching dir; every file is Unknown until notices come for it.
    // Raises LinkError naming the folder and the cause.
    void Open(const std::string& dir);
    void Close();
    bool IsOpen() const { return fd_ >= 0; }
    const std::string& Dir() const { return dir_; }
    // Reads the notices that came since the last look, without blocking. A
    // folder that went away, or was replaced, ends the watch (IsOpen() false).
    void Drain();
    TState State(const std::string& name) const;

    // Names followed at most; past it every file is Unknown again.
    static constexpr std::size_t kMaxNames = 100000;

private:
    int fd_ = -1;
    std::string dir_;
    std::unordered_map<std::string, TState> states_;
};

}  // namespace velbrin
