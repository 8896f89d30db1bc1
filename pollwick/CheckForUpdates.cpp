#include "pollwick/CheckForUpdates.h"

#include <cctype>
#include <charconv>
#include <chrono>
#include <ctime>
#include <map>
#include <optional>
#include <system_error>
#include <thread>

#include "platform/MessageEndpoint.h"
#include "platform/NamedObjects.h"
#include "platform/WindowsMessages.h"
#include "pollwick/Configuration.h"
#include "pollwick/Downloader.h"
#include "pollwick/Winutils_pollwick.h"
#include "winutils/Winutils_debug.h"
#include "winutils/Winutils_string.h"

namespace pollwick {

std::atomic<bool> killed{false};

namespace {

namespace fs = std::filesystem;
using winutils::DEBUG_GENERAL;
using winutils::DebugLog;
using winutils::Trim;
using winutils::UpperCase;

constexpr int64_t kSecondsPerDay = 86400;
constexpr int kRoundMs = 250;
constexpr int kRoundsPerMinute = 240;

// The run's named mutex and hidden window; kept until the process ends or DestroyUniqueWindow.
std::optional<platform::NamedMutex> uniqueMutex;
std::optional<platform::MessageEndpoint> uniqueWindow;

// A flag of the answer: missing or empty means yes, else exactly "Y" (trimmed, any case).
bool AnswerFlag(const std::string& value) {
    return value.empty() || UpperCase(Trim(value)) == "Y";
}

int64_t Now() {
    return static_cast<int64_t>(std::time(nullptr));
}

// The keys of the answer, in the order they are read.
constexpr const char* kAnswerKeys[] = {
    "ver", "ad",  "id",    "fc",   "h1",  "icnid", "nmc", "nmv", "vtc", "vtv", "bmc", "bmv",    "cbc",
    "cbv", "url", "urldl", "urle", "abc", "abw",   "abh", "abl", "abt", "dbc", "dbw", "dbh",    "dbl",
    "dbt", "mcw", "mchp",  "mch",  "mcl", "mct",   "fch", "fcw", "dms", "dc",  "san", "content"};

using Answer = std::map<std::string, std::string>;

Answer ReadAnswer(const std::string& body) {
    Answer values;
    for (const char* key : kAnswerKeys) {
        values[key] = getTaggedValue(body, key);
    }
    return values;
}

// The save-as name: the answer's name reduced to a safe base name, else the product's installer name.
std::string SaveAsName(const std::string& san, const Configuration& cfg) {
    const std::string fallback = cfg.name + "Setup.exe";
    if (san.empty()) {
        return fallback;
    }
    if (auto safe = Downloader::SafeServerFileName(san)) {
        return *safe;
    }
    DebugLog(DEBUG_GENERAL, "CheckForUpdates: Refused save-as name, using %s", fallback.c_str());
    return fallback;
}

void ApplyScheduleValues(const Answer& values, Configuration& cfg) {
    if (const std::string& dms = values.at("dms"); !dms.empty()) {
        int32_t delay = 0;
        if (StrToIntStrict(Trim(dms), delay)) {
            cfg.delay_min_after_startup = delay;
        }
        if (cfg.delay_min_after_startup > 60 || cfg.delay_min_after_startup < 0) {
            cfg.delay_min_after_startup = 3;
        }
    }
    if (const std::string& dc = values.at("dc"); !dc.empty()) {
        int32_t days = 0;
        if (StrToIntStrict(dc, days)) {
            cfg.days_between_checks = days;
        }
        if (cfg.days_between_checks > 30 || cfg.days_between_checks < 0) {
            cfg.days_between_checks = 7;
        }
    }
}

bool Decide(const Answer& values, DisplayData& data, Configuration& cfg, int64_t now) {
    bool show = false;
    std::string ad = values.at("ad");
    const std::string offered = UpperCase(data.offeredVersion);
    if (!offered.empty() && offered != UpperCase(cfg.version)) {
        ad = "N";
        if (offered != UpperCase(cfg.ignore_version)) {
            show = cfg.last_version_shown_time == 0 ||
                   now > cfg.days_between_displays * kSecondsPerDay + cfg.last_version_shown_time;
        }
    }
    if (UpperCase(ad) == "Y") {
        data.adShown = true;
        show = !cfg.no_ads;
    } else if (show) {
        cfg.last_version_shown_time = static_cast<int32_t>(now);
        cfg.last_version_shown = data.offeredVersion;
    }
    return show;
}

void FillDisplayData(const Answer& v, DisplayData& data, const Configuration& cfg, int w, int h) {
    data.caption = v.at("fc");
    data.topMessage = v.at("h1");
    data.productName = v.at("nmc");
    data.versionText = winutils::ReplaceAll(v.at("vtc"), "##CURRVER##", cfg.version_txt);
    data.bottomMessage = v.at("bmc");
    data.checkBoxCaption = v.at("cbc");
    data.actionCaption = v.at("abc");
    data.dismissCaption = v.at("dbc");
    data.bottomMessageVisible = AnswerFlag(v.at("bmv"));
    data.checkBoxVisible = AnswerFlag(v.at("cbv"));
    data.productNameVisible = AnswerFlag(v.at("nmv"));
    data.versionTextVisible = AnswerFlag(v.at("vtv"));
    data.targetUrl = v.at("url");
    data.downloadInWindow = AnswerFlag(v.at("urldl"));
    data.fallbackUrl = v.at("urle");
    data.iconIndex = StrToIntInRange(v.at("icnid"), 0, 100);
    data.actionWidth = StrToIntInRange(v.at("abw"), 0, w);
    data.actionHeight = StrToIntInRange(v.at("abh"), 0, h);
    data.actionTop = StrToIntInRange(v.at("abt"), 0, h);
    data.actionLeft = StrToIntInRange(v.at("abl"), 0, w);
    data.dismissWidth = StrToIntInRange(v.at("dbw"), 0, w);
    data.dismissHeight = StrToIntInRange(v.at("dbh"), 0, h);
    data.dismissTop = StrToIntInRange(v.at("dbt"), 0, h);
    data.dismissLeft = StrToIntInRange(v.at("dbl"), 0, w);
    data.descriptionWidth = StrToIntInRange(v.at("mcw"), 0, w);
    data.descriptionHeight = StrToIntInRange(v.at("mch"), 0, h);
    data.descriptionHeightDownloading = StrToIntInRange(v.at("mchp"), 0, h);
    data.descriptionTop = StrToIntInRange(v.at("mct"), 0, h);
    data.descriptionLeft = StrToIntInRange(v.at("mcl"), 0, w);
    data.clientHeight = StrToIntInRange(v.at("fch"), 100, 1000);
    data.clientWidth = StrToIntInRange(v.at("fcw"), 100, 1000);
}

void CreateUniqueWindow() {
    std::error_code error;
    uniqueWindow = platform::MessageEndpoint::Create(UniqueWindowClass(), error);
    if (!uniqueWindow) {
        DebugLog(DEBUG_GENERAL, "CheckForUpdates: EXCEPTION creating unique window (%s)",
                 error.message().c_str());
    }
}

// Hands the hidden window the messages that arrived since the last round.
void DispatchWindowMessages() {
    if (!uniqueWindow) {
        return;
    }
    for (const platform::WindowMessage& m : uniqueWindow->ReadPending()) {
        UniqueWindowProc(m.message, m.wParam, m.lParam);
        if (!uniqueWindow) {
            break;  // a close destroyed the window
        }
    }
}

void WaitStartupDelay(const fs::path& programFolder, int32_t minutes) {
    const fs::path shutdownFile = programFolder / "shutdown";
    const int64_t rounds = static_cast<int64_t>(minutes) * kRoundsPerMinute;
    for (int64_t round = 0; round < rounds && !killed.load(); ++round) {
        std::error_code ec;
        if (fs::exists(shutdownFile, ec)) {
            DebugLog(DEBUG_GENERAL, "CheckForUpdates: Killfile found!");
            killed.store(true);
            break;
        }
        DispatchWindowMessages();
        if (killed.load()) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kRoundMs));
    }
}

