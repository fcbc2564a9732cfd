#include "app/P00_starttext.h"

#include <SimpleIni.h>

#include "app/P00_iniappl.h"
#include "app/P00_msg.h"

namespace velbrin {

namespace {
constexpr int kMsgMarker = 75;
constexpr int kMsgUnreadableIni = 76;
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

std::string ConfiguredLanguage() {
    const std::string root = TIniAppl::ReadRegistryText("Local_Install_Dir");
    CSimpleIniA file(false, false, false);
    if (root.empty() || file.LoadFile((root + "/Appl/LINK.INI").c_str()) < 0) return "SRB";
    return file.GetValue("Osnovno", "Language", "SRB");
}

std::string MarkerFailureText(const std::string& path, const std::string& cause,
                              const TMsgTable& messages) {
    return FillMsg(messages.GetMsg(kMsgMarker), {path, cause});
}

std::string UnreadableIniText(const std::string& path, const std::string& reason,
                              const std::string& englishReason) {
    TMsgTable srb, eng;
    eng.SetLanguage("ENG");
    return FillMsg(srb.GetMsg(kMsgUnreadableIni), {path, reason}) + "\n\n" +
           FillMsg(eng.GetMsg(kMsgUnreadableIni), {path, englishReason});
}

}  // namespace velbrin
