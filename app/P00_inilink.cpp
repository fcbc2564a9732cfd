#include "app/P00_inilink.h"

#include "app/P00_durable.h"
#include "app/P00_msg.h"
#include "app/P00_starttext.h"
#include "app/P00_util.h"

#include <SimpleIni.h>

namespace velbrin {

namespace {

// Why LINK.INI cannot be taken whole, as the operator reads it in one language.
std::string UnreadableReason(const TIniUnreadable& e, const std::string& language) {
    TMsgTable messages;
    messages.SetLanguage(language);
    switch (e.Why()) {
        case TIniUnreadable::Reason::CannotRead:
            return messages.Text(TLinkText::IniCannotRead) + ": " + e.Detail();
        case TIniUnreadable::Reason::NulBytes: return messages.Text(TLinkText::IniNulBytes);
        case TIniUnreadable::Reason::CannotParse: break;
    }
    return messages.Text(TLinkText::IniCannotParse);
}

}  // namespace

TIniLink::TIniLink() {
    MakeDirectoriesDurably(ApplDir());
    try {
        LoadIni();
    } catch (const TIniUnreadable& e) {
        // the defaults written over it would lose DbPath and TerminalNo for good
        throw LinkError(UnreadableIniText(e.Path(), UnreadableReason(e, "SRB"), UnreadableReason(e, "ENG")));
    }
    EnsureString("Osnovno", "TerminalNo", "000");
    WriteFile();

    EnsureString("Portovi", "FP", "COM1");
    EnsureString("Osnovno", "DbPath", DefaultDbPath());

    std::string internal = EnsureString("Osnovno", "Internal", "111111");
    long long ignored = 0;
    if (internal.size() != 6) WriteString("Osnovno", "Internal", internal = "111111");
    if (!TryStrToInt(internal, ignored)) WriteString("Osnovno", "Internal", "111111");

    std::string format = UpperCase(EnsureString("Osnovno", "ExportFormat", "TXT"));
    if (format != "CSV" && format != "XML" && format != "DBF") WriteString("Osnovno", "ExportFormat", "TXT");

    if (UpperCase(EnsureString("Osnovno", "Language", "SRB")) != "ENG") WriteString("Osnovno", "Language", "SRB");

    EnsureBool("Osnovno", "UvekPunNaziv", false);
    EnsureBool("Osnovno", "ExportLongName", false);

    // A server that does not answer is told at once, not after the minutes the
    // system would keep trying.
    long long connectTimeout = EnsureInteger("Osnovno", "DbConnectTimeout", 5);
    if (connectTimeout < 1 || connectTimeout > 120) WriteString("Osnovno", "DbConnectTimeout", "5");

    // A share shows no writer: a request file there is taken once it stayed
    // unchanged this long.
    long long quiet = EnsureInteger("Osnovno", "FileQuietMs", 2000);
    if (quiet < 100 || quiet > 60000) WriteString("Osnovno", "FileQuietMs", "2000");

    long long alert = EnsureInteger("Osnovno", "TimeAlert", 30);
    if (alert < 5 || alert > 90) WriteString("Osnovno", "TimeAlert", "30");

    EnsureBool("Praxolt", "SaljiAnalitikeUvek", false);
    EnsureBool("Praxolt", "SaljiRacunUvek", false);
    EnsureString("Praxolt", "ExtraABCR", "N,N,N,N");
    EnsureBool("Praxolt", "ExportCC", false);
    WriteFile();
}

namespace {

long long Bounded(const TIniLink& ini, const char* key, long long fallback, long long low, long long high) {
    if (!ini.HasKey("Api", key)) return fallback;
    long long value = 0;
    if (!TryStrToInt(ini.ReadString("Api", key), value) || value < low || value > high) return fallback;
    return value;
}

std::string TextOr(const TIniLink& ini, const char* key, const std::string& fallback) {
    const std::string value = ini.HasKey("Api", key) ? Trim(ini.ReadString("Api", key)) : std::string();
    return value.empty() ? fallback : value;
}

}  // namespace

int TIniLink::ApiPort() const { return static_cast<int>(Bounded(*this, "Port", 0, 0, 65535)); }
std::string TIniLink::ApiAddress() const { return TextOr(*this, "Address", "127.0.0.1"); }
std::string TIniLink::ApiTokenFile() const { return TextOr(*this, "TokenFile", OtherDir() + "/Api/token"); }
std::string TIniLink::ApiCertFile() const { return TextOr(*this, "CertFile", ""); }
std::string TIniLink::ApiKeyFile() const { return TextOr(*this, "KeyFile", ""); }
int TIniLink::ApiKeepHours() const { return static_cast<int>(Bounded(*this, "KeepHours", 72, 1, 720)); }
int TIniLink::ApiReplyWaitMs() const { return static_cast<int>(Bounded(*this, "ReplyWaitMs", 15000, 0, 120000)); }

std::string TIniLink::LocalInstallDir() const { return ReadRegistryText("Local_Install_Dir"); }
std::string TIniLink::RemoteExchLnk() const { return ReadRegistryText("Remote_Exch_Lnk"); }
std::string TIniLink::ApplDir() const { return LocalInstallDir() + "/Appl"; }
std::string TIniLink::IniPath() const { return ApplDir() + "/LINK.INI"; }
std::string TIniLink::VersionIniPath() const { return ApplDir() + "/Version.ini"; }
std::string TIniLink::LogsDir() const { return LocalInstallDir() + "/Logs"; }
std::string TIniLink::OtherDir() const { return LocalInstallDir() + "/Other"; }
std::string TIniLink::TemplateDbPath() const { return OtherDir() + "/DB_Clear/Zorvex.fdb"; }
std::string TIniLink::DefaultDbPath() const { return LocalInstallDir() + "/DataBase/Zorvex.fdb"; }

std::string TIniLink::ToFpDir() const {
    std::string remote = RemoteExchLnk();
    return remote.empty() ? LocalInstallDir() + "/Exch/Lnk/To_FP" : remote + "/To_FP";
}

std::string TIniLink::FromFpDir() const {
    std::string remote = RemoteExchLnk();
    return remote.empty() ? LocalInstallDir() + "/Exch/Lnk/From_FP" : remote + "/From_FP";
}

void TIniLink::WriteVersionIni(const std::string& name, const std::string& programVersion,
                               const std::string& dbVersion) const {
    CSimpleIniA ini(false, false, false);
    if (FileExists(VersionIniPath())) ini.LoadFile(VersionIniPath().c_str());
    ini.SetValue("Versions", (name + "_PRG").c_str(), programVersion.c_str());
    ini.SetValue("Versions", (name + "_FDB").c_str(), dbVersion.c_str());
    std::string text;
    if (ini.Save(text) < 0) throw LinkError("Cannot write " + VersionIniPath());
    WriteIniText(VersionIniPath(), text);
}

}  // namespace velbrin