// Asks the endpoint; the answer's body when the request gave a 200 with content.
std::optional<std::string> RequestAnswer(const std::string& url) {
    Downloader downloader(0, false, nullptr, nullptr, config->ToDownloadSettings());
    DownloadRequest request;
    request.url = url;
    request.rangeEnd = 0;
    request.rangeStart = 0;
    const DownloadResult result = downloader.get(request);
    if (!result.ok || downloader.statusCode != 200 || downloader.content.empty()) {
        DebugLog(DEBUG_GENERAL, "CheckForUpdates: Request failed (status %d) %s", downloader.statusCode,
                 result.error.c_str());
        return std::nullopt;
    }
    return std::move(downloader.content);
}

}  // namespace

std::string getTaggedValue(const std::string& answer, const std::string& key) {
    return copyStringBetween(answer, "~" + key + "^", "^" + key + "~");
}

bool StrToIntStrict(const std::string& text, int32_t& value) {
    size_t pos = 0;
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) {
        ++pos;
    }
    const char* begin = text.data() + pos;
    const char* end = text.data() + text.size();
    bool negative = false;
    if (begin != end && (*begin == '+' || *begin == '-')) {
        negative = *begin == '-';
        ++begin;
    }
    if (begin == end || !std::isdigit(static_cast<unsigned char>(*begin))) {
        return false;
    }
    int64_t magnitude = 0;
    const auto [stop, error] = std::from_chars(begin, end, magnitude);
    if (error != std::errc() || stop != end) {
        return false;
    }
    const int64_t signedValue = negative ? -magnitude : magnitude;
    if (signedValue < INT32_MIN || signedValue > INT32_MAX) {
        return false;
    }
    value = static_cast<int32_t>(signedValue);
    return true;
}

