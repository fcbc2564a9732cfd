#include "store/P00_forcedwrites.h"

#include "app/P00_msg.h"
#include "app/P00_starttext.h"
#include "store/P00_connection.h"
#include "store/P00_fberror.h"
#include "store/P00_query.h"

namespace velbrin {

using namespace Firebird;

namespace {

constexpr int kMsgServerWithoutForcedWrites = 77;

// Asks the service for its output until it has none: the action is done then.
void WaitForService(IService* service, ThrowStatusWrapper* st) {
    const unsigned char items[] = {isc_info_svc_line};
    unsigned char answer[1024];
    for (;;) {
        service->query(st, 0, nullptr, sizeof items, items, sizeof answer, answer);
        if (answer[0] != isc_info_svc_line) return;
        const unsigned length = static_cast<unsigned>(answer[1]) | static_cast<unsigned>(answer[2]) << 8;
        if (length == 0) return;
    }
}

}  // namespace

TForcedWritesAction ForcedWritesAction(bool serverPath, bool forcedWrites) {
    if (forcedWrites) return TForcedWritesAction::None;
    return serverPath ? TForcedWritesAction::Refuse : TForcedWritesAction::TurnOn;
}

bool HasForcedWrites(TFormConnection& connection) {
    TSqlQuery q(connection);
    q.SetSQL("select mon$forced_writes from mon$database");
    q.Open();
    const bool on = !q.Eof() && q.AsInteger(0) != 0;
    q.Close();
    return on;
}

void TurnOnForcedWrites(const std::string& dbFile) {
    IMaster* master = fb_get_master_interface();
    IUtil* util = master->getUtilInterface();
    fb::Status status(master);
    ThrowStatusWrapper* st = status.Ptr();
    IProvider* provider = master->getDispatcher();
    IXpbBuilder* attach = nullptr;
    IXpbBuilder* start = nullptr;
    IService* service = nullptr;
    try {
        // the engine in this process, as for the link's own attachment
        attach = util->getXpbBuilder(st, IXpbBuilder::SPB_ATTACH, nullptr, 0);
        attach->insertString(st, isc_spb_user_name, TSqlConnection::kUser);
        attach->insertString(st, isc_spb_password, TSqlConnection::Password());
        attach->insertString(st, isc_spb_config, "Providers = Engine12");
        service = provider->attachServiceManager(st, "service_mgr", attach->getBufferLength(st),
                                                 attach->getBuffer(st));
        start = util->getXpbBuilder(st, IXpbBuilder::SPB_START, nullptr, 0);
        start->insertTag(st, isc_action_svc_properties);
        start->insertString(st, isc_spb_dbname, dbFile.c_str());
        const unsigned char sync = isc_spb_prp_wm_sync;
        start->insertBytes(st, isc_spb_prp_write_mode, &sync, 1);
        service->start(st, start->getBufferLength(st), start->getBuffer(st));
        WaitForService(service, st);
        service->detach(st);
        service = nullptr;
        start->dispose();
        attach->dispose();
        provider->release();
    } catch (const FbException& error) {
        const std::string text = "Baza: " + dbFile + "\nforced writes cannot be turned on: " +
                                 fb::ErrorText(util, error);
        if (service != nullptr) service->release();
        if (start != nullptr) start->dispose();
        if (attach != nullptr) attach->dispose();
        provider->release();
        throw LinkError(text);
    }
}

std::string EnsureForcedWrites(TFormConnection& connection, const TMsgTable& messages) {
    TSqlConnection& sql = connection.SQLConnection1;
    const std::string db = sql.Database();
    switch (ForcedWritesAction(TSqlConnection::NamesServer(db), HasForcedWrites(connection))) {
        case TForcedWritesAction::None: return {};
        case TForcedWritesAction::Refuse:
            throw LinkError(FillMsg(messages.GetMsg(kMsgServerWithoutForcedWrites), {db, db}));
        case TForcedWritesAction::TurnOn: break;
    }
    // The engine changes the mode of a database that nobody else has open; the
    // link's own attachment is dropped for it and made again.
    sql.Close();
    TurnOnForcedWrites(db);
    sql.Open(db);
    if (!HasForcedWrites(connection))
        throw LinkError("Baza: " + db + "\nforced writes are still off after they were turned on");
    return "Forced writes were off for " + db + "; turned on";
}

}  // namespace velbrin
