// Data packets: a clean error, or a packet that saves and loads back unchanged.
#include <cstdlib>

#include "app/P00_util.h"
#include "formats/P01_datapacket.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    velbrin::TDataPacket packet;
    try {
        packet.LoadFromText(std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const velbrin::LinkError&) {
        return 0;
    }
    std::string saved = packet.SaveToText();
    velbrin::TDataPacket again;
    again.LoadFromText(saved);
    if (again.SaveToText() != saved) std::abort();
    return 0;
}
