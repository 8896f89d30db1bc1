#include "winutils/ConfigurationBase.h"

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TestEnv.h"
#include "tests/winutils/Flavour.h"

namespace fs = std::filesystem;
using testsupport::ReadFile;

namespace {

// A program's configuration in its simplest form: the shared head and the lock.
class TestConfiguration : public winutils::ConfigurationBase {
public:
    TestConfiguration() : winutils::ConfigurationBase(prefs) { created = createPrefsLock(); }
    winutils::PreferencesHead prefs;
    bool created = false;
};

std::string ThreadId() {
    return std::to_string(syscall(SYS_gettid));
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line.substr(line.find(": ") + 2));  // the text after time stamp and thread id
    }
    return lines;
}

class PrefsLockTestFixture : public ::testing::Test {
protected:
    void SetUp() override {
        winutils::testing::ResetDebugLog();
        config_.prefs.LogFile = (home_.configHome() / "Prog" / "log.txt").string();
        ASSERT_TRUE(config_.created);
    }
    void TearDown() override { winutils::testing::ResetDebugLog(); }

    std::string log() const { return ReadFile(config_.prefs.LogFile); }

    testsupport::IsolatedHome home_;
    TestConfiguration config_;
};

using FLAVOURED(PrefsLockTest) = PrefsLockTestFixture;

TEST_F(FLAVOURED(PrefsLockTest), OwnerTextNamesTheHolder) {
    EXPECT_EQ(config_.prefsLockOwner(), "No-one");
    EXPECT_TRUE(config_.Prefs_Lock("FormSettingsSrc.cpp", 120));
    EXPECT_EQ(config_.prefsLockOwner(), "FormSettingsSrc.cpp:120, thread: " + ThreadId());
    EXPECT_TRUE(config_.Prefs_Unlock("FormSettingsSrc.cpp", 130));
    EXPECT_EQ(config_.prefsLockOwner(), "No-one");
}

TEST_F(FLAVOURED(PrefsLockTest), SameThreadMayLockAgainAndNeedsEveryUnlock) {
    config_.Prefs_Lock("a.cpp", 1);
    config_.Prefs_Lock("b.cpp", 2);
    EXPECT_EQ(config_.prefsLockOwner(), "b.cpp:2, thread: " + ThreadId());
    config_.Prefs_Unlock("b.cpp", 3);
    EXPECT_EQ(config_.prefsLockOwner(), "No-one");  // the first unlock already clears the name

    // Still held once: another thread cannot take it until the second unlock.
    std::atomic<bool> taken{false};
    std::thread other([&] {
        config_.Prefs_Lock("other.cpp", 9);
        taken = true;
        config_.Prefs_Unlock("other.cpp", 10);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(taken.load());
    config_.Prefs_Unlock("a.cpp", 4);
    other.join();
    EXPECT_TRUE(taken.load());
}

TEST_F(FLAVOURED(PrefsLockTest), WaiterLogsEveryStepWithTheHoldersName) {
    config_.prefs.DebugMask = winutils::DEBUG_PREFS_LOCK | winutils::DEBUG_PREFS_UNLOCK;
    winutils::StartDebugLog();

    std::promise<void> held;
    std::atomic<bool> release{false};
    std::thread holder([&] {
        config_.Prefs_Lock("holder.cpp", 7);
        held.set_value();
        // Keep the lock until the waiter has logged at least one timed-out step (bounded).
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (log().find("returned 258") == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        config_.Prefs_Unlock("holder.cpp", 8);
    });
    held.get_future().wait();
    const std::string holderName = config_.prefsLockOwner();
    config_.Prefs_Lock("waiter.cpp", 21);
    holder.join();
    config_.Prefs_Unlock("waiter.cpp", 22);

    std::vector<std::string> waiter;
    for (const auto& line : Lines(log())) {
        if (line.find("(waiter.cpp:21)") != std::string::npos) {
            waiter.push_back(line);
        }
    }
    ASSERT_GE(waiter.size(), 4u);
    EXPECT_EQ(waiter.front().find("Configuration::Prefs_Lock: BEGIN Lock ["), 0u);
    EXPECT_NE(waiter.front().find("Locked by [" + holderName + "]"), std::string::npos);
    EXPECT_NE(waiter[1].find("WaitForSingleObject returned 258. Locked by [" + holderName + "]"),
              std::string::npos)
        << waiter[1];
    EXPECT_NE(waiter[waiter.size() - 2].find("WaitForSingleObject returned 0. Locked by ["),
              std::string::npos);
    EXPECT_EQ(waiter.back().find("Configuration::Prefs_Lock: END Lock ["), 0u);
    EXPECT_NE(waiter.back().find("] (waiter.cpp:21)"), std::string::npos);
    for (size_t i = 1; i + 2 < waiter.size(); ++i) {
        EXPECT_NE(waiter[i].find("returned 258"), std::string::npos) << waiter[i];
    }
}

TEST_F(FLAVOURED(PrefsLockTest), UnlockLinesUseTheirOwnCategory) {
    config_.prefs.DebugMask = winutils::DEBUG_PREFS_UNLOCK;
    winutils::StartDebugLog();
    config_.Prefs_Lock("x.cpp", 1);
    config_.Prefs_Unlock("x.cpp", 2);

    const auto lines = Lines(log());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].find("Configuration::Prefs_Unlock: BEGIN Lock ["), 0u);
    EXPECT_NE(lines[0].find("] (x.cpp:2)"), std::string::npos);
    EXPECT_EQ(lines[1].find("Configuration::Prefs_Unlock: END Lock ["), 0u);
}

TEST_F(FLAVOURED(PrefsLockTest), UnlockByAThreadThatDoesNotHoldItFailsVisibly) {
    config_.prefs.DebugMask = winutils::DEBUG_PREFS_UNLOCK;
    winutils::StartDebugLog();
    config_.Prefs_Lock("x.cpp", 1);
    bool result = false;
    std::thread([&] { result = config_.Prefs_Unlock("stranger.cpp", 5); }).join();

    EXPECT_TRUE(result);
    EXPECT_NE(log().find("(stranger.cpp:5) @@@ FAILED. Error code 288"), std::string::npos);
    // The holder still holds it and can release it.
    config_.Prefs_Unlock("x.cpp", 2);
    std::thread([&] {
        config_.Prefs_Lock("later.cpp", 1);
        config_.Prefs_Unlock("later.cpp", 2);
    }).join();
}

TEST(FLAVOURED(ConfigurationBaseTest), TextLookupGivesTheDefault) {
    EXPECT_EQ(winutils::ConfigurationBase::GetText("CFG_5", "Could not create Preferences lock."),
              "Could not create Preferences lock.");
    EXPECT_EQ(winutils::ConfigurationBase::GetText("MSG_WARNING", ""), "");
}

TEST(FLAVOURED(ConfigurationBaseTest), LogFollowsTheLivingConfiguration) {
    {
        TestConfiguration config;
        EXPECT_EQ(winutils::DebugLogPreferences(), &config.prefs);
    }
    EXPECT_EQ(winutils::DebugLogPreferences(), nullptr);
}

}  // namespace
