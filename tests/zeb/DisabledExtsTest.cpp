#include "zeb/DisabledExts.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/Registry.h"
#include "tests/zeb/ZebTestTools.h"

namespace {

namespace fs = std::filesystem;
using ::testing::UnorderedElementsAre;

// Opens zeb's key in registry, creating it.
void OpenZebKey(platform::TRegistry& registry) {
    ASSERT_TRUE(registry.OpenKey(zeb::kDisabledExtsKey, true));
}

TEST(DisabledExtsTest, EmptyStoreDisablesNothing) {
    testsupport::IsolatedHome home;
    zeb::Globals globals;
    EXPECT_TRUE(zeb::LoadDisabledExtensions(globals));
    EXPECT_TRUE(globals.disabled_exts.empty());
    EXPECT_FALSE(zeb::IsExtensionDisabled(globals, "txt"));
    EXPECT_FALSE(zeb::IsExtensionDisabled(globals, ""));
}

TEST(DisabledExtsTest, DisabledExtensionsAreRememberedAsZeroDwords) {
    testsupport::IsolatedHome home;
    EXPECT_TRUE(zeb::DisableExtension("xyz"));
    EXPECT_TRUE(zeb::DisableExtension(""));
    EXPECT_TRUE(zeb::DisableExtension("tar gz"));
    EXPECT_TRUE(zeb::DisableExtension("xyz"));

    EXPECT_THAT(zebtest::StoredValueNames(), UnorderedElementsAre("xyz", "@no-ext@", "tar gz"));
    platform::TRegistry registry;
    OpenZebKey(registry);
    EXPECT_EQ(registry.GetDataType("xyz"), platform::TRegDataType::rdInteger);
    EXPECT_EQ(registry.ReadInteger("xyz"), 0);
    EXPECT_EQ(registry.ReadInteger("@no-ext@"), 0);

    zeb::Globals globals;
    EXPECT_TRUE(zeb::LoadDisabledExtensions(globals));
    EXPECT_TRUE(zeb::IsExtensionDisabled(globals, "xyz"));
    EXPECT_TRUE(zeb::IsExtensionDisabled(globals, ""));
    EXPECT_TRUE(zeb::IsExtensionDisabled(globals, "tar gz"));
    EXPECT_FALSE(zeb::IsExtensionDisabled(globals, "xy"));
    EXPECT_FALSE(zeb::IsExtensionDisabled(globals, "@no-ext@x"));
}

TEST(DisabledExtsTest, OnlyDwordNamesCountAndTheyAreLowerCased) {
    testsupport::IsolatedHome home;
    {
        platform::TRegistry registry;
        OpenZebKey(registry);
        registry.WriteInteger("PDF", 1);  // the data is never looked at
        registry.WriteString("doc", "0");
        registry.WriteInteger("@NO-EXT@", 0);
    }
    zeb::Globals globals;
    EXPECT_TRUE(zeb::LoadDisabledExtensions(globals));
    EXPECT_THAT(globals.disabled_exts, UnorderedElementsAre("pdf", "@no-ext@"));
    EXPECT_TRUE(zeb::IsExtensionDisabled(globals, "pdf"));
    EXPECT_TRUE(zeb::IsExtensionDisabled(globals, ""));
    EXPECT_FALSE(zeb::IsExtensionDisabled(globals, "doc"));
}

TEST(DisabledExtsTest, LongValueNamesDoNotHideLaterOnes) {
    testsupport::IsolatedHome home;
    {
        platform::TRegistry registry;
        OpenZebKey(registry);
        registry.WriteInteger(std::string(300, 'l'), 0);
        registry.WriteInteger("after", 0);
    }
    zeb::Globals globals;
    EXPECT_TRUE(zeb::LoadDisabledExtensions(globals));
    EXPECT_TRUE(zeb::IsExtensionDisabled(globals, "after"));
    EXPECT_TRUE(zeb::IsExtensionDisabled(globals, std::string(300, 'l')));
}

TEST(DisabledExtsTest, LoadingNeverWritesTheStore) {
    testsupport::IsolatedHome home;
    const fs::path hive = platform::HivePath(platform::HKEY_CURRENT_USER);
    zeb::Globals globals;
    EXPECT_TRUE(zeb::LoadDisabledExtensions(globals));  // no store: nothing disabled, nothing made
    EXPECT_TRUE(globals.disabled_exts.empty());
    EXPECT_FALSE(fs::exists(hive.parent_path()));

    // Other programs' settings, a line that cannot be read, and zeb's key: read, and left byte for byte.
    const std::string text =
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Korvanta\\Strevio\\Preferences]\n"
        "\"Volume\" = dword:0000007f ; by hand\nVolume2=1\n\n"
        "[HKEY_CURRENT_USER\\Software\\Orvissa\\DisabledExts]\n\"pdf\"=dword:00000000\n\"bad\"=dword:zz\n";
    testsupport::WriteFile(hive, text);
    EXPECT_TRUE(zeb::LoadDisabledExtensions(globals));
    EXPECT_THAT(globals.disabled_exts, UnorderedElementsAre("pdf"));
    EXPECT_EQ(testsupport::ReadFile(hive), text);
    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(hive.parent_path())) {
        files.push_back(entry.path().filename().string());
    }
    EXPECT_THAT(files, UnorderedElementsAre("HKEY_CURRENT_USER.reg"));  // no copy, lock or temporary
}

TEST(DisabledExtsTest, UnreadableStoreMeansEveryExtensionPromptsAndStaysAsItWas) {
    testsupport::IsolatedHome home;
    const fs::path hive = platform::HivePath(platform::HKEY_CURRENT_USER);
    fs::create_directories(hive / "inside");  // a folder where the file should be cannot be read
    zeb::Globals globals;
    globals.disabled_exts = {"stale"};
    EXPECT_FALSE(zeb::LoadDisabledExtensions(globals));
    EXPECT_TRUE(globals.disabled_exts.empty());
    EXPECT_FALSE(zeb::IsExtensionDisabled(globals, "stale"));
    EXPECT_FALSE(zeb::DisableExtension("xyz"));  // and a write does not replace it
    EXPECT_TRUE(fs::is_directory(hive / "inside"));
}

}  // namespace
