// Comma-text lines: reading never fails, and writing what was read reads back the same.
#include <cstdlib>

#include "formats/P01_commatext.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    for (std::string_view line : velbrin::SplitLines(text)) {
        std::vector<std::string> items = velbrin::SplitCommaText(line);
        if (velbrin::SplitCommaText(velbrin::JoinCommaText(items)) != items) std::abort();
    }
    return 0;
}
