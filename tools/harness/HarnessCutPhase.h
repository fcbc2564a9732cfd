// One installation of the power-cut run: the link's whole installation on the
// power-cut file system, the printer, settings store and runtime folders
// outside it, and a cash register that makes its own writes durable. Requests
// go one at a time; the power goes at random moments and at random file
// operations, and after each cut the file system is mounted again, the link
// started again and the books checked.
#pragma once

#include "tools/harness/HarnessPowercutMount.h"
#include "tools/harness/HarnessSession.h"

#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace velbrin::harness {

struct CutFigures {
    int moments = 0, operations = 0, startUps = 0, torn = 0, unreached = 0;
    int sent = 0, answered = 0, lost = 0, doubled = 0, sameTwice = 0, falseAnswers = 0;
    int exportFiles = 0, exportSets = 0, exportsLost = 0;
    long long fileSyncs = 0, folderSyncs = 0;
    std::map<std::string, int> points;  // where the cuts fell: "receipt: lines" -> times
};

class CutPhase {
public:
    // program: the file system program; name tells the phase in fault lines.
    CutPhase(const Tools& tools, const std::string& program, const std::string& root, const std::string& name,
             unsigned seed, CutFigures& figures);
    ~CutPhase();
    CutPhase(const CutPhase&) = delete;
    CutPhase& operator=(const CutPhase&) = delete;

    // fresh: the first cut falls in the installation's very first start;
    // otherwise a few requests are done before it.
    void Run(int cuts, bool fresh);
    const std::vector<std::string>& Faults() const { return faults_; }

private:
    enum class Trigger { None, AfterMs, Appeared, Taken, Freeze };

    void Install();
    // Sends one request and waits for its answer, cutting as trigger says.
    // True when the power went (the link then runs again unless broken_).
    bool SendOne(const SentRequest& r, Trigger trigger, int ms);
    bool CutInStartUp(bool first);
    // Kills the link, cuts, mounts again and starts the link; false when it did not come up.
    bool CutNow(const std::string& point, bool operation);
    // After a cut: the request answered, then the link stopped and the books checked.
    bool Settle(const SentRequest* pending);
    void CheckBooks(bool final);
    void Note(const std::string& fault);
    std::string Kind(const SentRequest& r) const;
    // The next requests of the mix, counted as sent only by Enlist, at their drop.
    std::vector<SentRequest> NextBatch();
    void Enlist(const SentRequest& r);  // article table repairs in the link's log now

    const Tools& tools_;
    std::string name_, outside_, mount_, terminal_, format_;
    PowercutMount pc_;
    std::unique_ptr<Session> s_;
    CutFigures& fig_;
    std::mt19937 rng_;
    unsigned seed_;
    int mounts_ = 0, cuts_ = 0, next_ = 0;
    bool dropFailed_ = false;
    bool broken_ = false;
    int armedCycles_ = 0;  // cycles a cut-at has waited for its change  // the link could not be started again
    std::string lastPoint_ = "before any cut";
    std::map<std::string, long long> spans_;    // slowest drop-to-answer of each kind, ms
    std::map<std::string, long long> changes_;  // most file system changes of each kind
    long long startSpan_ = 1500;
    std::map<std::string, SentReceipt> held_;  // receipts made, not yet dropped
    std::set<std::string> seen_;
    std::vector<std::string> faults_;
};

}  // namespace velbrin::harness
