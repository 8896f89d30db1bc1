// The update check in this process against the local server: the answer parser, the numbers, the
// decision, the request and the stop signals of the start-up delay.
#include "pollwick/CheckForUpdates.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <thread>

#include "platform/MessageEndpoint.h"
#include "platform/WindowsMessages.h"
#include "tests/pollwick/UpdateCheckTestSupport.h"

namespace pollwick {
namespace {

using testing::BodyScript;
using testing::PollwickHome;
using testing::TaggedAnswer;
using testing::UpdatesCfg;

// --- the tagged answer --------------------------------------------------------------------------------

struct TaggedCase {
    const char* what;
    std::string answer;
    const char* key;
    std::string expected;
};

void PrintTo(const TaggedCase& c, std::ostream* os) {
    *os << c.what;
}

class TaggedValue : public ::testing::TestWithParam<TaggedCase> {};

TEST_P(TaggedValue, ReadsTheValueBetweenTheKeysMarkers) {
    EXPECT_EQ(getTaggedValue(GetParam().answer, GetParam().key), GetParam().expected) << GetParam().what;
}

const std::string kUrlKeys = "~urldl^N^urldl~~urle^http://fallback/^urle~~url^http://target/^url~";

INSTANTIATE_TEST_SUITE_P(
    Answers, TaggedValue,
    ::testing::Values(
        TaggedCase{"plain", "~data^Y^data~", "data", "Y"},
        TaggedCase{"text around and between", "junk~ver^2.0^ver~more~fc^Caption^fc~tail", "fc", "Caption"},
        TaggedCase{"missing key", "~ver^2.0^ver~", "fc", ""},
        TaggedCase{"start marker without end", "~ver^2.0", "ver", ""},
        TaggedCase{"end marker without start", "2.0^ver~", "ver", ""},
        TaggedCase{"empty value", "~san^^san~", "san", ""},
        TaggedCase{"keys are case-sensitive", "~VER^2.0^VER~", "ver", ""},
        TaggedCase{"url among urldl and urle", kUrlKeys, "url", "http://target/"},
        TaggedCase{"urldl among url and urle", kUrlKeys, "urldl", "N"},
        TaggedCase{"urle among url and urldl", kUrlKeys, "urle", "http://fallback/"},
        TaggedCase{"mch beside mchp", "~mchp^40^mchp~~mch^60^mch~", "mch", "60"},
        TaggedCase{"mchp beside mch", "~mch^60^mch~~mchp^40^mchp~", "mchp", "40"},
        TaggedCase{"first occurrence wins", "~ver^1^ver~~ver^2^ver~", "ver", "1"},
        TaggedCase{"multi-line value kept whole", "~content^line 1\r\nline 2^content~", "content",
                   "line 1\r\nline 2"},
        TaggedCase{"control characters kept for the caller", "~fc^a\x01\x1b[2Jb^fc~", "fc", "a\x01\x1b[2Jb"},
        TaggedCase{"huge value", "~h1^" + std::string(1 << 20, 'x') + "^h1~", "h1",
                   std::string(1 << 20, 'x')},
        TaggedCase{"markers only", "~^^~", "", ""}));

// --- numbers ------------------------------------------------------------------------------------------

struct RangeCase {
    const char* text;
    int lo;
    int hi;
    int expected;
};

void PrintTo(const RangeCase& c, std::ostream* os) {
    *os << "[" << c.text << "] in " << c.lo << ".." << c.hi;
}

class InRange : public ::testing::TestWithParam<RangeCase> {};

TEST_P(InRange, GivesTheNumberOrMinusOne) {
    const RangeCase& c = GetParam();
    EXPECT_EQ(StrToIntInRange(c.text, c.lo, c.hi), c.expected) << "[" << c.text << "]";
}

INSTANTIATE_TEST_SUITE_P(Numbers, InRange,
                         ::testing::Values(RangeCase{"3", 0, 100, 3}, RangeCase{" 3 ", 0, 100, 3},
                                           RangeCase{"700", 0, 598, -1}, RangeCase{"598", 0, 598, 598},
                                           RangeCase{"0", 0, 304, 0}, RangeCase{"99", 100, 1000, -1},
                                           RangeCase{"1000", 100, 1000, 1000}, RangeCase{"", 0, 100, -1},
                                           RangeCase{"abc", 0, 100, -1}, RangeCase{"5x", 0, 100, -1},
                                           RangeCase{"+5", 0, 100, 5}, RangeCase{"-5", 0, 100, -1},
                                           RangeCase{"0x10", 0, 100, -1}, RangeCase{"1 2", 0, 100, -1},
                                           RangeCase{"99999999999999999999", 0, 100, -1},
                                           RangeCase{"-", 0, 100, -1}, RangeCase{"3.5", 0, 100, -1}));

TEST(StrictInteger, LeadingBlanksAndSignOnly) {
    int32_t value = 0;
    EXPECT_TRUE(StrToIntStrict("  -12", value));
    EXPECT_EQ(value, -12);
    EXPECT_FALSE(StrToIntStrict("5 ", value));
    EXPECT_FALSE(StrToIntStrict("2147483648", value));
    EXPECT_TRUE(StrToIntStrict("-2147483648", value));
    EXPECT_EQ(value, INT32_MIN);
}

TEST(PercentEncoding, KeepsOnlyUnreservedCharacters) {
    EXPECT_EQ(PercentEncode("Az09-._~"), "Az09-._~");
    EXPECT_EQ(PercentEncode("a b&c=d?e#f/g"), "a%20b%26c%3Dd%3Fe%23f%2Fg");
    EXPECT_EQ(PercentEncode("\xc3\xa9"), "%C3%A9");
}

// --- the whole check against the local server ---------------------------------------------------------

int64_t Now() {
    return static_cast<int64_t>(std::time(nullptr));
}

class CheckTest : public ::testing::Test {
protected:
    // Starts the server with answer at "/check" and loads the configuration; state is the state file's
    // text before the run (delay 0 unless the text sets it).
    Configuration& start(const std::string& answer, const std::string& state = "",
                         UpdatesCfg cfg = UpdatesCfg()) {
        server_ =
            std::make_unique<testsupport::HttpServer>(testing::ScriptOptions(BodyScript("/check", answer)));
        cfg.url = server_->Url("/check");
        home_.writeUpdatesCfg(cfg);
        home_.writeState(state + "delay_min_after_startup=0\n");  // the first line of a key wins
        return home_.loadConfiguration();
    }

