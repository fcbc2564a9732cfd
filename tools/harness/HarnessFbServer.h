// A database server of the harness's own for the server runs: Firebird 3 on a
// free port of 127.0.0.1 with its own configuration, security database and lock
// folder below one directory (WireCrypt Required, as a shop's server), the
// engine's shared files linked in. It can be stopped with any signal and
// started again on the same port, with the same databases and users, as a
// shop's server that goes down and comes back.
#pragma once

#include "app/P00_dblogin.h"
#include "tools/harness/HarnessRig.h"

#include <string>

namespace velbrin::harness {

class Session;

class FbServer {
public:
    // root: the server's own directory (made here).
    explicit FbServer(std::string root);
    ~FbServer();
    FbServer(const FbServer&) = delete;
    FbServer& operator=(const FbServer&) = delete;

    // Makes the configuration and starts the server; "" when it runs, else
    // why it cannot (no server package, no engine files, no port).
    std::string Start();
    // Sends sig to the server process and reaps it (SIGKILL after 5 s).
    void Stop(int sig);
    // Starts the stopped server again; "" when it listens.
    std::string Restart();
    bool Running() { return child_.Running(); }
    pid_t Pid() const { return child_.Pid(); }
    // Processor time the server process used so far, in clock ticks (-1 when gone).
    long long CpuTicks() const;

    // The server path of a database file ("127.0.0.1/<port>:<file>").
    std::string Path(const std::string& file) const;
    TDbLogin Admin() const { return {"SYSDBA", "Adm1n-harness"}; }
    // The login each till's link uses on its own database.
    TDbLogin TillLogin() const { return {"KASA_LINK", "Kasa-Lozinka-7"}; }

    // A new database of the server from the empty template, with the till's user
    // made on it by the technician's script; its file path. Raises LinkError.
    std::string NewTillDatabase(const Tools& tools, const std::string& name);
    // Puts a session's installation on a new database of this server: LINK.INI
    // names it (extra: more settings), the settings store holds the till's login.
    void MoveOnto(Session& s, const std::string& name, const std::string& extra = "");

private:
    std::string Launch();

    std::string root_;
    int port_ = 0;
    Child child_;
};

}  // namespace velbrin::harness
