#include "store/P00_fberror.h"

#include "store/P00_connection.h"

namespace velbrin::fb {

using namespace Firebird;

bool MeansLostConnection(IStatus* status)
{
    // Codes of a line that broke, a server or database that was shut down, and
    // of calls on an attachment that went with them; and a disk that refuses the
    // database's writes: the receipt at hand must wait for it, not be cancelled
    // and paid on a printer whose lines the database could not take.
    static const ISC_STATUS kLost[] = {isc_network_error, isc_net_read_err,      isc_net_write_err,
                                       isc_lost_db_connection, isc_conn_lost,   isc_shutdown,
                                       isc_shutinprog,    isc_att_shutdown,      isc_bad_db_handle,
                                       isc_net_connect_err, isc_connect_reject, isc_unavailable,
                                       isc_io_write_err};
    const ISC_STATUS* v = status->getErrors();
    for (int i = 0; v[i] != isc_arg_end && i < ISC_STATUS_LENGTH; i += 2) {
        if (v[i] != isc_arg_gds) continue;
        for (ISC_STATUS code : kLost)
            if (v[i + 1] == code) return true;
    }
    return false;
}

std::string Failure(TSqlConnection& connection, const FbException& error)
{
    if (MeansLostConnection(error.getStatus())) connection.MarkLost();
    return ErrorText(connection.Util(), error);
}

void Raise(const TSqlConnection& connection, const std::string& text)
{
    if (connection.Lost()) throw TDbLostError(text);
    throw LinkError(text);
}

void Raise(TSqlConnection& connection, const FbException& error)
{
    const std::string text = Failure(connection, error);
    Raise(connection, text);
}

}  // namespace velbrin::fb
