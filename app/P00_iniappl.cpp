#include "app/P00_iniappl.h"

#include "app/P00_durable.h"
#include "app/P00_util.h"

#include <SimpleIni.h>

#include <cstdlib>

namespace velbrin {

// CSimpleIniA compares sections and keys without regard to case, as Windows does.
struct TIniAppl::Impl {
    CSimpleIniA ini{false, false, false};
};

// LINK.INI is shared with the cash register and service staff: "key=value" lines
// as Windows writes them, without blanks around the equals sign.
TIniAppl::TIniAppl() : impl_(std::make_unique<Impl>()) { impl_->ini.SetSpaces(false); }
TIniAppl::~TIniAppl() = default;

std::string TIniAppl::RegistryPath() {
    const char* env = std::getenv("VELBRIN_REGISTRY");
    return env && *env ? std::string(env) : std::string("/etc/helvane/velbrin.ini");
}

std::string TIniAppl::ExpandHome(const std::string& text) {
    // The machine-wide store that the package installs names a folder in the
    // home of whoever runs the link: "~" or "~/...".
    if (text.empty() || text[0] != '~' || (text.size() > 1 && text[1] != '/')) return text;
    const char* home = std::getenv("HOME");
    if (!home || !*home) return text;
    std::string base(home);
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    return base + text.substr(1);
}

namespace {

// A value of the settings store as it is written; empty text on any error.
std::string ReadRegistryRaw(const std::string& name) {
    try {
        CSimpleIniA reg(false, false, false);
        if (reg.LoadFile(TIniAppl::RegistryPath().c_str()) < 0) return {};
        const char* v = reg.GetValue(TIniAppl::kRegistrySection, name.c_str(), nullptr);
        return v ? std::string(v) : std::string();
    } catch (...) {
        return {};
    }
}

}  // namespace

std::string TIniAppl::ReadRegistryText(const std::string& name) {
    return ExpandHome(ReadRegistryRaw(name));
}

TDbLogin TIniAppl::ReadDbServerLogin() {
    TDbLogin login{ReadRegistryRaw(kServerUserKey), ReadRegistryRaw(kServerPasswordKey)};
    if (!login.password.empty() && ReadableByEveryone(RegistryPath()))
        throw LinkError(
            "The database server password is in a file every user can read: " + RegistryPath() +
            " (make it readable by the link's user only, chmod 0600 or 0640)");
    return login;
}

void TIniAppl::LoadIni() {
    impl_->ini.Reset();
    const std::string path = IniPath();
    if (!FileExists(path)) return;
    // A file that is there but cannot be taken whole must not be replaced by the
    // defaults: its DbPath and TerminalNo would be lost with it.
    std::string bytes;
    try {
        bytes = ReadWholeFile(path);
    } catch (const LinkError&) {
        throw TIniUnreadable(path, TIniUnreadable::Reason::CannotRead, LastSystemError());
    }
    if (bytes.find('\0') != std::string::npos)
        throw TIniUnreadable(path, TIniUnreadable::Reason::NulBytes);
    if (impl_->ini.LoadData(bytes) < 0) throw TIniUnreadable(path, TIniUnreadable::Reason::CannotParse);
}

bool TIniAppl::HasKey(const std::string& section, const std::string& key) const {
    return impl_->ini.GetValue(section.c_str(), key.c_str(), nullptr) != nullptr;
}

std::string TIniAppl::ReadString(const std::string& section, const std::string& key) const {
    const char* v = impl_->ini.GetValue(section.c_str(), key.c_str(), nullptr);
    return v ? std::string(v) : std::string();
}

long long TIniAppl::ReadInteger(const std::string& section, const std::string& key) const {
    long long v = 0;
    return TryStrToInt(ReadString(section, key), v) ? v : 0;
}

bool TIniAppl::ReadBool(const std::string& section, const std::string& key) const {
    return FlagIsSet(ReadString(section, key));
}

void TIniAppl::WriteString(const std::string& section, const std::string& key, const std::string& value) {
    impl_->ini.SetValue(section.c_str(), key.c_str(), value.c_str());
}

std::string TIniAppl::EnsureString(const std::string& section, const std::string& key, const std::string& def) {
    std::string v = HasKey(section, key) ? ReadString(section, key) : def;
    WriteString(section, key, v);
    return v;
}

long long TIniAppl::EnsureInteger(const std::string& section, const std::string& key, long long def) {
    long long v = def;
    if (HasKey(section, key) && !TryStrToInt(ReadString(section, key), v)) v = def;
    WriteString(section, key, std::to_string(v));
    return v;
}

bool TIniAppl::EnsureBool(const std::string& section, const std::string& key, bool def) {
    std::string text = HasKey(section, key) ? ReadString(section, key) : FlagText(def);
    bool v = FlagIsSet(text);
    WriteString(section, key, FlagText(v));
    return v;
}

void TIniAppl::WriteFile() const {
    std::string text;
    if (impl_->ini.Save(text) < 0) throw LinkError("Cannot write " + IniPath());
    WriteIniText(IniPath(), text);
}

void WriteIniText(const std::string& path, const std::string& text) {
    // A start that changes nothing leaves the file, its time and the disk alone.
    if (FileExists(path)) {
        try {
            if (ReadWholeFile(path) == text) return;
        } catch (const LinkError&) {
            // unreadable now: written anew below
        }
    }
    WriteFileDurably(path, text);
}

}  // namespace velbrin
