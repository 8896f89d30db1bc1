// The scheduled update check: whether a check is due, the start-up delay during which the program can be
// told to stop, the request to the maker's endpoint, the tagged answer and the decision whether to show
// the offer. Everything here runs on the program's main thread, before any window exists.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>

namespace pollwick {

// The offer as the server described it, plus the offer window's UI state.
struct DisplayData {
    enum UiState { kIdle = 0, kDownloading = 1, kCancelled = 2, kDone = 3, kFailed = 4 };

    int uiState = kIdle;
    std::string caption;        // fc
    std::string topMessage;     // h1, mini-HTML
    std::string bottomMessage;  // bmc, mini-HTML
    bool bottomMessageVisible = true;
    std::string checkBoxCaption;  // cbc
    bool checkBoxVisible = true;
    std::string actionCaption;   // abc
    std::string dismissCaption;  // dbc
    // Geometry: -1 keeps the window's design value.
    int clientHeight = -1;
    int clientWidth = -1;
    int actionWidth = -1;
    int actionHeight = -1;
    int actionTop = -1;
    int actionLeft = -1;
    int dismissWidth = -1;
    int dismissHeight = -1;
    int dismissTop = -1;
    int dismissLeft = -1;
    int descriptionWidth = -1;
    int descriptionHeight = -1;
    int descriptionHeightDownloading = -1;
    int descriptionTop = -1;
    int descriptionLeft = -1;
    int iconIndex = -1;
    std::string productName;  // nmc, mini-HTML
    bool productNameVisible = true;
    std::string versionText;  // vtc, mini-HTML, "##CURRVER##" replaced
    bool versionTextVisible = true;
    std::string content;           // description lines
    std::string targetUrl;         // url
    bool downloadInWindow = true;  // urldl
    std::string fallbackUrl;       // urle
    std::string saveAsFileName;    // san, reduced to a safe base name
    std::string offeredVersion;    // ver
    bool adShown = false;
};

// The design client size of the offer window: the bounds of the answer's geometry values.
inline constexpr int kDesignClientWidth = 598;
inline constexpr int kDesignClientHeight = 304;

// The value of key in the answer: the text between "~key^" and the first "^key~" after it; empty when
// either marker is missing.
std::string getTaggedValue(const std::string& answer, const std::string& key);

// The text trimmed and read as a decimal integer; -1 when it is empty, no integer or outside lo..hi.
int StrToIntInRange(const std::string& text, int lo, int hi);

// An integer as the answer's numbers are read: leading blanks, an optional sign and decimal digits,
// nothing else (a trailing blank included). False when the text is not one or does not fit.
bool StrToIntStrict(const std::string& text, int32_t& value);

// True when the check decided that the offer window is to be shown; fills data. Uses and saves the
// process's Configuration (pollwick::config). programFolder is where the "shutdown" file is looked for.
bool CheckForUpdates(const std::filesystem::path& programFolder, DisplayData& data, int maxWidth,
                     int maxHeight);

// The request URL of a check from the settings, query values percent-encoded.
std::string BuildCheckUrl();

// Percent-encodes every byte other than letters, digits and "-._~".
std::string PercentEncode(const std::string& value);

// Set when the program was told to stop during the start-up delay (shutdown file or a message to the
// hidden window).
extern std::atomic<bool> killed;

// The hidden window's procedure: a close, end-of-session or quit message sets the killed flag; a close
// also destroys the window.
void UniqueWindowProc(uint32_t message, uint64_t wParam, int64_t lParam);

// Releases the named mutex and the hidden window, when they exist.
void DestroyUniqueWindow();

// The hidden window's class and the named mutex's name, formed from the product word.
std::string UniqueWindowClass();
std::string UniqueMutexName();

}  // namespace pollwick
