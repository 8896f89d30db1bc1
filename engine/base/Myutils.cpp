#include "engine/base/Myutils.h"

#include "platform/Dispatcher.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdarg>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

std::atomic<bool> GEnabledSynchronize{true};

namespace {

std::mutex gTickLock;
int64_t gLastTick = 0;

}  // namespace

void SetMainThread() {
    platform::SetMainThread();
}

bool IsMainThread() {
    return platform::IsMainThread();
}

void MySynchronize(const std::function<void()>& AMethod) {
    if (GEnabledSynchronize && !platform::IsMainThread()) {
        platform::Synchronize(AMethod);
    } else {
        AMethod();
    }
}

bool MyProcessMessages() {
    if (!platform::IsMainThread()) {
        return false;
    }
    const bool ran = platform::CheckSynchronize();
    platform::ProcessMessages();
    return ran;
}

namespace {

// Writes one byte of an argument and counts it.
void Emit(char*& ABuffer, int& ANumChars, char AChar) {
    if (ABuffer) {
        *ABuffer++ = AChar;
    }
    ++ANumChars;
}

}  // namespace

void parse_cmdline(const char* Source, char** Args, char* Buffer, int& NumChars, int& NumArgs) {
    static char kEmpty[] = "";
    NumChars = 0;
    NumArgs = 0;
    bool inQuotes = false;
    const char* p = Source ? Source : "";
    for (;;) {
        while (*p == ' ' || *p == '\t') {
            ++p;
        }
        if (*p == '\0') {
            break;
        }
        if (Args) {
            *Args++ = Buffer;
        }
        ++NumArgs;
        for (;;) {
            bool copyChar = true;
            unsigned slashes = 0;
            while (*p == '\\') {
                ++p;
                ++slashes;
            }
            if (*p == '"') {
                if (slashes % 2 == 0) {
                    // Inside quotes a doubled quote stands for one literal quote.
                    if (inQuotes && p[1] == '"') {
                        ++p;
                    } else {
                        copyChar = false;
                        inQuotes = !inQuotes;
                    }
                }
                slashes /= 2;
            }
            for (; slashes > 0; --slashes) {
                Emit(Buffer, NumChars, '\\');
            }
            if (*p == '\0' || (!inQuotes && (*p == ' ' || *p == '\t'))) {
                break;
            }
            if (copyChar) {
                Emit(Buffer, NumChars, *p);
            }
            ++p;
        }
        Emit(Buffer, NumChars, '\0');
    }
    if (Args) {
        *Args = kEmpty;
    }
    ++NumArgs;
}

std::string Fetch(std::string& AInput, const std::string& ADelim, bool ADelete) {
    const size_t pos = ADelim.empty() ? std::string::npos : AInput.find(ADelim);
    if (pos == std::string::npos) {
        std::string result = AInput;
        if (ADelete) {
            AInput.clear();
        }
        return result;
    }
    std::string result = AInput.substr(0, pos);
    if (ADelete) {
        AInput.erase(0, pos + ADelim.size());
    }
    return result;
}

std::string Format(const char* AFormat, ...) {
    va_list args;
    va_start(args, AFormat);
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, AFormat, copy);
    va_end(copy);
    std::string result;
    if (length > 0) {
        result.resize(static_cast<size_t>(length) + 1);
        std::vsnprintf(result.data(), result.size(), AFormat, args);
        result.resize(static_cast<size_t>(length));
    }
    va_end(args);
    return result;
}

std::string FileSizeToStr(uint64_t ASize) {
    const double size = static_cast<double>(ASize);
    if (ASize <= 1024) {
        return Format("%d Byte", static_cast<int>(ASize));
    }
    if (ASize <= 1048576) {
        return Format("%.2f KB", size / 1024);
    }
    if (ASize <= 1073741824) {
        return Format("%.2f MB", size / 1048576);
    }
    return Format("%.2f GB", size / 1073741824);
}

int64_t GetFileSize(const TPathFileName& AFileName) {
    struct stat st {};
    if (AFileName.empty() || ::stat(AFileName.c_str(), &st) != 0) {
        return -1;
    }
    return static_cast<int64_t>(st.st_size);
}

TPathFileName ExeName() {
    std::error_code error;
    const auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string() : path.string();
}

TPathFileName ExePath() {
    const std::filesystem::path path(ExeName());
    return path.parent_path().string() + "/";
}

TPathFileName ExeFile() {
    return std::filesystem::path(ExeName()).filename().string();
}

