#include "tools/harness/HarnessExports.h"

#include "app/P00_util.h"
#include "formats/P01_commatext.h"
#include "formats/P01_datapacket.h"
#include "formats/P01_dbf.h"

#include <dirent.h>

#include <map>

namespace velbrin::harness {

namespace {

// Rows of a text export whose lines all end in CR LF and agree on their shape:
// the same number of items (CSV) or the same width (TXT). -1 when they do not.
long long TextRows(const std::string& bytes, bool csv, std::string& why) {
    if (bytes.empty()) return 0;
    if (bytes.size() < 2 || bytes.compare(bytes.size() - 2, 2, "\r\n") != 0) {
        why = "its last line has no line end";
        return -1;
    }
    long long rows = 0;
    std::size_t shape = 0;
    for (std::string_view line : SplitLines(bytes)) {
        const std::size_t s = csv ? SplitCommaText(line).size() : line.size();
        if (line.find('\0') != std::string_view::npos || s == 0 || (rows > 0 && s != shape)) {
            why = "line " + std::to_string(rows + 1) + " differs from the first";
            return -1;
        }
        shape = s;
        ++rows;
    }
    return rows;
}

// Rows of one export file, or -1 with the reason when it is not whole.
long long ExportRows(const std::string& path, const std::string& format, std::string& why) {
    try {
        if (format == "XML") {
            TDataPacket p;
            p.LoadFromFile(path);
            return static_cast<long long>(p.RowCount());
        }
        if (format == "DBF") {
            const std::string bytes = ReadWholeFile(path);
            const DbfFile table(path);
            // The header's record count and record length account for every byte
            // up to the end mark.
            const auto u16 = [&](std::size_t at) {
                return static_cast<unsigned char>(bytes[at]) | static_cast<unsigned char>(bytes[at + 1]) << 8;
            };
            const std::size_t expected = u16(8) + table.RecordCount() * u16(10) + 1;
            if (bytes.size() != expected || bytes.back() != '\x1a') {
                why = std::to_string(bytes.size()) + " bytes, the header accounts for " + std::to_string(expected);
                return -1;
            }
            return static_cast<long long>(table.RecordCount());
        }
        return TextRows(ReadWholeFile(path), format == "CSV", why);
    } catch (const std::exception& e) {
        why = e.what();
        return -1;
    }
}

}  // namespace

ExportBooks CheckDayExports(const std::string& folder, const std::string& terminal, const std::string& format,
                            int daysClosed) {
    ExportBooks books;
    const std::string ext = "." + LowerCase(format);
    // Export number -> the kinds found ("ZA", "ZB", "ZC").
    std::map<long long, std::map<std::string, std::string>> sets;
    if (DIR* d = ::opendir(folder.c_str())) {
        while (dirent* e = ::readdir(d)) {
            const std::string name = e->d_name;
            const std::string upper = UpperCase(name);
            if (upper.size() < 2 + terminal.size() || upper[0] != 'Z' || LowerCase(ExtractFileExt(name)) != ext)
                continue;
            const std::string kind = upper.substr(0, 2);
            long long number = 0;
            if ((kind != "ZA" && kind != "ZB" && kind != "ZC") || upper.compare(2, terminal.size(), terminal) != 0 ||
                !TryStrToInt(ChangeFileExt(upper.substr(2 + terminal.size()), ""), number))
                continue;
            sets[number][kind] = folder + "/" + name;
        }
        ::closedir(d);
    }
    for (const auto& [number, kinds] : sets) {
        bool whole = kinds.size() == 3;
        if (!whole)
            books.faults.push_back("day export " + std::to_string(number) + " has " + std::to_string(kinds.size()) +
                                   " of its 3 files");
        for (const auto& [kind, path] : kinds) {
            ++books.files;
            std::string why;
            const long long rows = ExportRows(path, format, why);
            if (rows < 0 || (kind == "ZC" && rows != 1)) {
                whole = false;
                books.faults.push_back("day export " + ExtractFileName(path) + " is not whole: " +
                                       (rows < 0 ? why : std::to_string(rows) + " day rows"));
            }
        }
        books.sets += whole;
    }
    if (daysClosed > books.sets) {
        books.lost = daysClosed - books.sets;
        books.faults.push_back(std::to_string(daysClosed) + " days closed in the database, " +
                               std::to_string(books.sets) + " whole day exports");
    } else if (books.sets > daysClosed) {
        books.faults.push_back(std::to_string(books.sets) + " whole day exports, only " + std::to_string(daysClosed) +
                               " days closed in the database");
    }
    return books;
}

}  // namespace velbrin::harness
