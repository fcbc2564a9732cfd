// The LINK.INI lines that README.md and docs/*.md show a technician: each one,
// written into LINK.INI as shown, must pass the settings check the link makes at
// start and keep its value, so that no copied line stops a shop's link.
#include "app/P00_inilink.h"
#include "app/P00_msg.h"
#include "app/P00_util.h"
#include "startup/P00_startcheck.h"
#include "support/TestSupport.h"

#include <SimpleIni.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>

using namespace velbrin;

namespace {

struct ShownLine {
    std::string where;  // file:line
    std::string section;
    std::string key;
    std::string value;
};

std::string Trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

// "Key=Value" lines under an "[Section]" line inside the code blocks of a
// Markdown file (fenced, or indented by four spaces or a tab after a blank line).
std::vector<ShownLine> IniLinesShown(const std::filesystem::path& file) {
    static const std::regex fence(R"(^ {0,3}(```|~~~).*)");
    static const std::regex keyValue(R"(^([A-Za-z0-9_]+)=(.*)$)");
    std::ifstream in(file);
    std::vector<ShownLine> found;
    std::string line, section;
    bool fenced = false, indented = false, blankBefore = true;
    for (int no = 1; std::getline(in, line); ++no) {
        if (std::regex_match(line, fence)) {
            fenced = !fenced;
            section.clear();
            continue;
        }
        const bool blank = Trim(line).empty();
        const bool indentedLine = line.rfind("    ", 0) == 0 || line.rfind("\t", 0) == 0;
        if (!fenced) {
            if (indentedLine && (indented || blankBefore)) indented = true;
            else if (!blank) indented = false, section.clear();
        }
        blankBefore = blank;
        if (!(fenced || (indented && !blank))) continue;
        const std::string code = Trim(line);
        std::smatch m;
        if (code.size() > 2 && code.front() == '[' && code.back() == ']')
            section = code.substr(1, code.size() - 2);
        else if (!section.empty() && std::regex_match(code, m, keyValue))
            found.push_back({file.filename().string() + ":" + std::to_string(no), section, m[1], m[2]});
    }
    return found;
}

}  // namespace

TEST(LinkIniInDocs, EveryLineShownPassesTheStartCheckAndKeepsItsValue) {
    const std::filesystem::path source = VELBRIN_SOURCE_DIR;
    std::vector<std::filesystem::path> docs{source / "README.md"};
    for (const auto& e : std::filesystem::directory_iterator(source / "docs"))
        if (e.path().extension() == ".md") docs.push_back(e.path());

    // What LINK.INI holds when the link has completed it: its sections and keys.
    test::TempDir defaultsDir;
    test::ScopedRegistry defaultsRegistry(defaultsDir.Path(), defaultsDir.Path() + "/inst");
    const TIniLink defaults;
    CSimpleIniA linkIni(false, false, false);
    ASSERT_GE(linkIni.LoadFile(defaults.IniPath().c_str()), 0);

    TMsgTable messages;
    int checked = 0;
    for (const auto& doc : docs) {
        for (const ShownLine& l : IniLinesShown(doc)) {
            if (!linkIni.SectionExists(l.section.c_str())) continue;  // another file's lines
            const std::string shown = l.where + " [" + l.section + "] " + l.key + "=" + l.value;
            ++checked;
            EXPECT_TRUE(defaults.HasKey(l.section, l.key)) << shown << ": no key of LINK.INI";
            test::TempDir dir;
            test::ScopedRegistry registry(dir.Path(), dir.Path() + "/inst");
            ForceDirectories(dir.Path() + "/inst/Appl");
            WriteWholeFile(dir.Path() + "/inst/Appl/LINK.INI", "[" + l.section + "]\n" + l.key + "=" + l.value + "\n");
            const TIniLink ini;
            EXPECT_EQ(CheckSettings(ini, messages), "") << shown;
            EXPECT_EQ(ini.ReadString(l.section, l.key), l.value) << shown << ": the link changes the value";
        }
    }
    EXPECT_GE(checked, 6) << "the LINK.INI lines of docs/install.md were not found";
}
