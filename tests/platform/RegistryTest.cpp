// The registry as its callers use it: keys and typed values in the hive files, names without regard to
// case, read-only keys, deletion, files that cannot be read, and several processes at once.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/platform/RegistryTestTools.h"
#include "platform/Registry.h"
#include "tests/support/TestEnv.h"

namespace {

using registrytest::Utf16Le;

namespace fs = std::filesystem;
using platform::ERegistryException;
using platform::HKEY_CLASSES_ROOT;
using platform::HKEY_CURRENT_USER;
using platform::TRegDataType;
using platform::TRegistry;
using testing::ElementsAre;
using testsupport::ReadFile;
using testsupport::WriteFile;

fs::path HiveFile(const testsupport::IsolatedHome& home, const char* name = "HKEY_CURRENT_USER") {
    return home.configHome() / "registry" / (std::string(name) + ".reg");
}

std::vector<fs::path> FilesStartingWith(const fs::path& folder, const std::string& prefix) {
    std::vector<fs::path> found;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        if (entry.path().filename().string().rfind(prefix, 0) == 0) {
            found.push_back(entry.path());
        }
    }
    return found;
}

// Runs `body` in a child process and returns the child's id; the child exits with body's result.
pid_t Spawn(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        int rc = 3;
        try {
            rc = body();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "child: %s\n", e.what());
        }
        ::_exit(rc);
    }
    return pid;
}

// The child's exit code, or -1 when it did not end in time (it is killed then) or did not exit normally.
int WaitChild(pid_t pid, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(RegistryTest, HiveFilesLiveInTheConfigFolder) {
    testsupport::IsolatedHome home;
    EXPECT_EQ(platform::HivePath(HKEY_CURRENT_USER), HiveFile(home));
    EXPECT_EQ(platform::HivePath(HKEY_CLASSES_ROOT), HiveFile(home, "HKEY_CLASSES_ROOT"));

    testsupport::ScopedEnv home2("HOME", home.root().string());
    for (const char* unusable : {"", "relative/config"}) {
        testsupport::ScopedEnv xdg("XDG_CONFIG_HOME", std::string(unusable));
        EXPECT_EQ(platform::HivePath(HKEY_CURRENT_USER),
                  home.root() / ".config" / "registry" / "HKEY_CURRENT_USER.reg");
    }
}

TEST(RegistryTest, StoresTypedValuesThatAnotherObjectReadsBack) {
    testsupport::IsolatedHome home;
    {
        TRegistry reg;
        EXPECT_EQ(reg.RootKey(), HKEY_CURRENT_USER);
        ASSERT_TRUE(reg.OpenKey("Software\\Korvanta\\Strevio\\Preferences", true));
        reg.WriteInteger("Volume", 127);
        reg.WriteInteger("Negative", -2);
        reg.WriteString("Name", "Grüße \"x\"");
        reg.WriteString("", "default");
    }
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKeyReadOnly("Software\\Korvanta\\Strevio\\Preferences"));
    EXPECT_EQ(reg.ReadInteger("Volume"), 127);
    EXPECT_EQ(reg.ReadInteger("Negative"), -2);
    EXPECT_EQ(reg.ReadString("Name"), "Grüße \"x\"");
    EXPECT_EQ(reg.ReadString(""), "default");
    EXPECT_THAT(reg.GetValueNames(), ElementsAre("Volume", "Negative", "Name", ""));

    const std::string text = ReadFile(HiveFile(home));
    EXPECT_EQ(text.rfind("REGEDIT4\n", 0), 0u);
    EXPECT_NE(text.find("[HKEY_CURRENT_USER\\Software\\Korvanta\\Strevio\\Preferences]\n"
                        "\"Volume\"=dword:0000007f\n"
                        "\"Negative\"=dword:fffffffe\n"
                        "\"Name\"=\"Grüße \\\"x\\\"\"\n"
                        "@=\"default\"\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(fs::status(HiveFile(home)).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
}

TEST(RegistryTest, TheTwoHivesAreSeparate) {
    testsupport::IsolatedHome home;
    TRegistry reg(HKEY_CLASSES_ROOT);
    ASSERT_TRUE(reg.OpenKey("\\.mp4", true));
    reg.WriteString("", "Strevio.MP4");
    EXPECT_NE(
        ReadFile(HiveFile(home, "HKEY_CLASSES_ROOT")).find("[HKEY_CLASSES_ROOT\\.mp4]\n@=\"Strevio.MP4\"\n"),
        std::string::npos);

    reg.SetRootKey(HKEY_CURRENT_USER);
    EXPECT_EQ(reg.CurrentPath(), "");
    EXPECT_FALSE(reg.KeyExists("\\.mp4"));
    reg.SetRootKey(HKEY_CLASSES_ROOT);
    ASSERT_TRUE(reg.OpenKeyReadOnly("\\.MP4"));
    EXPECT_EQ(reg.ReadString(""), "Strevio.MP4");
}

TEST(RegistryTest, OpeningAMissingKeyWithoutCreatingFails) {
    testsupport::IsolatedHome home;
    TRegistry reg;
    EXPECT_FALSE(reg.OpenKey("Software\\Missing", false));
    EXPECT_FALSE(reg.OpenKeyReadOnly("Software\\Missing"));
    EXPECT_FALSE(reg.KeyExists("Software"));
    EXPECT_FALSE(fs::exists(HiveFile(home)));  // looking creates nothing
    EXPECT_FALSE(reg.OpenKey(std::string("Bad\x01Name"), true));
    EXPECT_FALSE(fs::exists(HiveFile(home)));
}

TEST(RegistryTest, ReadValueNamesListsAKeysValuesOrNoneAndWritesNothing) {
    testsupport::IsolatedHome home;
    EXPECT_TRUE(platform::ReadValueNames(HKEY_CURRENT_USER, "Software\\Missing").empty());
    EXPECT_FALSE(fs::exists(HiveFile(home)));
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("Software\\List", true));
        reg.WriteInteger("MP4", 1);
        reg.WriteString("", "default");
        reg.WriteInteger("avi", 1);
    }
    const std::string before = ReadFile(HiveFile(home));
    EXPECT_THAT(platform::ReadValueNames(HKEY_CURRENT_USER, "software\\list"), ElementsAre("MP4", "", "avi"));
    EXPECT_TRUE(platform::ReadValueNames(HKEY_CLASSES_ROOT, "Software\\List").empty());
    EXPECT_EQ(ReadFile(HiveFile(home)), before);
}

