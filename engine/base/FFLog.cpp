#include "engine/base/FFLog.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cassert>
#include <cstdio>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include "engine/load/FFAPI.h"
#include "platform/Dispatcher.h"

namespace {

struct TFileCloser {
    void operator()(FILE* AFile) const { std::fclose(AFile); }
};

// The logger lock guards the file settings, the open file and the handler.
std::mutex gLoggerLock;
std::string gLogFile;
bool gLogToFile = false;
std::unique_ptr<FILE, TFileCloser> gFile;

// FFmpeg's level number and flags as the engine last set them (info, skip repeated messages).
std::atomic<int> gAVLevel{32};
std::atomic<int> gAVFlags{1};

std::recursive_mutex gSingletonLock;
TFFLogger* gSingleton = nullptr;
std::unique_ptr<TFFLogger> gAutoLogger;

// The callback lock guards the per-thread pending texts and the repeat state.
std::mutex gCallbackLock;
std::unordered_map<int, std::string> gPending;
std::string gLastMessage;
int gRepeatCount = 0;

const char* const kLevelNames[] = {"Quiet", "Panic", "Fatal", "Error", "Warning", "Info", "Verbose", "Debug"};

int CurrentThreadId() {
    return static_cast<int>(gettid());
}

std::string LocalTimeStamp() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    return Format("%02d:%02d:%02d %03ld", local.tm_hour, local.tm_min, local.tm_sec, now.tv_nsec / 1000000);
}

}  // namespace

int LogLevelToInt(TLogLevel ALevel) {
    return 8 * static_cast<int>(ALevel) - 8;
}

TLogLevel IntToLogLevel(int ALevel) {
    int ordinal = ALevel / 8 + 1;
    if (ordinal < llQuiet) {
        ordinal = llQuiet;
    } else if (ordinal > llDebug) {
        ordinal = llDebug;
    }
    return static_cast<TLogLevel>(ordinal);
}

const char* LogLevelName(TLogLevel ALevel) {
    return kLevelNames[ALevel];
}

TFFLogger& FFLogger() {
    std::lock_guard lock(gSingletonLock);
    if (!gSingleton) {
        gAutoLogger.reset(new TFFLogger(TFFLogger::TAutoCreate{}));
    }
    return *gSingleton;
}

TFFLogger::TFFLogger(TAutoCreate) : FAutoCreated(true) {
    Init();
}

TFFLogger::TFFLogger() {
    std::lock_guard lock(gSingletonLock);
    gAutoLogger.reset();
    if (gSingleton) {
        throw std::logic_error("Allow creating only one instance of TFFLogger.");
    }
    Init();
}

void TFFLogger::Init() {
    FLogFlags = gAVFlags.load();
    FLogLevel = IntToLogLevel(gAVLevel);
    gSingleton = this;
}

TFFLogger::~TFFLogger() {
    {
        std::lock_guard lock(gSingletonLock);
        if (gSingleton == this) {
            gSingleton = nullptr;
        }
    }
    std::lock_guard lock(gLoggerLock);
    gFile.reset();
}

void TFFLogger::UpdateSkip() {
    FSkip = !(FActive && (FOnLog || (gLogToFile && !gLogFile.empty())));
}

void TFFLogger::SetActive(bool AValue) {
    std::lock_guard lock(gLoggerLock);
    FActive = AValue;
    UpdateSkip();
}

void TFFLogger::SetLogLevel(TLogLevel AValue) {
    if (AValue == FLogLevel) {
        return;
    }
    FLogLevel = AValue;
    gAVLevel = LogLevelToInt(AValue);
    if (ff::av_log_set_level) {
        ff::av_log_set_level(gAVLevel);
    }
}

std::string TFFLogger::LogFile() {
    std::lock_guard lock(gLoggerLock);
    return gLogFile;
}

void TFFLogger::SetLogFile(const std::string& AValue) {
    std::lock_guard lock(gLoggerLock);
    if (AValue != gLogFile) {
        gLogFile = AValue;
        gFile.reset();
        UpdateSkip();
    }
}

