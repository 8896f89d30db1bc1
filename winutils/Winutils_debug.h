// The masked diagnostic log shared by the maker's programs: StartDebugLog once at start, then DebugLog
// from any thread. What is written is chosen by the DebugMask of the program's preferences head, the file
// names by its LogFile, LogFile1 and LogFile2.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace winutils {

// Log categories; a line is written when its mask shares a bit with DebugMask.
inline constexpr uint32_t DEBUG_GENERAL = 1;           // general progress and errors
inline constexpr uint32_t DEBUG_DOWNLOADER = 16;       // the HTTP downloader
inline constexpr uint32_t DEBUG_WORKERS = 32;          // download workers, part threads, marker search
inline constexpr uint32_t DEBUG_PREFS_UNLOCK = 64;     // Configuration::Prefs_Unlock
inline constexpr uint32_t DEBUG_GRID_LOCK = 256;       // the offer window's grid lock
inline constexpr uint32_t DEBUG_STATUS_LOCKS = 1024;   // queue and status-record locks
inline constexpr uint32_t DEBUG_PREFS_LOCK = 0x10000;  // Configuration::Prefs_Lock
inline constexpr int32_t DEBUG_ALL = -1;               // every category ("--debug")

// The head that every program's Preferences record begins with. DebugMask may be read by any thread;
// the paths are set while the program starts, before other threads exist, and only read afterwards.
struct PreferencesHead {
    std::atomic<int32_t> DebugMask{0};
    bool RotateLogs = true;
    std::string LogFile;         // current log
    std::string LogFile1;        // previous log
    std::string LogFile2;        // the one before
    std::string PersonalFolder;  // the program's folder for per-user files, with a trailing "/"
};

// The head the log reads; the program's Configuration registers its own. With none registered the log
// writes nothing. Passing nullptr unregisters.
void SetDebugLogPreferences(PreferencesHead* prefs);
PreferencesHead* DebugLogPreferences();

// Prepares the log folder and rotates the log files; only the first call in a process acts.
void StartDebugLog();

// printf-style; the line is on disk when the call returns. A message longer than 8191 bytes is cut.
void DebugLog(uint32_t mask, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Appends text as it is (no time stamp, no line end added) to the log, serialised with DebugLog, when mask
// shares a bit with DebugMask.
void DebugLogRaw(uint32_t mask, const std::string& text);

namespace testing {
// Forgets that StartDebugLog ran, so one test process can start the log again.
void ResetDebugLog();
}  // namespace testing

}  // namespace winutils
