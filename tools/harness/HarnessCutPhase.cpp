#include "tools/harness/HarnessCutPhase.h"

#include "app/P00_util.h"
#include "tools/harness/HarnessExports.h"
#include "tools/harness/HarnessRuns.h"

#include <sys/stat.h>

#include <cstdio>
#include <sstream>

namespace velbrin::harness {

namespace {

const char* const kFormats[] = {"TXT", "CSV", "XML", "DBF"};

long long FileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

// The value of key in section of an INI text ("" when missing).
std::string IniValue(const std::string& text, const std::string& section, const std::string& key) {
    std::istringstream in(text);
    bool inside = false;
    for (std::string line; std::getline(in, line);) {
        line = Trim(line);
        if (!line.empty() && line[0] == '[') {
            inside = SameText(line, "[" + section + "]");
        } else if (inside && line.find('=') != std::string::npos && SameText(Trim(line.substr(0, line.find('='))), key)) {
            return Trim(line.substr(line.find('=') + 1));
        }
    }
    return "";
}

}  // namespace

CutPhase::CutPhase(const Tools& tools, const std::string& program, const std::string& root, const std::string& name,
                   unsigned seed, CutFigures& figures)
    : tools_(tools),
      name_(name),
      outside_(root + "/outside"),
      mount_(root + "/installation"),
      pc_(program, root + "/backing", mount_, outside_),
      fig_(figures),
      rng_(seed * 7919u + static_cast<unsigned>(name.size())),
      seed_(seed) {
    for (const std::string& dir : {outside_, mount_, root + "/backing"}) ForceDirectories(dir);
    char terminal[8];
    std::snprintf(terminal, sizeof terminal, "%03u", 100 + seed % 900);
    terminal_ = terminal;
    format_ = kFormats[(seed + name.size()) % std::size(kFormats)];
}

CutPhase::~CutPhase() {
    s_.reset();  // the link and the printer stop before the file system goes
}

void CutPhase::Note(const std::string& fault) {
    if (seen_.insert(fault).second) faults_.push_back(name_ + ", " + lastPoint_ + ": " + fault);
}

std::vector<SentRequest> CutPhase::NextBatch() {
    std::vector<SentRequest> batch = s_->NextMixed(next_++);
    // The books count a request from its drop on: a check after a cut in the
    // first of a batch must not miss an answer to the second, not yet sent.
    for (auto r = batch.rbegin(); r != batch.rend(); ++r) {
        if (r->kind == RequestKind::Receipt && !r->cancelledReceipt) {
            held_[r->request] = s_->sent.back();
            s_->sent.pop_back();
        } else {
            s_->others.pop_back();
        }
    }
    return batch;
}

void CutPhase::Enlist(const SentRequest& r) {
    if (r.kind == RequestKind::Receipt && !r.cancelledReceipt) {
        s_->sent.push_back(held_.at(r.request));
        held_.erase(r.request);
    } else {
        s_->others.push_back(r);
    }
}

std::string CutPhase::Kind(const SentRequest& r) const {
    if (r.kind == RequestKind::Receipt) return r.cancelledReceipt ? "cancelled receipt" : "receipt";
    if (r.kind == RequestKind::Text) return "text";
    if (r.kind == RequestKind::Article) return "ART-" + r.op;
    return r.zReports ? "day closing" : "cash";
}

void CutPhase::Install() {
    pc_.Mount(seed_ * 1000 + static_cast<unsigned>(mounts_++));
    s_ = std::make_unique<Session>(tools_, mount_, seed_, outside_);
    s_->inst.WriteIni(s_->printer.Device(), "[Osnovno]\nTerminalNo=" + terminal_ + "\nExportFormat=" + format_ +
                                                "\n[Praxolt]\nSaljiAnalitikeUvek=D\n");
    s_->cash.MakeDurable(outside_ + "/cash.ledger");
    // The installer's files are on disk, as after a clean shutdown.
    const std::string synced = pc_.Control("sync-all");
    if (synced != "ok sync-all") throw LinkError("sync-all: " + synced);
}

bool CutPhase::CutNow(const std::string& point, bool operation) {
    ++cuts_;
    armedCycles_ = 0;  // a new mount has no freeze point
    const bool torn = std::uniform_int_distribution<int>(0, 2)(rng_) == 0;
    pc_.Control(torn ? "torn on" : "torn off");
    s_->link.Kill();
    const std::string answer = pc_.Cut();
    if (answer != "ok cut") Note("the cut went wrong: " + answer);
    fig_.torn += torn;
    ++(operation ? fig_.operations : fig_.moments);
    ++fig_.points[point];
    lastPoint_ = "cut " + std::to_string(cuts_) + " (" + point + (operation ? ", at a file operation" : "") +
                 (torn ? ", torn" : "") + ")";
    std::printf("  %s %s\n", name_.c_str(), lastPoint_.c_str());
    std::fflush(stdout);
    pc_.Mount(seed_ * 1000 + static_cast<unsigned>(mounts_++));
    s_->printer.Control("reset");
    if (s_->StartLink()) return true;
    Note("the link did not start again (see " + outside_ + "/link.out)");
    broken_ = true;
    return false;
}

bool CutPhase::SendOne(const SentRequest& r, Trigger trigger, int ms) {
    const long long traced = FileSize(s_->printer.TracePath());
    const long long changes = pc_.Changes();
    Enlist(r);
    try {
        s_->cash.Drop(r.name, r.bytes);
    } catch (const LinkError&) {
        if (trigger != Trigger::Freeze || !pc_.Frozen()) throw;
        // The power went while the cash register wrote: it sends again after the cut.
        dropFailed_ = true;
        if (CutNow(Kind(r) + ": the cash register's drop", true)) Settle(&r);
        return true;
    }
    const std::string answer = s_->inst.FromFp() + "/" + r.request;
    const long long start = NowMs();
    bool frozen = false, appeared = false;
    const bool answered = WaitUntil(
        [&] {
            if (trigger == Trigger::AfterMs && NowMs() - start >= ms) return true;
            if (trigger == Trigger::Appeared && (FileExists(answer + ".ok") || FileExists(answer + ".err")))
                return appeared = true;
            if (trigger == Trigger::Freeze && pc_.Frozen()) return frozen = true;
            s_->cash.Collect();
            if (s_->cash.Answered(r.request)) return true;
            s_->Nurse();
            return false;
        },
        60000) && s_->cash.Answered(r.request);
    std::string tail = ReadWholeFile(s_->printer.TracePath());
    tail = tail.substr(std::min<std::size_t>(tail.size(), static_cast<std::size_t>(traced)));
    const std::string stage = Kind(r) + ": " + (answered ? "answered" : StageFromTrace(tail));
    if (frozen) {
        if (CutNow(stage, true)) Settle(&r);
        return true;
    }
    if (appeared) {
        if (CutNow(Kind(r) + ": answer in From_FP", false)) Settle(&r);
        return true;
    }
    if (trigger == Trigger::AfterMs && !answered) {
        if (CutNow(stage, false)) Settle(&r);
        return true;
    }
    if (trigger == Trigger::Taken && answered) {
        if (CutNow(Kind(r) + ": answer taken", false)) Settle(nullptr);
        return true;
    }
    if (!answered) {
        Note(r.name + " unanswered in 60 s without a cut");
        return false;
    }
    long long& slowest = spans_[Kind(r)];
    slowest = std::max(slowest, NowMs() - start);
    if (trigger != Trigger::Freeze) changes_[Kind(r)] = std::max(changes_[Kind(r)], pc_.Changes() - changes);
    return false;
}

bool CutPhase::CutInStartUp(bool first) {
    s_->link.Kill();
    const long long start = NowMs();
    s_->link.Start();
    const bool afterUp = std::uniform_int_distribution<int>(0, 2)(rng_) == 0;
    if (afterUp) s_->link.WaitUp(30000);
    const int wait = std::uniform_int_distribution<int>(0, static_cast<int>(afterUp ? 1000 : startSpan_))(rng_);
    WaitMs(wait);
    ++fig_.startUps;
    const std::string point = std::string(first ? "first start" : "start-up") + (afterUp ? ", up + " : ", ") +
                              std::to_string(afterUp ? wait : NowMs() - start) + " ms";
    return CutNow(point, false) && Settle(nullptr);
}

bool CutPhase::Settle(const SentRequest* pending) {
    if (pending && dropFailed_) {
        dropFailed_ = false;
        s_->cash.Drop(pending->name, pending->bytes);
    }
    if (pending && !s_->WaitAnswered({pending->request}, 60000))
        Note(pending->name + " unanswered 60 s after the link started again");
    CheckBooks(false);
    if (s_->StartLink()) return true;
    Note("the link did not start after the check (see " + outside_ + "/link.out)");
    broken_ = true;
    return false;
}

void CutPhase::CheckBooks(bool final) {
    s_->StopLink();  // the settings as the link left them, then the database
    const std::string iniPath = mount_ + "/Appl/LINK.INI";
    const std::string ini = FileExists(iniPath) ? ReadWholeFile(iniPath) : "";
    const std::pair<std::string, std::string> kept[] = {{"Portovi/FP", s_->printer.Device()},
                                                        {"Osnovno/TerminalNo", terminal_},
                                                        {"Osnovno/ExportFormat", format_},
                                                        {"Praxolt/SaljiAnalitikeUvek", "D"}};
    for (const auto& [where, value] : kept) {
        const auto slash = where.find('/');
        const std::string got = IniValue(ini, where.substr(0, slash), where.substr(slash + 1));
        if (!SameText(got, value)) Note("LINK.INI [" + where.substr(0, slash) + "] " + where.substr(slash + 1) +
                                        " is '" + got + "', the run set '" + value + "'");
    }
    Verdict v;
    try {
        v = s_->Check();  // stops the link
    } catch (const std::exception& e) {
        Note(std::string("the books cannot be read (the database does not open?): ") + e.what());
        return;
    }
    for (const std::string& f : v.faults) Note(f);
    if (!final) return;
    const ExportBooks exports =
        CheckDayExports(s_->inst.FromFp(), terminal_, format_, ReadDatabase(s_->inst.Database()).daysClosed);
    for (const std::string& f : exports.faults) Note(f);
    fig_.exportFiles += exports.files;
    fig_.exportSets += exports.sets;
    fig_.exportsLost += exports.lost;
    int sent = 0;
    for (const auto& [request, got] : s_->cash.Book()) {
        fig_.doubled += got.size() > 1;
        for (std::size_t i = 1; i < got.size(); ++i) fig_.sameTwice += got[i] == got[0];
    }
    auto count = [&](const std::string& request) {
        ++sent;
        const bool answered = s_->cash.Answered(request);
        fig_.answered += answered;
        fig_.lost += !answered;
    };
    for (const SentReceipt& r : s_->sent) count(r.request);
    for (const SentRequest& r : s_->others) count(r.request);
    fig_.sent += sent;
    for (const std::string& f : v.faults)
        for (const char* wrong : {"answered '", " answered ok but", " answered with an error but", " answered .err although",
                                  " answered as a success"})
            if (f.find(wrong) != std::string::npos) {
                ++fig_.falseAnswers;
                break;
            }
}

void CutPhase::Run(int cuts, bool fresh) {
    Install();
    if (fresh) {
        // The very first start on the power-cut file system, cut in it or right after it.
        startSpan_ = 3000;
        CutInStartUp(true);
    } else {
        if (!s_->StartLink()) return Note("the link did not start");
        for (int i = 0; i < 6; ++i)
            for (const SentRequest& r : NextBatch()) SendOne(r, Trigger::None, 0);
        // Over the time an installation works, the system writes back everything
        // on its own: what a cut finds then is what was there, not only what was synced.
        const std::string synced = pc_.Control("sync-all");
        if (synced != "ok sync-all") Note("sync-all: " + synced);
    }
    for (int cycle = 0; cuts_ < cuts && cycle < 4 * cuts; ++cycle) {
        const int mode = std::uniform_int_distribution<int>(0, 9)(rng_);
        if (broken_) break;
        if (mode == 0) {
            CutInStartUp(false);
            continue;
        }
        const std::vector<SentRequest> batch = NextBatch();
        Trigger trigger = mode <= 3 ? Trigger::AfterMs : mode == 4 ? Trigger::Appeared : mode == 5 ? Trigger::Taken
                                                                                                     : Trigger::Freeze;
        const std::string kind = Kind(batch.back());
        // A freeze point not reached by the last request stays for this one.
        if (armedCycles_ > 0) trigger = Trigger::Freeze;
        if (trigger == Trigger::Freeze && armedCycles_++ == 0) {
            const long long most = changes_.count(kind) ? changes_[kind] : 300;
            const long long n = std::uniform_int_distribution<long long>(1, std::max(2LL, most))(rng_);
            pc_.Control("cut-at " + std::to_string(n));
        }
        const long long span = spans_.count(kind) ? spans_[kind] : 3000;
        const int ms = std::uniform_int_distribution<int>(0, static_cast<int>(span))(rng_);
        bool cut = false;
        for (std::size_t i = 0; i < batch.size() && !broken_; ++i) {
            // The rest of a batch cut short goes after the cut, without another.
            const bool armed = !cut && (i + 1 == batch.size() || trigger == Trigger::Freeze);
            cut = SendOne(batch[i], armed ? trigger : Trigger::None, ms) || cut;
        }
        if (broken_) break;  // the link could not be brought back
        if (!cut && armedCycles_ > 1) {
            pc_.Control("cut-at 999999999999");  // not reached: disarmed
            ++fig_.unreached;
            armedCycles_ = 0;
        }
    }
    CheckBooks(true);
    fig_.fileSyncs += pc_.FileSyncs();
    fig_.folderSyncs += pc_.FolderSyncs();
}

}  // namespace velbrin::harness
