#include "app/P00_inilink.h"
#include "app/P00_util.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <SimpleIni.h>
#include <sys/stat.h>

#include <cstdlib>

using namespace velbrin;

namespace {

// A throw-away installation with the settings store pointing at it.
struct Installation {
    test::TempDir dir;
    std::string root = dir.Path() + "/inst";
    test::ScopedRegistry registry;

    explicit Installation(const std::string& remote = "") : registry(dir.Path(), dir.Path() + "/inst", remote) {}
    std::string IniPath() const { return root + "/Appl/LINK.INI"; }
    void WriteIni(const std::string& text) {
        ForceDirectories(root + "/Appl");
        WriteWholeFile(IniPath(), text);
    }
    // The file as another INI reader sees it.
    std::string Value(const std::string& section, const std::string& key) const {
        CSimpleIniA ini;
        ini.LoadFile(IniPath().c_str());
        const char* v = ini.GetValue(section.c_str(), key.c_str(), nullptr);
        return v ? v : "<missing>";
    }
};

}  // namespace

TEST(LinkIni, EmptyFileIsCompletedWithEveryDefault) {
    Installation inst;
    inst.WriteIni("");
    TIniLink ini;
    CSimpleIniA file;
    ASSERT_GE(file.LoadFile(inst.IniPath().c_str()), 0);
    CSimpleIniA::TNamesDepend sections;
    file.GetAllSections(sections);
    EXPECT_EQ(sections.size(), 3u);
    std::size_t keys = 0;
    for (const auto& s : sections) keys += static_cast<std::size_t>(file.GetSectionSize(s.pItem));
    EXPECT_EQ(keys, 15u);

    struct Key { const char* section; const char* key; std::string value; };
    const Key expected[] = {
        {"Osnovno", "TerminalNo", "000"},     {"Portovi", "FP", "COM1"},
        {"Osnovno", "DbPath", inst.root + "/DataBase/Zorvex.fdb"},
        {"Osnovno", "Internal", "111111"},    {"Osnovno", "ExportFormat", "TXT"},
        {"Osnovno", "Language", "SRB"},       {"Osnovno", "UvekPunNaziv", "N"},
        {"Osnovno", "ExportLongName", "N"},   {"Osnovno", "TimeAlert", "30"},
        {"Osnovno", "DbConnectTimeout", "5"}, {"Osnovno", "FileQuietMs", "2000"},
        {"Praxolt", "SaljiAnalitikeUvek", "N"}, {"Praxolt", "SaljiRacunUvek", "N"},
        {"Praxolt", "ExtraABCR", "N,N,N,N"},  {"Praxolt", "ExportCC", "N"},
    };
    for (const Key& k : expected) EXPECT_EQ(inst.Value(k.section, k.key), k.value) << k.key;
    // written as Windows writes INI lines, so the cash register reads them alike
    EXPECT_NE(ReadWholeFile(inst.IniPath()).find("TerminalNo=000\n"), std::string::npos);
}

TEST(LinkIni, MissingFileAndFolderAreCreated) {
    Installation inst;
    TIniLink ini;
    EXPECT_TRUE(FileExists(inst.IniPath()));
    EXPECT_EQ(ini.ReadString("Portovi", "FP"), "COM1");
}

