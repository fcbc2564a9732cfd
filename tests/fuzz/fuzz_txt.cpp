// TXT and CSV request files of every kind: a clean error or a packet that saves.
#include "app/P00_util.h"
#include "formats/P00_convert.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    if (size == 0) return 0;
    static const char* const kinds[] = {"ABC_", "TXT_", "CMD_"};
    std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    velbrin::TFormConvert convert;
    convert.CDS.LoadFromText(velbrin::TFormConvert::EmptyPacket(kinds[data[0] % 3]));
    try {
        if (data[0] & 0x80)
            convert.ReadCsvText(text);
        else
            convert.ReadTxtText(text);
        convert.CDS.SaveToText();
    } catch (const velbrin::LinkError&) {
    }
    return 0;
}