TEST(RegistryTest, PathsAreRelativeToTheOpenKeyOrAbsolute) {
    testsupport::IsolatedHome home;
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("Software", true));
    ASSERT_TRUE(reg.OpenKey("Korvanta\\Strevio", true));
    EXPECT_EQ(reg.CurrentPath(), "Software\\Korvanta\\Strevio");
    EXPECT_TRUE(reg.KeyExists("\\Software\\Korvanta"));
    EXPECT_FALSE(reg.KeyExists("Korvanta"));  // relative: Software\Korvanta\Strevio\Korvanta

    ASSERT_TRUE(reg.OpenKey("\\Other\\", true));
    EXPECT_EQ(reg.CurrentPath(), "Other");
    reg.WriteInteger("x", 1);
    ASSERT_TRUE(reg.OpenKey("\\", false));
    EXPECT_EQ(reg.CurrentPath(), "");
    EXPECT_THAT(reg.GetKeyNames(), ElementsAre("Software", "Other"));

    reg.CloseKey();
    EXPECT_TRUE(reg.KeyExists("Software\\Korvanta\\Strevio"));
    EXPECT_FALSE(reg.ValueExists("x"));
    ASSERT_TRUE(reg.OpenKey("Other", false));
    EXPECT_TRUE(reg.ValueExists("x"));
}

