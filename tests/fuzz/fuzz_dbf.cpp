// DBF tables from memory: a clean error or records that can all be cut into fields.
#include "app/P00_util.h"
#include "formats/P01_dbf.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    velbrin::DbfMemoryInput input(std::string_view(reinterpret_cast<const char*>(data), size));
    try {
        velbrin::DbfFile table("fuzz.dbf", &input);
        for (std::size_t i = 0; i < table.RecordCount() && i < 10000; ++i) table.Record(i);
    } catch (const velbrin::LinkError&) {
    }
    return 0;
}