    bool check() { return CheckForUpdates(home_.programFolder(), data_, 598, 304); }
    size_t requests() const { return server_->RequestsFor("/check").size(); }

    PollwickHome home_;
    std::unique_ptr<testsupport::HttpServer> server_;
    DisplayData data_;
};

TEST_F(CheckTest, RequestCarriesEveryQueryKeyEncodedAndTheUserAgent) {
    UpdatesCfg cfg;
    cfg.id = "foo app&x=1";
    cfg.version = "1.0 beta";
    cfg.language = "pt-BR";
    cfg.aff = "partner/7";
    Configuration& c = start("", "install_id=-42\ninstall_time=1700000000\n", cfg);
    check();
    const auto log = server_->RequestsFor("/check");
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].target,
              "/check?app=foo%20app%26x%3D1&v=1.0%20beta&l=pt-BR&aid=partner%2F7&id=-42&it=1700000000");
    EXPECT_EQ(log[0].Header("user-agent"), c.Preferences.UserAgent);
    EXPECT_EQ(c.Preferences.UserAgent, "Mozilla/4.0 (compatible; MSIE 7.0; Windows NT 5.1; Trident/4.0)");
}

TEST_F(CheckTest, EmptyAffiliateLeavesOutItsKey) {
    start("");
    check();
    const auto log = server_->RequestsFor("/check");
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].target.find("aid="), std::string::npos);
}

