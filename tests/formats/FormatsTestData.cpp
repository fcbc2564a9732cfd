#include "FormatsTestData.h"

#include "app/P00_util.h"

namespace velbrin::test {

std::string DataFile(const std::string& name) {
    return std::string(VELBRIN_TEST_DATA) + "/" + name;
}

std::string ReadDataFile(const std::string& name) {
    return ReadWholeFile(DataFile(name));
}

TDataPacket ThreeFieldPacket() {
    TDataPacket p;
    p.AddField(TFieldDef::String("ART_ID", 20));
    p.AddField(TFieldDef::Fixed("KOLICINA", 10, 3));
    p.AddField(TFieldDef::Integer("BON_ID", "i4"));
    std::size_t r = p.AppendRow();
    p.SetValue(r, "ART_ID", "1001");
    p.SetValue(r, "KOLICINA", "12.5");
    p.SetValue(r, "BON_ID", "7");
    r = p.AppendRow();
    p.SetValue(r, "ART_ID",
               "\x8A"
               "argarepa \"A\"");  // Windows-1250 letter and quotes
    p.SetValue(r, "BON_ID", "-42");
    return p;
}

TDataPacket ExportPacket() {
    TDataPacket p;
    p.AddField(TFieldDef::String("ZET_ID", 6));
    p.AddField(TFieldDef::Integer("BON_ID", "i4"));
    p.AddField(TFieldDef::Integer("SEQ", "i2"));
    p.AddField(TFieldDef::String("PLU_NAZIV", 28));
    p.AddField(TFieldDef::Fixed("CENA", 18, 4));
    p.AddField(TFieldDef::Fixed("IZNOS", 10, 2));
    p.AddField(TFieldDef::String("NAPOMENA", 300));
    struct Row {
        const char *zet, *bon, *seq, *naziv, *cena, *iznos, *napomena;
    };
    const Row rows[] = {
        {"000012", "1", "1", "Sok Jabuka 1L", "120.5", "241", "kasa, 1"},
        {"000012", "1", "2",
         "\x8A"
         "argarepa \"B\"",
         "45", "-45", ""},
        {"000012", "2", "", "", "0.0001", "", "quote\"d"},
    };
    for (const Row& row : rows) {
        std::size_t r = p.AppendRow();
        const char* values[] = {row.zet,  row.bon,   row.seq,     row.naziv,
                                row.cena, row.iznos, row.napomena};
        for (std::size_t f = 0; f < p.FieldCount(); ++f) p.SetValue(r, f, values[f]);
    }
    return p;
}

}  // namespace velbrin::test
