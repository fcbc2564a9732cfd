// The export writers fed a batch of rows at a time must write the same bytes as
// the whole-packet writers (and so as the reference files made with them).
#include <gtest/gtest.h>

#include <functional>

#include "FormatsTestData.h"
#include "app/P00_util.h"
#include "formats/P00_convert.h"
#include "formats/P01_dbf.h"
#include "formats/P01_exportwriter.h"
#include "support/TestSupport.h"

using namespace velbrin;
using velbrin::test::Error;
using velbrin::test::ReadDataFile;

namespace {

const DbfDate kDate{2024, 1, 15};

// Feeds the rows of p to writer in batches of batch rows, as the export does.
void Stream(TExportWriter& writer, const std::string& path, const TDataPacket& p,
            std::size_t batch) {
    TDataPacket rows;
    for (const TFieldDef& def : p.Fields()) rows.AddField(def);
    writer.Begin(path, rows);
    for (std::size_t first = 0; first < p.RowCount(); first += batch) {
        rows.ClearRows();
        for (std::size_t r = first; r < std::min(p.RowCount(), first + batch); ++r) {
            const std::size_t row = rows.AppendRow();
            for (std::size_t f = 0; f < p.FieldCount(); ++f)
                rows.SetRawValue(row, f, p.Value(r, f));
        }
        writer.Write(rows);
    }
    writer.Finish();
}

std::string Streamed(const std::string& format, const TDataPacket& p, std::size_t batch) {
    test::TempDir dir;
    const std::string path = dir.File("out");
    auto writer =
        format == "XML" ? TExportWriter::Packet() : TExportWriter::ForFormat(format, kDate);
    Stream(*writer, path, p, batch);
    return ReadWholeFile(path);
}

std::string Whole(const std::string& format, const TDataPacket& p) {
    if (format == "XML") return p.SaveToText();
    TFormConvert convert;
    convert.CDS = p;
    if (format == "CSV") return convert.CsvText();
    if (format == "TXT") return convert.TxtText();
    test::TempDir dir;
    DbfFile(dir.File("whole.dbf"), p, kDate);
    return ReadWholeFile(dir.File("whole.dbf"));
}

// Text of every Windows-1250 character (the five bytes without one are left out),
// with the characters the packet must escape and every control character.
TDataPacket EveryCharacterPacket() {
    TDataPacket p;
    p.AddField(TFieldDef::String("TEKST", 300));
    p.AddField(TFieldDef::Integer("BROJ", "i2"));
    p.AddField(TFieldDef::Integer("VELIKI", "i8"));
    p.AddField(TFieldDef::Typed("DTM", "dateTime"));
    p.AddField(TFieldDef::Fixed("IZNOS", 15, 4, true));
    std::string all;
    for (int c = 1; c < 256; ++c)
        if (c != 0x81 && c != 0x83 && c != 0x88 && c != 0x90 && c != 0x98)
            all.push_back(static_cast<char>(c));
    const char* texts[] = {"&amp; <a href=\"x\">'y'</a> >", "\t tab\r\nnew line\x01\x1f",
                           "\xC8"
                           "a\x9A"
                           "ak \x8E"
                           "uto",
                           ""};
    std::size_t r = p.AppendRow();
    p.SetValue(r, 0, all.substr(0, 250));
    p.SetValue(r, 4, "-123456789.0001");
    r = p.AppendRow();
    p.SetValue(r, 0, all.substr(250));
    for (const char* text : texts) {
        r = p.AppendRow();
        p.SetValue(r, 0, text);
        p.SetValue(r, 1, "-32768");
        p.SetValue(r, 2, "-9000000000");
        p.SetValue(r, 3, "2024-03-01T10:00:00");
        p.SetValue(r, 4, "0.5");
    }
    p.AppendRow();  // a row without any value
    return p;
}

TEST(ExportWriter, BatchesGiveTheBytesOfTheWholePacketWriters) {
    struct Packet {
        const char* name;
        TDataPacket packet;
    };
    TDataPacket oneEmptyField;
    oneEmptyField.AddField(TFieldDef::String("TEKST", 5));
    oneEmptyField.AppendRow();
    oneEmptyField.SetValue(oneEmptyField.AppendRow(), 0, "a b");
    TDataPacket noRows = test::ExportPacket();
    noRows.ClearRows();
    const Packet packets[] = {{"export", test::ExportPacket()},
                              {"three fields", test::ThreeFieldPacket()},
                              {"every character", EveryCharacterPacket()},
                              {"one empty field", oneEmptyField},
                              {"no rows", noRows}};
    for (const Packet& p : packets) {
        for (const char* format : {"XML", "CSV", "TXT", "DBF"}) {
            const std::string whole = Whole(format, p.packet);
            for (std::size_t batch : {1, 2, 1000}) {
                SCOPED_TRACE(std::string(p.name) + " " + format + " batch " +
                             std::to_string(batch));
                EXPECT_EQ(Streamed(format, p.packet, batch), whole);
            }
        }
    }
}

TEST(ExportWriter, StreamedExportMatchesTheReferenceFiles) {
    const TDataPacket p = test::ExportPacket();
    EXPECT_EQ(Streamed("XML", p, 2), ReadDataFile("export_packet.xml"));
    EXPECT_EQ(Streamed("CSV", p, 2), ReadDataFile("export_packet.csv"));
    EXPECT_EQ(Streamed("TXT", p, 2), ReadDataFile("export_packet.txt"));
    // The reference table was written on another day: bytes 1..3 hold the date.
    const std::string dbf = Streamed("DBF", p, 2), reference = ReadDataFile("export_packet.dbf");
    ASSERT_EQ(dbf.size(), reference.size());
    EXPECT_EQ(dbf.substr(4), reference.substr(4));
    EXPECT_EQ(TExportWriter::Extension("csv"), ".csv");
    EXPECT_EQ(TExportWriter::Extension("Txt"), ".txt");
    EXPECT_EQ(TExportWriter::Extension("whatever"), ".dbf");
}

TEST(ExportWriter, TextWithoutAWindows1250CharacterIsRefusedLikeByTheWholePacket) {
    TDataPacket p = test::ThreeFieldPacket();
    p.SetRawValue(1, 0, "bad \x98");
    EXPECT_THROW(p.SaveToText(), LinkError);
    EXPECT_THROW(Streamed("XML", p, 1), LinkError);
}

// Counts closings and fails the n-th write (from 1).
class CountingOutput : public TOutput {
public:
    explicit CountingOutput(int failWrite = 0) : failWrite_(failWrite) {}
    bool Create(const std::string&) override { return true; }
    bool Write(std::string_view) override { return ++writes != failWrite_; }
    bool Seek(std::uint64_t) override { return true; }
    bool SeekEnd() override { return true; }
    bool Close() override {
        ++*closes;
        return true;
    }
    int writes = 0;
    std::shared_ptr<int> closes = std::make_shared<int>(0);

private:
    int failWrite_;
};

TEST(ExportWriter, ValueTooLongForTheTableInALaterBatchNamesItsRecordAndClosesOnce) {
    TDataPacket p = test::ThreeFieldPacket();
    for (int i = 0; i < 3; ++i) {
        const std::size_t r = p.AppendRow();
        p.SetValue(r, 0, "A" + std::to_string(i));
        p.SetValue(r, 2, i == 2 ? "-2000000000" : "1");  // eleven characters for "N" 10
    }
    auto output = std::make_unique<CountingOutput>();
    const std::shared_ptr<int> closes = output->closes;
    auto writer = TExportWriter::ForFormat("DBF", kDate, std::move(output));
    EXPECT_EQ(Error([&] { Stream(*writer, "x.dbf", p, 2); }),
              "DBF Error - value of BON_ID in record 5 is longer than its field!");
    writer.reset();
    EXPECT_EQ(*closes, 1);
}

TEST(ExportWriter, FailedWriteOfATextExportNamesTheFileAndClosesItOnce) {
    for (const char* format : {"XML", "CSV", "TXT"}) {
        SCOPED_TRACE(format);
        auto output = std::make_unique<CountingOutput>(1);
        const std::shared_ptr<int> closes = output->closes;
        auto writer = std::string(format) == "XML"
                          ? TExportWriter::Packet(std::move(output))
                          : TExportWriter::ForFormat(format, kDate, std::move(output));
        const std::string error =
            Error([&] { Stream(*writer, "dir/x.out", test::ThreeFieldPacket(), 1); });
        EXPECT_EQ(error.rfind("Cannot write file dir/x.out: ", 0), 0u) << error;
        writer.reset();
        EXPECT_EQ(*closes, 1);
    }
    test::TempDir dir;
    EXPECT_EQ(Error([&] {
                  TExportWriter::ForFormat("CSV")->Begin(dir.File("no/such/dir.csv"),
                                                         TDataPacket());
              }).rfind("Cannot create file " + dir.File("no/such/dir.csv"), 0),
              0u);
}

}  // namespace