TEST_F(CheckTest, NewVersionIsShownWithTheAnswersTexts) {
    Configuration& c = start(TaggedAnswer({{"data", " y "},
                                           {"ver", "2.0"},
                                           {"fc", "New Foo!"},
                                           {"h1", "<b>Update</b>"},
                                           {"vtc", "You have ##CURRVER##; ##CURRVER## is old"},
                                           {"cbv", "n"},
                                           {"urldl", " y"},
                                           {"abw", "700"},
                                           {"fch", "99"},
                                           {"fcw", "640"},
                                           {"icnid", " 3 "},
                                           {"mch", "-1"},
                                           {"content", "one\ntwo"}}));
    const int64_t before = Now();
    ASSERT_TRUE(check());
    EXPECT_EQ(data_.offeredVersion, "2.0");
    EXPECT_EQ(data_.caption, "New Foo!");
    EXPECT_EQ(data_.topMessage, "<b>Update</b>");
    EXPECT_EQ(data_.versionText, "You have 1.0 (build 7); 1.0 (build 7) is old");
    EXPECT_FALSE(data_.checkBoxVisible);
    EXPECT_TRUE(data_.bottomMessageVisible);  // missing key: visible
    EXPECT_TRUE(data_.downloadInWindow);
    EXPECT_EQ(data_.actionWidth, -1);
    EXPECT_EQ(data_.clientHeight, -1);
    EXPECT_EQ(data_.clientWidth, 640);
    EXPECT_EQ(data_.iconIndex, 3);
    EXPECT_EQ(data_.descriptionHeight, -1);
    EXPECT_NE(data_.content.find("one"), std::string::npos);
    EXPECT_NE(data_.content.find("two"), std::string::npos);
    EXPECT_EQ(data_.saveAsFileName, "FooSetup.exe");
    EXPECT_FALSE(data_.adShown);
    EXPECT_GE(c.last_version_shown_time, before);
    EXPECT_EQ(c.last_version_shown, "2.0");

    // The state file records the check and the shown version.
    home_.loadConfiguration();
    EXPECT_GE(config->last_check_time, before);
    EXPECT_EQ(config->last_version_shown, "2.0");
}

struct DecisionCase {
    const char* what;
    std::string answer;
    std::string state;
    bool shown;
    bool adShown;
};

void PrintTo(const DecisionCase& c, std::ostream* os) {
    *os << c.what;
}

class Decision : public CheckTest, public ::testing::WithParamInterface<DecisionCase> {};

TEST_P(Decision, ShowsOnlyWhatIsDue) {
    const DecisionCase& c = GetParam();
    start(c.answer, c.state);
    EXPECT_EQ(check(), c.shown) << c.what;
    EXPECT_EQ(data_.adShown, c.adShown) << c.what;
    EXPECT_EQ(requests(), 1u);
    if (!c.shown) {
        EXPECT_TRUE(data_.caption.empty()) << "nothing filled when not shown: " << c.what;
    }
}

const std::string kRecent = std::to_string(Now() - 3600);

INSTANTIATE_TEST_SUITE_P(
    Answers, Decision,
    ::testing::Values(
        DecisionCase{"data missing", TaggedAnswer({{"ver", "2.0"}, {"fc", "x"}}), "", false, false},
        DecisionCase{"data N", TaggedAnswer({{"data", "N"}, {"ver", "2.0"}}), "", false, false},
        DecisionCase{"ignored version in another case", TaggedAnswer({{"data", "Y"}, {"ver", "2.0-BETA"}}),
                     "ignore_version=2.0-beta\n", false, false},
        DecisionCase{"same version, no ad", TaggedAnswer({{"data", "Y"}, {"ver", "1.0b"}, {"fc", "x"}}), "",
                     false, false},
        DecisionCase{"installed version in another case", TaggedAnswer({{"data", "Y"}, {"ver", "1.0B"}}), "",
                     false, false},
        DecisionCase{"shown within the display interval",
                     TaggedAnswer({{"data", "Y"}, {"ver", "2.0"}, {"fc", "x"}}),
                     "last_version_shown_time=" + kRecent + "\ndays_between_displays=3\n", false, false},
        DecisionCase{"display interval 0 after a second", TaggedAnswer({{"data", "Y"}, {"ver", "2.0"}}),
                     "last_version_shown_time=" + std::to_string(Now() - 5) + "\ndays_between_displays=0\n",
                     true, false},
        DecisionCase{"ad with the installed version",
                     TaggedAnswer({{"data", "Y"}, {"ver", "1.0b"}, {"ad", "y"}}), "", true, true},
        DecisionCase{"ad without a version", TaggedAnswer({{"data", "Y"}, {"ad", "Y"}}), "", true, true},
        DecisionCase{"ad refused by no_ads", TaggedAnswer({{"data", "Y"}, {"ad", "Y"}}), "no_ads=Y\n", false,
                     true},
        DecisionCase{"ad flag of a newer version is dropped",
                     TaggedAnswer({{"data", "Y"}, {"ver", "2.0"}, {"ad", "Y"}}), "no_ads=Y\n", true, false}));

