// The simulated FP-550 printer: owns the master side of a pseudo-terminal and
// answers the link's frames on a background thread, with a fiscal model whose
// state survives restarts and faults injected through one-line control commands.
#pragma once

#include "tools/fp550sim/SimControl.h"
#include "tools/fp550sim/SimFiscal.h"
#include "tools/fp550sim/SimFrame.h"
#include "tools/fp550sim/SimJournal.h"
#include "tools/fp550sim/SimState.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace velbrin::sim {

class Fp550Simulator {
public:
    // Loads the state file (a missing one gives a new printer); the journal is
    // the state path + ".journal".
    explicit Fp550Simulator(std::string statePath);
    ~Fp550Simulator();
    Fp550Simulator(const Fp550Simulator&) = delete;
    Fp550Simulator& operator=(const Fp550Simulator&) = delete;

    // Opens a pseudo-terminal, serves it on a background thread and returns the
    // path of its slave device. Raises std::runtime_error when no pty is available.
    std::string Start();
    void Stop();
    const std::string& DevicePath() const { return device_; }

    // One control line (see SimControl.h); returns "ok" or a query's answer.
    // Also "trace PATH" / "trace off": append a line per frame received and
    // answer sent (milliseconds since start, RX/TX, seq, cmd, data, status) to PATH.
    // Raises std::invalid_argument for a line it does not understand.
    std::string Control(const std::string& command);

    // What has been printed, one line per event, from the journal file.
    std::vector<std::string> Journal() const;
    const std::string& JournalPath() const { return journal_.Path(); }
    // A copy of the fiscal state (open receipt, day totals, article table, ...).
    SimState State() const;
    // Frames received and executed so far (repetitions answered from memory are
    // counted in FramesReceived only).
    int FramesReceived() const { return received_; }
    int CommandsExecuted() const { return executed_; }

private:
    struct LastExchange {
        bool valid = false;
        CommandFrame frame;
        SimAnswer answer;
    };

    void Serve();
    // Waits as long as the bytes would take on the line speed of "baud" (none without).
    void LineTime(std::size_t bytes);
    void HandleFrame(const CommandFrame& frame);
    void HandleBadFrame();
    void SendAnswer(const CommandFrame& frame, const SimAnswer& answer);
    // Writes bytes to the link, applying the noise layer when it is on.
    void Send(const std::string& bytes, bool noisy);
    void WriteRaw(const std::string& bytes);
    bool Noise();  // true with the noise rate's probability; caller holds mu_
    void BusyWait(int ms);
    void Pause(int ms);  // sleeps, but not past Stop()
    void Trace(const std::string& line);  // caller holds mu_

    std::string statePath_;
    mutable std::mutex mu_;  // guards state_, faults_, last_, journal_
    SimState state_;
    SimJournal journal_;
    SimFiscal fiscal_;
    SimFaults faults_;
    LastExchange last_;
    std::FILE* trace_ = nullptr;  // "trace PATH": one line per frame in and out
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();

    int master_ = -1;
    int slave_ = -1;  // held open so that the master never sees a hang-up between link runs
    std::string device_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> received_{0};
    std::atomic<int> executed_{0};
    std::atomic<int> baud_{0};  // faults_.baud, readable while mu_ is held
};

}  // namespace velbrin::sim
