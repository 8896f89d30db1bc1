// The known file types, the wished and foreign association lists in the registry store, the first-run
// rule, the ownership test and the run of the association setter.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <QCoreApplication>
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/Processes.h"
#include "platform/Registry.h"
#include "player/Configuration.h"
#include "player/Regext.h"
#include "tests/player/ScratchDesktop.h"
#include "tests/player/SetterFolder.h"
#include "tests/support/TestEnv.h"

namespace {

using player::Configuration;

std::vector<std::string> ListKey(const char* key) {
    platform::TRegistry reg;
    if (!reg.OpenKeyReadOnly(key)) {
        return {};
    }
    std::vector<std::string> names = reg.GetValueNames();
    for (const std::string& name : names) {
        EXPECT_EQ(reg.ReadInteger(name), 1) << name;
    }
    return names;
}

void StoreList(const char* key, const std::vector<std::string>& names) {
    platform::TRegistry reg;
    ASSERT_TRUE(reg.OpenKey(key, true));
    for (const std::string& name : names) {
        reg.WriteInteger(name, 1);
    }
}

bool Contains(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

class AssociationsTest : public ::testing::Test {
protected:
    // Gives the extension's type to an application as the user's default.
    void GiveType(const std::string& type, const std::string& id) {
        desktop_.InstallApplication(id, type + ";");
        defaults_ += type + "=" + id + ";\n";
        testsupport::WriteFile(desktop_.MimeAppsList(), "[Default Applications]\n" + defaults_);
    }

    playertest::ScratchDesktop desktop_;
    std::string defaults_;
};

TEST_F(AssociationsTest, KnownTableHoldsEightySevenAssociableTypesAndIsStoredAtEveryStart) {
    StoreList(player::kCanAssociateKey, {".OLD"});
    Configuration config;
    const auto& known = config.KnownExtensions();
    ASSERT_EQ(known.size(), 87u);
    struct Row {
        size_t index;
        const char* ext;
        const char* description;
    };
    const Row rows[] = {
        {0, ".3G2", "Video file for 3G CDMA2000 multimedia services"},
        {11, ".APE", "Audio file in Monkey's Audio format"},
        {13, ".AU", "Sun Microsystems Audio File"},
        {42, ".MP4", "Video file that uses MPEG-4 compression"},
        {76, ".VQF", "Nippon Telegraph & Telephone Co. TwinVQ Audio File"},
        {86, ".YOP", "Psygnosis Game Video File"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(known[row.index].Extension, row.ext);
        EXPECT_EQ(known[row.index].Description, row.description);
    }
    std::vector<std::string> expected;
    for (const auto& k : known) {
        EXPECT_TRUE(k.CanAssociate) << k.Extension;
        expected.push_back(k.Extension);
    }
    // Rewritten in table order, without what the key held before.
    EXPECT_EQ(ListKey(player::kCanAssociateKey), expected);
}

TEST_F(AssociationsTest, ExtensionOwnershipAnswers) {
    GiveType("video/mp4", "strevio.desktop");
    GiveType("video/x-msvideo", "otherplayer.desktop");
    GiveType("video/x-matroska", "mkvfile.desktop");
    struct Case {
        const char* ext;
        const char* group;
        int answer;
    };
    const Case cases[] = {
        {"", "Strevio", 1},          // no extension
        {".MOV", "Strevio.MOV", 1},  // no default application
        {".NUT", "Strevio.NUT", 1},  // no known type
        {".MP4", "Strevio.MP4", 0},  // ours
        {".MP4", "strevio.mp4", 0},  // ours, other letter case
        {".AVI", "Strevio.AVI", 2},  // another program's
        {"MKV", "", 0},              // no dot, no group: the bare name and "file"
        {"MP4", "", 2},
    };
    for (const Case& c : cases) {
        player::TRegExt regExt(c.ext, c.group);
        EXPECT_EQ(regExt.CheckExtension(), c.answer) << c.ext << " " << c.group;
    }
    Configuration config;
    EXPECT_TRUE(config.CheckAssociationUsedByOther(".AVI"));
    EXPECT_FALSE(config.CheckAssociationUsedByOther(".MP4"));
    EXPECT_FALSE(config.CheckAssociationUsedByOther(".MOV"));
}

TEST_F(AssociationsTest, FirstStartWishesEveryTypeThatNoOtherProgramOwns) {
    GiveType("video/x-msvideo", "otherplayer.desktop");
    GiveType("video/mp4", "strevio.desktop");
    Configuration config;
    config.LoadPreferences();

    EXPECT_TRUE(config.associations_pending);
    EXPECT_FALSE(config.Preferences.FirstRun);
    const std::vector<std::string>& wished = config.AssociatedFileTypes.Items();
    // .AVI and .DIVX files are both video/x-msvideo to the desktop.
    EXPECT_EQ(wished.size(), 85u);
    EXPECT_TRUE(Contains(wished, ".MKV"));
    EXPECT_TRUE(Contains(wished, ".MP4"));
    EXPECT_FALSE(Contains(wished, ".AVI"));
    EXPECT_TRUE(std::is_sorted(wished.begin(), wished.end()));
    const std::vector<std::string> others{".AVI", ".DIVX"};
    EXPECT_EQ(config.NotAssociatedFileTypes.Items(), others);
    EXPECT_EQ(ListKey(player::kAssociatedKey), wished);
    EXPECT_EQ(ListKey(player::kNotAssociatedKey), others);

    // FirstRun reaches the store with the next save, and the next start keeps the list.
    config.SavePreferences();
    Configuration next;
    next.LoadPreferences();
    EXPECT_FALSE(next.associations_pending);
    EXPECT_EQ(next.AssociatedFileTypes.Items(), wished);
}

TEST_F(AssociationsTest, LaterStartReadsTheListAndChecksNoOwnership) {
    {
        platform::TRegistry reg;
        ASSERT_TRUE(reg.OpenKey(player::kPreferencesKey, true));
        reg.WriteInteger("FirstRun", 0);
    }
    StoreList(player::kAssociatedKey, {".MP4", ".AVI"});
    GiveType("video/x-msvideo", "otherplayer.desktop");
    Configuration config;
    config.LoadPreferences();
    EXPECT_FALSE(config.associations_pending);
    EXPECT_EQ(config.AssociatedFileTypes.Items(), (std::vector<std::string>{".AVI", ".MP4"}));
    EXPECT_EQ(config.NotAssociatedFileTypes.Count(), 0);
    platform::TRegistry reg;
    EXPECT_FALSE(reg.KeyExists(player::kNotAssociatedKey));
}

TEST_F(AssociationsTest, FirstRunWithAnEmptiedListRebuildsIt) {
    StoreList(player::kAssociatedKey, {});
    Configuration config;
    config.LoadPreferences();
    EXPECT_EQ(config.AssociatedFileTypes.Count(), 87);
    EXPECT_TRUE(config.associations_pending);
}

TEST_F(AssociationsTest, RemovingAWishIgnoresLetterCase) {
    Configuration config;
    config.LoadPreferences();
    EXPECT_TRUE(config.RemoveAssociated(".mp4"));
    EXPECT_FALSE(config.RemoveAssociated(".MP4"));
    EXPECT_EQ(config.AssociatedFileTypes.IndexOf(".MP4"), -1);
    EXPECT_EQ(config.AssociatedFileTypes.Count(), 86);
}

TEST_F(AssociationsTest, AStoreThatCannotBeReadIsNotReplacedByTheList) {
    const auto hivePath = platform::HivePath(platform::HKEY_CURRENT_USER);
    const std::string broken = "this is not a registry file\n[unclosed\n";
    testsupport::WriteFile(hivePath, broken);
    Configuration config;
    config.LoadPreferences();
    EXPECT_EQ(config.AssociatedFileTypes.Count(), 0);
    EXPECT_FALSE(config.associations_pending);
    config.SavePreferences();
    EXPECT_EQ(testsupport::ReadFile(hivePath), broken);
}

class SetterRunTest : public AssociationsTest {
protected:
    SetterRunTest() {
        platform::TRegistry reg;
        EXPECT_TRUE(reg.OpenKey(player::kPreferencesKey, true));
        reg.WriteInteger("FirstRun", 0);
        reg.CloseKey();
        StoreList(player::kAssociatedKey, {".AVI", ".MKV", ".MP4"});
        config_.LoadPreferences();
    }
    playertest::SetterFolder setter_;
    Configuration config_{setter_.path()};
};

TEST_F(SetterRunTest, SetterThatTakesEveryWishSucceeds) {
    config_.RemoveAssociated(".MKV");
    config_.SavePreferences();
    EXPECT_TRUE(config_.SetFileAssociations());
    const auto runs = setter_.Runs();
    ASSERT_EQ(runs.size(), 1u);
    // Started without arguments, and it found the wishes just saved.
    EXPECT_EQ(runs[0][0], "args=");
    EXPECT_EQ(runs[0][2], "wishes=.AVI,.MP4");
    EXPECT_EQ(config_.AssociatedFileTypes.Items(), (std::vector<std::string>{".AVI", ".MP4"}));
}

TEST_F(SetterRunTest, SetterThatTakesOnlySomeWishesFailsAndItsListStays) {
    setter_.SetAction("drop:.MKV");
    EXPECT_FALSE(config_.SetFileAssociations());
    EXPECT_EQ(config_.AssociatedFileTypes.Items(), (std::vector<std::string>{".AVI", ".MP4"}));
    setter_.SetAction("clear");
    EXPECT_FALSE(config_.SetFileAssociations());
    EXPECT_EQ(config_.AssociatedFileTypes.Count(), 0);
}

TEST_F(SetterRunTest, DebugMaskMakesItADebugRun) {
    config_.Preferences.DebugMask = 1;
    EXPECT_TRUE(config_.SetFileAssociations());
    config_.Preferences.DebugMask = 0;
    const auto runs = setter_.Runs();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0][0], "args=-debug");
}

TEST_F(SetterRunTest, MissingSetterFailsAndEmptiesOnlyTheList) {
    Configuration elsewhere{testsupport::TempDir().path()};
    elsewhere.LoadPreferences();
    ASSERT_EQ(elsewhere.AssociatedFileTypes.Count(), 3);
    EXPECT_FALSE(elsewhere.SetFileAssociations());
    EXPECT_EQ(elsewhere.AssociatedFileTypes.Count(), 0);
    EXPECT_EQ(ListKey(player::kAssociatedKey), (std::vector<std::string>{".AVI", ".MKV", ".MP4"}));
}

// The real association setter, in the build's player folder beside strevio, against the test's desktop.
class SetterProgramTest : public AssociationsTest {
protected:
    SetterProgramTest() {
        GiveType("video/x-msvideo", "otherplayer.desktop");
        GiveType("text/plain", "editor.desktop");
        testsupport::WriteFile(desktop_.MimeAppsList(), "# the user's own\n[Default Applications]\n" + defaults_ +
                                                            "\n[Added Associations]\nimage/png=viewer.desktop;\n");
        before_ = testsupport::ReadFile(desktop_.MimeAppsList());
    }
    // Runs the player program in a setup mode; its exit code.
    int RunPlayer(const std::string& mode) {
        testsupport::ScopedEnv qt("QT_QPA_PLATFORM", "offscreen");
        int exitCode = -1;
        EXPECT_TRUE(platform::RunAndWait({STREVIO_PROGRAM, mode}, exitCode));
        return exitCode;
    }
    std::string EntryText() const { return testsupport::ReadFile(desktop_.Applications() / "strevio.desktop"); }

