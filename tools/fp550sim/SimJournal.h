// What the simulated printer has printed: one text line per event, appended to
// the journal file beside the state file and flushed at once, so that a test can
// tell from it whether a receipt, a sale or a payment was printed twice.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace velbrin::sim {

class SimJournal {
public:
    explicit SimJournal(std::string path);
    ~SimJournal();
    SimJournal(const SimJournal&) = delete;
    SimJournal& operator=(const SimJournal&) = delete;

    // Raises std::runtime_error when the file cannot be written.
    void Append(const std::string& line);
    const std::string& Path() const { return path_; }

    // Every line of a journal file; a missing file has none.
    static std::vector<std::string> ReadLines(const std::string& path);

private:
    std::string path_;
    std::FILE* file_ = nullptr;
};

}  // namespace velbrin::sim
