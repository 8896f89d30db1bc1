#include "zeb/OpenWith.h"

#include <gtest/gtest.h>

#include "tests/zeb/ZebTestTools.h"

namespace {

using testsupport::ScopedEnv;

TEST(OpenWithTest, ExpandsKnownEnvironmentReferencesOnly) {
    ScopedEnv known("ZEB_TEST_FOLDER", "/opt/tools");
    ScopedEnv unknown("ZEB_TEST_UNSET", std::nullopt);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"%ZEB_TEST_FOLDER%/chooser", "/opt/tools/chooser"},
        {"%ZEB_TEST_FOLDER%%ZEB_TEST_FOLDER%", "/opt/tools/opt/tools"},
        {"%ZEB_TEST_UNSET%/x", "%ZEB_TEST_UNSET%/x"},
        {"100%", "100%"},
        {"%%", "%%"},
        {"plain", "plain"},
        {"", ""},
    };
    for (const auto& [text, expanded] : cases) {
        EXPECT_EQ(zeb::ExpandEnvironmentStrings(text), expanded) << text;
    }
}

TEST(OpenWithTest, ChooserWhenItExistsElseFallback) {
    testsupport::IsolatedHome home;
    zebtest::RecordingPrograms recorders({"chooser", "opener"});
    const std::string chooser = (recorders.bin() / "chooser").string();
    ScopedEnv fallback(zeb::kOpenWithFallbackVariable, "opener");
    {
        ScopedEnv primary(zeb::kOpenWithProgramVariable, chooser);
        EXPECT_EQ(zeb::OpenWithCommand("a.xyz"), (std::vector<std::string>{chooser, "a.xyz"}));
    }
    {
        ScopedEnv primary(zeb::kOpenWithProgramVariable, "chooser");
        EXPECT_EQ(zeb::OpenWithCommand("a.xyz"), (std::vector<std::string>{"chooser", "a.xyz"}));
    }
    {
        ScopedEnv primary(zeb::kOpenWithProgramVariable, (recorders.bin() / "missing").string());
        EXPECT_EQ(zeb::OpenWithCommand("a.xyz"), (std::vector<std::string>{"opener", "a.xyz"}));
    }
    {
        // A folder or a file without execute permission is no program.
        ScopedEnv primary(zeb::kOpenWithProgramVariable, recorders.bin().string());
        EXPECT_EQ(zeb::OpenWithCommand("a.xyz").front(), "opener");
        testsupport::WriteFile(recorders.bin() / "plainfile", "text");
        ScopedEnv plain(zeb::kOpenWithProgramVariable, (recorders.bin() / "plainfile").string());
        EXPECT_EQ(zeb::OpenWithCommand("a.xyz").front(), "opener");
    }
}

TEST(OpenWithTest, DefaultsAreZebsOwnChooserAndTheDesktopOpener) {
    ScopedEnv primary(zeb::kOpenWithProgramVariable, std::nullopt);
    ScopedEnv fallback(zeb::kOpenWithFallbackVariable, std::nullopt);
    // The chooser beside the running program; this test program has none beside it.
    const auto beside = std::filesystem::read_symlink("/proc/self/exe").parent_path() / "zeb-openwith";
    EXPECT_EQ(zeb::DefaultOpenWithProgram(), beside.string());
    ASSERT_FALSE(std::filesystem::exists(beside));
    zebtest::RecordingPrograms recorders({"xdg-open"});
    EXPECT_EQ(zeb::OpenWithCommand("f"), (std::vector<std::string>{"xdg-open", "f"}));
    // zeb itself has its chooser beside it.
    EXPECT_TRUE(zeb::ProgramExists((std::filesystem::path(ZEB_PROGRAM).parent_path() / "zeb-openwith").string()));
    EXPECT_EQ(std::filesystem::path(ZEB_OPENWITH_CHOOSER).parent_path(), std::filesystem::path(ZEB_PROGRAM).parent_path());
}

TEST(OpenWithTest, ProgramPathIsExpandedButTheTargetNeverIs) {
    testsupport::IsolatedHome home;
    zebtest::RecordingPrograms recorders({"chooser"});
    ScopedEnv folder("ZEB_TEST_BIN", recorders.bin().string());
    ScopedEnv primary(zeb::kOpenWithProgramVariable, "%ZEB_TEST_BIN%/chooser");
    const std::string target = "%ZEB_TEST_BIN%/a file.xyz";
    zeb::ShowOpenWithDialog(target);
    const auto runs = recorders.WaitForRuns("chooser", std::chrono::seconds(20));
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0], std::vector<std::string>{target});
}

}  // namespace
