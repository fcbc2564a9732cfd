// The query-to-file step that every export of the link goes through, and the
// article list export built on it. Rows go from the query to the files a batch at
// a time, so that a busy day is never held in memory whole.
#include "store/P30_commonlink.h"

#include "app/P00_durable.h"

#include "app/P00_inilink.h"
#include "app/P00_util.h"
#include "formats/P00_convert.h"
#include "formats/P01_exportwriter.h"

#include <cerrno>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <sstream>
#include <vector>

namespace velbrin {

namespace {

TFieldDef FieldDefOf(const TSqlField& column)
{
    switch (column.kind) {
    case TSqlField::Kind::Integer:
        return TFieldDef::Integer(column.name, column.Precision() <= 4 ? "i2" : column.Precision() <= 9 ? "i4" : "i8");
    case TSqlField::Kind::Fixed:
        return TFieldDef::Fixed(column.name, column.Precision(), -column.scale);
    case TSqlField::Kind::Text:
        return TFieldDef::String(column.name, static_cast<int>(column.length));
    case TSqlField::Kind::Float:
        return TFieldDef::Typed(column.name, "r8");
    case TSqlField::Kind::Date:
        return TFieldDef::Typed(column.name, "dateTime");
    case TSqlField::Kind::Other:
        break;
    }
    throw LinkError("Kolona '" + column.name + "' ima tip koji se ne izvozi (" + std::to_string(column.sqlType) + ")");
}

// The fourth item of "ExtraABCR" asks to keep the data packet of a receipt export
// beside its converted file.
bool KeepReceiptPacket(const std::string& extraAbcr)
{
    std::vector<std::string> items;
    std::stringstream list(extraAbcr);
    for (std::string item; std::getline(list, item, ',');) items.push_back(item);
    return items.size() >= 4 && Trim(items[3]) == "D";
}

}  // namespace

void LayOutPacketFromQuery(TSqlQuery& query, TDataPacket& packet)
{
    packet.Clear();
    for (int c = 0; c < query.FieldCount(); ++c) packet.AddField(FieldDefOf(query.Field(c)));
}

std::size_t FillRowsFromQuery(TSqlQuery& query, TDataPacket& packet, std::size_t maxRows)
{
    packet.ClearRows();
    const std::size_t columns = packet.FieldCount();
    for (; !query.Eof() && packet.RowCount() < maxRows; query.Next()) {
        const std::size_t row = packet.AppendRow();
        for (std::size_t c = 0; c < columns; ++c) {
            if (query.IsNull(static_cast<int>(c)))
                packet.SetAbsent(row, c);
            else
                packet.SetValue(row, c, query.AsString(static_cast<int>(c)));
        }
    }
    return packet.RowCount();
}

void FillPacketFromQuery(TSqlQuery& query, TDataPacket& packet)
{
    LayOutPacketFromQuery(query, packet);
    FillRowsFromQuery(query, packet, std::numeric_limits<std::size_t>::max());
}

namespace {

// One file of an export, written under a hidden name beside its place and renamed
// into place when complete, so that the cash register never takes a file that is
// still growing. A file not put in place is removed.
class PendingFile {
public:
    PendingFile(std::string path, std::unique_ptr<TExportWriter> writer)
        : path_(std::move(path)),
          part_(JoinPath(ExtractFileDir(path_), "." + ExtractFileName(path_) + ".part")),
          writer_(std::move(writer))
    {
    }
    ~PendingFile() { Discard(); }
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    TExportWriter& Writer() { return *writer_; }
    void Begin(const TDataPacket& layout)
    {
        begun_ = true;
        writer_->Begin(part_, layout);
    }
    void Place()
    {
        if (!RenameFile(part_, path_)) throw LinkError("Cannot create file " + path_ + ": " + std::strerror(errno));
        begun_ = false;
        SyncDirectory(ExtractFileDir(path_));
    }
    void Discard()
    {
        writer_.reset();  // closes an unfinished file
        if (begun_) DeleteFileReport(part_);
        begun_ = false;
    }

private:
    std::string path_, part_;
    std::unique_ptr<TExportWriter> writer_;
    bool begun_ = false;
};

}  // namespace

void TFormCommonLink::ExportQueryToFile(const std::string& sql, const std::string& file, const BindFn& bind)
{
    const std::string name = UpperCase(ExtractFileName(file));
    const std::string format = ini_.ExportFormat();
    // "CC" packets are the export themselves; XML needs no conversion.
    const bool convert = name.rfind("CC", 0) != 0 && !SameText(format, "XML");
    const bool keepPacket =
        !convert || (name.rfind("ZR", 0) == 0 && KeepReceiptPacket(ini_.ReadString("Praxolt", "ExtraABCR")));

    // The packet and the converted file are written side by side from the same
    // rows. A conversion that fails stops only the converted file: the packet is
    // completed and left in place.
    PendingFile packet(file, TExportWriter::Packet());
    std::optional<PendingFile> converted;
    if (convert)
        converted.emplace(ChangeFileExt(file, TExportWriter::Extension(format)), convert_.ExportWriter(format));
    std::optional<LinkError> conversionFailure;
    const auto conversionStep = [&](const std::function<void()>& step) {
        if (!converted || conversionFailure) return;
        try {
            step();
        } catch (const LinkError& e) {
            conversionFailure = e;
            converted->Discard();
        }
    };

    CDSOutput.Clear();
    QueryOutput.SetSQL(sql);
    if (bind) bind(QueryOutput);
    QueryOutput.Open();
    try {
        LayOutPacketFromQuery(QueryOutput, CDSOutput);
        packet.Begin(CDSOutput);
        conversionStep([&] { converted->Begin(CDSOutput); });
        while (FillRowsFromQuery(QueryOutput, CDSOutput, kExportBatchRows) > 0) {
            packet.Writer().Write(CDSOutput);
            conversionStep([&] { converted->Writer().Write(CDSOutput); });
        }
    } catch (...) {
        QueryOutput.Close();
        CDSOutput.Clear();
        throw;  // nothing of this export is left
    }
    QueryOutput.Close();
    CDSOutput.Clear();
    packet.Writer().Finish();
    conversionStep([&] {
        converted->Writer().Finish();
        converted->Place();
    });
    if (conversionFailure) {
        packet.Place();
        throw *conversionFailure;
    }
    if (keepPacket)
        packet.Place();
    else
        packet.Discard();  // the converted file is the export
}

void TFormCommonLink::ExportArticles()
{
    ExportQueryToFile("select art_id,tax_id,plu_naziv,cena from arts order by art_id",
                      JoinPath(ini_.FromFpDir(), "Artikli.xml"));
}

}  // namespace velbrin
