// zeb run as the desktop runs it: a process with a command line, a private store and recording
// stand-ins for the browser opener and the chooser.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "platform/MessageEndpoint.h"
#include "platform/WindowsMessages.h"
#include "tests/zeb/ZebTestTools.h"
#include "zeb/CommandLine.h"
#include "zeb/DisabledExts.h"
#include "zeb/OpenWith.h"

namespace {

using ::testing::UnorderedElementsAreArray;
using testsupport::ScopedEnv;

constexpr auto kActionTimeout = std::chrono::seconds(20);

class ZebProgramTest : public ::testing::Test {
protected:
    // Gives the program's children a moment to show up; used only to check that something did NOT run.
    static void Settle() { std::this_thread::sleep_for(std::chrono::milliseconds(300)); }

    testsupport::IsolatedHome home_;
    zebtest::RecordingPrograms recorders_{{"xdg-open", "chooser"}};
    // A recording stand-in for the chooser, found on PATH (zeb's own would wait for a user).
    ScopedEnv chooser_{zeb::kOpenWithProgramVariable, "chooser"};
    ScopedEnv fallback_{zeb::kOpenWithFallbackVariable, std::nullopt};
    ScopedEnv platform_{"QT_QPA_PLATFORM", "offscreen"};
};

TEST_F(ZebProgramTest, WithoutATargetExitsWithOneAndDoesNothing) {
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{}, {""}, {"/showinfo"}, {"/debug", "/showinfo", ""}}) {
        EXPECT_EQ(zebtest::RunZeb(args), 1);
    }
    Settle();
    EXPECT_TRUE(recorders_.AllPrograms().empty());
    EXPECT_TRUE(zebtest::StoredValueNames().empty());
}

TEST_F(ZebProgramTest, ShowInfoOpensTheExtensionsPage) {
    const std::string base = "http://" ZEB_VENDOR_HOST "/extension/";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"/showinfo", "/home/u/report.XYZ"}, base + "xyz"},
        {{"/debug", "/showinfo", "README"}, base + "no-ext"},
        {{"/showinfo", "odd.b c#d"}, base + "b%20c%23d"},
    };
    for (const auto& [args, url] : cases) {
        zebtest::RecordingPrograms recorders({"xdg-open", "chooser"});
        EXPECT_EQ(zebtest::RunZeb(args), 0);
        const auto pages = recorders.WaitForRuns("xdg-open", kActionTimeout);
        ASSERT_EQ(pages.size(), 1u) << url;
        EXPECT_EQ(pages[0], std::vector<std::string>{url});
        Settle();
        EXPECT_TRUE(recorders.Runs("chooser").empty());
    }
}

TEST_F(ZebProgramTest, DisabledExtensionRunsTheChooserAtOnceEvenWithShowInfo) {
    ASSERT_TRUE(zeb::DisableExtension("xyz"));
    ASSERT_TRUE(zeb::DisableExtension(""));
    const std::vector<std::vector<std::string>> cases = {
        {"/home/u/report.XYZ"}, {"/showinfo", "report.xyz"}, {"/showinfo", "README"}};
    for (const auto& args : cases) {
        zebtest::RecordingPrograms recorders({"xdg-open", "chooser"});
        EXPECT_EQ(zebtest::RunZeb(args), 0);
        const auto choosers = recorders.WaitForRuns("chooser", kActionTimeout);
        ASSERT_EQ(choosers.size(), 1u);
        EXPECT_EQ(choosers[0], std::vector<std::string>{args.back()});
        Settle();
        EXPECT_TRUE(recorders.Runs("xdg-open").empty());
    }
}

TEST_F(ZebProgramTest, WithoutAChooserTheFileGoesToTheOpener) {
    ASSERT_TRUE(zeb::DisableExtension("xyz"));
    ScopedEnv missing(zeb::kOpenWithProgramVariable, (recorders_.bin() / "no-such-chooser").string());
    EXPECT_EQ(zebtest::RunZeb({"a b.xyz"}), 0);
    const auto opened = recorders_.WaitForRuns("xdg-open", kActionTimeout);
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0], std::vector<std::string>{"a b.xyz"});
}

TEST_F(ZebProgramTest, AwkwardTargetsReachTheChooserUnchangedAsOneArgument) {
    ScopedEnv home("HOME", "/home/someone");
    const std::vector<std::string> targets = {
        "/tmp/my file with  spaces.xyz",
        "/tmp/\"quoted\" and 'single'.xyz",
        "-rf --help.xyz",
        "/tmp/not utf8 \xff\xfe\xc3.xyz",
        "%HOME%/%PATH%.xyz",
        "$HOME/$(touch zeb-shell-ran).xyz",
        "/tmp/semi;colon|pipe&amp`tick`.xyz",
        "/tmp/new\nline\ttab.xyz",
        "\"/tmp/starts with a quote.xyz",
    };
    ASSERT_TRUE(zeb::DisableExtension("xyz"));
    for (const std::string& target : targets) {
        zebtest::RecordingPrograms recorders({"xdg-open", "chooser"});
        EXPECT_EQ(zebtest::RunZeb({target}), 0);
        const auto choosers = recorders.WaitForRuns("chooser", kActionTimeout);
        ASSERT_EQ(choosers.size(), 1u) << target;
        EXPECT_EQ(choosers[0], std::vector<std::string>{target});
    }
    EXPECT_FALSE(std::filesystem::exists("zeb-shell-ran"));
}

