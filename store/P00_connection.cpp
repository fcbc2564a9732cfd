#include "store/P00_connection.h"

#include "store/P00_fberror.h"

#include <vector>

#ifndef VELBRIN_DB_PASSWORD
#error "VELBRIN_DB_PASSWORD comes from db/CMakeLists.txt"
#endif

namespace velbrin {

using namespace Firebird;

namespace fb {

std::string ErrorText(IUtil* util, const FbException& error)
{
    std::vector<char> buffer(2048);
    util->formatStatus(buffer.data(), static_cast<unsigned>(buffer.size()), error.getStatus());
    std::string text(buffer.data());
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

}  // namespace fb

const char* TSqlConnection::Password()
{
    static_assert(sizeof(VELBRIN_DB_PASSWORD) == 2, "the password has one character");
    return VELBRIN_DB_PASSWORD;
}

TSqlConnection::TSqlConnection()
    : master_(fb_get_master_interface()), util_(master_->getUtilInterface())
{
}

TSqlConnection::~TSqlConnection()
{
    try {
        Close();
    } catch (const LinkError&) {
        // A failing detach at the end of the program has nobody left to tell.
    }
}

void TSqlConnection::ShutdownClient()
{
    // The engine flushes and stops its cache, lock and garbage-collector threads
    // here instead of in the exit handlers, where they would race the process's end.
    fb_shutdown(10000, fb_shutrsn_app_stopped);
}

bool TSqlConnection::NamesServer(const std::string& database)
{
    const auto colon = database.find(':');
    return colon != std::string::npos && colon > 0;
}

std::string TSqlConnection::ServerOf(const std::string& database)
{
    return NamesServer(database) ? database.substr(0, database.find(':')) : std::string();
}

namespace {

// Per-attachment settings of the client library. A file stays with the engine in
// this process: without this the client would hand a file it cannot open to a
// server on this machine (its loopback provider), with the program's password. A
// server must encrypt the line, and the login is the salted password exchange.
const char* const kEmbeddedConfig = "Providers = Engine12";
const char* const kServerConfig =
    "Providers = Remote\nWireCrypt = Required\nAuthClient = Srp256, Srp";

}  // namespace

void TSqlConnection::Open(const std::string& database, const TDbLogin& serverLogin)
{
    Close();
    const bool server = NamesServer(database);
    const std::string context =
        "Baza: " + database +
        (server ? "\nServer: " + ServerOf(database) + ", user: " + serverLogin.user : "");
    if (server && (serverLogin.user.empty() || serverLogin.password.empty()))
        throw LinkError(context + "\nno user and password for the database server are set");
    fb::Status status(master_);
    ThrowStatusWrapper* st = status.Ptr();
    IXpbBuilder* dpb = nullptr;
    try {
        dpb = util_->getXpbBuilder(st, IXpbBuilder::DPB, nullptr, 0);
        dpb->insertString(st, isc_dpb_user_name, server ? serverLogin.user.c_str() : kUser);
        dpb->insertString(st, isc_dpb_password, server ? serverLogin.password.c_str() : Password());
        dpb->insertString(st, isc_dpb_config, server ? kServerConfig : kEmbeddedConfig);
        dpb->insertString(st, isc_dpb_lc_ctype, "WIN1250");
        dpb->insertInt(st, isc_dpb_sql_dialect, static_cast<int>(kDialect));
        if (provider_ == nullptr) provider_ = master_->getDispatcher();
        attachment_ = provider_->attachDatabase(st, database.c_str(), dpb->getBufferLength(st),
                                                dpb->getBuffer(st));
        dpb->dispose();
        database_ = database;
    } catch (const FbException& error) {
        if (dpb != nullptr) dpb->dispose();
        attachment_ = nullptr;
        throw LinkError(context + "\n" + fb::ErrorText(util_, error));
    }
}

void TSqlConnection::Close()
{
    if (attachment_ != nullptr) {
        IAttachment* attachment = attachment_;
        attachment_ = nullptr;
        fb::Status status(master_);
        ThrowStatusWrapper* st = status.Ptr();
        try {
            attachment->detach(st);
        } catch (const FbException& error) {
            attachment->release();
            throw LinkError("Baza: " + database_ + "\n" + fb::ErrorText(util_, error));
        }
    }
    if (provider_ != nullptr) {
        provider_->release();
        provider_ = nullptr;
    }
}

IAttachment* TSqlConnection::Attachment() const
{
    if (attachment_ == nullptr) throw LinkError("Baza nije otvorena");
    return attachment_;
}

TFormConnection::TFormConnection(const std::string& dbPath, const TDbLogin& serverLogin)
{
    SQLConnection1.Open(dbPath, serverLogin);
}

TFormConnection::~TFormConnection() = default;

}  // namespace velbrin

#if defined(__SANITIZE_ADDRESS__)
// The client library allocates a few process-wide objects on the first attach
// (big-number constants of its authentication and two character-set converters)
// and never frees them, however the connections end. The leak check is told so
// here, for every program that uses the database; only those two allocation
// sites are named, so a statement or attachment left unreleased still shows.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:mp_init\nleak:iconv_open\n";
}
#endif
