// dBase III tables (no memo file): the writer turns a data packet, whole or batch
// by batch, into a table; the reader hands each stored record on as one comma-text line.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "formats/P01_datapacket.h"
#include "formats/P01_output.h"

namespace velbrin {

// The date written into byte 1..3 of the header; tests fix it.
struct DbfDate {
    int year = 1900, month = 1, day = 1;
    static DbfDate Today();
};

// The writer's bytes go to a TOutput; tests put a failing one in its place.
using DbfOutput = TOutput;

// Where the reader's bytes come from: a file, or memory for the fuzz target.
class DbfInput {
public:
    virtual ~DbfInput() = default;
    virtual bool Open(const std::string& name) = 0;
    virtual std::uint64_t Size() const = 0;
    virtual bool Read(char* buffer, std::size_t count) = 0;  // exactly count bytes or false
    virtual bool Seek(std::uint64_t offset) = 0;
    virtual bool Close() = 0;
};

class DbfMemoryInput : public DbfInput {
public:
    explicit DbfMemoryInput(std::string_view bytes) : bytes_(bytes) {}
    bool Open(const std::string&) override { return true; }
    std::uint64_t Size() const override { return bytes_.size(); }
    bool Read(char* buffer, std::size_t count) override;
    bool Seek(std::uint64_t offset) override;
    bool Close() override { return true; }

private:
    std::string_view bytes_;
    std::size_t pos_ = 0;
};

class DbfFile {
public:
    static constexpr std::size_t kMaxFields = 100;
    static constexpr std::size_t kMaxNameLength = 10;
    // A table larger than this is refused before its records are read.
    static constexpr std::uint64_t kMaxRecordBytes = 256u * 1024 * 1024;

    struct Descriptor {
        std::string name;
        char type = 'C';
        std::uint8_t low = 0;   // byte 16: width, or low byte of a "C" width
        std::uint8_t high = 0;  // byte 17: decimals, or high byte of a "C" width
        // "N" fields take byte 16; every other letter the 16-bit value.
        std::size_t Width() const { return type == 'N' ? low : low | (high << 8); }
    };

    // Writes the whole packet as a table named name and closes it. Refuses, before
    // creating anything, more than 100 fields, a name over 10 characters, a width
    // the header cannot hold, or a value longer than its field.
    DbfFile(const std::string& name, const TDataPacket& data,
            const DbfDate& date = DbfDate::Today(), DbfOutput* output = nullptr);
    // Reads the whole table named name and closes it.
    explicit DbfFile(const std::string& name, DbfInput* input = nullptr);

    std::size_t RecordCount() const { return recordCount_; }
    // Record i (0-based) as one comma-text line of its trimmed field texts.
    std::string Record(std::size_t index) const;
    const std::vector<Descriptor>& Descriptors() const { return descriptors_; }

    // The descriptor the writer chooses for a packet field.
    static Descriptor DescriptorFor(const TFieldDef& def);
    // The descriptors of a packet's fields, or LinkError for a layout the table
    // cannot hold (too many fields, a long name, a record or field too wide).
    static std::vector<Descriptor> Layout(const TDataPacket& layout);

private:
    void Read(const std::string& name, DbfInput& in);

    std::vector<Descriptor> descriptors_;
    std::size_t recordCount_ = 0;
    std::size_t recordLength_ = 0;
    std::string records_;  // the stored records as read, cut into fields on demand
};

// Writes a table batch by batch, so that a large export is never held at once;
// the header gets its record count when the table is finished.
class DbfWriter {
public:
    // Refuses a layout the table cannot hold before creating anything, then
    // creates the table and writes its header and field descriptors.
    DbfWriter(const std::string& name, const TDataPacket& layout, const DbfDate& date,
              DbfOutput* output = nullptr);
    ~DbfWriter();  // closes a table that was not finished
    DbfWriter(const DbfWriter&) = delete;
    DbfWriter& operator=(const DbfWriter&) = delete;

    // Appends every row of rows (fields as in the layout). A value longer than its
    // field closes the table and raises, naming the record counted from the first batch.
    void Append(const TDataPacket& rows);
    // Writes what is left, the record count and the end mark, and closes the table.
    void Finish();

    std::size_t RecordCount() const { return records_; }
    const std::vector<DbfFile::Descriptor>& Descriptors() const { return descriptors_; }
    std::size_t RecordLength() const { return recordLength_; }

private:
    // Closes the table, then raises text (with the closing failure added).
    [[noreturn]] void Fail(const std::string& text);

    std::unique_ptr<DbfOutput> file_;
    DbfOutput& out_;
    bool open_ = false;
    std::vector<DbfFile::Descriptor> descriptors_;
    std::vector<bool> stored_;  // per field: whether its values go into the records
    std::size_t recordLength_ = 1;
    std::string header_;
    std::string chunk_;  // whole records not yet written
    std::size_t records_ = 0;
};

}  // namespace velbrin
