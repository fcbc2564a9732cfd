#include "formats/P01_dbf.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "app/P00_datetime.h"
#include "app/P00_util.h"
#include "formats/P01_commatext.h"

namespace velbrin {

namespace {

constexpr std::size_t kHeaderSize = 32;
constexpr std::size_t kDescriptorSize = 32;
constexpr std::size_t kWriteChunk = 64 * 1024;
const char* const kCloseSuffix = " i Greska prilikom zatvaranja file-a!";

void PutU16(std::string& b, std::size_t at, std::uint32_t v) {
    b[at] = static_cast<char>(v & 0xFF);
    b[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}

void PutU32(std::string& b, std::size_t at, std::uint32_t v) {
    PutU16(b, at, v & 0xFFFF);
    PutU16(b, at + 2, v >> 16);
}

std::uint32_t GetU16(const char* b) {
    return static_cast<unsigned char>(b[0]) | (static_cast<unsigned char>(b[1]) << 8);
}

std::uint32_t GetU32(const char* b) {
    return GetU16(b) | (GetU16(b + 2) << 16);
}

class FileInput : public DbfInput {
public:
    ~FileInput() override {
        if (fd_ >= 0) ::close(fd_);
    }
    bool Open(const std::string& name) override {
        fd_ = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st {};
        if (fd_ < 0 || ::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return false;
        size_ = static_cast<std::uint64_t>(st.st_size);
        return true;
    }
    std::uint64_t Size() const override { return size_; }
    bool Read(char* buffer, std::size_t count) override {
        while (count > 0) {
            ssize_t n = ::read(fd_, buffer, count);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            buffer += n;
            count -= static_cast<std::size_t>(n);
        }
        return true;
    }
    bool Seek(std::uint64_t offset) override {
        return ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) >= 0;
    }
    bool Close() override {
        int fd = fd_;
        fd_ = -1;
        return fd >= 0 && ::close(fd) == 0;
    }

private:
    int fd_ = -1;
    std::uint64_t size_ = 0;
};

// Raises text after closing the open file; a failed close is added to the text.
template <class Stream>
[[noreturn]] void FailOpen(Stream& stream, std::string text) {
    if (!stream.Close()) text += kCloseSuffix;
    throw LinkError(text);
}

}  // namespace

DbfDate DbfDate::Today() {
    DateTime now = DateTime::Now();
    return DbfDate{now.year, now.month, now.day};
}

bool DbfMemoryInput::Read(char* buffer, std::size_t count) {
    if (count > bytes_.size() - pos_) return false;
    std::memcpy(buffer, bytes_.data() + pos_, count);
    pos_ += count;
    return true;
}

bool DbfMemoryInput::Seek(std::uint64_t offset) {
    if (offset > bytes_.size()) return false;
    pos_ = static_cast<std::size_t>(offset);
    return true;
}

// --- writing --------------------------------------------------------------------

DbfFile::Descriptor DbfFile::DescriptorFor(const TFieldDef& def) {
    Descriptor d;
    d.name = def.name;
    if (def.IsShortInteger()) {
        d.type = 'N';
        d.low = 10;
    } else if (def.kind == TFieldKind::FixedFmt) {
        if (def.width > 255 || def.decimals > 255)
            throw LinkError("DBF Error - field " + def.name + " is too wide!");
        d.type = 'N';
        d.low = static_cast<std::uint8_t>(def.width);
        d.high = static_cast<std::uint8_t>(def.decimals);
    } else {
        if (def.width > 0xFFFF) throw LinkError("DBF Error - field " + def.name + " is too wide!");
        d.type = 'C';
        d.low = static_cast<std::uint8_t>(def.width & 0xFF);
        d.high = static_cast<std::uint8_t>(def.width >> 8);
    }
    return d;
}

namespace {

// Types without a declared size (date-time, floating point, 64-bit integers)
// become zero-width fields: their values are not stored, as in the TXT export.
std::vector<bool> StoredFields(const TDataPacket& layout) {
    std::vector<bool> stored;
    for (const TFieldDef& def : layout.Fields())
        stored.push_back(def.kind == TFieldKind::String || DbfFile::DescriptorFor(def).Width() > 0);
    return stored;
}

// Raises the error for the first stored value of rows longer than its field;
// first is the record number of the first row.
void CheckValues(const TDataPacket& rows, const std::vector<DbfFile::Descriptor>& descriptors,
                 const std::vector<bool>& stored, std::size_t first) {
    for (std::size_t r = 0; r < rows.RowCount(); ++r)
        for (std::size_t f = 0; f < descriptors.size(); ++f)
            if (stored[f] && rows.Value(r, f).size() > descriptors[f].Width())
                throw LinkError("DBF Error - value of " + descriptors[f].name + " in record " +
                                std::to_string(first + r) + " is longer than its field!");
}

}  // namespace

std::vector<DbfFile::Descriptor> DbfFile::Layout(const TDataPacket& layout) {
    if (layout.FieldCount() > kMaxFields) throw LinkError("DBF Error - more than 100 fields!");
    std::vector<Descriptor> descriptors;
    std::size_t recordLength = 1;
    for (const TFieldDef& def : layout.Fields()) {
        if (def.name.size() > kMaxNameLength)
            throw LinkError("DBF Error - field name " + def.name +
                            " is longer than 10 characters!");
        descriptors.push_back(DescriptorFor(def));
        recordLength += descriptors.back().Width();
    }
    if (recordLength > 0xFFFF) throw LinkError("DBF Error - record longer than 65535 bytes!");
    return descriptors;
}

DbfFile::DbfFile(const std::string& name, const TDataPacket& data, const DbfDate& date,
                 DbfOutput* output) {
    // Everything the table cannot hold is refused before the file is created.
    CheckValues(data, Layout(data), StoredFields(data), 1);
    DbfWriter writer(name, data, date, output);
    writer.Append(data);
    writer.Finish();
    descriptors_ = writer.Descriptors();
    recordCount_ = writer.RecordCount();
    recordLength_ = writer.RecordLength();
}

DbfWriter::DbfWriter(const std::string& name, const TDataPacket& layout, const DbfDate& date,
                     DbfOutput* output)
    : file_(output ? nullptr : TOutput::ToFile()),
      out_(output ? *output : *file_),
      descriptors_(DbfFile::Layout(layout)),
      stored_(StoredFields(layout)) {
    for (const DbfFile::Descriptor& d : descriptors_) recordLength_ += d.Width();
    const std::size_t headerLength = kDescriptorSize * descriptors_.size() + 33;
    header_.assign(kHeaderSize, '\0');
    header_[0] = 3;
    header_[1] = static_cast<char>(date.year - 1900);
    header_[2] = static_cast<char>(date.month);
    header_[3] = static_cast<char>(date.day);
    PutU16(header_, 8, static_cast<std::uint32_t>(headerLength));
    PutU16(header_, 10, static_cast<std::uint32_t>(recordLength_));

    if (!out_.Create(name)) throw LinkError("DBF Error - create file!");
    open_ = true;
    if (!out_.Write(header_)) Fail("DBF Error - fixed header!");
    for (const DbfFile::Descriptor& d : descriptors_) {
        std::string bytes(kDescriptorSize, '\0');
        std::memcpy(bytes.data(), d.name.data(), d.name.size());
        bytes[11] = d.type;
        bytes[16] = static_cast<char>(d.low);
        bytes[17] = static_cast<char>(d.high);
        if (!out_.Write(bytes)) Fail("DBF Error - FieldRec");
    }
    if (!out_.Write("\x0D")) Fail("DBF Error - 0x0D");
    chunk_.reserve(kWriteChunk + recordLength_);
}

DbfWriter::~DbfWriter() {
    if (open_) out_.Close();
}

void DbfWriter::Fail(const std::string& text) {
    open_ = false;
    FailOpen(out_, text);
}

void DbfWriter::Append(const TDataPacket& rows) {
    try {
        CheckValues(rows, descriptors_, stored_, records_ + 1);
    } catch (const LinkError& e) {
        Fail(e.Text());
    }
    // Records go out in chunks of whole records; a chunk that cannot be written
    // in full is a record that cannot be written.
    for (std::size_t r = 0; r < rows.RowCount(); ++r) {
        chunk_.push_back(' ');
        for (std::size_t f = 0; f < descriptors_.size(); ++f) {
            if (!stored_[f]) continue;
            const std::string& value = rows.Value(r, f);
            chunk_.append(value);
            chunk_.append(descriptors_[f].Width() - value.size(), ' ');
        }
        if (chunk_.size() >= kWriteChunk) {
            if (!out_.Write(chunk_)) Fail("DBF Error - insert!");
            chunk_.clear();
        }
    }
    records_ += rows.RowCount();
}

void DbfWriter::Finish() {
    if (!chunk_.empty() && !out_.Write(chunk_)) Fail("DBF Error - insert!");
    chunk_.clear();
    PutU32(header_, 4, static_cast<std::uint32_t>(records_));
    if (!out_.Seek(0) || !out_.Write(header_) || !out_.SeekEnd()) Fail("DBF Error - fixed header!");
    if (!out_.Write("\x1A")) Fail("DBF Error - 0x1A");
    open_ = false;
    if (!out_.Close()) throw LinkError("DBF Error - close file!");
}

// --- reading --------------------------------------------------------------------

DbfFile::DbfFile(const std::string& name, DbfInput* input) {
    FileInput file;
    Read(name, input ? *input : file);
}

void DbfFile::Read(const std::string& name, DbfInput& in) {
    if (!in.Open(name)) {
        in.Close();
        throw LinkError("DBF Error - open file!");
    }
    const std::uint64_t size = in.Size();
    char header[kHeaderSize];
    if (!in.Read(header, kHeaderSize)) FailOpen(in, "DBF Error - read file!");
    const std::uint64_t count = GetU32(header + 4);
    const std::uint64_t headerLength = GetU16(header + 8);
    const std::uint64_t recordLength = GetU16(header + 10);
    const std::size_t fields = headerLength > 33 ? (headerLength - 33) / kDescriptorSize : 0;
    if (fields > kMaxFields) FailOpen(in, "DBF Error - more than 100 fields!");

    // Every size the header claims is checked against the file before anything
    // is allocated for it.
    if (kHeaderSize + fields * kDescriptorSize > size) FailOpen(in, "DBF Error - read file!");
    for (std::size_t i = 0; i < fields; ++i) {
        char d[kDescriptorSize];
        if (!in.Read(d, kDescriptorSize)) FailOpen(in, "DBF Error - read file!");
        Descriptor desc;
        desc.name.assign(d, strnlen(d, 11));
        desc.type = d[11];
        desc.low = static_cast<std::uint8_t>(d[16]);
        desc.high = static_cast<std::uint8_t>(d[17]);
        descriptors_.push_back(desc);
    }
    const std::uint64_t recordBytes = count * recordLength;
    if (headerLength > size || recordBytes > size - headerLength ||
        (count > 0 && recordLength == 0))
        FailOpen(in, "DBF Error - read file!");
    if (recordBytes > kMaxRecordBytes) FailOpen(in, "DBF Error - file too large!");
    records_.resize(static_cast<std::size_t>(recordBytes));
    if (!in.Seek(headerLength) || !in.Read(records_.data(), records_.size()))
        FailOpen(in, "DBF Error - read file!");
    recordCount_ = static_cast<std::size_t>(count);
    recordLength_ = static_cast<std::size_t>(recordLength);
    if (!in.Close()) throw LinkError("DBF Error - close file!");
}

std::string DbfFile::Record(std::size_t index) const {
    if (index >= recordCount_ || records_.size() < (index + 1) * recordLength_)
        throw LinkError("DBF record " + std::to_string(index) + " does not exist");
    std::string_view text(records_.data() + index * recordLength_, recordLength_);
    std::size_t nul = text.find('\0');
    if (nul != std::string_view::npos) text = text.substr(0, nul);
    // The first byte is the deletion flag; deleted records are read like any other.
    std::size_t pos = 1;
    std::string line;
    for (std::size_t f = 0; f < descriptors_.size(); ++f) {
        std::string_view value;
        if (pos < text.size()) value = text.substr(pos, descriptors_[f].Width());
        pos += descriptors_[f].Width();
        if (f > 0) line.push_back(',');
        AppendCommaItem(line, TrimControl(value));
    }
    if (descriptors_.size() == 1 && line.empty()) line = "\"\"";
    return line;
}

}  // namespace velbrin