TEST(RegistryTest, NamesIgnoreCaseAndKeepTheFirstSpelling) {
    testsupport::IsolatedHome home;
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("Software\\Korvanta", true));
    reg.WriteInteger("Volume", 1);
    reg.WriteInteger("VOLUME", 2);
    reg.WriteString("Größe", "a");
    reg.WriteString("GRÖSSE", "b");  // not the same name: ß does not fold to ss
    reg.WriteString("gröSSE", "c");
    EXPECT_THAT(reg.GetValueNames(), ElementsAre("Volume", "Größe", "GRÖSSE"));
    EXPECT_EQ(reg.ReadInteger("volume"), 2);
    EXPECT_EQ(reg.ReadString("GRÖSSE"), "c");
    EXPECT_TRUE(reg.ValueExists("vOlUmE"));

    ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\KORVANTA\\Strevio", true));
    ASSERT_TRUE(reg.OpenKey("\\software\\korvanta\\STREVIO", true));
    EXPECT_EQ(reg.CurrentPath(), "software\\korvanta\\STREVIO");  // as the caller spelled it
    ASSERT_TRUE(reg.OpenKey("\\software", false));
    EXPECT_THAT(reg.GetKeyNames(), ElementsAre("Korvanta"));
    ASSERT_TRUE(reg.OpenKey("korvanta", false));
    EXPECT_THAT(reg.GetKeyNames(), ElementsAre("Strevio"));
    EXPECT_TRUE(reg.DeleteValue("VOLUME"));
    EXPECT_FALSE(reg.ValueExists("Volume"));
}

TEST(RegistryTest, ReadingTheWrongTypeRaises) {
    testsupport::IsolatedHome home;
    WriteFile(HiveFile(home),
              "REGEDIT4\n\n[HKEY_CURRENT_USER\\T]\n\"Text\"=\"12\"\n\"Number\"=dword:0000000c\n"
              "\"Blob\"=hex:01,02\n\"Expand\"=hex(2):25,00\n\"Multi\"=hex(7):00,00\n");
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKeyReadOnly("T"));
    EXPECT_THROW(reg.ReadInteger("Text"), ERegistryException);
    EXPECT_THROW(reg.ReadString("Number"), ERegistryException);
    EXPECT_THROW(reg.ReadInteger("Missing"), ERegistryException);
    EXPECT_EQ(reg.ReadString("Missing"), "");
    for (const char* other : {"Blob", "Expand", "Multi"}) {
        EXPECT_THROW(reg.ReadString(other), ERegistryException) << other;
        EXPECT_THROW(reg.ReadInteger(other), ERegistryException) << other;
    }
    EXPECT_EQ(reg.GetDataType("Text"), TRegDataType::rdString);
    EXPECT_EQ(reg.GetDataType("number"), TRegDataType::rdInteger);
    EXPECT_EQ(reg.GetDataType("Blob"), TRegDataType::rdBinary);
    EXPECT_EQ(reg.GetDataType("Expand"), TRegDataType::rdExpandString);
    EXPECT_EQ(reg.GetDataType("Multi"), TRegDataType::rdUnknown);
    EXPECT_EQ(reg.GetDataType("Missing"), TRegDataType::rdUnknown);
    try {
        reg.ReadInteger("Text");
    } catch (const ERegistryException& e) {
        EXPECT_STREQ(e.what(), "Invalid data type for 'Text'");
    }
}

TEST(RegistryTest, WritingChangesTheType) {
    testsupport::IsolatedHome home;
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("T", true));
    reg.WriteString("v", "text");
    reg.WriteInteger("V", 5);
    EXPECT_EQ(reg.GetDataType("v"), TRegDataType::rdInteger);
    EXPECT_EQ(reg.ReadInteger("v"), 5);
    EXPECT_THAT(reg.GetValueNames(), ElementsAre("v"));
}

TEST(RegistryTest, AReadOnlyKeyRefusesChanges) {
    testsupport::IsolatedHome home;
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("Software\\Orvissa\\DisabledExts\\Sub", true));
    ASSERT_TRUE(reg.OpenKey("\\Software\\Orvissa\\DisabledExts", false));
    reg.WriteInteger("mp4", 0);
    const std::string before = ReadFile(HiveFile(home));

    ASSERT_TRUE(reg.OpenKeyReadOnly("\\Software\\Orvissa\\DisabledExts"));
    EXPECT_EQ(reg.ReadInteger("mp4"), 0);
    EXPECT_THROW(reg.WriteInteger("mkv", 0), ERegistryException);
    EXPECT_THROW(reg.WriteString("mkv", ""), ERegistryException);
    EXPECT_FALSE(reg.DeleteValue("mp4"));
    EXPECT_FALSE(reg.DeleteKey("Sub"));
    EXPECT_EQ(ReadFile(HiveFile(home)), before);

    // Opening the same key normally makes it writable again.
    ASSERT_TRUE(reg.OpenKey("", false));
    reg.WriteInteger("mkv", 0);
    EXPECT_THAT(reg.GetValueNames(), ElementsAre("mp4", "mkv"));
}

