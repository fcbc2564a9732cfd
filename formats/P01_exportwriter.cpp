#include "formats/P01_exportwriter.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "app/P00_money.h"
#include "app/P00_util.h"
#include "formats/P01_commatext.h"

namespace velbrin {

namespace {

constexpr std::size_t kWriteChunk = 64 * 1024;

// A text export: lines gathered in a buffer that goes to the file whenever it
// holds a chunk, so that memory does not grow with the number of rows.
class TextWriter : public TExportWriter {
public:
    explicit TextWriter(std::unique_ptr<TOutput> output)
        : out_(output ? std::move(output) : TOutput::ToFile()) {}
    ~TextWriter() override {
        if (open_) out_->Close();
    }

    void Begin(const std::string& path, const TDataPacket& layout) override {
        path_ = path;
        buffer_.clear();
        if (!out_->Create(path))
            throw LinkError("Cannot create file " + path + ": " + std::strerror(errno));
        open_ = true;
        Head(layout);
    }
    void Write(const TDataPacket& rows) override {
        for (std::size_t r = 0; r < rows.RowCount(); ++r) {
            Line(rows, r);
            if (buffer_.size() >= kWriteChunk) Flush();
        }
    }
    void Finish() override {
        Tail();
        Flush();
        open_ = false;
        if (!out_->Close())
            throw LinkError("Cannot write file " + path_ + ": " + std::strerror(errno));
    }

protected:
    virtual void Head(const TDataPacket&) {}
    virtual void Line(const TDataPacket& rows, std::size_t row) = 0;
    virtual void Tail() {}

    std::string buffer_;

private:
    void Flush() {
        if (!out_->Write(buffer_)) {
            const std::string cause = std::strerror(errno);
            open_ = false;
            out_->Close();
            throw LinkError("Cannot write file " + path_ + ": " + cause);
        }
        buffer_.clear();
    }

    std::unique_ptr<TOutput> out_;
    bool open_ = false;
    std::string path_;
};

class CsvWriter : public TextWriter {
public:
    using TextWriter::TextWriter;

private:
    void Line(const TDataPacket& rows, std::size_t row) override {
        AppendCsvLine(buffer_, rows, row);
    }
};

class TxtWriter : public TextWriter {
public:
    using TextWriter::TextWriter;

private:
    void Line(const TDataPacket& rows, std::size_t row) override {
        AppendTxtLine(buffer_, rows, row);
    }
};

// The escaping of attribute values in the packets the XML library writes:
// ampersand, less-than, double quote and control characters as references.
void AppendEscaped(std::string& out, std::string_view utf8) {
    for (char c : utf8) {
        const auto code = static_cast<unsigned char>(c);
        if (c == '&') {
            out.append("&amp;");
        } else if (c == '<') {
            out.append("&lt;");
        } else if (c == '"') {
            out.append("&quot;");
        } else if (code < 32) {
            const char reference[] = {'&', '#', static_cast<char>('0' + code / 10),
                                      static_cast<char>('0' + code % 10), ';'};
            out.append(reference, sizeof reference);
        } else {
            out.push_back(c);
        }
    }
}

void AppendAttribute(std::string& out, std::string_view name, std::string_view value) {
    out.push_back(' ');
    out.append(name);
    out.append("=\"");
    AppendEscaped(out, value);
    out.push_back('"');
}

// The data packet as TDataPacket::SaveToText lays it out: the field list, then
// one ROW element per row with an attribute for every value present.
class PacketWriter : public TextWriter {
public:
    using TextWriter::TextWriter;

private:
    void Head(const TDataPacket& layout) override {
        buffer_.append(R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>)"
                       R"(<DATAPACKET Version="2.0"><METADATA><FIELDS>)");
        names_.clear();
        for (const TFieldDef& def : layout.Fields()) {
            names_.push_back(" " + Cp1250ToUtf8(def.name) + "=\"");
            buffer_.append("<FIELD");
            AppendAttribute(buffer_, "attrname", Cp1250ToUtf8(def.name));
            AppendAttribute(buffer_, "fieldtype", def.typeName);
            if (def.required) AppendAttribute(buffer_, "required", "true");
            if (def.kind == TFieldKind::FixedFmt)
                AppendAttribute(buffer_, "DECIMALS", std::to_string(def.decimals));
            if (def.kind == TFieldKind::String || def.width > 0)
                AppendAttribute(buffer_, "WIDTH", std::to_string(def.width));
            buffer_.append("/>");
        }
        buffer_.append(R"(</FIELDS><PARAMS LCID="0"/></METADATA>)");
        rows_ = 0;
    }
    void Line(const TDataPacket& rows, std::size_t row) override {
        if (rows_++ == 0) buffer_.append("<ROWDATA>");
        buffer_.append("<ROW");
        for (std::size_t f = 0; f < names_.size(); ++f) {
            if (!rows.HasValue(row, f)) continue;
            const std::string& value = rows.Value(row, f);
            buffer_.append(names_[f]);
            const bool ascii = std::all_of(value.begin(), value.end(), [](char c) {
                return static_cast<unsigned char>(c) < 0x80;
            });
            AppendEscaped(buffer_, ascii ? value : Cp1250ToUtf8(value));
            buffer_.push_back('"');
        }
        buffer_.append("/>");
    }
    void Tail() override {
        buffer_.append(rows_ > 0 ? "</ROWDATA></DATAPACKET>" : "<ROWDATA/></DATAPACKET>");
    }

