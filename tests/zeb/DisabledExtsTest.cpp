#include "zeb/DisabledExts.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/Registry.h"
#include "tests/zeb/ZebTestTools.h"

namespace {

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

TEST(DisabledExtsTest, UnreadableStoreMeansEveryExtensionPrompts) {
    testsupport::IsolatedHome home;
    testsupport::WriteFile(platform::HivePath(platform::HKEY_CURRENT_USER), "this is no hive\n[broken\n");
    zeb::Globals globals;
    globals.disabled_exts = {"stale"};
    zeb::LoadDisabledExtensions(globals);
    EXPECT_TRUE(globals.disabled_exts.empty());
    EXPECT_FALSE(zeb::IsExtensionDisabled(globals, "stale"));
}

}  // namespace
