#include "exchange/P30_requestjournal.h"

#include "app/P00_durable.h"
#include "app/P00_util.h"

#include <cstdio>
#include <sstream>

namespace velbrin {

namespace {

// The line as it is written: the record, " #", its checksum in hex.
std::string Sealed(const std::string& record) {
    char sum[16];
    std::snprintf(sum, sizeof sum, " #%08x", Crc32(record));
    return record + sum + "\n";
}

constexpr std::size_t kSealLength = 10;  // " #" and eight hex digits

// The record of a sealed line whose checksum holds; empty else.
std::string Unsealed(const std::string& line) {
    if (line.size() <= kSealLength || line.compare(line.size() - kSealLength, 2, " #") != 0) return {};
    const std::string record = line.substr(0, line.size() - kSealLength);
    return Sealed(record) == line + "\n" ? record : std::string();
}

// Journals of earlier versions carry no checksums. Such a line is taken only
// before the first sealed one, and only when it holds nothing a record never
// holds (a power cut fills what it loses with zeros).
bool PlausibleUnsealed(const std::string& line) {
    if (line.size() < 3 || line[1] != ' ') return false;
    // A seal that does not hold is a spoiled sealed line, not an old one.
    const std::size_t seal = line.rfind(" #");
    if (seal != std::string::npos && line.size() - seal == kSealLength) return false;
    for (unsigned char c : line)
        if (c < 0x20 || c == 0x7F) return false;
    return true;
}

}  // namespace

TRequestJournal::TRequestJournal(std::string path) : path_(std::move(path)) {}

std::string TRequestJournal::Escape(std::string_view name) {
    static const char* const hex = "0123456789ABCDEF";
    std::string out;
    out.reserve(name.size());
    for (unsigned char c : name) {
        if (c <= ' ' || c == 0x7F || c == '%' || c == '#') {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0xF];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string TRequestJournal::Unescape(std::string_view text) {
    const auto digit = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && digit(text[i + 1]) >= 0 && digit(text[i + 2]) >= 0) {
            out += static_cast<char>(digit(text[i + 1]) * 16 + digit(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

void TRequestJournal::Clear() {
    carriedOut_.clear();
    answeredSeqs_.clear();
    rowsDone_.clear();
    failedRows_.clear();
    lastAnswered_.clear();
    begun_.clear();
    lines_.clear();
    firstAnswer_.clear();
    answerRecords_.clear();
    packetOf_.clear();
    conversions_.clear();
    rejected_.clear();
    version_ = 1;
    lastSeq_ = 0;
    appended_ = 0;
}

void TRequestJournal::Load() {
    Clear();
    if (!FileExists(path_)) return;
    const std::string text = ReadWholeFile(path_);
    const std::size_t whole = Parse(text);
    // What follows the last line end was cut short by a stop: it goes before the
    // next record is appended, or the two would read as one.
    if (whole < text.size()) TruncateDurably(path_, whole);
}

void TRequestJournal::LoadText(std::string_view text) {
    Clear();
    Parse(text);
}

std::size_t TRequestJournal::Parse(std::string_view text) {
    std::size_t start = 0;
    bool sealedSeen = false;
    for (std::size_t nl = text.find('\n'); nl != std::string_view::npos; nl = text.find('\n', start)) {
        const std::string line(text.substr(start, nl - start));
        start = nl + 1;
        const std::string record = Unsealed(line);
        if (!record.empty()) {
            sealedSeen = true;
            Apply(record);
        } else if (!sealedSeen && PlausibleUnsealed(line)) {
            Apply(line);
        } else if (!line.empty()) {
            rejected_.push_back(line);
        }
    }
    return start;
}

void TRequestJournal::Apply(const std::string& record) {
    std::istringstream in(record);
    std::string kind, id;
    in >> kind;
    if (kind == "V") {
        // The form of the names in the records that follow.
        int version = 0;
        if (in >> version && version > 0) version_ = version;
        return;
    }
    lastAnswered_.clear();
    // The name that ends a record: escaped from version 2 on, raw (the rest of
    // the line) before.
    const auto name = [&in, this] {
        std::string rest;
        std::getline(in, rest);
        if (version_ < 2) return Trim(rest);
        std::istringstream words(rest);
        std::string word;
        words >> word;
        return Unescape(word);
    };
    // Identities recorded with the device number in front, by an earlier version.
    const auto identity = [&in, &id] {
        if (!(in >> id)) return false;
        id = WithoutDevice(id);
        return true;
    };
    // The record as compaction writes it again: in the form of version 2.
    std::string canonical;
    if (kind == "D") {
        uint64_t seq = 0;
        if (!(in >> seq) || !identity()) return;
        lastAnswered_ = name();
        answeredSeqs_.insert(seq);
        if (seq > lastSeq_) lastSeq_ = seq;
        if (id == "-") return;
        canonical = "D " + std::to_string(seq) + " " + id + " " + Escape(lastAnswered_);
        carriedOut_.insert(id);
        firstAnswer_.try_emplace(id, TAnswerRecord{seq, lastAnswered_});
        answerRecords_[seq] = {id, canonical};
    } else if (kind == "T") {
        if (!identity()) return;
        carriedOut_.insert(id);
        canonical = "T " + id + " " + Escape(name());
    } else if (kind == "C") {
        std::string packetId;
        if (!identity() || !(in >> packetId)) return;
        carriedOut_.insert(id);
        packetId = WithoutDevice(packetId);
        canonical = "C " + id + " " + packetId + " " + Escape(name());
        packetOf_[id] = packetId;
        conversions_[packetId] = {id, canonical};
    } else if (kind == "W") {
        int row = 0;
        std::string stamp;
        if (!identity() || !(in >> row)) return;
        std::getline(in, stamp);
        begun_[id] = {row, Trim(stamp)};
        canonical = "W " + id + " " + std::to_string(row) + " " + Trim(stamp);
    } else if (kind == "R") {
        int row = 0;
        std::string flag;
        if (!identity() || !(in >> row)) return;
        const bool failed = in >> flag && flag == "F";
        if (failed) failedRows_.insert(id);
        if (row + 1 > rowsDone_[id]) rowsDone_[id] = row + 1;
        canonical = "R " + id + " " + std::to_string(row) + (failed ? " F" : "");
    } else {
        return;
    }
    lines_[id] += Sealed(canonical);
}

void TRequestJournal::Append(const std::string& record) {
    // A journal of raw names learns first that the names after this are escaped.
    const std::string head = version_ < 2 ? Sealed("V 2") : std::string();
    AppendDurably(path_, head + Sealed(record));
    if (version_ < 2) version_ = 2;
    Apply(record);
    ++appended_;
}

void TRequestJournal::Compact(const std::set<std::string>& presentIds) {
    std::string text = Sealed("V 2");
    // The last answers stay after their files went: the same file dropped again
    // is answered again, not carried out again.
    for (const auto& [seq, answer] : answerRecords_) {
        if (seq + kKeepAnswers <= lastSeq_ || presentIds.count(answer.first) != 0) continue;
        // A converted file is known by its packet's answer.
        const auto conversion = conversions_.find(answer.first);
        if (conversion != conversions_.end() && presentIds.count(conversion->second.first) == 0)
            text += Sealed(conversion->second.second);
        text += Sealed(answer.second);
    }
    text += Sealed("D " + std::to_string(lastSeq_) + " - -");
    for (const auto& [id, records] : lines_)
        if (presentIds.count(id) != 0) text += records;
    WriteFileDurably(path_, text);
    Load();
}

bool TRequestJournal::CarriedOut(const std::string& id) const { return !id.empty() && carriedOut_.count(id) != 0; }

void TRequestJournal::MarkTaken(const std::string& id, const std::string& name) {
    if (!id.empty()) Append("T " + id + " " + Escape(name));
}

void TRequestJournal::MarkConverted(const std::string& id, const std::string& packetId, const std::string& name) {
    if (!id.empty() && !packetId.empty()) Append("C " + id + " " + packetId + " " + Escape(name));
}

void TRequestJournal::MarkAnswered(uint64_t seq, const std::string& id, const std::string& name) {
    Append("D " + std::to_string(seq) + " " + (id.empty() ? std::string("-") : id) + " " + Escape(name));
}

TRequestJournal::TAnswerRecord TRequestJournal::FirstAnswer(const std::string& id) const {
    auto it = firstAnswer_.find(id);
    if (it == firstAnswer_.end()) {
        // A foreign file is answered as the packet it was converted into.
        const auto packet = packetOf_.find(id);
        if (packet != packetOf_.end()) it = firstAnswer_.find(packet->second);
    }
    return it == firstAnswer_.end() ? TAnswerRecord{} : it->second;
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
