// What the link has done with each request file, kept on disk so that no start
// and no cycle carries a request out a second time. Request files are known by
// their identity on disk (the cash register reuses names). Records, one a line:
//   T <id> <name>          a receipt file taken into curr_abc
//   D <seq> <id> <name>    a request answered: its answer is number seq of the outbox
//   W <id> <row> <stamp>   row of a command or article file about to be carried out
//   R <id> <row> [F]       that row carried out (F: it failed)
//   C <id> <packet id> <name>  a foreign file converted into the packet beside it:
//                          the packet stands for it from here
//   V 2                    the records after it carry names escaped: every byte
//                          a record cannot hold (blanks, control bytes, '%', '#')
//                          as "%" and two hex digits; names before it are raw
// Each record ends in " #" and the CRC-32 of what stands before it, so that a line
// a power cut left half written or filled with zeros is never taken for a record.
// A torn last line (a stop in the middle of an append) is cut off when the
// journal is read, before anything is appended to it.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace velbrin {

class TRequestJournal {
public:
    explicit TRequestJournal(std::string path);

    // Reads the records on disk; a missing file is an empty journal. A torn last
    // line is cut off the file; records that fail their checksum are skipped
    // and listed in Rejected().
    void Load();
    // Reads the records of a journal's text (Load without the file).
    void LoadText(std::string_view text);
    // Answers whose records compaction keeps after their request files went,
    // so that the same file dropped again is known and answered again.
    static constexpr uint64_t kKeepAnswers = 2000;
    // A name as a record holds it, and back.
    static std::string Escape(std::string_view name);
    static std::string Unescape(std::string_view text);
    // Records of the last Load that failed their checksum (for the link log).
    const std::vector<std::string>& Rejected() const { return rejected_; }
    // Keeps only the records of request files that are still there (by identity)
    // and the highest answer number; rewritten whole, so it stays small.
    void Compact(const std::set<std::string>& presentIds);

    // True when the request file of this identity was taken or answered.
    bool CarriedOut(const std::string& id) const;
    void MarkTaken(const std::string& id, const std::string& name);
    // A foreign file (id) converted into a packet (packetId) that is now carried
    // out in its place: the original counts as carried out from here.
    void MarkConverted(const std::string& id, const std::string& packetId, const std::string& name);
    // The commit point of an answer: from here the request is done.
    void MarkAnswered(uint64_t seq, const std::string& id, const std::string& name);
    bool Answered(uint64_t seq) const { return answeredSeqs_.count(seq) != 0; }
    // The first answer of the request file of this identity: its number and
    // the request's name; seq 0 when none is known.
    struct TAnswerRecord {
        uint64_t seq = 0;
        std::string name;
    };
    TAnswerRecord FirstAnswer(const std::string& id) const;

    // Rows of a command or article file: carried out, or begun and not known to be done.
    int RowsDone(const std::string& id) const;
    void MarkRowBegun(const std::string& id, int row, const std::string& stamp);
    void MarkRowDone(const std::string& id, int row, bool failed = false);
    bool AnyRowFailed(const std::string& id) const { return failedRows_.count(id) != 0; }
    // The stamp of a row begun and not marked done ("" when there is none).
    std::string RowInDoubt(const std::string& id, int row) const;

    uint64_t LastSeq() const { return lastSeq_; }
    // Records appended since the journal was last read or compacted.
    int Appended() const { return appended_; }
    // The request named in the last record when that record is an answer ("" else):
    // an answer written just before a stop is the last thing the journal holds.
    const std::string& LastAnswered() const { return lastAnswered_; }
    const std::string& Path() const { return path_; }

private:
    void Append(const std::string& record);
    void Apply(const std::string& record);
    void Clear();
    // Applies the records of text; the length of its whole lines.
    std::size_t Parse(std::string_view text);

    std::string path_;
    std::set<std::string> carriedOut_;
    std::set<uint64_t> answeredSeqs_;
    std::map<std::string, int> rowsDone_;
    std::set<std::string> failedRows_;
    std::map<std::string, std::pair<int, std::string>> begun_;
    std::map<std::string, std::string> lines_;  // id -> its records, for compaction
    std::map<std::string, TAnswerRecord> firstAnswer_;
    std::map<uint64_t, std::pair<std::string, std::string>> answerRecords_;  // seq -> id, record
    std::map<std::string, std::string> packetOf_;    // id of a converted file -> its packet's
    std::map<std::string, std::pair<std::string, std::string>> conversions_;  // packet id -> id, record
    int version_ = 1;                                // of the records being read
    uint64_t lastSeq_ = 0;
    int appended_ = 0;
    std::string lastAnswered_;
    std::vector<std::string> rejected_;
};

}  // namespace velbrin
