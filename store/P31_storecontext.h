// The neighbours of the receipt store: sale lines, payments and the receipt
// reach the database, the printer, the configuration, the operator texts, the
// day numbering, the link log and the application through these references.
// The entry builds one context after the long-lived objects exist.
#pragma once

namespace velbrin {

class TFormConnection;
class TFormFP;
class TIniLink;
class TMsgTable;
class TFormZets;
class TLogFile;
class TAppServices;

struct TStoreContext {
    TFormConnection& connection;
    TFormFP& fp;
    TIniLink& ini;
    TMsgTable& msg;
    TFormZets& zets;
    TLogFile& linkLog;
    TAppServices& app;
};

}  // namespace velbrin
