// Export files written a batch of rows at a time: the data packet and its CSV,
// TXT and DBF conversions. The bytes are those of the whole-packet writers
// (TDataPacket::SaveToText, TFormConvert's writers, DbfFile), so an export of any
// size needs only one batch of rows in memory.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "formats/P01_datapacket.h"
#include "formats/P01_dbf.h"

namespace velbrin {

class TExportWriter {
public:
    virtual ~TExportWriter() = default;  // closes an unfinished file and leaves it
    // Creates the file named path for rows with the fields of layout.
    virtual void Begin(const std::string& path, const TDataPacket& layout) = 0;
    // Writes every row of rows, which has the fields of the layout.
    virtual void Write(const TDataPacket& rows) = 0;
    // Completes and closes the file.
    virtual void Finish() = 0;

    // The UTF-8 data packet.
    static std::unique_ptr<TExportWriter> Packet(std::unique_ptr<TOutput> output = nullptr);
    // The converted file of an export format: "CSV", "TXT", any other word DBF.
    static std::unique_ptr<TExportWriter> ForFormat(const std::string& format,
                                                    const DbfDate& date = DbfDate::Today(),
                                                    std::unique_ptr<TOutput> output = nullptr);
    // The extension of that converted file: ".csv", ".txt" or ".dbf".
    static std::string Extension(const std::string& format);
};

// One CR LF-ended line of the CSV or TXT export for a row of p.
void AppendCsvLine(std::string& out, const TDataPacket& p, std::size_t row);
void AppendTxtLine(std::string& out, const TDataPacket& p, std::size_t row);

}  // namespace velbrin