TEST_F(ZebProgramTest, DisablingIgnoresTheCaseOfTheExtension) {
    zeb::Globals globals;
    ASSERT_TRUE(zeb::ParseCommandLine({"zeb", "/data/Next.Time"}, globals));
    ASSERT_TRUE(zeb::DisableExtension(globals.target_ext));
    EXPECT_EQ(zebtest::RunZeb({"/showinfo", "/data/other.TIME"}), 0);
    const auto choosers = recorders_.WaitForRuns("chooser", kActionTimeout);
    ASSERT_EQ(choosers.size(), 1u);
    EXPECT_EQ(choosers[0], std::vector<std::string>{"/data/other.TIME"});
}

// Waits (bounded) for a prompt's hidden window to appear.
std::optional<platform::WindowHandle> WaitForKillWindow() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        if (auto window = platform::FindWindow("ZURAROVOVE")) {
            return window;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return std::nullopt;
}

TEST_F(ZebProgramTest, CloseMessageToTheHiddenWindowEndsTheWaitingPromptWithoutActing) {
    testsupport::ChildProcess zeb({zebtest::ZebProgram(), "/data/report.xyz"});
    const auto window = WaitForKillWindow();
    ASSERT_TRUE(window.has_value());
    // The prompt waits for the user; it must not end by itself.
    EXPECT_FALSE(zeb.WaitForExit(std::chrono::milliseconds(200)).has_value());
    ASSERT_TRUE(platform::PostMessageTo(*window, platform::WM_CLOSE, 0, 0));
    EXPECT_EQ(zeb.WaitForExit(std::chrono::seconds(30)), 0);
    Settle();
    EXPECT_TRUE(recorders_.AllPrograms().empty());
    EXPECT_TRUE(zebtest::StoredValueNames().empty());
    // The window went with the prompt.
    EXPECT_FALSE(platform::PostMessageTo(*window, platform::WM_CLOSE, 0, 0));
}

TEST_F(ZebProgramTest, ATargetThatLooksLikeAQtOptionIsOnlyTheTarget) {
    // Were "-platform" given to Qt, it would look for a platform plugin of that name and abort.
    testsupport::ChildProcess zeb({zebtest::ZebProgram(), "-platform", "no-such-platform"});
    const auto window = WaitForKillWindow();
    ASSERT_TRUE(window.has_value()) << "the prompt did not come up";
    ASSERT_TRUE(platform::PostMessageTo(*window, platform::WM_CLOSE, 0, 0));
    EXPECT_EQ(zeb.WaitForExit(std::chrono::seconds(30)), 0);
}

TEST_F(ZebProgramTest, OtherMessagesToTheHiddenWindowLeaveThePromptWaiting) {
    testsupport::ChildProcess zeb({zebtest::ZebProgram(), "README"});
    const auto window = WaitForKillWindow();
    ASSERT_TRUE(window.has_value());
    ASSERT_TRUE(platform::PostMessageTo(*window, platform::WM_USER + 7, 1, 2));
    ASSERT_TRUE(platform::PostMessageTo(*window, platform::WM_QUIT, 0, 0));
    EXPECT_FALSE(zeb.WaitForExit(std::chrono::milliseconds(300)).has_value());
    ASSERT_TRUE(platform::PostMessageTo(*window, platform::WM_CLOSE, 0, 0));
    EXPECT_EQ(zeb.WaitForExit(std::chrono::seconds(30)), 0);
}

TEST_F(ZebProgramTest, PromptsAnsweredAtTheSameMomentKeepEveryDisabledExtension) {
    constexpr int kProcesses = 6;
    constexpr int kExtensionsEach = 25;
    const auto start = home_.root() / "start";
    std::vector<std::unique_ptr<testsupport::ChildProcess>> writers;
    std::vector<std::string> expected;
    for (int p = 0; p < kProcesses; ++p) {
        std::vector<std::string> argv{ZEB_DISABLE_WRITER, start.string()};
        for (int e = 0; e < kExtensionsEach; ++e) {
            argv.push_back("p" + std::to_string(p) + "e" + std::to_string(e));
            expected.push_back(argv.back());
        }
        writers.push_back(std::make_unique<testsupport::ChildProcess>(argv));
    }
    testsupport::WriteFile(start, "go");
    for (auto& writer : writers) {
        EXPECT_EQ(writer->WaitForExit(std::chrono::seconds(120)), 0);
    }
    EXPECT_THAT(zebtest::StoredValueNames(), UnorderedElementsAreArray(expected));
}

}  // namespace
