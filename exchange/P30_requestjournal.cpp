#include "exchange/P30_requestjournal.h"

#include "app/P00_durable.h"
#include "app/P00_util.h"

#include <sstream>

namespace velbrin {

TRequestJournal::TRequestJournal(std::string path) : path_(std::move(path)) {}

void TRequestJournal::Load() {
    carriedOut_.clear();
    answeredSeqs_.clear();
    delivering_.clear();
    rowsDone_.clear();
    failedRows_.clear();
    lastAnswered_.clear();
    begun_.clear();
    lines_.clear();
    lastSeq_ = 0;
    appended_ = 0;
    if (!FileExists(path_)) return;
    const std::string text = ReadWholeFile(path_);
    std::size_t start = 0;
    for (std::size_t nl = text.find('\n'); nl != std::string::npos; nl = text.find('\n', start)) {
        Apply(text.substr(start, nl - start));
        start = nl + 1;
    }
}

void TRequestJournal::Apply(const std::string& line) {
    std::istringstream in(line);
    std::string kind, id;
    in >> kind;
    lastAnswered_.clear();
    if (kind == "D") {
        uint64_t seq = 0;
        if (!(in >> seq >> id)) return;
        std::getline(in, lastAnswered_);
        lastAnswered_ = Trim(lastAnswered_);
        answeredSeqs_.insert(seq);
        if (seq > lastSeq_) lastSeq_ = seq;
        if (id == "-") return;
        carriedOut_.insert(id);
    } else if (kind == "X") {
        uint64_t seq = 0;
        if (in >> seq) delivering_.insert(seq);
        return;
    } else if (kind == "T") {
        if (!(in >> id)) return;
        carriedOut_.insert(id);
    } else if (kind == "W") {
        int row = 0;
        std::string stamp;
        if (!(in >> id >> row)) return;
        std::getline(in, stamp);
        begun_[id] = {row, Trim(stamp)};
    } else if (kind == "R") {
        int row = 0;
        std::string flag;
        if (!(in >> id >> row)) return;
        if (in >> flag && flag == "F") failedRows_.insert(id);
        if (row + 1 > rowsDone_[id]) rowsDone_[id] = row + 1;
    } else {
        return;
    }
    lines_[id] += line + "\n";
}

void TRequestJournal::Append(const std::string& line) {
    AppendDurably(path_, line + "\n");
    Apply(line);
    ++appended_;
}

void TRequestJournal::Compact(const std::set<std::string>& presentIds) {
    std::string text = "D " + std::to_string(lastSeq_) + " - -\n";
    for (const auto& [id, records] : lines_)
        if (presentIds.count(id) != 0) text += records;
    WriteFileDurably(path_, text);
    Load();
}

void TRequestJournal::MarkDelivering(uint64_t seq) { Append("X " + std::to_string(seq)); }

bool TRequestJournal::CarriedOut(const std::string& id) const { return !id.empty() && carriedOut_.count(id) != 0; }

void TRequestJournal::MarkTaken(const std::string& id, const std::string& name) {
    if (!id.empty()) Append("T " + id + " " + name);
}

void TRequestJournal::MarkAnswered(uint64_t seq, const std::string& id, const std::string& name) {
    Append("D " + std::to_string(seq) + " " + (id.empty() ? std::string("-") : id) + " " + name);
}

int TRequestJournal::RowsDone(const std::string& id) const {
    auto it = rowsDone_.find(id);
    return it == rowsDone_.end() ? 0 : it->second;
}

void TRequestJournal::MarkRowBegun(const std::string& id, int row, const std::string& stamp) {
    if (!id.empty()) Append("W " + id + " " + std::to_string(row) + " " + stamp);
}

void TRequestJournal::MarkRowDone(const std::string& id, int row, bool failed) {
    if (!id.empty()) Append("R " + id + " " + std::to_string(row) + (failed ? " F" : ""));
}

std::string TRequestJournal::RowInDoubt(const std::string& id, int row) const {
    auto it = begun_.find(id);
    if (it == begun_.end() || it->second.first != row || RowsDone(id) > row) return {};
    return it->second.second.empty() ? std::string("-") : it->second.second;
}

}  // namespace velbrin