bool TFFLogger::LogToFile() {
    std::lock_guard lock(gLoggerLock);
    return gLogToFile;
}

void TFFLogger::SetLogToFile(bool AValue) {
    std::lock_guard lock(gLoggerLock);
    if (AValue != gLogToFile) {
        gLogToFile = AValue;
        gFile.reset();
        UpdateSkip();
    }
}

void TFFLogger::SetOnLog(TLogEvent AHandler) {
    std::lock_guard lock(gLoggerLock);
    FOnLog = std::move(AHandler);
    UpdateSkip();
}

void TFFLogger::SetLogFlags(int AValue) {
    if (AValue == FLogFlags) {
        return;
    }
    FLogFlags = AValue;
    gAVFlags = AValue;
    if (ff::av_log_set_flags) {
        ff::av_log_set_flags(AValue);
    }
}

void TFFLogger::Log(TObject* Sender, TLogLevel ALogLevel, const std::string& ALogMsg) {
    if (FSkip || ALogLevel > FLogLevel) {
        return;
    }
    Deliver(Sender, CurrentThreadId(), ALogLevel, ALogMsg);
}

void TFFLogger::AVLog(unsigned AThreadID, int ALevel, const std::string& AMsg) {
    if (FSkip) {
        return;
    }
    Deliver(this, static_cast<int>(AThreadID), IntToLogLevel(ALevel), AMsg);
}

void TFFLogger::Deliver(TObject* Sender, int AThreadID, TLogLevel ALevel, const std::string& AMsg) {
    TLogEvent handler;
    {
        std::lock_guard lock(gLoggerLock);
        handler = FOnLog;
        if (gLogToFile && !gLogFile.empty()) {
            CallLogToFile(AThreadID, ALevel, AMsg);
        }
    }
    // The handler runs without the logger's locks, so that it may log or wait for the main thread
    // while other threads keep logging.
    if (!handler) {
        return;
    }
    const auto call = [&] { handler(Sender, AThreadID, ALevel, AMsg); };
    if (!FTriggerEventInMainThread) {
        call();
        return;
    }
    try {
        MySynchronize(call);
    } catch (const platform::ESynchronizeFailed&) {
        // The main thread no longer takes calls (it is shutting down): the line is dropped, the
        // logging thread goes on.
    }
}

void TFFLogger::CallLogToFile(int AThreadID, TLogLevel ALevel, const std::string& AMsg) {
    if (!gFile) {
        gFile.reset(std::fopen(gLogFile.c_str(), "ab"));
        if (!gFile) {
            return;  // a log that cannot be written must not break the caller
        }
    }
    const std::string line = Format("%s [%.8X] %s: %s\r\n", LocalTimeStamp().c_str(),
                                    static_cast<unsigned>(AThreadID), kLevelNames[ALevel], AMsg.c_str());
    std::fwrite(line.data(), 1, line.size(), gFile.get());
    std::fflush(gFile.get());
}

void TFFLogger::ClearLogFile() {
    std::lock_guard lock(gLoggerLock);
    if (gFile) {
        std::fflush(gFile.get());
        if (ftruncate(fileno(gFile.get()), 0) != 0) {
            gFile.reset();
        }
    } else if (!gLogFile.empty()) {
        struct stat st {};
        if (::stat(gLogFile.c_str(), &st) == 0) {
            ::unlink(gLogFile.c_str());
        }
    }
}

void TFFLogger::InstallAVLogCallback() {
    assert(ff::av_log_set_callback && ff::av_log_set_level && "avutil is not bound");
    ff::av_log_set_callback(ffmpeg_log_callback);
    if (ff::av_log_set_flags) {
        ff::av_log_set_flags(FLogFlags);
    }
    gAVFlags = FLogFlags.load();
    gAVLevel = LogLevelToInt(FLogLevel);
    ff::av_log_set_level(gAVLevel);
}

