// The engine's process-wide logger: the engine's own messages and FFmpeg's, delivered to the owner's
// OnLog handler and, when enabled, to a log file.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "engine/base/FFBaseComponent.h"
#include "engine/base/Myutils.h"

enum TLogLevel : int32_t {
    llQuiet = 0,
    llPanic = 1,
    llFatal = 2,
    llError = 3,
    llWarning = 4,
    llInfo = 5,
    llVerbose = 6,
    llDebug = 7
};

// FFmpeg's level number of a level: 8 x ordinal - 8.
int LogLevelToInt(TLogLevel ALevel);
// (n / 8, truncated) + 1, held to llQuiet..llDebug.
TLogLevel IntToLogLevel(int ALevel);
const char* LogLevelName(TLogLevel ALevel);

using TLogEvent =
    std::function<void(TObject* Sender, int AThreadID, TLogLevel ALogLevel, const std::string& ALogMsg)>;

class TFFLogger : public TFFBaseComponent {
public:
    // An owner's logger replaces the auto-created one; a second owner's logger raises
    // std::logic_error "Allow creating only one instance of TFFLogger.".
    TFFLogger();
    ~TFFLogger() override;
    TFFLogger(const TFFLogger&) = delete;
    TFFLogger& operator=(const TFFLogger&) = delete;

    bool Active() const { return FActive; }
    void SetActive(bool AValue);
    TLogLevel LogLevel() const { return FLogLevel; }
    void SetLogLevel(TLogLevel AValue);
    static std::string LogFile();
    void SetLogFile(const std::string& AValue);
    static bool LogToFile();
    void SetLogToFile(bool AValue);
    bool TriggerEventInMainThread() const { return FTriggerEventInMainThread; }
    void SetTriggerEventInMainThread(bool AValue) { FTriggerEventInMainThread = AValue; }
    void SetOnLog(TLogEvent AHandler);
    int LogFlags() const { return FLogFlags; }
    void SetLogFlags(int AValue);
    bool AutoCreated() const { return FAutoCreated; }
    // True while nobody listens: no handler and no log file, or inactive.
    bool Skipping() const { return FSkip; }

    void Log(TObject* Sender, TLogLevel ALogLevel, const std::string& ALogMsg);
    template <typename... TArgs>
    requires(sizeof...(TArgs) > 0) void Log(TObject* Sender, TLogLevel ALogLevel, const char* AFormat,
                                            TArgs... AArgs) {
        if (!FSkip && ALogLevel <= FLogLevel) {
            Log(Sender, ALogLevel, Format(AFormat, AArgs...));
        }
    }
    // A line from FFmpeg's callback: the logger is the sender and the level is not filtered again.
    void AVLog(unsigned AThreadID, int ALevel, const std::string& AMsg);

    void InstallAVLogCallback();
    // Gives FFmpeg its own callback back before avutil is unloaded.
    void UninstallAVLogCallback();
    // quiet, panic, fatal, error, warning, info, verbose, debug (any case) or a number; a text that is
    // neither raises std::invalid_argument.
    void OptLogLevel(const std::string& AArg);
    void ClearLogFile();

private:
    friend TFFLogger& FFLogger();
    struct TAutoCreate {};
    explicit TFFLogger(TAutoCreate);
    void Init();
    void UpdateSkip();
    void Deliver(TObject* Sender, int AThreadID, TLogLevel ALevel, const std::string& AMsg);
    void CallLogToFile(int AThreadID, TLogLevel ALevel, const std::string& AMsg);

    bool FAutoCreated = false;
    std::atomic<bool> FSkip{true};
    std::atomic<bool> FActive{true};
    std::atomic<bool> FTriggerEventInMainThread{true};
    std::atomic<int> FLogFlags{1};
    std::atomic<TLogLevel> FLogLevel{llInfo};
    TLogEvent FOnLog;  // under the logger lock
};

// The process-wide logger; made on first use when no owner made one.
TFFLogger& FFLogger();

// The callback handed to FFmpeg's av_log_set_callback.
extern "C" void ffmpeg_log_callback(void* AContext, int ALevel, const char* AFormat, va_list AArgs);