TEST_F(CheckTest, AdLeavesTheShownVersionTimeAlone) {
    Configuration& c = start(TaggedAnswer({{"data", "Y"}, {"ver", "1.0b"}, {"ad", "Y"}}),
                             "last_version_shown_time=12345\nlast_version_shown=0.9\n");
    ASSERT_TRUE(check());
    EXPECT_EQ(c.last_version_shown_time, 12345);
    EXPECT_EQ(c.last_version_shown, "0.9");
}

struct ScheduleCase {
    const char* dms;
    const char* dc;
    int expectedDelay;
    int expectedDays;
};

void PrintTo(const ScheduleCase& c, std::ostream* os) {
    *os << "dms [" << c.dms << "] dc [" << c.dc << "]";
}

class ScheduleValues : public CheckTest, public ::testing::WithParamInterface<ScheduleCase> {};

TEST_P(ScheduleValues, AreReadClampedAndSaved) {
    const ScheduleCase& c = GetParam();
    start(TaggedAnswer({{"data", "Y"}, {"dms", c.dms}, {"dc", c.dc}}), "days_between_checks=2\n");
    check();
    home_.loadConfiguration();
    EXPECT_EQ(config->delay_min_after_startup, c.expectedDelay) << "dms [" << c.dms << "]";
    EXPECT_EQ(config->days_between_checks, c.expectedDays) << "dc [" << c.dc << "]";
}

INSTANTIATE_TEST_SUITE_P(Answers, ScheduleValues,
                         ::testing::Values(ScheduleCase{"5", "5", 5, 5}, ScheduleCase{"5 ", "5 ", 5, 2},
                                           ScheduleCase{" 7", " 9", 7, 9}, ScheduleCase{"61", "45", 3, 7},
                                           ScheduleCase{"-1", "-1", 3, 7}, ScheduleCase{"x", "x", 0, 2},
                                           ScheduleCase{"", "", 0, 2}, ScheduleCase{"60", "0", 60, 0}));

struct SaveAsCase {
    std::string san;
    std::string expected;
};

void PrintTo(const SaveAsCase& c, std::ostream* os) {
    for (const char ch : c.san) {
        *os << (static_cast<unsigned char>(ch) < 0x20 ? '?' : ch);
    }
}

class SaveAsName : public CheckTest, public ::testing::WithParamInterface<SaveAsCase> {};

TEST_P(SaveAsName, IsASafeBaseNameOrTheProductsInstaller) {
    start(TaggedAnswer({{"data", "Y"}, {"ver", "2.0"}, {"san", GetParam().san}}));
    ASSERT_TRUE(check());
    EXPECT_EQ(data_.saveAsFileName, GetParam().expected) << "[" << GetParam().san << "]";
}

INSTANTIATE_TEST_SUITE_P(
    Answers, SaveAsName,
    ::testing::Values(SaveAsCase{"", "FooSetup.exe"}, SaveAsCase{"New.run", "New.run"},
                      SaveAsCase{"../../../etc/evil.sh", "evil.sh"}, SaveAsCase{"/usr/bin/x.bin", "x.bin"},
                      SaveAsCase{"..", "FooSetup.exe"}, SaveAsCase{".hidden", "FooSetup.exe"},
                      SaveAsCase{"a\nb.sh", "FooSetup.exe"}, SaveAsCase{"file.ex e", "FooSetup.exe"}));

TEST_F(CheckTest, HostileAnswerNeverCrashesNorWritesStrayLines) {
    std::string huge(512 << 10, 'A');  // large, yet within the answer's limit
    Configuration& c = start(TaggedAnswer({{"data", "Y"},
                                           {"ver", "2.0\nignore_version=2.0\r\x01"},
                                           {"fc", huge},
                                           {"content", std::string(20000, '\n')},
                                           {"icnid", "99999999999999999999"},
                                           {"abw", "-2147483649"},
                                           {"url", "file:///etc/passwd"},
                                           {"urle", "javascript:alert(1)"}}));
    ASSERT_TRUE(check());
    EXPECT_EQ(data_.caption.size(), huge.size());
    EXPECT_EQ(data_.iconIndex, -1);
    EXPECT_EQ(data_.actionWidth, -1);
    (void)c;
    // The stored version text holds no line break that could forge another key of the state file.
    const std::string state = testsupport::ReadFile(home_.stateFile());
    EXPECT_EQ(state.find("\nignore_version=2.0"), std::string::npos) << state;
    home_.loadConfiguration();
    EXPECT_TRUE(config->ignore_version.empty());
}

