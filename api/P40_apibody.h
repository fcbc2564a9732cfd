// The JSON bodies of the HTTP interface turned into the packets the exchange
// cycle carries out: each body becomes the comma text of its file kind, which
// goes through the same conversion and the same checks as a CSV request file.
#pragma once

#include <string>

namespace velbrin {

struct TApiPacket {
    std::string kind;    // "ABC_", "TXT_", "CMD_", "ART-"
    std::string op;      // an article request's operation, else empty
    std::string packet;  // the zvx packet text
    bool longWork = false;  // a day closing (or an article replacement that closes the day)
};

class TApiBody {
public:
    // Raises LinkError with the text for the client (the request's own fault).
    static TApiPacket Receipt(const std::string& json);
    static TApiPacket Text(const std::string& json);
    static TApiPacket Commands(const std::string& json);
    static TApiPacket Articles(const std::string& json);
};

}  // namespace velbrin