    std::vector<std::string> names_;  // ' NAME="' of every field
    std::size_t rows_ = 0;
};

class DbfExportWriter : public TExportWriter {
public:
    DbfExportWriter(const DbfDate& date, std::unique_ptr<TOutput> output)
        : date_(date), output_(std::move(output)) {}

    void Begin(const std::string& path, const TDataPacket& layout) override {
        writer_ = std::make_unique<DbfWriter>(path, layout, date_, output_.get());
    }
    void Write(const TDataPacket& rows) override { writer_->Append(rows); }
    void Finish() override { writer_->Finish(); }

private:
    DbfDate date_;
    std::unique_ptr<TOutput> output_;
    std::unique_ptr<DbfWriter> writer_;
};

}  // namespace

std::unique_ptr<TExportWriter> TExportWriter::Packet(std::unique_ptr<TOutput> output) {
    return std::make_unique<PacketWriter>(std::move(output));
}

std::unique_ptr<TExportWriter> TExportWriter::ForFormat(const std::string& format,
                                                        const DbfDate& date,
                                                        std::unique_ptr<TOutput> output) {
    const std::string upper = UpperCase(format);
    if (upper == "CSV") return std::make_unique<CsvWriter>(std::move(output));
    if (upper == "TXT") return std::make_unique<TxtWriter>(std::move(output));
    return std::make_unique<DbfExportWriter>(date, std::move(output));
}

std::string TExportWriter::Extension(const std::string& format) {
    const std::string upper = UpperCase(format);
    if (upper == "CSV") return ".csv";
    if (upper == "TXT") return ".txt";
    return ".dbf";
}

void AppendCsvLine(std::string& out, const TDataPacket& p, std::size_t row) {
    const std::size_t start = out.size();
    for (std::size_t f = 0; f < p.FieldCount(); ++f) {
        if (f > 0) out.push_back(',');
        AppendCommaItem(out, p.Value(row, f));
    }
    if (p.FieldCount() == 1 && out.size() == start) out.append("\"\"");
    out.append("\r\n");
}

void AppendTxtLine(std::string& out, const TDataPacket& p, std::size_t row) {
    char buffer[128];
    for (std::size_t f = 0; f < p.FieldCount(); ++f) {
        const TFieldDef& def = p.Field(f);
        const std::string& value = p.Value(row, f);
        if (def.IsShortInteger()) {
            long long v = value.empty() ? 0 : StrToInt(value);
            std::snprintf(buffer, sizeof buffer, "%10lld", v);
            out.append(buffer);
        } else if (def.kind == TFieldKind::FixedFmt) {
            double v = value.empty() ? 0.0 : Money::Parse(value).ToDouble();
            std::snprintf(buffer, sizeof buffer, "%*.*f", def.width, def.decimals, v);
            out.append(buffer);
        } else {
            // "%-S.Ss": left-aligned, padded and cut to the declared size.
            std::size_t size = static_cast<std::size_t>(def.width);
            out.append(value, 0, std::min(size, value.size()));
            if (value.size() < size) out.append(size - value.size(), ' ');
        }
    }
    out.append("\r\n");
}

}  // namespace velbrin