    std::filesystem::path playerFolder_ = std::filesystem::path(STREVIO_PROGRAM).parent_path();
    std::string before_;
};

TEST_F(SetterProgramTest, InstallMakesTheDesktopOpenWhatTookWithThePlayer) {
    ASSERT_EQ(RunPlayer("-install"), 0);
    EXPECT_EQ(desktop_.QueryDefault("video/x-matroska"), "strevio.desktop");
    // Another program's type before the first run stays that program's.
    EXPECT_EQ(desktop_.QueryDefault("video/x-msvideo"), "otherplayer.desktop");
    EXPECT_EQ(ListKey(player::kNotAssociatedKey), (std::vector<std::string>{".AVI", ".DIVX"}));
    // The list names exactly what took: every known type but those two, each now opened with the player,
    // also those the MIME database had no type for.
    const std::vector<std::string> associated = ListKey(player::kAssociatedKey);
    EXPECT_EQ(associated.size(), 85u);
    EXPECT_FALSE(Contains(associated, ".AVI"));
    struct Case {
        const char* ext;
        const char* type;
    };
    const Case cases[] = {
        {".MKV", "video/x-matroska"}, {".MP3", "audio/mpeg"}, {".OGG", "audio/ogg"},
        {".OGG", "video/ogg"},        {".MPG", "video/mpeg"}, {".NUT", "application/x-strevio-nut"},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(Contains(associated, c.ext)) << c.ext;
        EXPECT_EQ(desktop_.QueryDefault(c.type), "strevio.desktop") << c.type;
    }
    // Every line of the user's file is still there, in its order.
    const std::vector<std::string> now = playertest::Lines(testsupport::ReadFile(desktop_.MimeAppsList()));
    size_t found = 0;
    for (const std::string& line : playertest::Lines(before_)) {
        const auto at = std::find(now.begin() + static_cast<long>(found), now.end(), line);
        ASSERT_NE(at, now.end()) << line;
        found = static_cast<size_t>(at - now.begin()) + 1;
    }
    const std::string entry = EntryText();
    EXPECT_NE(entry.find("\nExec=" + (playerFolder_ / "strevio").string() + " %f\n"), std::string::npos) << entry;
    EXPECT_NE(entry.find("\nIcon=" + (playerFolder_ / "strevio.svg").string() + "\n"), std::string::npos) << entry;
    EXPECT_NE(entry.find("video/x-matroska;"), std::string::npos);
    EXPECT_EQ(entry.find("video/x-msvideo"), std::string::npos);
}

TEST_F(SetterProgramTest, UninstallRestoresTheDefaultsAsTheyWereBeforeInstall) {
    ASSERT_EQ(RunPlayer("-install"), 0);
    ASSERT_NE(testsupport::ReadFile(desktop_.MimeAppsList()), before_);
    ASSERT_EQ(RunPlayer("-uninstall"), 0);
    EXPECT_EQ(testsupport::ReadFile(desktop_.MimeAppsList()), before_);
    EXPECT_FALSE(std::filesystem::exists(desktop_.Applications() / "strevio.desktop"));
    EXPECT_FALSE(std::filesystem::exists(desktop_.home().dataHome() / "mime" / "packages" / "strevio.xml"));
    EXPECT_EQ(desktop_.QueryDefault("video/x-msvideo"), "otherplayer.desktop");
}

TEST_F(SetterProgramTest, AReadOnlyDefaultsFileFailsTheRunAndIsLeftAlone) {
    ::chmod(desktop_.MimeAppsList().c_str(), 0444);
    EXPECT_NE(RunPlayer("-install"), 0);
    EXPECT_EQ(testsupport::ReadFile(desktop_.MimeAppsList()), before_);
    EXPECT_TRUE(ListKey(player::kAssociatedKey).empty());
}

TEST_F(SetterProgramTest, TypesNoLongerWishedLoseOnlyThePlayer) {
    Configuration config{playerFolder_};
    config.LoadPreferences();
    config.SavePreferences();
    ASSERT_TRUE(config.SetFileAssociations());
    // The user then gives .MKV files to another program as well, behind the player, and unticks .MKV.
    std::string text = testsupport::ReadFile(desktop_.MimeAppsList());
    const std::string ours = "video/x-matroska=strevio.desktop;";
    ASSERT_NE(text.find(ours), std::string::npos);
    text.replace(text.find(ours), ours.size(), ours + "otherplayer.desktop;");
    testsupport::WriteFile(desktop_.MimeAppsList(), text);
    config.RemoveAssociated(".MKV");
    config.SavePreferences();
    EXPECT_TRUE(config.SetFileAssociations());
    EXPECT_EQ(config.AssociatedFileTypes.IndexOf(".MKV"), -1);
    EXPECT_NE(testsupport::ReadFile(desktop_.MimeAppsList()).find("\nvideo/x-matroska=otherplayer.desktop;\n"),
              std::string::npos);
    EXPECT_EQ(desktop_.QueryDefault("video/x-matroska"), "otherplayer.desktop");
    EXPECT_EQ(EntryText().find("video/x-matroska;"), std::string::npos);
}

TEST_F(SetterProgramTest, DebugMaskMakesTheSetterWriteItsLog) {
    const auto log = desktop_.home().dataHome() / "Strevio" / "setup-log.txt";
    Configuration config{playerFolder_};
    config.LoadPreferences();
    config.SavePreferences();
    EXPECT_TRUE(config.SetFileAssociations());
    EXPECT_FALSE(std::filesystem::exists(log));
    config.Preferences.DebugMask = 1;
    EXPECT_TRUE(config.SetFileAssociations());
    config.Preferences.DebugMask = 0;
    EXPECT_NE(testsupport::ReadFile(log).find("StrevioSetupFileAssociations: 85 of 85 wishes took"),
              std::string::npos)
        << testsupport::ReadFile(log);
}

}  // namespace
