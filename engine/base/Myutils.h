// The engine's small routines: marshalling a call to the main thread, splitting an option string into
// arguments, text, file and time helpers, and the run-time library loading primitives.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

// A file or folder name, UTF-8.
using TPathFileName = std::string;
// Days since 30 December 1899, the fraction being the time of day.
using TDateTime = double;
inline constexpr double kUnixDateDelta = 25569.0;

// When false, MySynchronize always calls directly.
extern std::atomic<bool> GEnabledSynchronize;

// The main thread is the platform dispatcher's (the process's first thread unless the owner names
// another).
void SetMainThread();
bool IsMainThread();

// Runs AMethod on the main thread through the platform dispatcher and waits; directly when already on
// the main thread or when GEnabledSynchronize is false. Throws platform::ESynchronizeFailed when the
// main thread no longer serves such calls.
void MySynchronize(const std::function<void()>& AMethod);
// Runs the calls queued for the main thread and the host's pending events; false when no call was
// queued (and always on another thread).
bool MyProcessMessages();

// Splits Source as the classic C run-time start-up splits a command line. Called once without Args and
// Buffer to count, then with a table of NumArgs entries and a buffer of NumChars bytes to fill; NumArgs
// counts a final empty entry.
void parse_cmdline(const char* Source, char** Args, char* Buffer, int& NumChars, int& NumArgs);

// The text before the first ADelim (all of AInput when absent); with ADelete, AInput keeps what follows.
std::string Fetch(std::string& AInput, const std::string& ADelim, bool ADelete);
std::string FileSizeToStr(uint64_t ASize);
// -1 when the file does not exist or cannot be examined.
int64_t GetFileSize(const TPathFileName& AFileName);
TPathFileName ExeName();
TPathFileName ExePath();
TPathFileName ExeFile();

// The local time zone's standard offset from UTC in days (daylight saving left out).
double DateTimeOffset();
TDateTime UnixToDateTimeEx(int64_t AUnixTime);
// Formats with the tokens yyyy, yy, mm, dd, hh, nn, ss and zzz; other characters are copied.
std::string LogDateTime(TDateTime ADateTime, const std::string& AFormat);
// Microseconds since the previous call (the first call: since the monotonic clock's zero), as text.
std::string CountTimeTickEx();
int MyStrLen(const char* AText);
// An arithmetic right shift that truncates towards zero for negative values.
int MySAR(int AValue, uint8_t AShift);

// The text of the last dynamic-loading failure of the calling thread.
std::string LastLoadErrorText();
// Opens APath/AFile when that file exists, else AFile through the system's search. Null on failure,
// with the system's text in AErrorText.
void* MyLoadLibrary(const TPathFileName& APath, const TPathFileName& AFile, std::string& AErrorText);
void MyFreeLibrary(void* AHandle);

// A mandatory entry point or variable that a library does not export.
class ELoadError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

void* FindExport(void* AHandle, const char* AName, std::string& AErrorText);

// Binds one entry point by name; a missing mandatory one raises ELoadError with
// "Load function %s@%s error: %s".
template <typename T>
void FixupStub(const TPathFileName& ALibName, void* AHandle, const char* AProcName, bool AOptional,
               T& AProc) {
    std::string error;
    void* address = FindExport(AHandle, AProcName, error);
    AProc = reinterpret_cast<T>(address);
    if (!address && !AOptional) {
        throw ELoadError("Load function " + std::string(AProcName) + "@" + ALibName + " error: " + error);
    }
}

// The same for an exported variable: "Load variable %s@%s error: %s".
template <typename T>
void LoadVariable(const TPathFileName& ALibName, void* AHandle, const char* AVarName, bool AOptional,
                  T*& AVar) {
    std::string error;
    void* address = FindExport(AHandle, AVarName, error);
    AVar = static_cast<T*>(address);
    if (!address && !AOptional) {
        throw ELoadError("Load variable " + std::string(AVarName) + "@" + ALibName + " error: " + error);
    }
}

// printf-style formatting into a std::string.
std::string Format(const char* AFormat, ...) __attribute__((format(printf, 1, 2)));
