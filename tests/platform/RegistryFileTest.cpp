// The hive's text form: what it looks like, that every name and text survives it, what is kept as
// written, and how a malformed text is reported.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/RegistryFile.h"

namespace {

using platform::ERegistryFormatError;
using platform::ParseHive;
using platform::RegEntry;
using platform::RegHive;
using platform::RegKeyNode;
using platform::SerialiseHive;

const std::string kRoot = "HKEY_CURRENT_USER";

RegHive Parse(const std::string& text) {
    return ParseHive(text, kRoot, "test.reg");
}

RegKeyNode& Key(RegHive& hive, const std::vector<std::string>& path) {
    bool created = false;
    return hive.root.FindOrCreate(path, created);
}

TEST(RegistryFileTest, WritesTheRegedit4Form) {
    RegHive hive{kRoot, {}, {}};
    RegKeyNode& prefs = Key(hive, {"Software", "Korvanta", "Strevio", "Preferences"});
    prefs.entries.push_back({RegEntry::Kind::Dword, "FirstRun", {}, 1});
    prefs.entries.push_back({RegEntry::Kind::Dword, "Volume", {}, 0xFFFFFFFF});
    prefs.entries.push_back({RegEntry::Kind::String, "", "default", 0});
    prefs.entries.push_back({RegEntry::Kind::String, "Path", "C:\\a \"b\"", 0});

    EXPECT_EQ(SerialiseHive(hive),
              "REGEDIT4\n"
              "\n[HKEY_CURRENT_USER\\Software]\n"
              "\n[HKEY_CURRENT_USER\\Software\\Korvanta]\n"
              "\n[HKEY_CURRENT_USER\\Software\\Korvanta\\Strevio]\n"
              "\n[HKEY_CURRENT_USER\\Software\\Korvanta\\Strevio\\Preferences]\n"
              "\"FirstRun\"=dword:00000001\n"
              "\"Volume\"=dword:ffffffff\n"
              "@=\"default\"\n"
              "\"Path\"=\"C:\\\\a \\\"b\\\"\"\n"
              "\n");
}

struct TrickyCase {
    const char* label;
    std::string name;
    std::string text;
};

class RegistryFileRoundTrip : public testing::TestWithParam<TrickyCase> {};

TEST_P(RegistryFileRoundTrip, NameAndTextComeBackUnchanged) {
    const TrickyCase& c = GetParam();
    RegHive hive{kRoot, {}, {}};
    // The same text is used as a key name too, where the text form can hold it.
    const bool keyable = platform::IsValidKeyName(c.name);
    RegKeyNode& key =
        Key(hive, keyable ? std::vector<std::string>{"K", c.name} : std::vector<std::string>{"K"});
    key.entries.push_back({RegEntry::Kind::String, c.name, c.text, 0});
    key.entries.push_back({RegEntry::Kind::Dword, c.name + "#", {}, 0x80000001});

    const std::string text = SerialiseHive(hive);
    RegHive back = Parse(text);

    const RegKeyNode* node =
        back.root.Find(keyable ? std::vector<std::string>{"K", c.name} : std::vector<std::string>{"K"});
    ASSERT_NE(node, nullptr) << text;
    if (keyable) {
        EXPECT_EQ(back.root.Find({"K"})->subKeys.at(0).name, c.name);
    }
    ASSERT_EQ(node->entries.size(), 2u) << text;
    EXPECT_EQ(node->entries[0].kind, RegEntry::Kind::String);
    EXPECT_EQ(node->entries[0].name, c.name);
    EXPECT_EQ(node->entries[0].text, c.text);
    EXPECT_EQ(node->entries[1].name, c.name + "#");
    EXPECT_EQ(node->entries[1].dword, 0x80000001u);
    EXPECT_EQ(SerialiseHive(back), text);
    // One line per value: nothing in a name or text may break the line structure.
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), keyable ? 8 : 6) << text;
}

INSTANTIATE_TEST_SUITE_P(Table, RegistryFileRoundTrip,
                         testing::Values(TrickyCase{"Quotes", "say \"hi\"", "\"quoted\" \"\""},
                                         TrickyCase{"Backslashes", "a\\b", "C:\\Program Files\\x\\"},
                                         TrickyCase{"TrailingBackslash", "name\\", "ends with \\"},
                                         TrickyCase{"EqualsSign", "a=b", "=\"x\"=dword:00000001"},
                                         TrickyCase{"Brackets", "]x[", "[HKEY_CURRENT_USER\\Evil]"},
                                         TrickyCase{"Unicode", "Grüße ⚡ Ж", "日本語 ünïcödé 🎬"},
                                         TrickyCase{"EmptyText", "Empty", ""}, TrickyCase{"AtSign", "@", "@"},
                                         TrickyCase{"SemicolonName", ";not a comment", "; neither"},
                                         TrickyCase{"Newlines", "line\nbreak", "one\ntwo\r\nthree\n"},
                                         TrickyCase{"ControlCharacters", "tab\there",
                                                    std::string("\x01\x1f\x7f\t\\x41", 9)},
                                         TrickyCase{"NulByte", "nul", std::string("a\0b", 3)},
                                         TrickyCase{"Spaces", "  padded  ", "  padded  "},
                                         TrickyCase{"EscapeLookalikes", "\\n\\x00", "\\\"\\n"}),
                         [](const testing::TestParamInfo<TrickyCase>& info) { return info.param.label; });