TEST(RegistryTest, DeleteKeyRemovesEverythingBelowIt) {
    testsupport::IsolatedHome home;
    TRegistry reg;
    const std::string prefs = "\\Software\\Korvanta\\Strevio\\Preferences";
    for (const char* list : {"AssociatedFileTypes", "NotAssociatedFileTypes", "CanAssociateToFileTypes"}) {
        ASSERT_TRUE(reg.OpenKey(prefs + "\\" + list + "\\Deeper", true));
        reg.WriteInteger(".MP4", 1);
    }
    ASSERT_TRUE(reg.OpenKey("\\Software\\Keep", true));
    reg.WriteInteger("x", 1);

    ASSERT_TRUE(reg.OpenKey(prefs, false));
    EXPECT_TRUE(reg.HasSubKeys());
    EXPECT_TRUE(reg.DeleteKey("associatedfiletypes"));
    EXPECT_THAT(reg.GetKeyNames(), ElementsAre("NotAssociatedFileTypes", "CanAssociateToFileTypes"));
    EXPECT_FALSE(reg.DeleteKey("AssociatedFileTypes"));

    reg.CloseKey();
    EXPECT_TRUE(reg.DeleteKey("Software\\Korvanta"));
    EXPECT_FALSE(reg.KeyExists(prefs + "\\CanAssociateToFileTypes\\Deeper"));
    EXPECT_FALSE(reg.KeyExists("Software\\Korvanta"));
    EXPECT_TRUE(reg.KeyExists("Software\\Keep"));
    EXPECT_FALSE(reg.DeleteKey("\\"));
    EXPECT_FALSE(reg.DeleteKey(""));
    EXPECT_EQ(ReadFile(HiveFile(home)).find("Korvanta"), std::string::npos);
}

TEST(RegistryTest, AWriteDoesNotBringBackAKeyDeletedMeanwhile) {
    testsupport::IsolatedHome home;
    TRegistry first;
    TRegistry second;
    ASSERT_TRUE(first.OpenKey("Software\\Gone", true));
    ASSERT_TRUE(second.DeleteKey("Software\\Gone"));
    EXPECT_THROW(first.WriteInteger("x", 1), ERegistryException);
    EXPECT_FALSE(second.KeyExists("Software\\Gone"));
    EXPECT_FALSE(first.ValueExists("x"));
    EXPECT_EQ(first.ReadString("x"), "");
}

TEST(RegistryTest, ReadsSeeChangesMadeElsewhere) {
    testsupport::IsolatedHome home;
    TRegistry reader;
    TRegistry writer;
    ASSERT_TRUE(writer.OpenKey("K", true));
    writer.WriteInteger("n", 1);
    ASSERT_TRUE(reader.OpenKeyReadOnly("K"));
    EXPECT_EQ(reader.ReadInteger("n"), 1);
    writer.WriteInteger("n", 2);
    EXPECT_EQ(reader.ReadInteger("n"), 2);

    // Also an edit made in place by hand, which keeps the file's identity.
    WriteFile(HiveFile(home), "REGEDIT4\n\n[HKEY_CURRENT_USER\\K]\n\"n\"=dword:00000003\n\"m\"=\"new\"\n");
    EXPECT_EQ(reader.ReadInteger("n"), 3);
    EXPECT_EQ(reader.ReadString("m"), "new");
}