int StrToIntInRange(const std::string& text, int lo, int hi) {
    int32_t value = 0;
    if (!StrToIntStrict(Trim(text), value) || value < lo || value > hi) {
        return -1;
    }
    return value;
}

std::string PercentEncode(const std::string& value) {
    static const char* const kHex = "0123456789ABCDEF";
    std::string out;
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        }
    }
    return out;
}

std::string BuildCheckUrl() {
    const Configuration& cfg = *config;
    std::string url = cfg.url + "?app=" + PercentEncode(cfg.id) + "&v=" + PercentEncode(cfg.version) +
                      "&l=" + PercentEncode(cfg.language);
    if (!cfg.aff.empty()) {
        url += "&aid=" + PercentEncode(cfg.aff);
    }
    url += "&id=" + std::to_string(cfg.install_id) + "&it=" + std::to_string(cfg.install_time);
    return url;
}

std::string UniqueWindowClass() {
    return config->name + "Pollwick";
}

std::string UniqueMutexName() {
    return config->name + "PollwickMutex";
}

void UniqueWindowProc(uint32_t message, uint64_t, int64_t) {
    if (message == platform::WM_CLOSE || message == platform::WM_QUERYENDSESSION ||
        message == platform::WM_QUIT) {
        killed.store(true);
    }
    // The default handling of a close destroys the window.
    if (message == platform::WM_CLOSE) {
        uniqueWindow.reset();
    }
}

void DestroyUniqueWindow() {
    uniqueWindow.reset();
    uniqueMutex.reset();
}

bool CheckForUpdates(const fs::path& programFolder, DisplayData& data, int maxWidth, int maxHeight) {
    Configuration& cfg = *config;
    DebugLog(DEBUG_GENERAL, "CheckForUpdates: BEGIN");
    std::error_code error;
    uniqueMutex = platform::NamedMutex::Create(UniqueMutexName(), error);
    if (!uniqueMutex) {
        DebugLog(DEBUG_GENERAL, "CheckForUpdates: Could not create mutex, EXIT");
        return false;
    }
    CreateUniqueWindow();

    const int64_t now = Now();
    if (now < cfg.days_between_checks * kSecondsPerDay + cfg.last_check_time) {
        DebugLog(DEBUG_GENERAL, "CheckForUpdates: Not time for check yet");
        cfg.savePersistentState();
        return false;
    }
    if (cfg.delay_min_after_startup > 0) {
        WaitStartupDelay(programFolder, cfg.delay_min_after_startup);
    }
    if (killed.load()) {
        DebugLog(DEBUG_GENERAL, "CheckForUpdates: Killed, returning false");
        return false;
    }

    cfg.last_check_time = static_cast<int32_t>(now);
    const std::string url = BuildCheckUrl();
    data.offeredVersion.clear();
    bool show = false;
    if (const auto body = RequestAnswer(url)) {
        DebugHexDump(DEBUG_GENERAL, body->data(), body->size());
        if (UpperCase(Trim(getTaggedValue(*body, "data"))) == "Y") {
            const Answer values = ReadAnswer(*body);
            data.offeredVersion = values.at("ver");
            data.saveAsFileName = SaveAsName(values.at("san"), cfg);
            data.content = values.at("content");
            ApplyScheduleValues(values, cfg);
            show = Decide(values, data, cfg, now);
            if (show) {
                FillDisplayData(values, data, cfg, maxWidth, maxHeight);
            }
        }
    }
    cfg.savePersistentState();
    DebugLog(DEBUG_GENERAL, "CheckForUpdates: END - display? %s", show ? "yes" : "no");
    return show;
}

}  // namespace pollwick