TEST(RegistryFileTest, KeepsOtherValueTypesAndCommentsAsWritten) {
    const std::string text =
        "REGEDIT4\n"
        "; written by hand\n"
        "\n[HKEY_CURRENT_USER\\Software]\n"
        "\n[HKEY_CURRENT_USER\\Software\\Other]\n"
        "\"Blob\"=hex:01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\n"
        "  16,17,18\n"
        "; about the next value\n"
        "\"Path\"=hex(2):25,00\n"
        "\"Count\"=dword:0000000a\n"
        "\n";
    RegHive hive = Parse(text);
    const RegKeyNode* key = hive.root.Find({"Software", "Other"});
    ASSERT_NE(key, nullptr);
    ASSERT_NE(key->FindValue("blob"), nullptr);
    EXPECT_EQ(key->FindValue("blob")->kind, RegEntry::Kind::Other);
    EXPECT_EQ(key->FindValue("count")->dword, 10u);
    EXPECT_EQ(SerialiseHive(hive), text);
}

TEST(RegistryFileTest, AcceptsByteOrderMarkCrLfAndIndentedLines) {
    RegHive hive =
        Parse("\xEF\xBB\xBFREGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\A]\r\n  \"x\"=\"y\"  \r\n\"n\"=dword:ff\r\n");
    const RegKeyNode* key = hive.root.Find({"A"});
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->FindValue("x")->text, "y");
    EXPECT_EQ(key->FindValue("n")->dword, 255u);
}

TEST(RegistryFileTest, EmptyFileIsAnEmptyHive) {
    RegHive hive = Parse("");
    EXPECT_TRUE(hive.root.subKeys.empty());
    EXPECT_TRUE(hive.root.entries.empty());
}

TEST(RegistryFileTest, RepeatedSectionsMergeAndLaterValuesWin) {
    RegHive hive = Parse(
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\A]\n\"v\"=dword:1\n\"w\"=\"1\"\n"
        "\n[hkey_current_user\\a\\B]\n\n[HKEY_CURRENT_USER\\A]\n\"V\"=dword:2\n");
    const RegKeyNode* key = hive.root.Find({"a"});
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->name, "A");
    ASSERT_EQ(key->entries.size(), 2u);
    EXPECT_EQ(key->entries[0].name, "v");
    EXPECT_EQ(key->entries[0].dword, 2u);
    EXPECT_EQ(key->subKeys.size(), 1u);
}

TEST(RegistryFileTest, NamesCompareWithoutCaseBeyondAscii) {
    EXPECT_TRUE(platform::SameName("Software\\KORVANTA", "software\\korvanta"));
    EXPECT_TRUE(platform::SameName("ÄÖÜ", "äöü"));
    EXPECT_TRUE(platform::SameName("ŁÓDŹ", "łódź"));
    EXPECT_TRUE(platform::SameName("ΣΑΒ", "σαβ"));
    EXPECT_TRUE(platform::SameName("ЖЁЛТЫЙ", "жёлтый"));
    EXPECT_FALSE(platform::SameName("a", "b"));
    EXPECT_FALSE(platform::SameName("ä", "a"));
    EXPECT_FALSE(platform::SameName(std::string("\xC3", 1), std::string("\xE3", 1)));
}

struct MalformedCase {
    const char* label;
    std::string text;
    int line;
};

class RegistryFileMalformed : public testing::TestWithParam<MalformedCase> {};

TEST_P(RegistryFileMalformed, ReportsSourceAndLine) {
    const MalformedCase& c = GetParam();
    try {
        Parse(c.text);
        FAIL() << "no error for " << c.label;
    } catch (const ERegistryFormatError& e) {
        EXPECT_EQ(e.Line(), c.line);
        EXPECT_EQ(std::string(e.what()).rfind("test.reg:" + std::to_string(c.line) + ": ", 0), 0u)
            << e.what();
    }
}

const std::string kHead = "REGEDIT4\n\n[HKEY_CURRENT_USER\\A]\n";  // lines 1-3

INSTANTIATE_TEST_SUITE_P(
    Table, RegistryFileMalformed,
    testing::Values(MalformedCase{"NoHeader", "[HKEY_CURRENT_USER\\A]\n", 1},
                    MalformedCase{"OtherHeader", "Windows Registry Editor Version 5.00\n", 1},
                    MalformedCase{"ValueBeforeKey", "REGEDIT4\n\"a\"=\"b\"\n", 2},
                    MalformedCase{"OtherHive", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n", 3},
                    MalformedCase{"UnclosedKey", "REGEDIT4\n\n[HKEY_CURRENT_USER\\A\n", 3},
                    MalformedCase{"EmptyKeyName", "REGEDIT4\n\n[HKEY_CURRENT_USER\\A\\\\B]\n", 3},
                    MalformedCase{"DwordTooLong", kHead + "\"a\"=dword:123456789\n", 4},
                    MalformedCase{"DwordNotHex", kHead + "\"a\"=\"ok\"\n\"b\"=dword:12g4\n", 5},
                    MalformedCase{"DwordEmpty", kHead + "\"a\"=dword:\n", 4},
                    MalformedCase{"UnterminatedName", kHead + "\"a=\"b\n", 4},
                    MalformedCase{"UnterminatedText", kHead + "\"a\"=\"b\n", 4},
                    MalformedCase{"TextAfterQuote", kHead + "\"a\"=\"b\" c\n", 4},
                    MalformedCase{"UnknownEscape", kHead + "\"a\"=\"\\q\"\n", 4},
                    MalformedCase{"ShortHexEscape", kHead + "\"a\"=\"\\x4\"\n", 4},
                    MalformedCase{"NoEquals", kHead + "\"a\" \"b\"\n", 4},
                    MalformedCase{"UntypedData", kHead + "\"a\"=12\n", 4},
                    MalformedCase{"StrayLine", kHead + "\n\nhello\n", 6}),
    [](const testing::TestParamInfo<MalformedCase>& info) { return info.param.label; });

}  // namespace