TEST(RegistryTest, ValuesOfOtherTypesAndCommentsSurviveChanges) {
    testsupport::IsolatedHome home;
    const std::string kept =
        "; hand-written note\n"
        "\n[HKEY_CURRENT_USER\\Software]\n"
        "\n[HKEY_CURRENT_USER\\Software\\Other]\n"
        "\"Blob\"=hex:01,02,03,\\\n"
        "  04,05\n"
        "; about Path\n"
        "\"Path\"=hex(2):25,00,00\n";
    WriteFile(HiveFile(home), "REGEDIT4\n" + kept);
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("Software\\Other", true));
    reg.WriteInteger("Added", 1);
    EXPECT_EQ(ReadFile(HiveFile(home)), "REGEDIT4\n" + kept + "\"Added\"=dword:00000001\n\n");
    EXPECT_TRUE(reg.DeleteValue("Blob"));
    EXPECT_THAT(reg.GetValueNames(), ElementsAre("Path", "Added"));
}

// Every value of the hive, as "Key\Path|Name" -> "type:data", read through TRegistry.
std::map<std::string, std::string> AllValues() {
    std::map<std::string, std::string> values;
    TRegistry reg;
    std::vector<std::string> pending{""};
    while (!pending.empty()) {
        const std::string key = pending.back();
        pending.pop_back();
        if (!reg.OpenKeyReadOnly("\\" + key)) {
            ADD_FAILURE() << "cannot open " << key;
            continue;
        }
        for (const std::string& name : reg.GetValueNames()) {
            const TRegDataType type = reg.GetDataType(name);
            values[key + "|" + name] = type == TRegDataType::rdInteger  ? "dword:" + std::to_string(reg.ReadInteger(name))
                                       : type == TRegDataType::rdString ? "text:" + reg.ReadString(name)
                                                                        : "other";
        }
        for (const std::string& sub : reg.GetKeyNames()) {
            pending.push_back(key.empty() ? sub : key + "\\" + sub);
        }
    }
    return values;
}

struct HiveVariant {
    const char* label;
    std::string text;            // the file as the user left it
    std::vector<std::string> lines;  // lines that must come back byte for byte
    std::map<std::string, std::string> values;  // values that must be read before and after
    bool utf16 = false;
};

const std::map<std::string, std::string> kSettings = {
    {"Software\\Korvanta\\Strevio\\Preferences|Volume", "dword:127"},
    {"Software\\Korvanta\\Strevio\\Preferences|Skin", "text:dark"},
    {"Software\\Orvissa\\Pollwick|LastCheck", "text:2026-12-01"},
};

std::vector<HiveVariant> HiveVariants() {
    const std::string prefs = "[HKEY_CURRENT_USER\\Software\\Korvanta\\Strevio\\Preferences]";
    const std::string poll = "[HKEY_CURRENT_USER\\Software\\Orvissa\\Pollwick]";
    const auto with = [](std::map<std::string, std::string> extra) {
        extra.insert(kSettings.begin(), kSettings.end());
        return extra;
    };
    const auto body = [&](const std::string& eol, const std::string& odd) {
        return prefs + eol + "\"Volume\"=dword:0000007f" + eol + odd + "\"Skin\"=\"dark\"" + eol + eol + poll + eol +
               "\"LastCheck\"=\"2026-12-01\"" + eol + eol;
    };
    const std::string v5 = "Windows Registry Editor Version 5.00\r\n\r\n";
    return {
        {"HandEditedBlanksAroundEquals", "REGEDIT4\n\n" + body("\n", "\"Volume2\" = dword:00000001\n"),
         {"\"Volume2\" = dword:00000001", "\"Volume\"=dword:0000007f"},
         with({{"Software\\Korvanta\\Strevio\\Preferences|Volume2", "dword:1"}})},
        {"TrailingComment", "REGEDIT4\n\n" + body("\n", "\"Mute\"=dword:00000000 ; muted at night\n"),
         {"\"Mute\"=dword:00000000 ; muted at night"},
         with({{"Software\\Korvanta\\Strevio\\Preferences|Mute", "dword:0"}})},
        {"Version5Header", v5 + body("\r\n", ""), {"Windows Registry Editor Version 5.00\r\n", "\"Skin\"=\"dark\"\r\n"},
         kSettings},
        {"Utf16LittleEndianWithBom", "\xFF\xFE" + Utf16Le(v5 + body("\r\n", "\"Blob\"=hex:01,02\r\n")),
         {Utf16Le("\"Blob\"=hex:01,02\r\n"), Utf16Le("\"LastCheck\"=\"2026-12-01\"\r\n")},
         with({{"Software\\Korvanta\\Strevio\\Preferences|Blob", "other"}}), true},
        {"CarriageReturnsOnly", "REGEDIT4\r\r" + body("\r", ""), {"\"Volume\"=dword:0000007f\r"}, kSettings},
        {"KeyDeletionLine",
         "REGEDIT4\n\n[-HKEY_CURRENT_USER\\Software\\Old]\n\"x\"=\"y\"\n\n" + body("\n", ""),
         {"[-HKEY_CURRENT_USER\\Software\\Old]\n\"x\"=\"y\"\n"}, kSettings},
        {"UnreadableLineInsideAKey", "REGEDIT4\n\n" + body("\n", "Volume=5\n\"Bad\"=dword:zz\n"),
         {"Volume=5\n\"Bad\"=dword:zz\n"}, kSettings},
        {"TruncatedMidText", "REGEDIT4\n\n" + body("\n", "") + poll + "\n\"Last\"=\"unfini",
         {"\"Last\"=\"unfini"}, kSettings},
    };
}

