// Base of the configuration: the machine-wide settings store (read anew on every
// use, never written) and an in-memory copy of one INI file.
#pragma once

#include "app/P00_dblogin.h"

#include <memory>
#include <string>

namespace velbrin {

class TIniAppl {
public:
    static constexpr const char* kRegistrySection = "Software\\Helvane\\Velbrin";

    virtual ~TIniAppl();

    // Slots of the configuration: the INI path and the two exchange directories,
    // then four texts that the link answers with empty text.
    virtual std::string IniPath() const = 0;
    virtual std::string ToFpDir() const = 0;
    virtual std::string FromFpDir() const = 0;
    virtual std::string Slot4() const { return {}; }
    virtual std::string Slot5() const { return {}; }
    virtual std::string Slot6() const { return {}; }
    virtual std::string Slot7() const { return {}; }

    // A value of the settings store; empty text on any error. The store is the
    // INI file named by VELBRIN_REGISTRY, else /etc/helvane/velbrin.ini. A value
    // that begins with "~" is taken in the home folder of the user.
    static std::string ReadRegistryText(const std::string& name);
    static std::string RegistryPath();
    // A leading "~" (alone or before "/") of a store value stands for $HOME.
    static std::string ExpandHome(const std::string& text);

    // The login for a database server: the store values "Db_Server_User" and
    // "Db_Server_Password", taken as they stand ("~" is not expanded). Raises
    // LinkError naming the store when it holds a password that every user of the
    // machine can read; the link must not start with its server login exposed.
    static constexpr const char* kServerUserKey = "Db_Server_User";
    static constexpr const char* kServerPasswordKey = "Db_Server_Password";
    static TDbLogin ReadDbServerLogin();

    // In-memory INI access. Reads never write; the Ensure* family writes the value
    // back into memory. WriteFile puts the copy on disk (raises LinkError on failure).
    std::string ReadString(const std::string& section, const std::string& key) const;
    long long ReadInteger(const std::string& section, const std::string& key) const;
    bool ReadBool(const std::string& section, const std::string& key) const;
    bool HasKey(const std::string& section, const std::string& key) const;
    void WriteString(const std::string& section, const std::string& key, const std::string& value);
    std::string EnsureString(const std::string& section, const std::string& key, const std::string& def);
    long long EnsureInteger(const std::string& section, const std::string& key, long long def);
    bool EnsureBool(const std::string& section, const std::string& key, bool def);
    void WriteFile() const;

protected:
    TIniAppl();
    // Loads the file at IniPath(); a missing file is an empty one.
    void LoadIni();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace velbrin
