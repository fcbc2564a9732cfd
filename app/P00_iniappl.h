// Base of the configuration: the machine-wide settings store (read anew on every
// use, never written) and an in-memory copy of one INI file.
#pragma once

#include "app/P00_dblogin.h"
#include "app/P00_util.h"

#include <memory>
#include <string>
#include <utility>

namespace velbrin {

// An INI file that is there but cannot be taken whole. `Detail` is the system's
// word for a file that cannot be read, empty otherwise.
class TIniUnreadable : public LinkError {
public:
    enum class Reason { CannotRead, NulBytes, CannotParse };
    TIniUnreadable(std::string path, Reason reason, std::string detail = {})
        : LinkError("Cannot take " + path + " whole" + (detail.empty() ? "" : ": " + detail)),
          path_(std::move(path)), reason_(reason), detail_(std::move(detail)) {}
    const std::string& Path() const { return path_; }
    Reason Why() const { return reason_; }
    const std::string& Detail() const { return detail_; }

private:
    std::string path_;
    Reason reason_;
    std::string detail_;
};

// Puts an INI text on disk whole and synced (draft, rename, folder sync), and
// only when the file does not hold exactly these bytes already. Raises LinkError.
void WriteIniText(const std::string& path, const std::string& text);

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
    // back into memory. WriteFile puts the copy on disk through WriteIniText
    // (raises LinkError on failure).
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
    // Loads the file at IniPath(); a missing file is an empty one. Raises
    // TIniUnreadable when the file is there but cannot be taken whole.
    void LoadIni();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace velbrin
