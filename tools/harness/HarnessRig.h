// The pieces of a fault run: child processes, a throw-away installation of the
// link, the printer simulator program with its control socket, the link program
// itself and the cash register's side of the exchange directories.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace velbrin::harness {

// Where the programs under test and the empty database are.
struct Tools {
    std::string link;
    std::string sim;
    std::string templateDb;
    std::string firebirdLock;
    std::string display;  // an X display for the link's windows; "" runs it without one
};

// One child program; killed and reaped when the object goes.
class Child {
public:
    Child() = default;
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Starts argv[0] with the extra environment; stdout and stderr go to outFile.
    // uid >= 0: the child runs as that user (and group), without other groups.
    void Start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
               const std::string& outFile, int uid = -1);
    bool Running();
    // The exit code, or -1 when it did not end within ms or died by a signal.
    int Wait(int ms);
    void Signal(int sig);
    // SIGKILL and reap at once.
    void Kill();
    pid_t Pid() const { return pid_; }
    bool DiedBySignal() const { return bySignal_; }

private:
    void Poll();
    pid_t pid_ = -1;
    bool exited_ = true;
    bool bySignal_ = false;
    int code_ = -1;
};

// A throw-away installation: settings store, runtime folder, empty database.
// The settings store, runtime folders, printer files and program output go to
// outside (default: root), so that a power-cut run can keep them off the
// file system it cuts.
class Installation {
public:
    Installation(const Tools& tools, std::string root, std::string outside = "");
    std::map<std::string, std::string> Env() const;
    std::string ToFp() const { return root + "/Exch/Lnk/To_FP"; }
    std::string FromFp() const { return root + "/Exch/Lnk/From_FP"; }
    std::string Logs() const { return root + "/Logs"; }
    std::string Database() const { return root + "/DataBase/Zorvex.fdb"; }
    void WriteIni(const std::string& device, const std::string& extra = "") const;

    const Tools& tools;
    std::string root, outside, runtime, registry, xdg;
};

// The printer simulator program.
class Printer {
public:
    explicit Printer(const Installation& inst);
    ~Printer();
    void Start();
    void Stop();
    // One control line; the reply line without its line feed. Raises on a
    // socket failure.
    std::string Control(const std::string& line);
    std::string Device() const { return device_; }
    std::string JournalPath() const { return state_ + ".journal"; }
    std::string TracePath() const { return trace_; }
    std::string StatePath() const { return state_; }
    // The day total the printer holds, in hundredths (from "status").
    long long DayTotal();
    bool ReceiptOpen();

private:
    const Installation& inst_;
    std::string state_, device_, control_, trace_;
    Child child_;
};

// The link program.
class Link {
public:
    explicit Link(const Installation& inst) : inst_(inst) {}
    void Start();
    // True once the program holds its start marker (or false after ms).
    bool WaitUp(int ms);
    bool Running() { return child_.Running(); }
    // SIGTERM, then the wait; SIGKILL when it does not end in ms. True when it ended by itself.
    bool Stop(int ms);
    void Kill() { child_.Kill(); }
    bool DialogShown() const;  // an operator message waits for a key
    // Presses Return in every visible window of the link (on the harness's X
    // display), as the operator would; the number of windows answered.
    int PressReturn();
    pid_t Pid() const { return child_.Pid(); }
    int Starts() const { return starts_; }
    // Later starts run the link as this user (-1: as the harness's own user).
    void RunAs(int uid) { uid_ = uid; }

private:
    bool Held(const char* marker) const;
    const Installation& inst_;
    Child child_;
    int starts_ = 0;
    int uid_ = -1;
};

// What the cash register sees: it drops a request (written beside and renamed
// in), takes answers away as they come and remembers every one.
class CashRegister {
public:
    explicit CashRegister(const Installation& inst) : inst_(inst) {}
    // From now on every request is on disk (file synced, renamed in, To_FP
    // synced) before Drop returns, and an answer counts as taken only once its
    // removal is synced and it is appended, synced, to the ledger file.
    void MakeDurable(const std::string& ledger) { ledger_ = ledger; }
    // Raises LinkError when the request could not be written (or made durable).
    void Drop(const std::string& name, const std::string& bytes);
    // Takes every answer out of FromFpDir into the record; the names taken.
    std::vector<std::string> Collect();
    // Answers of a request (upper-cased name without extension), in order: "ok TEXT" / "err TEXT".
    const std::vector<std::string>& AnswersOf(const std::string& request) const;
    bool Answered(const std::string& request) const { return !AnswersOf(request).empty(); }
    const std::vector<std::string>& CommErr() const { return commErr_; }
    const std::map<std::string, std::vector<std::string>>& Book() const { return answers_; }

private:
    void DropDurably(const std::string& name, const std::string& bytes);
    bool TakeDurably(const std::string& path, const std::string& name, const std::string& text);

    const Installation& inst_;
    std::map<std::string, std::vector<std::string>> answers_;
    std::vector<std::string> commErr_;
    std::string ledger_;
};

// Polls until cond holds or ms have passed.
template <class F>
bool WaitUntil(F cond, int ms);
bool WaitMs(int ms);
long long NowMs();

// Resident memory in kB and open descriptors of a process.
long long ResidentKb(pid_t pid);
int OpenFiles(pid_t pid);

}  // namespace velbrin::harness

#include <chrono>
#include <thread>

template <class F>
bool velbrin::harness::WaitUntil(F cond, int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return cond();
}
