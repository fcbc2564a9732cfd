// A Firebird server of the test's own on loopback: its configuration, security
// database and lock folder live in a temporary directory, it listens on a free
// port of 127.0.0.1 and runs as the test's user, and it is stopped by its process
// id when the object goes. Every object is a server of its own, so test programs
// may run theirs side by side.
#pragma once

#include <sys/types.h>

#include <string>

#include "store/P00_connection.h"
#include "support/TestSupport.h"

namespace velbrin::test {

class FirebirdServer {
public:
    // wireCrypt is the server's WireCrypt setting: "Required", "Enabled" or "Disabled".
    explicit FirebirdServer(const std::string& wireCrypt = "Required");
    ~FirebirdServer();
    FirebirdServer(const FirebirdServer&) = delete;
    FirebirdServer& operator=(const FirebirdServer&) = delete;

    // Empty when the server runs, else why it does not (tests skip then).
    const std::string& Failure() const { return failure_; }

    // The server path of a database file ("127.0.0.1/<port>:<file>").
    std::string Path(const std::string& file) const;
    // The server's administrator.
    TDbLogin Admin() const { return {"SYSDBA", "Adm1n-test"}; }

    // Runs the technician's script of db/ that makes the link's user on a database;
    // its exit code, and what it wrote (both streams) in output when given.
    int MakeLinkUser(const std::string& file, const TDbLogin& user,
                     std::string* output = nullptr) const;

    // Runs gfix with the given options on a database of the server as its
    // administrator; its exit code (-1 without gfix), and what it wrote in output.
    int Gfix(const std::string& options, const std::string& file, std::string* output = nullptr) const;
    // Stops the server (by its process id), as a shop's server that goes down;
    // Restart starts it again on the same port, with the same databases and users.
    void Stop();
    std::string Restart();

    // A database file the server may use, copied from the empty template.
    std::string NewDatabase(const std::string& name) const;

private:
    std::string Start(const std::string& wireCrypt);
    std::string Launch();
    std::string Run(const std::string& command, int& code) const;

    TempDir dir_;
    std::string root_;
    int port_ = 0;
    pid_t server_ = 0;
    std::string failure_;
};

}  // namespace velbrin::test
