// A pseudo-terminal for tests of the real port: the test holds the master end
// (the printer's side) and opens the slave with TPosixComPort.
#pragma once

#include <chrono>
#include <string>

namespace velbrin::test {

class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& SlavePath() const { return slave_; }
    void Send(const std::string& bytes);
    // Whatever the master can read within the given time.
    std::string Receive(int waitMs);
    void CloseMaster();

private:
    int master_ = -1;
    std::string slave_;
};

// Milliseconds since a start point, on the monotonic clock.
class Stopwatch {
public:
    long long Ms() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_).count();
    }

private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

}  // namespace velbrin::test