TEST(LinkIni, ValuesAreNormalisedAsTheyAreWrittenBack) {
    struct Case { const char* key; const char* given; const char* written; };
    const Case cases[] = {
        {"TimeAlert", "4", "30"},       {"TimeAlert", "5", "5"},          {"TimeAlert", "90", "90"},
        {"TimeAlert", "91", "30"},      {"TimeAlert", "abc", "30"},       {"TimeAlert", "-7", "30"},
        {"TimeAlert", "18446744073709551621", "30"},
        {"DbConnectTimeout", "0", "5"}, {"DbConnectTimeout", "2", "2"},  {"DbConnectTimeout", "121", "5"},
        {"FileQuietMs", "99", "2000"},  {"FileQuietMs", "500", "500"},   {"FileQuietMs", "60001", "2000"},
        {"UvekPunNaziv", "da", "D"},    {"UvekPunNaziv", "yes", "N"},     {"UvekPunNaziv", "", "N"},
        {"ExportLongName", "Da", "D"},
        {"ExportFormat", "xml", "xml"}, {"ExportFormat", "PDF", "TXT"},   {"ExportFormat", "Dbf", "Dbf"},
        {"ExportFormat", "", "TXT"},
        {"Language", "eng", "eng"},     {"Language", "ENG", "ENG"},       {"Language", "DE", "SRB"},
        {"Internal", "12345", "111111"}, {"Internal", "12a456", "111111"}, {"Internal", "654321", "654321"},
        {"Internal", "1234567", "111111"},
        {"TerminalNo", "", ""},         {"TerminalNo", "007", "007"},
    };
    for (const Case& c : cases) {
        Installation inst;
        inst.WriteIni(std::string("[Osnovno]\n") + c.key + "=" + c.given + "\n");
        TIniLink ini;
        EXPECT_EQ(inst.Value("Osnovno", c.key), c.written) << c.key << "=" << c.given;
        EXPECT_EQ(ini.ReadString("Osnovno", c.key), c.written) << c.key << "=" << c.given;
    }
}

TEST(LinkIni, ReadersSeeBooleansAndIntegersAsTheLinkUsesThem) {
    Installation inst;
    inst.WriteIni("[osnovno]\nuvekpunnaziv=da\nTimeAlert=45\n[Praxolt]\nExtraABCR=D,N,D,N\nSaljiRacunUvek=yes\n");
    TIniLink ini;
    EXPECT_TRUE(ini.ReadBool("Osnovno", "UvekPunNaziv"));  // sections and keys without regard to case
    EXPECT_FALSE(ini.ReadBool("Praxolt", "SaljiRacunUvek"));
    EXPECT_EQ(ini.ReadInteger("Osnovno", "TimeAlert"), 45);
    EXPECT_EQ(ini.ReadString("Praxolt", "ExtraABCR"), "D,N,D,N");
    EXPECT_EQ(ini.ReadInteger("Osnovno", "Nothing"), 0);
    EXPECT_EQ(ini.ReadString("Nowhere", "Nothing"), "");
    EXPECT_FALSE(ini.ReadBool("Nowhere", "Nothing"));
    // keys the link does not know stay in the file
    inst.WriteIni("[Osnovno]\nSomethingElse=42\n");
    TIniLink again;
    EXPECT_EQ(inst.Value("Osnovno", "SomethingElse"), "42");
}

TEST(LinkIni, DerivedPathsFollowTheSettingsStore) {
    {
        Installation inst;
        TIniLink ini;
        EXPECT_EQ(ini.ApplDir(), inst.root + "/Appl");
        EXPECT_EQ(ini.LogsDir(), inst.root + "/Logs");
        EXPECT_EQ(ini.OtherDir(), inst.root + "/Other");
        EXPECT_EQ(ini.TemplateDbPath(), inst.root + "/Other/DB_Clear/Zorvex.fdb");
        EXPECT_EQ(ini.ToFpDir(), inst.root + "/Exch/Lnk/To_FP");
        EXPECT_EQ(ini.FromFpDir(), inst.root + "/Exch/Lnk/From_FP");
    }
    {
        test::TempDir share;
        Installation inst(share.Path() + "/Exch");
        TIniLink ini;
        EXPECT_EQ(ini.ToFpDir(), share.Path() + "/Exch/To_FP");
        EXPECT_EQ(ini.FromFpDir(), share.Path() + "/Exch/From_FP");
        EXPECT_EQ(ini.LogsDir(), inst.root + "/Logs");
        EXPECT_EQ(ini.IniPath(), inst.root + "/Appl/LINK.INI");
    }
}

TEST(LinkIni, UnwritableFileEndsTheConstruction) {
    Installation inst;
    ForceDirectories(inst.IniPath());  // a folder where the file should be
    EXPECT_THROW(TIniLink ini, LinkError);
}

