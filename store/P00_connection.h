// The link's one database connection. TFormConnection is created once at
// start-up and shared by every query of the program.
#pragma once

#include "app/P00_dblogin.h"
#include "app/P00_util.h"

#include <cstdint>
#include <functional>
#include <string>

namespace Firebird {
class IMaster;
class IProvider;
class IAttachment;
class ITransaction;
class IUtil;
}  // namespace Firebird

namespace velbrin {

// The attachment or its server went away under the link: the line to the server
// broke, or the server or the database was shut down. Not the failure of the
// statement at hand, which may well succeed once the connection is attached
// again; the connection stays marked lost until Reattach succeeds.
class TDbLostError : public LinkError {
public:
    using LinkError::LinkError;
};

// How an attach to a server waits for it. A server that does not answer within
// timeoutSeconds (the connection and its log-in) fails the attach; meanwhile
// keepWaiting is asked every tenth of a second, and false gives up at once (a
// stop request). A file opened by the embedded engine does not wait on anyone.
struct TDbAttachWait {
    int timeoutSeconds = 5;
    std::function<bool()> keepWaiting;
};

// An attachment to a Firebird database through the client library, character set
// WIN1250 and SQL dialect 3. A file path opens it with the embedded engine inside
// this process, as SYSDBA with the program's password, and with no way out to a
// server. A server path logs in with the given login over an encrypted line only:
// the program's own password never leaves the process.
class TSqlConnection {
public:
    TSqlConnection();
    ~TSqlConnection();
    TSqlConnection(const TSqlConnection&) = delete;
    TSqlConnection& operator=(const TSqlConnection&) = delete;

    // Raises LinkError "Baza: <path>" plus the database's message when it fails;
    // for a server also the server and the user, never the password.
    void Open(const std::string& database, const TDbLogin& serverLogin = {}, const TDbAttachWait& wait = {});
    void Close();
    // "Baza: <path>", and for a server "Server: <host>, user: <user>" on a line
    // of its own: what names the connection in the operator's messages.
    std::string Context() const;

    // Set once a call failed because the attachment or its server is gone; from
    // then on every statement raises TDbLostError until Reattach succeeds.
    bool Lost() const { return lost_; }
    void MarkLost() { lost_ = true; }
    // Lets go of the lost attachment and attaches again with the database and
    // login of the last Open. True when attached; else why not, in `why`.
    bool Reattach(const TDbAttachWait& wait, std::string& why);
    // Counts the attachments made; a statement prepared under an earlier one is
    // prepared again, since it died with its attachment.
    uint64_t Generation() const { return generation_; }
    bool Connected() const { return attachment_ != nullptr; }
    const std::string& Database() const { return database_; }

    Firebird::IMaster* Master() const { return master_; }
    Firebird::IUtil* Util() const { return util_; }
    // The open attachment; raises LinkError when the connection is closed.
    Firebird::IAttachment* Attachment() const;

    static constexpr const char* kUser = "SYSDBA";
    // The one-character administrator password the empty database is made for.
    static const char* Password();
    static constexpr unsigned kDialect = 3;

    // True when the client library would take the path to a server: it has a
    // colon after its first character ("host:/path", "host/3050:/path").
    static bool NamesServer(const std::string& database);
    // The server part of a server path ("host/3050" of "host/3050:/path").
    static std::string ServerOf(const std::string& database);

    // Ends the embedded engine and the client library's threads. Called once on the
    // way out of a program, after every connection is closed; no attach after it.
    // False when an attach to a server given up on is still under way: the
    // library was left as it is, and the program must end without its exit
    // handlers (_exit), which would wait for that attach.
    static bool ShutdownClient();

    // The write transaction that gathers several statements into one commit
    // (TSqlTransaction); null while every statement commits by itself.
    Firebird::ITransaction* WorkTransaction() const { return work_; }
    void SetWorkTransaction(Firebird::ITransaction* transaction) { work_ = transaction; }
    // Write transactions committed on this connection (each one a disk sync with
    // forced writes); the benchmarks print it per receipt line.
    uint64_t Commits() const { return commits_; }
    void CountCommit() { ++commits_; }

private:
    Firebird::IMaster* master_ = nullptr;
    Firebird::IUtil* util_ = nullptr;
    Firebird::IProvider* provider_ = nullptr;
    Firebird::IAttachment* attachment_ = nullptr;
    Firebird::ITransaction* work_ = nullptr;
    uint64_t commits_ = 0;
    uint64_t generation_ = 0;
    bool lost_ = false;
    std::string database_;
    TDbLogin login_;
};

// Owner of the shared connection: opens it on construction, closes it on destruction.
class TFormConnection {
public:
    explicit TFormConnection(const std::string& dbPath, const TDbLogin& serverLogin = {},
                             const TDbAttachWait& wait = {});
    ~TFormConnection();
    TFormConnection(const TFormConnection&) = delete;
    TFormConnection& operator=(const TFormConnection&) = delete;

    TSqlConnection SQLConnection1;
};

}  // namespace velbrin
