// The request journal's reader: any text read gives records or rejected lines,
// never a crash; and any bytes as a name come back the same through a record.
#include "exchange/P30_requestjournal.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    velbrin::TRequestJournal journal("");
    journal.LoadText(text);
    (void)journal.LastAnswered();
    const std::string escaped = velbrin::TRequestJournal::Escape(text);
    for (unsigned char c : escaped)
        if (c <= ' ' || c == 0x7F || c == '#') std::abort();  // one word of one line
    if (velbrin::TRequestJournal::Unescape(escaped) != text) std::abort();
    return 0;
}
