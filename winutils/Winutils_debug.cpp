#include "winutils/Winutils_debug.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>

namespace winutils {
namespace {

namespace fs = std::filesystem;

constexpr size_t kMessageBufferSize = 8192;

std::atomic<PreferencesHead*> g_prefs{nullptr};
std::atomic<bool> g_started{false};

// Makes the open-append-close of one line atomic with respect to other logging threads. A function-local
// static, because the program's Configuration may log from a static initialiser.
std::mutex& LogSection() {
    static std::mutex section;
    return section;
}

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

FilePtr OpenForAppend(const std::string& path) {
    FilePtr file(std::fopen(path.c_str(), "a"));
    if (file) {
        std::setvbuf(file.get(), nullptr, _IONBF, 0);
    }
    return file;
}

bool Wanted(const PreferencesHead* prefs, uint32_t mask) {
    return prefs != nullptr && (mask & static_cast<uint32_t>(prefs->DebugMask.load())) != 0;
}

void CreateLogFolder(const PreferencesHead& prefs) {
    const fs::path folder = fs::path(prefs.LogFile).parent_path();
    if (folder.empty()) {
        return;
    }
    std::error_code ignored;
    fs::create_directories(folder, ignored);
}

// Shifts the generations: log.1 -> log.2, log -> log.1. A step that fails goes unnoticed and the next
// one runs, so a missing older generation never blocks the newer ones.
void RotateLogFiles(const PreferencesHead& prefs) {
    std::error_code ec;
    if (!fs::exists(prefs.LogFile, ec)) {
        return;
    }
    if (fs::exists(prefs.LogFile2, ec)) {
        fs::remove(prefs.LogFile2, ec);
    }
    if (fs::exists(prefs.LogFile1, ec)) {
        fs::rename(prefs.LogFile1, prefs.LogFile2, ec);
    }
    fs::rename(prefs.LogFile, prefs.LogFile1, ec);
}

void TruncateLogFile(const PreferencesHead& prefs) {
    FilePtr file(std::fopen(prefs.LogFile.c_str(), "w"));
}

#ifdef WINUTILS_POLLWICK
// Pollwick's copy touches the disk only when it logs, and never with an empty log path.
void StartLog(PreferencesHead& prefs) {
    if (prefs.DebugMask.load() == 0) {
        return;
    }
    CreateLogFolder(prefs);
    if (prefs.RotateLogs && !prefs.LogFile.empty()) {
        RotateLogFiles(prefs);
        TruncateLogFile(prefs);
    }
}
#else
// The player's copy always prepares the folder, so per-user files can go there.
void StartLog(PreferencesHead& prefs) {
    CreateLogFolder(prefs);
    if (prefs.DebugMask.load() == 0 || !prefs.RotateLogs) {
        return;
    }
    RotateLogFiles(prefs);
    TruncateLogFile(prefs);
}
#endif

void WriteToLog(const PreferencesHead& prefs, const char* text, size_t length) {
    std::lock_guard lock(LogSection());
    if (FilePtr file = OpenForAppend(prefs.LogFile)) {
        std::fwrite(text, 1, length, file.get());
    }
}

}  // namespace

void SetDebugLogPreferences(PreferencesHead* prefs) {
    g_prefs.store(prefs);
}

PreferencesHead* DebugLogPreferences() {
    return g_prefs.load();
}

void StartDebugLog() {
    std::lock_guard lock(LogSection());
#ifdef WINUTILS_POLLWICK
    if (g_started.load()) {
        return;
    }
    if (PreferencesHead* prefs = g_prefs.load()) {
        StartLog(*prefs);
    }
    g_started.store(true);
#else
    if (g_started.exchange(true)) {
        return;
    }
    if (PreferencesHead* prefs = g_prefs.load()) {
        StartLog(*prefs);
    }
#endif
}

void DebugLog(uint32_t mask, const char* fmt, ...) {
    PreferencesHead* prefs = g_prefs.load();
    if (!Wanted(prefs, mask)) {
        return;
    }
    char message[kMessageBufferSize];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(message, sizeof message, fmt, args);
    va_end(args);

    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    const int millis = static_cast<int>(now.tv_nsec / 1000000);
    const int threadId = static_cast<int>(syscall(SYS_gettid));

    // The time stamp and thread id take at most a few dozen bytes on top of the message.
    char line[kMessageBufferSize + 64];
    const int length = std::snprintf(line, sizeof line, "%02d%02d%02d-%03d %04d: %s\n", local.tm_hour,
                                     local.tm_min, local.tm_sec, millis, threadId, message);
    if (length > 0) {
        WriteToLog(*prefs, line, std::min(static_cast<size_t>(length), sizeof line - 1));
    }
}

void DebugLogRaw(uint32_t mask, const std::string& text) {
    PreferencesHead* prefs = g_prefs.load();
    if (Wanted(prefs, mask)) {
        WriteToLog(*prefs, text.data(), text.size());
    }
}

namespace testing {
void ResetDebugLog() {
    std::lock_guard lock(LogSection());
    g_started.store(false);
}
}  // namespace testing

}  // namespace winutils
