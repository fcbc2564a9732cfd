// The pieces of the hostile run: what an odd file must be answered, the canary
// folder's state, the link's peak memory, and the run that drops each odd file
// followed by a normal request of each kind, timing how long those wait.
#pragma once

#include "tools/harness/HarnessRuns.h"
#include "tools/harness/HarnessSession.h"

#include <sys/types.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace velbrin::harness {

// An odd file's expected answers: how many under its key, and whether all are ".err".
struct Expected {
    std::string key;  // upper-cased answer name without extension
    int answers = 1;
    bool err = true;
    std::string what;
    // A request and a file in the way of its packet share their answer's name: the
    // second answer replaces the first when the cash register has not taken it yet.
    bool sharedName = false;
    // The link may have refused the file in the way before the request came: then
    // the request is a sound one, answered ok; this puts it in the session's books.
    std::function<void()> sound = nullptr;
};

// The answer book's key of a request or answer name.
std::string Key(const std::string& name);
// What a canary folder holds: every entry by name, with its type, size, times and bytes.
std::map<std::string, std::string> CanaryState(const std::string& dir);
// The peak of a process's resident memory (VmHWM), in kB; -1 when unknown.
long long PeakKb(pid_t pid);

// The cases of one run, each followed by a receipt, a cash command, a text and
// an article file whose drop-to-answer times it keeps; then the odd files' answers.
class HostileRun {
public:
    HostileRun(Session& s, std::string only) : s_(s), only_(std::move(only)) {}

    void Case(const std::string& kind, const std::function<std::vector<Expected>()>& make);
    void Finish(RunResult& result);

    std::map<std::string, int> tried;  // cases by kind
    std::vector<std::string> faults;
    long long longestWaitMs = 0;
    std::string longestWaitBehind;
    long long refuseHugeMs = -1;
    int normal = 0;
    // The link's peak memory over every process the run started (kB).
    long long peakKb = -1;
    void NotePeak();

    std::string To(const std::string& name) const { return s_.inst.ToFp() + "/" + name; }
    int NextK() { return s_.nextK++; }
    // Keys judged here, not by the session's books.
    std::map<std::string, Expected> own;
    // Requests that came when the file in their way was refused already: their
    // own answer is the session's to judge, the refusal's ".err" is not.
    std::set<std::string> sound;

private:
    std::vector<SentRequest> NormalBatch();
    bool WaitTimed(const std::vector<SentRequest>& batch, std::map<std::string, long long>& dropped,
                   const std::string& behind);

    Session& s_;
    std::string only_;  // cases whose kind holds this text ("": all)
    int batchNo_ = 0;
};

}  // namespace velbrin::harness
