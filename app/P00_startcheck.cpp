#include "app/P00_startcheck.h"

#include <SimpleIni.h>

#include "app/P00_inilink.h"
#include "app/P00_msg.h"
#include "app/P00_startup.h"
#include "app/P00_util.h"
#include "printer/P00_fpdef.h"

namespace velbrin {

namespace {

// Longest terminal number: the trm_id columns of the database.
constexpr std::size_t kTerminalNoMax = 20;

enum : int {
    kMsgBadSetting = 70,
    kMsgComment = 71,
    kMsgTerminalNo = 72,
    kMsgPort = 73,
    kMsgDbPath = 74,
    kMsgMarker = 75,
    kMsgUnreadableIni = 76,
};

// A "; comment" behind a value: LINK.INI takes everything after "=" as the value.
bool HasTrailingComment(const std::string& value) {
    for (std::size_t i = 0; i < value.size(); ++i)
        if ((value[i] == ';' || value[i] == '#') &&
            (i == 0 || value[i - 1] == ' ' || value[i - 1] == '\t'))
            return true;
    return false;
}

bool TerminalNoFits(const std::string& value) {
    if (value.empty() || value.size() > kTerminalNoMax) return false;
    for (unsigned char c : value)
        if (c < 0x20 || c == '/' || c == '\\') return false;
    return true;
}

bool DbPathCanWork(const std::string& value) {
    if (IsServerDbPath(value)) return value.back() != ':';
    return !value.empty() && value[0] == '/';
}

}  // namespace

std::string FillMsg(std::string text, const std::vector<std::string>& args) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 1 < text.size() && text[i + 1] >= '1' && text[i + 1] <= '9') {
            const std::size_t n = static_cast<std::size_t>(text[i + 1] - '1');
            if (n < args.size()) out += args[n];
            ++i;
            continue;
        }
        out += text[i];
    }
    return out;
}

std::string CheckSettings(const TIniLink& ini, const TMsgTable& messages) {
    struct Key {
        const char* section;
        const char* key;
        int reason;  // message for a value that cannot work
        bool (*canWork)(const std::string&);
    };
    static const Key keys[] = {
        {"Portovi", "FP", kMsgPort,
         [](const std::string& v) { return !ComPortDevicePath(v).empty(); }},
        {"Osnovno", "TerminalNo", kMsgTerminalNo, &TerminalNoFits},
        {"Osnovno", "DbPath", kMsgDbPath, &DbPathCanWork},
        {"Praxolt", "ExtraABCR", 0, nullptr},
    };
    for (const Key& k : keys) {
        const std::string value = ini.ReadString(k.section, k.key);
        int reason = 0;
        if (HasTrailingComment(value))
            reason = kMsgComment;
        else if (k.canWork && !k.canWork(value))
            reason = k.reason;
        if (reason == 0) continue;
        return FillMsg(messages.GetMsg(kMsgBadSetting),
                       {k.section, k.key, value, messages.GetMsg(reason), ini.IniPath()});
    }
    return {};
}

void RefuseUnworkableSettings(const TIniLink& ini) {
    TMsgTable messages;
    messages.SetLanguage(ini.Language());
    const std::string text = CheckSettings(ini, messages);
    if (!text.empty()) throw LinkError(text);
}

std::string ConfiguredLanguage() {
    const std::string root = TIniAppl::ReadRegistryText("Local_Install_Dir");
    CSimpleIniA file(false, false, false);
    if (root.empty() || file.LoadFile((root + "/Appl/LINK.INI").c_str()) < 0) return "SRB";
    return file.GetValue("Osnovno", "Language", "SRB");
}

std::string UnreadableIniText(const std::string& path, const std::string& reason,
                              const std::string& englishReason) {
    TMsgTable srb, eng;
    eng.SetLanguage("ENG");
    return FillMsg(srb.GetMsg(kMsgUnreadableIni), {path, reason}) + "\n\n" +
           FillMsg(eng.GetMsg(kMsgUnreadableIni), {path, englishReason});
}

std::string MarkerFailureText(const std::string& path, const std::string& cause,
                              const TMsgTable& messages) {
    return FillMsg(messages.GetMsg(kMsgMarker), {path, cause});
}

}  // namespace velbrin