// A hive in any of these forms keeps every other value, and every line, after writes to it: one to a key
// it holds and one (zeb's) to a key it does not. A reader never writes.
TEST(RegistryTest, EveryHiveVariantKeepsAllOtherValuesAfterAWrite) {
    for (const HiveVariant& variant : HiveVariants()) {
        SCOPED_TRACE(variant.label);
        testsupport::IsolatedHome home;
        const fs::path file = HiveFile(home);
        WriteFile(file, variant.text);

        const std::map<std::string, std::string> before = AllValues();
        for (const auto& [name, value] : variant.values) {
            EXPECT_EQ(before.count(name) ? before.at(name) : "(missing)", value) << name;
        }
        {
            TRegistry reader;
            EXPECT_TRUE(reader.OpenKeyReadOnly("Software\\Korvanta\\Strevio\\Preferences"));
            EXPECT_FALSE(reader.OpenKeyReadOnly("Software\\Orvissa\\DisabledExts"));
        }
        EXPECT_EQ(ReadFile(file), variant.text) << "a reader changed the file";

        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("Software\\Korvanta\\Strevio\\Preferences", true));
        reg.WriteInteger("Added", 1);
        ASSERT_TRUE(reg.OpenKey("\\Software\\Orvissa\\DisabledExts", true));
        reg.WriteInteger("xyz", 0);

        std::map<std::string, std::string> expected = before;
        expected["Software\\Korvanta\\Strevio\\Preferences|Added"] = "dword:1";
        expected["Software\\Orvissa\\DisabledExts|xyz"] = "dword:0";
        EXPECT_EQ(AllValues(), expected);
        const std::string after = ReadFile(file);
        for (const std::string& line : variant.lines) {
            EXPECT_NE(after.find(line), std::string::npos) << "lost: " << line;
        }
        EXPECT_EQ(after.rfind(variant.utf16 ? "\xFF\xFE" : variant.text.substr(0, 8), 0), 0u);
        EXPECT_TRUE(FilesStartingWith(file.parent_path(), "HKEY_CURRENT_USER.reg.bad-").empty());
    }
}

TEST(RegistryTest, AValueWrittenAfterAnUnreadableSectionStaysInItsKey) {
    testsupport::IsolatedHome home;
    const std::string text =
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\A]\n\"a\"=dword:00000001\n\n[HKEY_CURRENT_USER\\A\n\"hidden\"=\"x\"\n";
    WriteFile(HiveFile(home), text);
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("A", false));
    reg.WriteInteger("b", 2);
    TRegistry other;
    ASSERT_TRUE(other.OpenKeyReadOnly("A"));
    EXPECT_THAT(other.GetValueNames(), ElementsAre("a", "b"));
    EXPECT_EQ(ReadFile(HiveFile(home)),
              "REGEDIT4\n\n[HKEY_CURRENT_USER\\A]\n\"a\"=dword:00000001\n\"b\"=dword:00000002\n\n"
              "[HKEY_CURRENT_USER\\A\n\"hidden\"=\"x\"\n\n");
    // Deleting the key does not take the unreadable lines with it.
    reg.CloseKey();
    ASSERT_TRUE(reg.DeleteKey("A"));
    EXPECT_EQ(ReadFile(HiveFile(home)), "REGEDIT4\n\n[HKEY_CURRENT_USER\\A\n\"hidden\"=\"x\"\n\n");
}

