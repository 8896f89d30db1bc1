// The program settings a download reads, as one value. Whoever starts a download takes them from the
// program's Configuration (Configuration::ToDownloadSettings); the downloader itself needs neither the
// settings files nor the program's windows, so a program that only downloads starts without them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace pollwick {

inline constexpr int32_t kDefaultTimeoutSeconds = 10;
inline constexpr const char* kDefaultUserAgent =
    "Mozilla/4.0 (compatible; MSIE 7.0; Windows NT 5.1; Trident/4.0)";
inline constexpr int32_t kDefaultAttempts = 3;

struct DownloadSettings {
    std::string personalFolder;  // with a trailing "/"; file targets go below it, in "temp/<n>/"
    int32_t timeoutSeconds = kDefaultTimeoutSeconds;
    std::string userAgent = kDefaultUserAgent;
    std::string referer;
    int32_t attempts = kDefaultAttempts;  // requests of one logical request, with pauses between them

    bool useProxy = false;
    std::string httpProxyHost;
    int32_t httpProxyPort = 0;
    std::string httpsProxyHost;
    int32_t httpsProxyPort = 0;

    std::string supportEmail;  // ends the error texts that ask for a report; empty: no such sentence

    // The folder that file targets of downloader threadNum are written to: personalFolder + "temp/<n>/".
    std::filesystem::path TargetFolder(int threadNum) const {
        return std::filesystem::path(personalFolder) / "temp" / std::to_string(threadNum);
    }
};

}  // namespace pollwick
