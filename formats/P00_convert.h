// Conversion between the exchange files of the cash register and zvx data
// packets: foreign request files (TXT, CSV, DBF, XML) into packets, and export
// packets into the configured export format (CSV, TXT, DBF).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "formats/P01_datapacket.h"
#include "formats/P01_exportwriter.h"

namespace velbrin {

class TFormConvert {
public:
    // A request file larger than this is refused before it is read.
    static constexpr std::size_t kMaxInputBytes = 64u * 1024 * 1024;

    // Turns the foreign file at path into the packet of the same base name with
    // extension ".zvx" beside it. Raises LinkError with the text for the answer.
    void ConvertInputFile(const std::string& path);
    // The packet text of a foreign request file (path names it in the texts of
    // failures) whose bytes are given; at most maxRecords records. Raises
    // LinkError with the text for the answer.
    std::string ConvertInput(const std::string& path, std::string_view bytes,
                             std::size_t maxRecords = static_cast<std::size_t>(-1));
    // Writes the packet at path as ".csv", ".txt" or ".dbf" beside it; nothing for "XML".
    void ConvertExportFile(const std::string& path, const std::string& format);
    // The writer of the same converted file ("XML" excepted), fed a batch of rows
    // at a time, for exports too large to hold as one packet.
    std::unique_ptr<TExportWriter> ExportWriter(const std::string& format) const;

    // The kind prefix ("ABC_", "ART-", "TXT_", "CMD_") of an upper-cased file name.
    // Raises "Exc-104 pattern imena file-a: " + name when none matches.
    static std::string KindOfName(const std::string& upperName);
    // The empty packet of a kind, as the program carries it.
    static const std::string& EmptyPacket(const std::string& kind);
    // The fields of a kind, against which its request packets are read.
    static const TDataPacket& Layout(const std::string& kind);

    // Steps on CDS: the readers append records to it, the writers walk it.
    void ReadTxtRecords(const std::string& path);
    void ReadCsvRecords(const std::string& path);
    void ReadDbfRecords(const std::string& path);
    void ReadXmlRecords(const std::string& path);
    void ReadTxtText(std::string_view text);
    void ReadCsvText(std::string_view text);
    void ReadDbfBytes(const std::string& path, std::string_view bytes);
    void ReadXmlText(const std::string& path, std::string_view text);
    void WriteCsvFile(const std::string& path) const;
    void WriteTxtFile(const std::string& path) const;
    void WriteDbfFile(const std::string& path) const;
    std::string CsvText() const;
    std::string TxtText() const;

    // The dataset every call loads afresh and leaves empty.
    TDataPacket CDS;

private:
    // Every reader begins and ends each record itself: a record is stored when it
    // ends, dropped when it received no value, refused when it lacks a required one.
    void BeginRecord(std::size_t number);
    void Assign(std::size_t field, std::string_view text, bool trim);
    void EndRecord();
    void ReadCommaLine(std::string_view line, std::size_t number);

    // Refuses a request file with more records than a till ever sends, before
    // they take the link's memory.
    std::size_t maxRecords_ = static_cast<std::size_t>(-1);
    bool gotValue_ = false;
    std::size_t recordNumber_ = 0;
    std::size_t row_ = 0;
};

}  // namespace velbrin