void TFFLogger::UninstallAVLogCallback() {
    if (ff::av_log_set_callback && ff::av_log_default_callback) {
        ff::av_log_set_callback(ff::av_log_default_callback);
    }
}

void TFFLogger::OptLogLevel(const std::string& AArg) {
    static const struct {
        const char* name;
        int level;
    } kNames[] = {{"quiet", -8},   {"panic", 0}, {"fatal", 8},    {"error", 16},
                  {"warning", 24}, {"info", 32}, {"verbose", 40}, {"debug", 48}};
    for (const auto& entry : kNames) {
        if (strcasecmp(AArg.c_str(), entry.name) == 0) {
            SetLogLevel(IntToLogLevel(entry.level));
            return;
        }
    }
    size_t used = 0;
    const int level = std::stoi(AArg, &used);
    if (used != AArg.size()) {
        throw std::invalid_argument("'" + AArg + "' is not a valid integer value");
    }
    SetLogLevel(IntToLogLevel(level));
}

namespace {

// "[name @ address] " for the context and, first, its parent when it names one.
std::string ContextPrefix(void* AContext) {
    const AVClass* avc = *static_cast<AVClass**>(AContext);
    if (!avc) {
        return {};
    }
    std::string prefix;
    if (avc->parent_log_context_offset) {
        auto** parent = reinterpret_cast<AVClass**>(
            *reinterpret_cast<void**>(static_cast<uint8_t*>(AContext) + avc->parent_log_context_offset));
        if (parent && *parent && (*parent)->item_name) {
            prefix += Format("[%s @ %p] ", (*parent)->item_name(parent), static_cast<void*>(parent));
        }
    }
    if (avc->item_name) {
        prefix += Format("[%s @ %p] ", avc->item_name(AContext), AContext);
    }
    return prefix;
}

std::string FormatArgs(const char* AFormat, va_list AArgs) {
    va_list copy;
    va_copy(copy, AArgs);
    char small[2048];
    const int length = std::vsnprintf(small, sizeof small, AFormat, copy);
    va_end(copy);
    if (length < 0) {
        return {};
    }
    if (static_cast<size_t>(length) < sizeof small) {
        return std::string(small, static_cast<size_t>(length));
    }
    std::string text(static_cast<size_t>(length) + 1, '\0');
    va_copy(copy, AArgs);
    std::vsnprintf(text.data(), text.size(), AFormat, copy);
    va_end(copy);
    text.resize(static_cast<size_t>(length));
    return text;
}

}  // namespace

extern "C" void ffmpeg_log_callback(void* AContext, int ALevel, const char* AFormat, va_list AArgs) {
    if (ALevel > gAVLevel || !AFormat) {
        return;
    }
    const int threadId = CurrentThreadId();
    std::vector<std::string> lines;
    {
        std::lock_guard lock(gCallbackLock);
        if (FFLogger().Skipping()) {
            return;
        }
        std::string& pending = gPending[threadId];
        std::string message;
        if (AContext && pending.empty()) {
            message = ContextPrefix(AContext);
        }
        message += FormatArgs(AFormat, AArgs);
        const bool skipRepeated = (gAVFlags & 1) != 0;
        if (skipRepeated && !message.empty() && message.back() == '\n' && message == gLastMessage) {
            ++gRepeatCount;
            return;
        }
        if (gRepeatCount > 1) {
            lines.push_back(Format("    Last message repeated %d times", gRepeatCount));
        }
        gRepeatCount = 0;
        if (skipRepeated) {
            gLastMessage = message;
        }
        pending += message;
        for (size_t end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
            lines.push_back(pending.substr(0, end));
            pending.erase(0, end + 1);
        }
    }
    // Delivered after the callback lock is released, so a handler may log or call into FFmpeg.
    for (const std::string& line : lines) {
        FFLogger().AVLog(static_cast<unsigned>(threadId), ALevel, line);
    }
}
