#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TestEnv.h"
#include "tests/winutils/Flavour.h"
#include "winutils/Winutils.h"
#include "winutils/Winutils_filesfolders.h"

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::WriteFile;

namespace {

TEST(FLAVOURED(SystemTest), VersionAndAdministratorRights) {
    // This system is none of the old ones in the table, so the rights test answers true without a check.
    EXPECT_EQ(winutils::GetOSVersion(), -1);
    EXPECT_TRUE(winutils::HasAdminRights());
    EXPECT_EQ(winutils::IsUserAdministrator(), geteuid() == 0);
}

TEST(FLAVOURED(SystemTest), AccelerationProbeWithoutAServerIsZero) {
    {
        testsupport::ScopedEnv display("DISPLAY", std::nullopt);
        EXPECT_EQ(winutils::GetDirectXVersion(), 0u);
    }
    {
        testsupport::ScopedEnv display("DISPLAY", ":65000");
        EXPECT_EQ(winutils::GetDirectXVersion(), 0u);
    }
    const uint32_t version = winutils::GetDirectXVersion();
    EXPECT_TRUE(version == 0u || version == 0x800u) << version;
}

TEST(FLAVOURED(SystemTest), TerminationRequest) {
    winutils::testing::ResetApplicationTerminated();
    EXPECT_FALSE(winutils::ApplicationTerminated());
    winutils::RequestApplicationTerminate();
    EXPECT_TRUE(winutils::ApplicationTerminated());
    winutils::testing::ResetApplicationTerminated();
}

TEST(FLAVOURED(SplitParametersTest), Cases) {
    struct Case {
        const char* parameters;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"", {}},
        {"-install", {"-install"}},
        {"  -a   b\tc ", {"-a", "b", "c"}},
        {"\"with blank\" x", {"with blank", "x"}},
        {"a\"b c\"d", {"ab cd"}},
        {"\"\"", {""}},
        {"say \\\"hi\\\"", {"say", "\"hi\""}},
        {"$HOME `id` ;rm", {"$HOME", "`id`", ";rm"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(winutils::SplitParameters(c.parameters), c.expected) << c.parameters;
    }
}

class ShellExecuteAndWaitFixture : public ::testing::Test {
protected:
    void SetUp() override {
        winutils::testing::ResetApplicationTerminated();
        script_ = dir_ / "record.sh";
        WriteFile(script_,
                  "#!/bin/sh\n"
                  "out=\"$RECORD_FILE\"\n"
                  "for a in \"$@\"; do printf '[%s]\\n' \"$a\"; done > \"$out.tmp\"\n"
                  "pwd >> \"$out.tmp\"\n"
                  "mv \"$out.tmp\" \"$out\"\n");
        fs::permissions(script_, fs::perms::owner_all);
    }
    void TearDown() override { winutils::testing::ResetApplicationTerminated(); }

    testsupport::TempDir dir_;
    fs::path script_;
    testsupport::ScopedEnv record_{"RECORD_FILE", (dir_ / "record.txt").string()};
};
using FLAVOURED(ShellExecuteAndWaitTest) = ShellExecuteAndWaitFixture;

TEST_F(FLAVOURED(ShellExecuteAndWaitTest), RunsTheProgramToItsEnd) {
    fs::create_directories(dir_ / "work");
    ASSERT_TRUE(winutils::ShellExecuteAndWait(0, script_.string(), "-install \"two words\" $HOME",
                                              (dir_ / "work").string(), 0, 0x40));
    // Waited for: the record is complete when the call returns.
    EXPECT_EQ(ReadFile(dir_ / "record.txt"),
              "[-install]\n[two words]\n[$HOME]\n" + (dir_ / "work").string() + "\n");
}

TEST_F(FLAVOURED(ShellExecuteAndWaitTest), MissingProgramFailsAtOnce) {
    EXPECT_FALSE(winutils::ShellExecuteAndWait(0, (dir_ / "missing").string(), "", "", 0, 0));
    EXPECT_FALSE(winutils::ShellExecuteAndWait(0, "", "-install", "", 0, 0));
}

TEST_F(FLAVOURED(ShellExecuteAndWaitTest), LongParametersAreCut) {
    const std::string parameters(3000, 'p');
    ASSERT_TRUE(winutils::ShellExecuteAndWait(0, script_.string(), parameters, "", 0, 0));
    EXPECT_EQ(ReadFile(dir_ / "record.txt").find("[" + std::string(2047, 'p') + "]\n"), 0u);
}

TEST_F(FLAVOURED(ShellExecuteAndWaitTest), TerminatingApplicationStopsWaiting) {
    const fs::path release = dir_ / "release";
    const fs::path slow = dir_ / "slow.sh";
    // Waits (at most 20 s) for the test to release it, so the call can only return by the termination rule.
    WriteFile(slow, "#!/bin/sh\ni=0\nwhile [ ! -e \"" + release.string() +
                        "\" ] && [ $i -lt 200 ]; do sleep 0.1; i=$((i+1)); done\n");
    fs::permissions(slow, fs::perms::owner_all);
    winutils::RequestApplicationTerminate();
    EXPECT_TRUE(winutils::ShellExecuteAndWait(0, slow.string(), "", "", 0, 0));
    EXPECT_FALSE(fs::exists(release));
    WriteFile(release, "");
}

}  // namespace
