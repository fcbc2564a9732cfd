#include "store/P00_connection.h"

#include "store/P00_dbattach.h"
#include "store/P00_fberror.h"

#include <chrono>
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

bool TSqlConnection::ShutdownClient()
{
    // An attach to a server that a stop request gave up on would hold the
    // shutdown for the rest of its time-out. Only a server was being asked: the
    // embedded engine has nothing to flush, and the program ends without it.
    if (AbandonedAttachUnderWay()) return false;
    // The engine flushes and stops its cache, lock and garbage-collector threads
    // here instead of in the exit handlers, where they would race the process's end.
    fb_shutdown(10000, fb_shutrsn_app_stopped);
    return true;
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

std::string TSqlConnection::Context() const
{
    return "Baza: " + database_ +
           (NamesServer(database_) ? "\nServer: " + ServerOf(database_) + ", user: " + login_.user : "");
}

void TSqlConnection::Open(const std::string& database, const TDbLogin& serverLogin, const TDbAttachWait& wait)
{
    Close();
    const bool server = NamesServer(database);
    database_ = database;
    login_ = server ? serverLogin : TDbLogin{};
    const std::string context = Context();
    if (server && (serverLogin.user.empty() || serverLogin.password.empty()))
        throw LinkError(context + "\nno user and password for the database server are set");
    fb::Status status(master_);
    ThrowStatusWrapper* st = status.Ptr();
    IXpbBuilder* dpb = nullptr;
    std::vector<unsigned char> block;
    try {
        dpb = util_->getXpbBuilder(st, IXpbBuilder::DPB, nullptr, 0);
        dpb->insertString(st, isc_dpb_user_name, server ? serverLogin.user.c_str() : kUser);
        dpb->insertString(st, isc_dpb_password, server ? serverLogin.password.c_str() : Password());
        dpb->insertString(st, isc_dpb_config, server ? kServerConfig : kEmbeddedConfig);
        dpb->insertString(st, isc_dpb_lc_ctype, "WIN1250");
        dpb->insertInt(st, isc_dpb_sql_dialect, static_cast<int>(kDialect));
        // Without it the client waits for a server that never answers for three
        // minutes, and for a host that drops the connection request for as long
        // as the system keeps trying.
        if (server) dpb->insertInt(st, isc_dpb_connect_timeout, wait.timeoutSeconds);
        if (provider_ == nullptr) provider_ = master_->getDispatcher();
        if (!server) {
            attachment_ = provider_->attachDatabase(st, database.c_str(), dpb->getBufferLength(st),
                                                    dpb->getBuffer(st));
        } else {
            block.assign(dpb->getBuffer(st), dpb->getBuffer(st) + dpb->getBufferLength(st));
        }
        dpb->dispose();
        dpb = nullptr;
    } catch (const FbException& error) {
        if (dpb != nullptr) dpb->dispose();
        attachment_ = nullptr;
        throw LinkError(context + "\n" + fb::ErrorText(util_, error));
    }
    if (server) {
        const auto started = std::chrono::steady_clock::now();
        TAttachOutcome outcome = AttachWaiting(master_, database, std::move(block), wait);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        if (outcome.gaveUp && seconds < wait.timeoutSeconds)
            throw LinkError(context + "\nthe attempt to connect was given up: the program is stopping");
        // The client library tells a server that does not answer in time as
        // "connection rejected by remote interface", which it did not.
        if (outcome.gaveUp || (outcome.attachment == nullptr && seconds >= wait.timeoutSeconds))
            throw LinkError(context + "\nthe database server did not answer within " +
                            std::to_string(wait.timeoutSeconds) + " s");
        if (outcome.attachment == nullptr) throw LinkError(context + "\n" + outcome.failure);
        attachment_ = outcome.attachment;
    }
    lost_ = false;
    ++generation_;
}

bool TSqlConnection::Reattach(const TDbAttachWait& wait, std::string& why)
{
    if (attachment_ != nullptr) {
        // What is left of the lost attachment: the server that held it is gone.
        IAttachment* attachment = attachment_;
        attachment_ = nullptr;
        fb::Status status(master_);
        try {
            attachment->detach(status.Ptr());
        } catch (const FbException&) {
            attachment->release();
        }
    }
    try {
        Open(database_, login_, wait);
    } catch (const LinkError& e) {
        why = e.Text();
        lost_ = true;
        return false;
    }
    return true;
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
    if (attachment_ == nullptr && lost_) throw TDbLostError(Context() + "\nthe connection to the database is lost");
    if (attachment_ == nullptr) throw LinkError("Baza nije otvorena");
    return attachment_;
}

TFormConnection::TFormConnection(const std::string& dbPath, const TDbLogin& serverLogin,
                                 const TDbAttachWait& wait)
{
    SQLConnection1.Open(dbPath, serverLogin, wait);
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
