// One request as the exchange cycle takes it in: the file's name, what it is on
// disk and the bytes read from it once, or why it is refused unread.
#pragma once

#include "app/P00_safedir.h"

#include <string>

namespace velbrin {

struct TRequest {
    std::string fileName;  // as found in ToFpDir
    std::string kind;      // "ABC_", "ART-", "TXT_", "CMD_"
    TFileFacts facts;      // of the open file
    std::string bytes;     // the whole file, read once
    // Its identity on disk (with its bytes when they were read), and the one it
    // has unread (a file refused unread, and later readable, is still known).
    std::string id, unreadId;
    // Set: the request is answered ".err" with this text and not carried out.
    std::string refusal;
    // The name its answer goes under: its own, unless that cannot be made.
    std::string answerName;
    bool plain = true;  // false: a link, a pipe, a socket or a device
};

}  // namespace velbrin
