// Turning the client library's failures into LinkError texts. Internal to store/.
#pragma once

#include "app/P00_util.h"

#include <firebird/Interface.h>

#include <string>

namespace velbrin::fb {

// The database's own message for a failed call, lines joined with "\n".
std::string ErrorText(Firebird::IUtil* util, const Firebird::FbException& error);

// A status object that raises FbException and gives itself back at scope end.
class Status {
public:
    explicit Status(Firebird::IMaster* master) : wrapper_(master->getStatus()) {}
    ~Status() { wrapper_.dispose(); }
    Status(const Status&) = delete;
    Status& operator=(const Status&) = delete;
    Firebird::ThrowStatusWrapper* Ptr() { return &wrapper_; }

private:
    Firebird::ThrowStatusWrapper wrapper_;
};

}  // namespace velbrin::fb