double DateTimeOffset() {
    tzset();
    // `timezone` holds the standard (non-daylight) offset in seconds west of UTC.
    return -static_cast<double>(timezone) / 86400.0;
}

TDateTime UnixToDateTimeEx(int64_t AUnixTime) {
    return DateTimeOffset() + static_cast<double>(AUnixTime) / 86400.0 + kUnixDateDelta;
}

namespace {

struct TDateParts {
    int year, month, day, hour, minute, second, msec;
};

TDateParts DecodeDateTime(TDateTime ADateTime) {
    // Whole milliseconds first, so that 23:59:59.9995 does not round into a 60th second.
    const int64_t totalMs = std::llround(ADateTime * 86400000.0);
    int64_t days = totalMs / 86400000;
    int64_t ms = totalMs % 86400000;
    if (ms < 0) {
        ms += 86400000;
        --days;
    }
    // Days since 1899-12-30 to a civil date (days since 1970-01-01 first).
    const int64_t z = days - static_cast<int64_t>(kUnixDateDelta) + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    const int year = static_cast<int>(yoe + era * 400 + (month <= 2));
    return {year,
            month,
            day,
            static_cast<int>(ms / 3600000),
            static_cast<int>(ms / 60000 % 60),
            static_cast<int>(ms / 1000 % 60),
            static_cast<int>(ms % 1000)};
}

}  // namespace

std::string LogDateTime(TDateTime ADateTime, const std::string& AFormat) {
    const TDateParts d = DecodeDateTime(ADateTime);
    struct Token {
        const char* text;
        int value;
        const char* format;
    };
    const Token tokens[] = {{"yyyy", d.year, "%04d"}, {"zzz", d.msec, "%03d"}, {"yy", d.year % 100, "%02d"},
                            {"mm", d.month, "%02d"},  {"dd", d.day, "%02d"},   {"hh", d.hour, "%02d"},
                            {"nn", d.minute, "%02d"}, {"ss", d.second, "%02d"}};
    std::string result;
    size_t i = 0;
    while (i < AFormat.size()) {
        bool matched = false;
        for (const Token& token : tokens) {
            const size_t length = std::char_traits<char>::length(token.text);
            if (AFormat.compare(i, length, token.text) == 0) {
                result += Format(token.format, token.value);
                i += length;
                matched = true;
                break;
            }
        }
        if (!matched) {
            result += AFormat[i++];
        }
    }
    return result;
}

std::string CountTimeTickEx() {
    const int64_t now = std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
    std::lock_guard lock(gTickLock);
    const int64_t elapsed = now - gLastTick;
    gLastTick = now;
    return std::to_string(elapsed);
}

int MyStrLen(const char* AText) {
    return AText ? static_cast<int>(std::char_traits<char>::length(AText)) : 0;
}

int MySAR(int AValue, uint8_t AShift) {
    if (AValue >= 0) {
        return AShift >= 31 ? 0 : AValue >> AShift;
    }
    return AShift >= 31 ? 0 : AValue / (1 << AShift);
}

std::string LastLoadErrorText() {
    const char* text = dlerror();
    return text ? text : "unknown error";
}

void* MyLoadLibrary(const TPathFileName& APath, const TPathFileName& AFile, std::string& AErrorText) {
    dlerror();
    std::string target = AFile;
    if (!APath.empty()) {
        std::string folder = APath;
        if (folder.back() != '/') {
            folder += '/';
        }
        std::error_code error;
        if (std::filesystem::exists(folder + AFile, error)) {
            target = folder + AFile;
        }
    }
    // RTLD_LOCAL keeps two copies of one library apart; every entry point is looked up per handle.
    // RTLD_NODELETE keeps the code mapped after the last handle is freed: the codec and SDL libraries
    // (and what they pull in: sound servers, X) keep global state and exit handlers that must not
    // outlive their code. Unloading still clears every binding, and loading again binds anew.
    void* handle = dlopen(target.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!handle) {
        AErrorText = LastLoadErrorText();
    }
    return handle;
}

void MyFreeLibrary(void* AHandle) {
    if (AHandle) {
        dlclose(AHandle);
    }
}

void* FindExport(void* AHandle, const char* AName, std::string& AErrorText) {
    dlerror();
    void* address = AHandle ? dlsym(AHandle, AName) : nullptr;
    if (!address) {
        AErrorText = AHandle ? LastLoadErrorText() : "no library";
    }
    return address;
}
