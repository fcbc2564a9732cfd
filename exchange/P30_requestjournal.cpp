#include "exchange/P30_requestjournal.h"

#include "app/P00_durable.h"
#include "app/P00_util.h"

#include <array>
#include <cstdio>
#include <sstream>

namespace velbrin {

namespace {

uint32_t Crc32(std::string_view bytes) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char b : bytes) crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

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

void TRequestJournal::Load() {
    carriedOut_.clear();
    answeredSeqs_.clear();
    rowsDone_.clear();
    failedRows_.clear();
    lastAnswered_.clear();
    begun_.clear();
    lines_.clear();
    rejected_.clear();
    lastSeq_ = 0;
    appended_ = 0;
    if (!FileExists(path_)) return;
    const std::string text = ReadWholeFile(path_);
    std::size_t start = 0;
    bool sealedSeen = false;
    for (std::size_t nl = text.find('\n'); nl != std::string::npos; nl = text.find('\n', start)) {
        const std::string line = text.substr(start, nl - start);
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
    // What follows the last line end was cut short by a stop: it goes before the
    // next record is appended, or the two would read as one.
    if (start < text.size()) TruncateDurably(path_, start);
}

void TRequestJournal::Apply(std::string record) {
    std::istringstream in(record);
    std::string kind, id;
    in >> kind;
    lastAnswered_.clear();
    // Identities recorded with the device number in front, by an earlier version.
    const auto normalise = [&record](std::string& identity) {
        const std::string plain = WithoutDevice(identity);
        if (plain == identity) return;
        record.replace(record.find(identity), identity.size(), plain);
        identity = plain;
    };
    if (kind == "D") {
        uint64_t seq = 0;
        if (!(in >> seq >> id)) return;
        std::getline(in, lastAnswered_);
        lastAnswered_ = Trim(lastAnswered_);
        answeredSeqs_.insert(seq);
        if (seq > lastSeq_) lastSeq_ = seq;
        if (id == "-") return;
        normalise(id);
        carriedOut_.insert(id);
    } else if (kind == "T") {
        if (!(in >> id)) return;
        normalise(id);
        carriedOut_.insert(id);
    } else if (kind == "C") {
        std::string packetId;
        if (!(in >> id >> packetId)) return;
        normalise(id);
        carriedOut_.insert(id);
    } else if (kind == "W") {
        int row = 0;
        std::string stamp;
        if (!(in >> id >> row)) return;
        normalise(id);
        std::getline(in, stamp);
        begun_[id] = {row, Trim(stamp)};
    } else if (kind == "R") {
        int row = 0;
        std::string flag;
        if (!(in >> id >> row)) return;
        normalise(id);
        if (in >> flag && flag == "F") failedRows_.insert(id);
        if (row + 1 > rowsDone_[id]) rowsDone_[id] = row + 1;
    } else {
        return;
    }
    lines_[id] += Sealed(record);
}

void TRequestJournal::Append(const std::string& record) {
    AppendDurably(path_, Sealed(record));
    Apply(record);
    ++appended_;
}

void TRequestJournal::Compact(const std::set<std::string>& presentIds) {
    std::string text = Sealed("D " + std::to_string(lastSeq_) + " - -");
    for (const auto& [id, records] : lines_)
        if (presentIds.count(id) != 0) text += records;
    WriteFileDurably(path_, text);
    Load();
}

bool TRequestJournal::CarriedOut(const std::string& id) const { return !id.empty() && carriedOut_.count(id) != 0; }

void TRequestJournal::MarkTaken(const std::string& id, const std::string& name) {
    if (!id.empty()) Append("T " + id + " " + name);
}

void TRequestJournal::MarkConverted(const std::string& id, const std::string& packetId, const std::string& name) {
    if (!id.empty() && !packetId.empty()) Append("C " + id + " " + packetId + " " + name);
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
