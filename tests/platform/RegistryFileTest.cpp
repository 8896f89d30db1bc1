// The hive's text form: what it looks like, that every name and text survives it, what is kept as
// written, what hand-edited and exported files hold, and that lines that cannot be read stay in place.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/platform/RegistryTestTools.h"
#include "platform/RegistryFile.h"

namespace {

using registrytest::Utf16Le;

using platform::ParseHive;
using platform::RegEntry;
using platform::RegHive;
using platform::RegKeyNode;
using platform::SerialiseHive;

const std::string kRoot = "HKEY_CURRENT_USER";

RegHive Parse(const std::string& text) {
    return ParseHive(text, kRoot);
}

RegKeyNode& Key(RegHive& hive, const std::vector<std::string>& path) {
    bool created = false;
    return hive.root.FindOrCreate(path, created);
}

TEST(RegistryFileTest, WritesTheRegedit4Form) {
    RegHive hive(kRoot);
    RegKeyNode& prefs = Key(hive, {"Software", "Korvanta", "Strevio", "Preferences"});
    prefs.entries.push_back({RegEntry::Kind::Dword, "FirstRun", {}, 1, {}});
    prefs.entries.push_back({RegEntry::Kind::Dword, "Volume", {}, 0xFFFFFFFF, {}});
    prefs.entries.push_back({RegEntry::Kind::String, "", "default", 0, {}});
    prefs.entries.push_back({RegEntry::Kind::String, "Path", "C:\\a \"b\"", 0, {}});
    Key(hive, {"Software", "Empty"});

    // The keys above Preferences are implied by its path; an empty key needs a section to exist.
    EXPECT_EQ(SerialiseHive(hive),
              "REGEDIT4\n"
              "\n[HKEY_CURRENT_USER\\Software\\Korvanta\\Strevio\\Preferences]\n"
              "\"FirstRun\"=dword:00000001\n"
              "\"Volume\"=dword:ffffffff\n"
              "@=\"default\"\n"
              "\"Path\"=\"C:\\\\a \\\"b\\\"\"\n"
              "\n[HKEY_CURRENT_USER\\Software\\Empty]\n"
              "\n");
}

struct TrickyCase {
    const char* label;
    std::string name;
    std::string text;
};

void PrintTo(const TrickyCase& c, std::ostream* os) { *os << c.label; }

class RegistryFileRoundTrip : public testing::TestWithParam<TrickyCase> {};

TEST_P(RegistryFileRoundTrip, NameAndTextComeBackUnchanged) {
    const TrickyCase& c = GetParam();
    RegHive hive(kRoot);
    // The same text is used as a key name too, where the text form can hold it.
    const bool keyable = platform::IsValidKeyName(c.name);
    RegKeyNode& key =
        Key(hive, keyable ? std::vector<std::string>{"K", c.name} : std::vector<std::string>{"K"});
    key.entries.push_back({RegEntry::Kind::String, c.name, c.text, 0, {}});
    key.entries.push_back({RegEntry::Kind::Dword, c.name + "#", {}, 0x80000001, {}});

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
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 6) << text;
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

struct AcceptedCase {
    const char* label;
    std::string text;
};

void PrintTo(const AcceptedCase& c, std::ostream* os) { *os << c.label; }

class RegistryFileAccepted : public testing::TestWithParam<AcceptedCase> {};

// Every form reads the same two values and is written back byte for byte.
TEST_P(RegistryFileAccepted, ReadsTheValuesAndWritesTheTextBackUnchanged) {
    const AcceptedCase& c = GetParam();
    RegHive hive = Parse(c.text);
    EXPECT_TRUE(hive.unreadable.empty()) << hive.unreadable.front().line << ": " << hive.unreadable.front().reason;
    const RegKeyNode* key = hive.root.Find({"A"});
    ASSERT_NE(key, nullptr);
    ASSERT_NE(key->FindValue("x"), nullptr);
    EXPECT_EQ(key->FindValue("x")->text, "y;z");
    ASSERT_NE(key->FindValue("n"), nullptr);
    EXPECT_EQ(key->FindValue("n")->dword, 255u);
    EXPECT_EQ(SerialiseHive(hive), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RegistryFileAccepted,
    testing::Values(
        AcceptedCase{"Plain", "REGEDIT4\n\n[HKEY_CURRENT_USER\\A]\n\"x\"=\"y;z\"\n\"n\"=dword:000000ff\n\n"},
        AcceptedCase{"ByteOrderMarkAndCrLf",
                     "\xEF\xBB\xBFREGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\A]\r\n\"x\"=\"y;z\"\r\n\"n\"=dword:ff\r\n\r\n"},
        AcceptedCase{"CarriageReturnsOnly", "REGEDIT4\r\r[HKEY_CURRENT_USER\\A]\r\"x\"=\"y;z\"\r\"n\"=dword:ff\r\r"},
        AcceptedCase{"Version5Header", "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\A]\r\n"
                                       "\"x\"=\"y;z\"\r\n\"n\"=dword:000000ff\r\n\r\n"},
        AcceptedCase{"Utf16LittleEndian",
                     "\xFF\xFE" + Utf16Le("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\A]\r\n"
                             "\"x\"=\"y;z\"\r\n\"n\"=dword:000000ff\r\n\r\n")},
        AcceptedCase{"BlanksAroundEqualsAndIndent",
                     "REGEDIT4\n\n[HKEY_CURRENT_USER\\A]\n  \"x\" = \"y;z\"  \n\"n\"\t=\tdword:ff\n\n"},
        AcceptedCase{"TrailingComments", "REGEDIT4\n\n[HKEY_CURRENT_USER\\A] ; the key\n\"x\"=\"y;z\" ; a \"note\"\n"
                                         "\"n\"=dword:000000ff;tight\n; own line\n\n"}),
    [](const testing::TestParamInfo<AcceptedCase>& info) { return info.param.label; });

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

struct UnreadableCase {
    const char* label;
    std::string text;
    int line;
};

void PrintTo(const UnreadableCase& c, std::ostream* os) { *os << c.label; }

class RegistryFileUnreadable : public testing::TestWithParam<UnreadableCase> {};

// The line is reported, kept as written in its place, and the rest of the hive is read.
TEST_P(RegistryFileUnreadable, IsReportedAndKeptAsWritten) {
    const UnreadableCase& c = GetParam();
    RegHive hive = Parse(c.text);
    ASSERT_EQ(hive.unreadable.size(), 1u) << c.label;
    EXPECT_EQ(hive.unreadable[0].line, c.line);
    EXPECT_FALSE(hive.unreadable[0].reason.empty());
    EXPECT_EQ(SerialiseHive(hive), c.text);
    const RegKeyNode* kept = hive.root.Find({"Z"});
    ASSERT_NE(kept, nullptr) << c.label;
    ASSERT_NE(kept->FindValue("ok"), nullptr) << c.label;
    EXPECT_EQ(kept->FindValue("ok")->dword, 1u);
}

const std::string kHead = "REGEDIT4\n\n[HKEY_CURRENT_USER\\A]\n";                        // lines 1-3
const std::string kTail = "\n[HKEY_CURRENT_USER\\Z]\n\"ok\"=dword:00000001\n\n";  // a readable key after

INSTANTIATE_TEST_SUITE_P(
    Table, RegistryFileUnreadable,
    testing::Values(UnreadableCase{"ValueBeforeKey", "REGEDIT4\n\"a\"=\"b\"\n" + kTail, 2},
                    UnreadableCase{"OtherHive", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=\"b\"\n" + kTail, 3},
                    UnreadableCase{"KeyDeletion", kHead + "\n[-HKEY_CURRENT_USER\\A\\B]\n" + kTail, 5},
                    UnreadableCase{"UnclosedKey", "REGEDIT4\n\n[HKEY_CURRENT_USER\\A\n\"a\"=\"b\"\n" + kTail, 3},
                    UnreadableCase{"EmptyKeyName", "REGEDIT4\n\n[HKEY_CURRENT_USER\\A\\\\B]\n" + kTail, 3},
                    UnreadableCase{"DwordTooLong", kHead + "\"a\"=dword:123456789\n" + kTail, 4},
                    UnreadableCase{"DwordNotHex", kHead + "\"a\"=\"ok\"\n\"b\"=dword:12g4\n" + kTail, 5},
                    UnreadableCase{"DwordEmpty", kHead + "\"a\"=dword:\n" + kTail, 4},
                    UnreadableCase{"UnterminatedName", kHead + "\"a=\"b\n" + kTail, 4},
                    UnreadableCase{"UnterminatedText", kHead + "\"a\"=\"b\n" + kTail, 4},
                    UnreadableCase{"TextAfterQuote", kHead + "\"a\"=\"b\" c\n" + kTail, 4},
                    UnreadableCase{"UnknownEscape", kHead + "\"a\"=\"\\q\"\n" + kTail, 4},
                    UnreadableCase{"ShortHexEscape", kHead + "\"a\"=\"\\x4\"\n" + kTail, 4},
                    UnreadableCase{"NoEquals", kHead + "\"a\" \"b\"\n" + kTail, 4},
                    UnreadableCase{"UntypedData", kHead + "\"a\"=12\n" + kTail, 4},
                    UnreadableCase{"DeletedValue", kHead + "\"a\"=-\n" + kTail, 4},
                    UnreadableCase{"StrayLine", kHead + "Volume=5\n" + kTail, 4}),
    [](const testing::TestParamInfo<UnreadableCase>& info) { return info.param.label; });

TEST(RegistryFileTest, AHeaderlessFileGetsOneAndKeepsItsLines) {
    RegHive hive = Parse("[HKEY_CURRENT_USER\\A]\n\"n\"=dword:00000002\n\n");
    EXPECT_TRUE(hive.unreadable.empty());
    EXPECT_TRUE(hive.recognised);
    // Without a header and without one readable section a text is no hive.
    EXPECT_FALSE(Parse("this is not a registry file\n[unclosed\n").recognised);
    EXPECT_TRUE(Parse("\n \n").recognised);
    EXPECT_EQ(hive.root.Find({"A"})->FindValue("n")->dword, 2u);
    EXPECT_EQ(SerialiseHive(hive), "REGEDIT4\n\n[HKEY_CURRENT_USER\\A]\n\"n\"=dword:00000002\n\n");
}

TEST(RegistryFileTest, DeepNestingIsWrittenInLinearSize) {
    constexpr size_t kDepth = 50000;
    RegHive hive(kRoot);
    RegKeyNode* node = &hive.root;
    for (size_t i = 0; i < kDepth; ++i) {
        node->subKeys.emplace_back("k");
        node = &node->subKeys.back();
    }
    node->entries.push_back({RegEntry::Kind::Dword, "deep", {}, 7, {}});
    const std::string text = SerialiseHive(hive);
    // The path is written once: "\k" per level, and a few lines around it.
    EXPECT_LT(text.size(), 2 * kDepth + 100);
    RegHive back = Parse(text);
    const RegHive copy = back;  // copies and destroys without recursion
    const RegKeyNode* bottom = &copy.root;
    size_t depth = 0;
    while (!bottom->subKeys.empty()) {
        bottom = &bottom->subKeys.front();
        ++depth;
    }
    EXPECT_EQ(depth, kDepth);
    ASSERT_NE(bottom->FindValue("deep"), nullptr);
    EXPECT_EQ(bottom->FindValue("deep")->dword, 7u);
    EXPECT_EQ(SerialiseHive(copy), text);
}

}  // namespace
