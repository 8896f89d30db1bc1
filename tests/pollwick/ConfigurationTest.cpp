#include "pollwick/Configuration.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Registry.h"
#include "tests/support/TestEnv.h"

namespace fs = std::filesystem;
using pollwick::Configuration;
using testsupport::ReadFile;
using testsupport::WriteFile;

namespace {

const char* const kInternetSettings = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

std::vector<std::string> CrLfLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find("\r\n", start);
        EXPECT_NE(end, std::string::npos) << "every line ends with CR LF";
        if (end == std::string::npos) {
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

class ConfigurationTest : public ::testing::Test {
protected:
    ConfigurationTest() {
        // The user's own proxy variables must not leak into the tests.
        for (const char* name : {"http_proxy", "https_proxy"}) {
            proxyEnv_.push_back(std::make_unique<testsupport::ScopedEnv>(name, std::nullopt));
        }
    }

    fs::path programFolder() const { return home_.root() / "program"; }
    fs::path stateFolder(const std::string& name = "Foo") const { return home_.configHome() / name; }
    fs::path stateFile(const std::string& name = "Foo") const { return stateFolder(name) / "updcheck.cfg"; }

    void writeUpdatesCfg(const std::string& text) { WriteFile(programFolder() / "updates.cfg", text); }
    void writeState(const std::string& text) { WriteFile(stateFile(), text); }

    std::unique_ptr<Configuration> load() { return std::make_unique<Configuration>(programFolder()); }

    testsupport::IsolatedHome home_;
    std::vector<std::unique_ptr<testsupport::ScopedEnv>> proxyEnv_;
};

TEST_F(ConfigurationTest, DefaultsWithoutSettingsFile) {
    const std::time_t before = std::time(nullptr);
    auto config = load();
    const std::time_t after = std::time(nullptr);

    EXPECT_FALSE(config->loaded);
    EXPECT_TRUE(config->name.empty());
    EXPECT_TRUE(config->Preferences.LogFile.empty());
    EXPECT_TRUE(config->Preferences.PersonalFolder.empty());
    EXPECT_EQ(config->Preferences.DebugMask.load(), 0);
    EXPECT_TRUE(config->Preferences.RotateLogs);
    EXPECT_EQ(config->Preferences.TimeoutSeconds, 10);
    EXPECT_EQ(config->Preferences.UserAgent,
              "Mozilla/4.0 (compatible; MSIE 7.0; Windows NT 5.1; Trident/4.0)");
    EXPECT_TRUE(config->Preferences.Referer.empty());
    EXPECT_EQ(config->Preferences.Attempts, 3);
    EXPECT_EQ(config->Preferences.TempFolder, home_.tmpDir().string() + "/");
    EXPECT_EQ(config->Preferences.ThreadCount, 4);
    EXPECT_TRUE(config->Preferences.Overwrite);
    EXPECT_FALSE(config->UseProxy);
    EXPECT_EQ(config->last_check_time, 0);
    EXPECT_GE(config->install_time, before);
    EXPECT_LE(config->install_time, after);
    EXPECT_EQ(config->days_between_checks, 1);
    EXPECT_EQ(config->days_between_displays, 3);
    EXPECT_EQ(config->delay_min_after_startup, 3);
    EXPECT_EQ(config->install_id, 0);
    EXPECT_FALSE(config->no_ads);
    EXPECT_EQ(config->prefsLockOwner(), "No-one");
}

TEST_F(ConfigurationTest, SettingsFileKeys) {
    struct Case {
        const char* file;
        const char* key;
        std::string Configuration::*member;
        const char* expected;
    };
    const Case cases[] = {
        {"NAME=Foo\nname=Bar\n", "name", &Configuration::name, "Foo"},  // first key wins, any case
        {"name = Foo\n", "name", &Configuration::name, ""},             // the blank belongs to the key
        {"url= http://x/check?a=b=c \n", "url", &Configuration::url, " http://x/check?a=b=c "},
        {"Id=7\r\nVersion=1.2\r\n", "id", &Configuration::id, "7"},
        {"Id=7\r\nVersion=1.2\r\n", "version", &Configuration::version, "1.2"},
        {"version_txt=1.2 beta\nlanguage=de\naff=x1\n", "version_txt", &Configuration::version_txt,
         "1.2 beta"},
        {"version_txt=1.2 beta\nlanguage=de\naff=x1\n", "language", &Configuration::language, "de"},
        {"version_txt=1.2 beta\nlanguage=de\naff=x1", "aff", &Configuration::aff, "x1"},
        {"aff=x1\nsupport_email=help@example.org\n", "support_email", &Configuration::support_email,
         "help@example.org"},
        {"name=Foo\n", "support_email", &Configuration::support_email, ""},
        {"# comment\nnothing here\nname=\nname=Late\n", "name", &Configuration::name, ""},
        {"", "url", &Configuration::url, ""},
    };
    for (const Case& c : cases) {
        writeUpdatesCfg(c.file);
        auto config = load();
        EXPECT_TRUE(config->loaded) << c.file;
        EXPECT_EQ((*config).*(c.member), c.expected) << c.key << " in " << c.file;
    }
}

TEST_F(ConfigurationTest, PathsFollowTheProductName) {
    writeUpdatesCfg("name=Foo\n");
    auto config = load();
    const std::string data = home_.configHome().string() + "/Foo/";
    EXPECT_EQ(config->Preferences.LogFile, data + "log.txt");
    EXPECT_EQ(config->Preferences.LogFile1, data + "log.1.txt");
    EXPECT_EQ(config->Preferences.LogFile2, data + "log.2.txt");
    EXPECT_EQ(config->Preferences.PersonalFolder, data);
    EXPECT_EQ(config->getDatabaseFile("Foo"), data + "updcheck.cfg");
    EXPECT_TRUE(fs::is_directory(stateFolder()));
}

TEST_F(ConfigurationTest, StateFolderIsMadeOnAFreshAccount) {
    fs::remove_all(home_.configHome());
    writeUpdatesCfg("name=Foo\n");
    auto config = load();
    EXPECT_TRUE(config->savePersistentState());
    EXPECT_TRUE(fs::exists(stateFile()));
}

TEST_F(ConfigurationTest, StateValuesAsStored) {
    struct Case {
        const char* line;
        int32_t Configuration::*member;
        int32_t expected;
    };
    const Case cases[] = {
        {"days_between_checks=45", &Configuration::days_between_checks, 30},
        {"days_between_checks=abc", &Configuration::days_between_checks, 1},
        {"days_between_checks=0", &Configuration::days_between_checks, 0},
        {"days_between_checks=30", &Configuration::days_between_checks, 30},
        {"days_between_checks=", &Configuration::days_between_checks, 1},
        {"DAYS_BETWEEN_CHECKS=5", &Configuration::days_between_checks, 5},
        {"days_between_checks=7\r\ndays_between_checks=9", &Configuration::days_between_checks, 7},
        {"days_between_displays=-2", &Configuration::days_between_displays, 3},
        {"days_between_displays=31", &Configuration::days_between_displays, 3},
        {"days_between_displays=12", &Configuration::days_between_displays, 12},
        {"delay_min_after_startup=61", &Configuration::delay_min_after_startup, 3},
        {"delay_min_after_startup=60", &Configuration::delay_min_after_startup, 60},
        {"delay_min_after_startup=99999999999", &Configuration::delay_min_after_startup, 3},
        {"last_check_time=1700000000", &Configuration::last_check_time, 1700000000},
        {"last_check_time=17x", &Configuration::last_check_time, 0},
        {"install_time=1600000000", &Configuration::install_time, 1600000000},
        {"last_version_shown_time=-5", &Configuration::last_version_shown_time, -5},
    };
    writeUpdatesCfg("name=Foo\n");
    for (const Case& c : cases) {
        writeState(std::string(c.line) + "\r\n");
        auto config = load();
        EXPECT_EQ((*config).*(c.member), c.expected) << c.line;
    }
}

TEST_F(ConfigurationTest, NoAdsFlag) {
    struct Case {
        const char* value;
        bool expected;
    };
    const Case cases[] = {{"Y", true},  {" y ", true}, {"\ty", true}, {"yes", false},
                          {"N", false}, {"", false},   {"1", false}};
    writeUpdatesCfg("name=Foo\n");
    for (const Case& c : cases) {
        writeState(std::string("no_ads=") + c.value + "\r\n");
        EXPECT_EQ(load()->no_ads, c.expected) << "[" << c.value << "]";
    }
}

TEST_F(ConfigurationTest, LargeInstallIdSurvivesARoundTrip) {
    writeUpdatesCfg("name=Foo\n");
    writeState("install_id=5000000000\r\n");
    auto config = load();
    EXPECT_EQ(config->install_id, 5000000000LL);
    ASSERT_TRUE(config->savePersistentState());
    EXPECT_NE(ReadFile(stateFile()).find("\r\ninstall_id=5000000000\r\n"), std::string::npos);
    EXPECT_EQ(load()->install_id, 5000000000LL);
}

TEST_F(ConfigurationTest, SavedFileHasTheFixedOrder) {
    writeUpdatesCfg("name=Foo\n");
    auto config = load();
    config->last_check_time = 11;
    config->install_time = 22;
    config->days_between_checks = 4;
    config->days_between_displays = 5;
    config->delay_min_after_startup = 6;
    config->last_version_shown_time = 33;
    config->install_id = -7;
    config->no_ads = true;
    config->last_version_shown = "2.0";
    config->ignore_version = "1.9";
    ASSERT_TRUE(config->savePersistentState());

    const std::vector<std::string> expected = {"last_check_time=11",
                                               "install_time=22",
                                               "days_between_checks=4",
                                               "days_between_displays=5",
                                               "delay_min_after_startup=6",
                                               "last_version_shown_time=33",
                                               "install_id=-7",
                                               "no_ads=Y",
                                               "last_version_shown=2.0",
                                               "ignore_version=1.9"};
    EXPECT_EQ(CrLfLines(ReadFile(stateFile())), expected);

    auto reloaded = load();
    EXPECT_EQ(reloaded->last_check_time, 11);
    EXPECT_EQ(reloaded->install_time, 22);
    EXPECT_EQ(reloaded->days_between_checks, 4);
    EXPECT_EQ(reloaded->days_between_displays, 5);
    EXPECT_EQ(reloaded->delay_min_after_startup, 6);
    EXPECT_EQ(reloaded->last_version_shown_time, 33);
    EXPECT_EQ(reloaded->install_id, -7);
    EXPECT_TRUE(reloaded->no_ads);
    EXPECT_EQ(reloaded->last_version_shown, "2.0");
    EXPECT_EQ(reloaded->ignore_version, "1.9");
}

TEST_F(ConfigurationTest, EmptyVersionTextsLeaveEightLines) {
    writeUpdatesCfg("name=Foo\n");
    writeState("last_version_shown=1.0\r\nignore_version=0.9\r\nsomething_else=1\r\n");
    auto config = load();
    config->last_version_shown.clear();
    config->ignore_version.clear();
    ASSERT_TRUE(config->savePersistentState());

    const auto lines = CrLfLines(ReadFile(stateFile()));
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines.back(), "no_ads=N");
    EXPECT_TRUE(load()->ignore_version.empty());
}

TEST_F(ConfigurationTest, ServerTextsCannotForgeOtherKeys) {
    writeUpdatesCfg("name=Foo\n");
    auto config = load();
    config->ignore_version = "1.0\r\nno_ads=Y\x01";
    config->last_version_shown = "\n\t";
    ASSERT_TRUE(config->savePersistentState());

    const auto lines = CrLfLines(ReadFile(stateFile()));
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_EQ(lines.back(), "ignore_version=1.0no_ads=Y");
    EXPECT_FALSE(load()->no_ads);
}

TEST_F(ConfigurationTest, SaveReplacesTheFileWhole) {
    writeUpdatesCfg("name=Foo\n");
    writeState(std::string(10000, 'x') + "\r\nlast_check_time=5\r\n");
    auto config = load();
    EXPECT_EQ(config->last_check_time, 5);
    ASSERT_TRUE(config->savePersistentState());

    EXPECT_EQ(CrLfLines(ReadFile(stateFile())).size(), 8u);
    // Nothing but the state file is left in its folder (no temporary files).
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(stateFolder())) {
        names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{"updcheck.cfg"});
    // The file stays private to the user.
    EXPECT_EQ(fs::status(stateFile()).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(ConfigurationTest, SaveFailsWhenTheFolderCannotBeMade) {
    writeUpdatesCfg("name=Foo\n");
    WriteFile(stateFolder(), "a file where the folder should be");
    auto config = load();
    EXPECT_FALSE(config->savePersistentState());
    EXPECT_EQ(ReadFile(stateFolder()), "a file where the folder should be");
}

TEST_F(ConfigurationTest, UnreadableStateKeepsDefaults) {
    writeUpdatesCfg("name=Foo\n");
    fs::create_directories(stateFile());  // a folder where the file should be
    auto config = load();
    EXPECT_TRUE(config->loaded);
    EXPECT_EQ(config->days_between_checks, 1);
    EXPECT_FALSE(config->loadPersistentState());
}

// The user's Internet settings in the registry store.
class ProxyTest : public ConfigurationTest {
protected:
    void writeSettings(std::optional<int32_t> enable, std::optional<std::string> server) {
        platform::TRegistry registry(platform::HKEY_CURRENT_USER);
        ASSERT_TRUE(registry.OpenKey(kInternetSettings, true));
        if (enable) {
            registry.WriteInteger("ProxyEnable", *enable);
        }
        if (server) {
            registry.WriteString("ProxyServer", *server);
        }
    }
};

TEST_F(ProxyTest, InternetSettingsCases) {
    struct Case {
        std::optional<int32_t> enable;
        std::optional<std::string> server;
        bool useProxy;
        const char* httpHost;
        int32_t httpPort;
        const char* httpsHost;
        int32_t httpsPort;
    };
    const Case cases[] = {
        {1, "proxy.example:8080", true, "proxy.example", 8080, "proxy.example", 8080},
        {1, "proxy.example", true, "", 0, "", 0},
        {1, "http=h1:81;https=h2:444;ftp=h3:21", true, "h1", 81, "h2", 444},
        {1, "ftp=h3:21;https=h2:444", true, "", 0, "h2", 444},
        {1, "http=h1:81;https=h2:bad", true, "h1", 81, "", 0},  // the error ends the reading
        {0, "proxy.example:8080", false, "", 0, "", 0},
        {1, std::nullopt, true, "", 0, "", 0},
        {std::nullopt, "proxy.example:8080", false, "", 0, "", 0},
        {2, "p:1", true, "p", 1, "p", 1},
    };
    for (const Case& c : cases) {
        testsupport::IsolatedHome home;  // a fresh registry store for each case
        writeSettings(c.enable, c.server);
        auto config = load();
        const std::string label = c.server.value_or("(none)");
        EXPECT_EQ(config->UseProxy, c.useProxy) << label;
        EXPECT_EQ(config->HttpProxyHost, c.httpHost) << label;
        EXPECT_EQ(config->HttpProxyPort, c.httpPort) << label;
        EXPECT_EQ(config->HttpsProxyHost, c.httpsHost) << label;
        EXPECT_EQ(config->HttpsProxyPort, c.httpsPort) << label;
    }
}

TEST_F(ProxyTest, WrongTypeEndsTheReadingSilently) {
    platform::TRegistry registry(platform::HKEY_CURRENT_USER);
    ASSERT_TRUE(registry.OpenKey(kInternetSettings, true));
    registry.WriteString("ProxyEnable", "1");
    registry.WriteString("ProxyServer", "proxy.example:8080");
    auto config = load();
    EXPECT_FALSE(config->UseProxy);
    EXPECT_TRUE(config->HttpProxyHost.empty());
}

TEST_F(ProxyTest, EnvironmentIsTheSourceWithoutInternetSettings) {
    struct Case {
        std::optional<std::string> http;
        std::optional<std::string> https;
        bool useProxy;
        const char* httpHost;
        int32_t httpPort;
        const char* httpsHost;
        int32_t httpsPort;
    };
    const Case cases[] = {
        {"http://user:pw@proxy.local:3128/", "proxy2:8443", true, "proxy.local", 3128, "proxy2", 8443},
        {"http://proxy.local", std::nullopt, true, "proxy.local", 0, "", 0},
        {std::nullopt, "https://[::1]:8443", true, "", 0, "[::1]", 8443},
        {"", std::nullopt, false, "", 0, "", 0},
        {std::nullopt, std::nullopt, false, "", 0, "", 0},
    };
    for (const Case& c : cases) {
        testsupport::ScopedEnv http("http_proxy", c.http);
        testsupport::ScopedEnv https("https_proxy", c.https);
        auto config = load();
        const std::string label = c.http.value_or("-") + " " + c.https.value_or("-");
        EXPECT_EQ(config->UseProxy, c.useProxy) << label;
        EXPECT_EQ(config->HttpProxyHost, c.httpHost) << label;
        EXPECT_EQ(config->HttpProxyPort, c.httpPort) << label;
        EXPECT_EQ(config->HttpsProxyHost, c.httpsHost) << label;
        EXPECT_EQ(config->HttpsProxyPort, c.httpsPort) << label;
    }
}

TEST_F(ProxyTest, InternetSettingsWinOverTheEnvironment) {
    writeSettings(0, std::nullopt);
    testsupport::ScopedEnv http("http_proxy", "http://proxy.local:3128/");
    auto config = load();
    EXPECT_FALSE(config->UseProxy);
    EXPECT_TRUE(config->HttpProxyHost.empty());
}

TEST_F(ConfigurationTest, PreferencesLockGuardsWorkerSettings) {
    writeUpdatesCfg("name=Foo\n");
    auto config = load();
    ASSERT_TRUE(config->Prefs_Lock("DownloadQueue.cpp", 10));
    EXPECT_EQ(config->prefsLockOwner().rfind("DownloadQueue.cpp:10, thread: ", 0), 0u);
    EXPECT_TRUE(config->Prefs_Unlock("DownloadQueue.cpp", 12));
    EXPECT_EQ(config->prefsLockOwner(), "No-one");
}

TEST_F(ConfigurationTest, DebugRunStartsAFreshLogInThePersonalFolder) {
    writeUpdatesCfg("name=Foo\n");
    auto config = load();
    winutils::testing::ResetDebugLog();
    WriteFile(config->Preferences.LogFile, "previous run\n");
    config->Preferences.DebugMask = winutils::DEBUG_ALL;
    winutils::StartDebugLog();
    winutils::DebugLog(winutils::DEBUG_GENERAL, "CheckForUpdates: %s", "BEGIN");
    winutils::testing::ResetDebugLog();

    EXPECT_EQ(ReadFile(config->Preferences.LogFile1), "previous run\n");
    EXPECT_NE(ReadFile(config->Preferences.LogFile).find(": CheckForUpdates: BEGIN\n"), std::string::npos);
}

}  // namespace
