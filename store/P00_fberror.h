// Turning the client library's failures into LinkError texts. Internal to store/.
#pragma once

#include "app/P00_util.h"

#include <firebird/Interface.h>

#include <string>

namespace velbrin {
class TSqlConnection;
}  // namespace velbrin

namespace velbrin::fb {

// The database's own message for a failed call, lines joined with "\n".
std::string ErrorText(Firebird::IUtil* util, const Firebird::FbException& error);

// True when a failure means that the attachment or its server is gone (the line
// broke, the server or database was shut down), not that the call itself failed.
bool MeansLostConnection(Firebird::IStatus* status);
// The text of a failed call on the connection; marks the connection lost when
// the failure says it is.
std::string Failure(TSqlConnection& connection, const Firebird::FbException& error);
// Raises a failure: TDbLostError while the connection is lost, else LinkError.
[[noreturn]] void Raise(const TSqlConnection& connection, const std::string& text);
[[noreturn]] void Raise(TSqlConnection& connection, const Firebird::FbException& error);

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
