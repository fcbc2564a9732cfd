// The bodies of the HTTP interface: any bytes, as a body of each request kind,
// give the request's refusal or a packet that its kind's handler reads, never
// a crash and never more rows than a request file of that kind may hold.
#include "api/P40_apibody.h"
#include "app/P00_util.h"
#include "exchange/P30_requestscan.h"
#include "formats/P00_convert.h"
#include "formats/P01_datapacket.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    using velbrin::TApiBody;
    const std::string body(reinterpret_cast<const char*>(data), size);
    for (auto make : {&TApiBody::Receipt, &TApiBody::Text, &TApiBody::Commands, &TApiBody::Articles}) {
        velbrin::TApiPacket p;
        try {
            p = make(body);
        } catch (const velbrin::LinkError&) {
            continue;
        }
        velbrin::TDataPacket packet;
        packet.LoadFromText(p.packet, &velbrin::TFormConvert::Layout(p.kind));  // raises (and fails) when unreadable
        if (packet.RowCount() > velbrin::TRequestScan::MaxRows(p.kind)) std::abort();
    }
    return 0;
}
