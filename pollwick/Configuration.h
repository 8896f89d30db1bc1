// Pollwick's settings and state: the read-only "updates.cfg" beside the program, the state file
// "updcheck.cfg" in the user's configuration folder, and the user's proxy settings.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "pollwick/DownloadSettings.h"
#include "winutils/ConfigurationBase.h"

namespace pollwick {

// The preferences record: the shared head, then the download settings.
struct Preferences : winutils::PreferencesHead {
    int32_t TimeoutSeconds = kDefaultTimeoutSeconds;
    std::string UserAgent = kDefaultUserAgent;
    std::string Referer;
    int32_t Attempts = kDefaultAttempts;
    std::string TempFolder;  // with a trailing "/"
    int32_t ThreadCount = 4;
    bool Overwrite = true;
};

class Configuration : public winutils::ConfigurationBase {
public:
    // Loads everything; programFolder is where "updates.cfg" lies (default: the program's own folder).
    explicit Configuration(std::optional<std::filesystem::path> programFolder = std::nullopt);
    ~Configuration() override;

    // readProxySettings, readUpdatesCfg (its result is the result), loadPersistentState.
    bool load();
    void readProxySettings();
    bool readUpdatesCfg();
    bool loadPersistentState();
    // Rewrites "updcheck.cfg" from the members, atomically; false when it cannot be written.
    bool savePersistentState();
    // The state file's path, creating its folder when missing.
    std::string getDatabaseFile(const std::string& name);
    // What a download reads of the settings, as they stand now.
    DownloadSettings ToDownloadSettings() const;

    // TimeoutSeconds, UserAgent, Referer, Attempts and the proxy members are constant after construction
    // and read without the lock; ThreadCount, TempFolder and Overwrite are read under Prefs_Lock.
    pollwick::Preferences Preferences;

    bool UseProxy = false;
    std::string HttpProxyHost;
    int32_t HttpProxyPort = 0;
    std::string HttpsProxyHost;
    int32_t HttpsProxyPort = 0;

    // The values of "updates.cfg".
    std::string name;
    std::string url;
    std::string id;
    std::string version;
    std::string version_txt;
    std::string language;
    std::string aff;
    std::string support_email;  // ends the error texts that ask for a report; empty: no such sentence

    // The state kept in "updcheck.cfg"; changed on the GUI thread only.
    int32_t last_check_time = 0;          // Unix seconds
    int32_t delay_min_after_startup = 3;  // minutes, 0..60
    int32_t days_between_checks = 1;      // 0..30
    int32_t last_version_shown_time = 0;  // Unix seconds
    int32_t days_between_displays = 3;    // 0..30
    std::string last_version_shown;
    std::string ignore_version;
    int64_t install_id = 0;
    int32_t install_time = 0;  // Unix seconds; the construction time by default
    bool no_ads = false;

    bool loaded = false;  // "updates.cfg" was found and read

private:
    // ProxyServer: "host:port" for both protocols, or "http=host:port;https=host:port;...".
    void ApplyProxyServer(const std::string& server);
    // http_proxy and https_proxy, used when the user's Internet settings do not exist.
    void ReadEnvironmentProxySettings();

    std::filesystem::path programFolder_;
};

// The program's one Configuration, set by whoever builds it (the program's start, or a test). Other
// threads only read through it after it is set.
extern Configuration* config;

}  // namespace pollwick
