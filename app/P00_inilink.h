// The link's configuration: registry paths and LINK.INI, completed with every
// key's default and written back at construction.
#pragma once

#include "app/P00_iniappl.h"

#include <string>

namespace velbrin {

class TIniLink : public TIniAppl {
public:
    static constexpr const char* kProgramVersion = "7.4.44";

    // Creates ApplDir, loads LINK.INI, completes and normalises every key and
    // writes the file (raises LinkError when it cannot be written).
    TIniLink();

    std::string IniPath() const override;
    std::string ToFpDir() const override;
    std::string FromFpDir() const override;

    // Derived paths, computed on every call from the settings store.
    std::string LocalInstallDir() const;
    std::string RemoteExchLnk() const;
    std::string ApplDir() const;
    std::string LogsDir() const;
    std::string OtherDir() const;
    std::string VersionIniPath() const;
    // The empty version-300 database shipped with the program.
    std::string TemplateDbPath() const;
    std::string DefaultDbPath() const;

    // Shorthands for keys read in several places.
    std::string TerminalNo() const { return ReadString("Osnovno", "TerminalNo"); }
    std::string DbPath() const { return ReadString("Osnovno", "DbPath"); }
    std::string PortName() const { return ReadString("Portovi", "FP"); }
    std::string Language() const { return ReadString("Osnovno", "Language"); }
    std::string ExportFormat() const { return ReadString("Osnovno", "ExportFormat"); }
    // Seconds a database server is given to answer a connection, 1..120.
    int DbConnectTimeout() const { return static_cast<int>(ReadInteger("Osnovno", "DbConnectTimeout")); }
    // Milliseconds a request file must stay unchanged before it is taken where
    // the link cannot see its writer (a share), 100..60000.
    int FileQuietMs() const { return static_cast<int>(ReadInteger("Osnovno", "FileQuietMs")); }

    // The HTTP interface ([Api]), off unless a port is set; read with their
    // defaults when missing, so that a LINK.INI without the section stays as it is.
    int ApiPort() const;
    std::string ApiAddress() const;    // "127.0.0.1" by default
    std::string ApiTokenFile() const;  // OtherDir/Api/token by default
    std::string ApiCertFile() const;   // TLS, needed for any address but loopback
    std::string ApiKeyFile() const;
    int ApiKeepHours() const;    // answers kept this long (72 by default, 1..720)
    int ApiReplyWaitMs() const;  // a reply waits this long for its answer (15000; 0..120000)

    // Records name_PRG and name_FDB in section "Versions" of Version.ini.
    void WriteVersionIni(const std::string& name, const std::string& programVersion,
                         const std::string& dbVersion) const;
};

}  // namespace velbrin