TEST(RegistryTest, FiftyThousandLevelsOfNestingSaveAndReadBack) {
    testsupport::IsolatedHome home;
    constexpr int kDepth = 50000;
    std::string path = "Deep";
    for (int i = 1; i < kDepth; ++i) {
        path += "\\k";
    }
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey(path, true));
        reg.WriteInteger("bottom", 50000);
        reg.CloseKey();
        ASSERT_TRUE(reg.OpenKey("Shallow", true));
        reg.WriteString("s", "kept");
    }
    EXPECT_LT(fs::file_size(HiveFile(home)), 2u * kDepth + 400);  // the path is written once
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKeyReadOnly(path));
    EXPECT_EQ(reg.ReadInteger("bottom"), 50000);
    reg.CloseKey();
    ASSERT_TRUE(reg.DeleteKey("Deep"));
    EXPECT_FALSE(reg.KeyExists("Deep"));
    ASSERT_TRUE(reg.OpenKeyReadOnly("Shallow"));
    EXPECT_EQ(reg.ReadString("s"), "kept");
}

TEST(RegistryTest, AnUnreadableHiveIsReportedAndNeverReplaced) {
    testsupport::IsolatedHome home;
    const fs::path file = HiveFile(home);
    {
        // A text that is no hive at all (no header, nothing readable) is not taken over either.
        const std::string foreign = "this is not a registry file\n[unclosed\n";
        WriteFile(file, foreign);
        TRegistry reg;
        EXPECT_THROW(reg.OpenKey("Software", true), ERegistryException);
        EXPECT_THROW(reg.KeyExists("Software"), ERegistryException);
        EXPECT_EQ(ReadFile(file), foreign);
        fs::remove(file);
    }
    fs::create_directories(file / "inside");  // a folder where the file should be cannot be read
    TRegistry reg;
    for (bool create : {false, true}) {
        try {
            reg.OpenKey("Software", create);
            ADD_FAILURE() << "no error for an unreadable hive";
        } catch (const ERegistryException& e) {
            EXPECT_NE(std::string(e.what()).find(file.string()), std::string::npos) << e.what();
        }
    }
    EXPECT_THROW(reg.WriteInteger("x", 1), ERegistryException);
    EXPECT_TRUE(fs::is_directory(file / "inside"));
    EXPECT_TRUE(FilesStartingWith(file.parent_path(), "HKEY_CURRENT_USER.reg.bad-").empty());
}

TEST(RegistryTest, ThreeProcessesWritingAtOnceLoseNothing) {
    testsupport::IsolatedHome home;
    constexpr int kWriters = 3;
    constexpr int kValues = 300;
    int gate[2];
    ASSERT_EQ(::pipe(gate), 0);
    std::vector<pid_t> children;
    for (int w = 0; w < kWriters; ++w) {
        children.push_back(Spawn([&, w] {
            ::close(gate[1]);
            char go;
            if (::read(gate[0], &go, 1) != 0) {  // every writer starts when the gate closes
                return 4;
            }
            TRegistry reg;
            if (!reg.OpenKey("Software\\Shared", true)) {
                return 5;
            }
            for (int i = 0; i < kValues; ++i) {
                reg.WriteInteger("w" + std::to_string(w) + "-" + std::to_string(i), w * 1000 + i);
            }
            return 0;
        }));
        ASSERT_GT(children.back(), 0);
    }
    ::close(gate[0]);
    ::close(gate[1]);
    for (pid_t child : children) {
        EXPECT_EQ(WaitChild(child, std::chrono::seconds(240)), 0);
    }

    TRegistry reg;
    ASSERT_TRUE(reg.OpenKeyReadOnly("Software\\Shared"));
    EXPECT_EQ(reg.GetValueNames().size(), static_cast<size_t>(kWriters * kValues));
    for (int w = 0; w < kWriters; ++w) {
        for (int i = 0; i < kValues; ++i) {
            ASSERT_EQ(reg.ReadInteger("w" + std::to_string(w) + "-" + std::to_string(i)), w * 1000 + i);
        }
    }
}

