// The query-to-file step that every export of the link goes through, and the
// article list export built on it.
#include "store/P30_commonlink.h"

#include "app/P00_inilink.h"
#include "app/P00_util.h"
#include "formats/P00_convert.h"

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

void FillPacketFromQuery(TSqlQuery& query, TDataPacket& packet)
{
    packet.Clear();
    const int columns = query.FieldCount();
    for (int c = 0; c < columns; ++c) packet.AddField(FieldDefOf(query.Field(c)));
    for (; !query.Eof(); query.Next()) {
        const std::size_t row = packet.AppendRow();
        for (int c = 0; c < columns; ++c) {
            const auto field = static_cast<std::size_t>(c);
            if (query.IsNull(c))
                packet.SetAbsent(row, field);
            else
                packet.SetValue(row, field, query.AsString(c));
        }
    }
}

void TFormCommonLink::ExportQueryToFile(const std::string& sql, const std::string& file, const BindFn& bind)
{
    CDSOutput.Clear();
    QueryOutput.SetSQL(sql);
    if (bind) bind(QueryOutput);
    QueryOutput.Open();
    try {
        FillPacketFromQuery(QueryOutput, CDSOutput);
    } catch (...) {
        QueryOutput.Close();
        CDSOutput.Clear();
        throw;
    }
    QueryOutput.Close();
    CDSOutput.SaveToFile(file);
    CDSOutput.Clear();  // the rows are on disk; the conversion reads them from there

    const std::string name = UpperCase(ExtractFileName(file));
    if (name.rfind("CC", 0) == 0) return;  // such packets are the export themselves
    const std::string format = ini_.ExportFormat();
    if (SameText(format, "XML")) return;
    convert_.ConvertExportFile(file, format);
    if (name.rfind("ZR", 0) == 0 && KeepReceiptPacket(ini_.ReadString("Praxolt", "ExtraABCR"))) return;
    DeleteFileReport(file);  // a packet left behind does not spoil the converted export
}

void TFormCommonLink::ExportArticles()
{
    ExportQueryToFile("select art_id,tax_id,plu_naziv,cena from arts order by art_id",
                      JoinPath(ini_.FromFpDir(), "Artikli.xml"));
}

}  // namespace velbrin
