#include "player/Configuration.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/Registry.h"
#include "tests/support/TestEnv.h"

namespace {

using testsupport::ReadFile;
using testsupport::WriteFile;

class ConfigurationTest : public ::testing::Test {
protected:
    void Store(const std::string& name, int32_t value) {
        platform::TRegistry reg;
        ASSERT_TRUE(reg.OpenKey(player::kPreferencesKey, true));
        reg.WriteInteger(name, value);
    }
    void StoreText(const std::string& name, const std::string& value) {
        platform::TRegistry reg;
        ASSERT_TRUE(reg.OpenKey(player::kPreferencesKey, true));
        reg.WriteString(name, value);
    }
    int32_t Stored(const std::string& name) {
        platform::TRegistry reg;
        EXPECT_TRUE(reg.OpenKeyReadOnly(player::kPreferencesKey));
        return reg.ReadInteger(name);
    }

    testsupport::IsolatedHome home_;
};

TEST_F(ConfigurationTest, DefaultsAndPathsUnderTheLocalDataFolder) {
    player::Configuration config;
    EXPECT_EQ(config.Preferences.DebugMask.load(), 0);
    EXPECT_TRUE(config.Preferences.RotateLogs);
    EXPECT_TRUE(config.Preferences.FirstRun);
    EXPECT_TRUE(config.Preferences.CheckForUpdates);
    EXPECT_EQ(config.Preferences.Volume, 127);
    EXPECT_FALSE(config.Preferences.Mute);
    EXPECT_TRUE(config.Preferences.ResizeToVideoSize);
    EXPECT_TRUE(config.Preferences.UseDirectDraw);
    const std::string folder = home_.dataHome().string() + "/Strevio/";
    EXPECT_EQ(config.Preferences.PersonalFolder, folder);
    EXPECT_EQ(config.Preferences.LogFile, folder + "log.txt");
    EXPECT_EQ(config.Preferences.LogFile1, folder + "log.1.txt");
    EXPECT_EQ(config.Preferences.LogFile2, folder + "log.2.txt");
    EXPECT_EQ(config.show_donate, 1);
    EXPECT_EQ(config.code_x, 0);
    for (int32_t v : config.show_info) {
        EXPECT_EQ(v, 1);
    }
}

TEST_F(ConfigurationTest, NoKeyKeepsDefaultsAndSavingStoresAllSix) {
    player::Configuration config;
    config.LoadPreferences();
    EXPECT_EQ(config.Preferences.Volume, 127);
    // The association list was set up by this first load.
    EXPECT_FALSE(config.Preferences.FirstRun);

    config.SavePreferences();
    EXPECT_EQ(Stored("FirstRun"), 0);
    EXPECT_EQ(Stored("CheckForUpdates"), 1);
    EXPECT_EQ(Stored("Volume"), 127);
    EXPECT_EQ(Stored("Mute"), 0);
    EXPECT_EQ(Stored("ResizeToVideoSize"), 1);
    EXPECT_EQ(Stored("UseDirectDraw"), 1);
    const std::string hive = ReadFile(platform::HivePath(platform::HKEY_CURRENT_USER));
    EXPECT_NE(hive.find("[HKEY_CURRENT_USER\\Software\\Korvanta\\Strevio\\Preferences]"), std::string::npos);
    EXPECT_NE(hive.find("\"Volume\"=dword:0000007f"), std::string::npos) << hive;
}

TEST_F(ConfigurationTest, StoredValuesAreReadAndFlagsWrittenBackAsOne) {
    Store("FirstRun", 0);
    Store("Volume", 200);
    Store("Mute", 2);
    Store("UseDirectDraw", 0);
    player::Configuration config;
    config.LoadPreferences();
    EXPECT_FALSE(config.Preferences.FirstRun);
    EXPECT_TRUE(config.Preferences.CheckForUpdates);  // absent: default
    EXPECT_EQ(config.Preferences.Volume, 200);
    EXPECT_TRUE(config.Preferences.Mute);
    EXPECT_FALSE(config.Preferences.UseDirectDraw);

    config.SavePreferences();
    EXPECT_EQ(Stored("Mute"), 1);
    EXPECT_EQ(Stored("FirstRun"), 0);
    EXPECT_EQ(Stored("CheckForUpdates"), 1);
}

TEST_F(ConfigurationTest, ValueOfTheWrongTypeEndsReadingAndStoredValuesSurviveSaving) {
    Store("FirstRun", 0);
    Store("CheckForUpdates", 0);
    StoreText("Volume", "loud");
    Store("Mute", 1);
    Store("ResizeToVideoSize", 0);
    player::Configuration config;
    config.LoadPreferences();
    EXPECT_FALSE(config.Preferences.FirstRun);
    EXPECT_FALSE(config.Preferences.CheckForUpdates);
    EXPECT_EQ(config.Preferences.Volume, 127);
    EXPECT_FALSE(config.Preferences.Mute);
    EXPECT_TRUE(config.Preferences.ResizeToVideoSize);

    // Values that were not read are not replaced by the defaults in memory; a value the program changed
    // since is written.
    config.Preferences.ResizeToVideoSize = false;
    config.Preferences.FirstRun = true;
    config.SavePreferences();
    platform::TRegistry reg;
    ASSERT_TRUE(reg.OpenKeyReadOnly(player::kPreferencesKey));
    EXPECT_EQ(reg.ReadString("Volume"), "loud");
    EXPECT_EQ(reg.ReadInteger("Mute"), 1);
    EXPECT_EQ(reg.ReadInteger("ResizeToVideoSize"), 0);
    EXPECT_EQ(reg.ReadInteger("FirstRun"), 1);
    EXPECT_FALSE(reg.ValueExists("UseDirectDraw"));

    // Changing the volume replaces the unreadable value.
    config.Preferences.Volume = 90;
    config.SavePreferences();
    EXPECT_EQ(Stored("Volume"), 90);
}

TEST_F(ConfigurationTest, UnreadableHiveIsNeverOverwrittenWithDefaults) {
    const auto hivePath = platform::HivePath(platform::HKEY_CURRENT_USER);
    const std::string broken = "this is not a registry file\n[unclosed\n";
    WriteFile(hivePath, broken);
    player::Configuration config;
    config.LoadPreferences();
    EXPECT_EQ(config.Preferences.Volume, 127);
    config.SavePreferences();
    EXPECT_EQ(ReadFile(hivePath), broken);
}

TEST_F(ConfigurationTest, DeletingKeysRemovesTheProductKey) {
    Store("Volume", 5);
    player::Configuration config;
    EXPECT_TRUE(config.DeletePreferenceKeys());
    platform::TRegistry reg;
    EXPECT_FALSE(reg.KeyExists(player::kPreferencesKey));
    EXPECT_FALSE(reg.KeyExists("Software\\Korvanta\\Strevio"));
    EXPECT_TRUE(reg.KeyExists("Software\\Korvanta"));
    // Nothing left to delete is no failure.
    EXPECT_TRUE(config.DeletePreferenceKeys());
}

TEST_F(ConfigurationTest, TextLookupGivesTheDefault) {
    EXPECT_EQ(player::Configuration::GetText("CFG_5", "fallback"), "fallback");
}

}  // namespace
