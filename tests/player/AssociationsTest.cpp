// The known file types, the wished and foreign association lists in the registry store, the first-run
// rule, the ownership test and the run of the association setter.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <string>
#include <vector>

#include "platform/Registry.h"
#include "player/Configuration.h"
#include "player/Regext.h"
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

// Registers an extension's file group the way a program owning it would.
void RegisterGroup(const std::string& ext, const std::string& group) {
    platform::TRegistry reg(platform::HKEY_CLASSES_ROOT);
    ASSERT_TRUE(reg.OpenKey("\\" + ext, true));
    if (!group.empty()) {
        reg.WriteString("", group);
    }
}

bool Contains(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

class AssociationsTest : public ::testing::Test {
protected:
    testsupport::IsolatedHome home_;
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
    RegisterGroup(".MP4", "Strevio.MP4");
    RegisterGroup(".MKV", "strevio.mkv");
    RegisterGroup(".AVI", "OtherPlayer.avi");
    RegisterGroup(".WAV", "");
    RegisterGroup(".OGG", "OGGfile");
    {
        platform::TRegistry reg(platform::HKEY_CLASSES_ROOT);
        ASSERT_TRUE(reg.OpenKey("\\.FLV", true));
        reg.WriteInteger("", 7);
    }
    struct Case {
        const char* ext;
        const char* group;
        int answer;
    };
    const Case cases[] = {
        {"", "Strevio", 1},          // no extension
        {".MOV", "Strevio.MOV", 1},  // no key
        {".MP4", "Strevio.MP4", 0},  // ours
        {".MKV", "Strevio.MKV", 0},  // ours, other letter case
        {".AVI", "Strevio.AVI", 2},  // another program's
        {".WAV", "Strevio.WAV", 2},  // a key without a default value
        {".FLV", "Strevio.FLV", 1},  // a default value that is not a text
        {"OGG", "", 0},              // no dot, no group: the bare name and "file"
        {"MP4", "", 2},
    };
    for (const Case& c : cases) {
        player::TRegExt regExt(c.ext, c.group);
        EXPECT_EQ(regExt.CheckExtension(), c.answer) << c.ext << " " << c.group;
    }
    Configuration config;
    EXPECT_TRUE(config.CheckAssociationUsedByOther(".AVI"));
    EXPECT_TRUE(config.CheckAssociationUsedByOther(".WAV"));
    EXPECT_FALSE(config.CheckAssociationUsedByOther(".MP4"));
    EXPECT_FALSE(config.CheckAssociationUsedByOther(".MOV"));
}

TEST_F(AssociationsTest, FirstStartWishesEveryTypeThatNoOtherProgramOwns) {
    RegisterGroup(".AVI", "OtherPlayer.avi");
    RegisterGroup(".MP4", "Strevio.MP4");
    Configuration config;
    config.LoadPreferences();

    EXPECT_TRUE(config.associations_pending);
    EXPECT_FALSE(config.Preferences.FirstRun);
    const std::vector<std::string>& wished = config.AssociatedFileTypes.Items();
    EXPECT_EQ(wished.size(), 86u);
    EXPECT_TRUE(Contains(wished, ".MKV"));
    EXPECT_TRUE(Contains(wished, ".MP4"));
    EXPECT_FALSE(Contains(wished, ".AVI"));
    EXPECT_TRUE(std::is_sorted(wished.begin(), wished.end()));
    EXPECT_EQ(config.NotAssociatedFileTypes.Items(), std::vector<std::string>{".AVI"});
    EXPECT_EQ(ListKey(player::kAssociatedKey), wished);
    EXPECT_EQ(ListKey(player::kNotAssociatedKey), std::vector<std::string>{".AVI"});

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
    RegisterGroup(".AVI", "OtherPlayer.avi");
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

}  // namespace