TEST(RegistryTest, AWriterKilledWhileSavingLeavesTheOldOrTheNewFile) {
    testsupport::IsolatedHome home;
    {
        // Enough content that a save takes a while, so kills land inside saves.
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("Software\\Filler", true));
        for (int i = 0; i < 150; ++i) {
            reg.WriteString("filler" + std::to_string(i), std::string(200, static_cast<char>('a' + i % 26)));
        }
        ASSERT_TRUE(reg.OpenKey("\\Software\\Counter", true));
    }
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> pauseUs(0, 20000);

    constexpr int kRounds = 200;
    size_t stored = 0;
    int killedMidSave = 0;
    for (int round = 0; round < kRounds; ++round) {
        int progress[2];
        ASSERT_EQ(::pipe(progress), 0);
        const pid_t child = Spawn([&] {
            ::close(progress[0]);
            TRegistry reg;
            if (!reg.OpenKey("Software\\Counter", false)) {
                return 5;
            }
            for (size_t n = reg.GetValueNames().size();; ++n) {
                reg.WriteInteger("v" + std::to_string(n), static_cast<std::int32_t>(n));
                if (::write(progress[1], "+", 1) != 1) {
                    return 6;
                }
            }
        });
        ASSERT_GT(child, 0);
        ::close(progress[1]);
        // The pause starts once the child has completed a write, so the kill lands while it goes on
        // writing, however slow the machine.
        size_t completed = 0;
        pollfd firstWrite{progress[0], POLLIN, 0};
        char buf[256];
        ASSERT_EQ(::poll(&firstWrite, 1, 30000), 1) << "round " << round << ": no write completed";
        ASSERT_EQ(::read(progress[0], buf, 1), 1);
        completed = 1;
        std::this_thread::sleep_for(std::chrono::microseconds(pauseUs(random)));
        ::kill(child, SIGKILL);
        EXPECT_EQ(WaitChild(child, std::chrono::seconds(60)), -1);
        for (ssize_t n; (n = ::read(progress[0], buf, sizeof buf)) > 0;) {
            completed += static_cast<size_t>(n);
        }
        ::close(progress[0]);
        killedMidSave += FilesStartingWith(HiveFile(home).parent_path(), "HKEY_CURRENT_USER.reg.tmp-").empty() ? 0 : 1;

        // Every write that returned is there, the one in progress at most is added, and nothing else.
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKeyReadOnly("Software\\Counter")) << "round " << round;
        const size_t count = reg.GetValueNames().size();
        EXPECT_GE(count, stored + completed) << "round " << round;
        EXPECT_LE(count, stored + completed + 1) << "round " << round;
        // Values of earlier rounds were checked then; all of them are checked once more at the end.
        for (size_t i = (round + 1 == kRounds) ? 0 : stored; i < count; ++i) {
            ASSERT_EQ(reg.ReadInteger("v" + std::to_string(i)), static_cast<std::int32_t>(i))
                << "round " << round;
        }
        ASSERT_TRUE(reg.OpenKeyReadOnly("\\Software\\Filler"));
        EXPECT_EQ(reg.GetValueNames().size(), 150u);
        EXPECT_EQ(reg.ReadString("filler149"), std::string(200, 't'));
        stored = count;
    }
    std::printf("%d kills, %d of them left a half-saved temporary file; %zu values stored\n", kRounds,
                killedMidSave, stored);
    // Kills that land between the temporary file's creation and its rename are what this test is about.
    EXPECT_GT(killedMidSave, 0);

    // Temporary files of killed savers go with the next save.
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("Software\\Counter", false));
    reg.WriteInteger("after", 1);
    EXPECT_TRUE(FilesStartingWith(HiveFile(home).parent_path(), "HKEY_CURRENT_USER.reg.tmp-").empty());
}

}  // namespace