// A LINK.INI damaged by a power cut or made unreadable keeps its DbPath and
// TerminalNo: the start stops and names the file instead of writing the defaults.
TEST(LinkIni, FileThatCannotBeTakenWholeStopsTheStartAndIsKept) {
    struct Case {
        const char* name;
        std::string bytes;
        mode_t mode;
        const char* reason;  // the English words for it in the text
    };
    // what a power cut can leave: the blocks of the file's new length, never written
    const char holey[] = "[Osnovno]\nTerminalNo=017\n\0\0\0\0\0\0DbPath=/x.fdb\n";
    const Case cases[] = {
        {"NUL bytes", std::string(holey, sizeof holey - 1), 0644,
         "(holds NUL bytes"},
        {"unreadable", "[Osnovno]\nTerminalNo=017\n", 0, "(cannot be opened or read: Permission denied)"},
    };
    for (const Case& c : cases) {
        Installation inst;
        inst.WriteIni(c.bytes);
        ASSERT_EQ(std::system(("chmod -R a+rwX '" + inst.dir.Path() + "'").c_str()), 0);
        ASSERT_EQ(::chmod(inst.IniPath().c_str(), c.mode), 0);
        const std::string error = test::AsOrdinaryUser([] { return test::Error([] { TIniLink ini; }); });
        for (const std::string& part :
             {"LINK.INI ne moze da se procita:\n" + inst.IniPath(), std::string(c.reason),
              "LINK.INI cannot be read:\n" + inst.IniPath(), std::string("Restore LINK.INI from a backup"),
              std::string("delete it so that the program makes a new one with the default values")})
            EXPECT_NE(error.find(part), std::string::npos) << c.name << ": " << error;
        ::chmod(inst.IniPath().c_str(), 0644);
        EXPECT_EQ(ReadWholeFile(inst.IniPath()), c.bytes) << c.name;
    }
}

// Every start completes the settings; one that changes nothing must not rewrite
// (and sync) the files the cash register shares.
TEST(LinkIni, StartThatChangesNothingLeavesTheFilesAlone) {
    Installation inst;
    struct Stamp {
        ino_t inode;
        long long ns;
        bool operator==(const Stamp&) const = default;
    };
    auto stamp = [](const std::string& path) {
        struct stat st {};
        EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
        return Stamp{st.st_ino, st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec};
    };
    TIniLink first;
    first.WriteVersionIni("LINK", "7.4.44", "300");
    const Stamp ini = stamp(inst.IniPath()), version = stamp(first.VersionIniPath());
    TIniLink second;
    second.WriteVersionIni("LINK", "7.4.44", "300");
    EXPECT_TRUE(stamp(inst.IniPath()) == ini);
    EXPECT_TRUE(stamp(first.VersionIniPath()) == version);
    // a change is written, whole, under the same name
    second.WriteString("Osnovno", "TerminalNo", "042");
    second.WriteFile();
    EXPECT_EQ(inst.Value("Osnovno", "TerminalNo"), "042");
    EXPECT_FALSE(stamp(inst.IniPath()) == ini);
}

TEST(VersionIni, RecordsTheLinkAndKeepsOtherKeys) {
    Installation inst;
    TIniLink ini;
    WriteWholeFile(ini.VersionIniPath(), "[Versions]\nKASA_PRG=3.1\nLINK_PRG=7.0.0\n[Other]\nX=1\n");
    ini.WriteVersionIni("LINK", "7.4.44", "300");
    CSimpleIniA v;
    ASSERT_GE(v.LoadFile(ini.VersionIniPath().c_str()), 0);
    EXPECT_STREQ(v.GetValue("Versions", "LINK_PRG", ""), "7.4.44");
    EXPECT_STREQ(v.GetValue("Versions", "LINK_FDB", ""), "300");
    EXPECT_STREQ(v.GetValue("Versions", "KASA_PRG", ""), "3.1");
    EXPECT_STREQ(v.GetValue("Other", "X", ""), "1");
}