TEST_F(CheckTest, TruncatedOrFailedAnswersShowNothingAndStillSaveTheCheck) {
    for (const std::string& body :
         {std::string("~data^Y^da"), std::string("~data^Y"), std::string("\0\0", 2)}) {
        PollwickHome home;
        testsupport::HttpServer server(testing::ScriptOptions(BodyScript("/check", body)));
        UpdatesCfg cfg;
        cfg.url = server.Url("/check");
        home.writeUpdatesCfg(cfg);
        home.writeState("delay_min_after_startup=0\n");
        home.loadConfiguration();
        DisplayData data;
        const int64_t before = Now();
        EXPECT_FALSE(CheckForUpdates(home.programFolder(), data, 598, 304));
        EXPECT_TRUE(data.offeredVersion.empty());
        home.loadConfiguration();
        EXPECT_GE(config->last_check_time, before);
    }
}

TEST_F(CheckTest, ServerErrorShowsNothingAndSavesTheCheck) {
    server_ = std::make_unique<testsupport::HttpServer>(
        testing::ScriptOptions(R"({"/check": {"statuses": [500]}})"));
    UpdatesCfg cfg;
    cfg.url = server_->Url("/check");
    home_.writeUpdatesCfg(cfg);
    home_.writeState("delay_min_after_startup=0\n");
    home_.loadConfiguration();
    const int64_t before = Now();
    EXPECT_FALSE(check());
    home_.loadConfiguration();
    EXPECT_GE(config->last_check_time, before);
}

TEST_F(CheckTest, CheckNotDueAsksNothing) {
    start(TaggedAnswer({{"data", "Y"}, {"ver", "2.0"}}),
          "last_check_time=" + std::to_string(Now() - 60) + "\ndays_between_checks=1\n");
    EXPECT_FALSE(check());
    EXPECT_EQ(requests(), 0u);
}

TEST_F(CheckTest, ZeroDaysBetweenChecksAsksEveryTime) {
    start("", "last_check_time=" + std::to_string(Now()) + "\ndays_between_checks=0\n");
    check();
    EXPECT_EQ(requests(), 1u);
}

TEST_F(CheckTest, ShutdownFileDuringTheDelayEndsWithoutRequestOrSaving) {
    start(TaggedAnswer({{"data", "Y"}, {"ver", "2.0"}}), "delay_min_after_startup=2\n");
    const std::string before = testsupport::ReadFile(home_.stateFile());
    testsupport::WriteFile(home_.programFolder() / "shutdown", "");
    EXPECT_FALSE(check());
    EXPECT_TRUE(killed.load());
    EXPECT_EQ(requests(), 0u);
    EXPECT_EQ(testsupport::ReadFile(home_.stateFile()), before);
}

TEST_F(CheckTest, CloseMessageToTheHiddenWindowDuringTheDelayEndsWithoutRequestOrSaving) {
    start(TaggedAnswer({{"data", "Y"}, {"ver", "2.0"}}), "delay_min_after_startup=1\n");
    const std::string before = testsupport::ReadFile(home_.stateFile());
    std::atomic<bool> posted{false};
    std::thread closer([&] {
        for (int i = 0; i < 200 && !posted.load(); ++i) {
            if (auto window = platform::FindWindow("FooPollwick")) {
                posted.store(platform::PostMessageTo(*window, platform::WM_CLOSE, 0, 0));
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
    });
    const bool shown = check();
    closer.join();
    ASSERT_TRUE(posted.load());
    EXPECT_FALSE(shown);
    EXPECT_TRUE(killed.load());
    EXPECT_EQ(requests(), 0u);
    EXPECT_EQ(testsupport::ReadFile(home_.stateFile()), before);
    // The close destroyed the hidden window.
    EXPECT_FALSE(platform::FindWindow("FooPollwick").has_value());
}

TEST_F(CheckTest, OtherMessagesToTheHiddenWindowDoNotStopTheRun) {
    start("", "");
    UniqueWindowProc(platform::WM_USER + 5, 0, 0);
    EXPECT_FALSE(killed.load());
    for (const uint32_t message : {platform::WM_QUERYENDSESSION, platform::WM_QUIT}) {
        killed.store(false);
        UniqueWindowProc(message, 0, 0);
        EXPECT_TRUE(killed.load());
    }
}

}  // namespace
}  // namespace pollwick
