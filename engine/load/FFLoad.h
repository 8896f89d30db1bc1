// Run-time loading of the FFmpeg libraries, the C run-time row and SoundTouch, shared by every
// component of the process, and the FFmpeg lock-manager callback.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "engine/base/Myutils.h"

enum TLibrary : int {
    avCodec = 0,
    avDevice = 1,
    avFilter = 2,
    avFormat = 3,
    avUtil = 4,
    swResample = 5,
    swScale = 6,
    myUtil = 7,
    libSoundTouch = 8
};
inline constexpr int kLibraryCount = 9;

// A set of TLibrary: two bytes, bit n = ordinal n.
class TLibraries {
public:
    constexpr TLibraries() = default;
    constexpr TLibraries(std::initializer_list<TLibrary> ALibs) {
        for (TLibrary lib : ALibs) {
            bits_ = static_cast<uint16_t>(bits_ | (1u << lib));
        }
    }
    constexpr bool Contains(TLibrary ALib) const { return (bits_ >> ALib) & 1u; }
    constexpr bool Empty() const { return bits_ == 0; }
    constexpr uint16_t Bits() const { return bits_; }
    constexpr bool operator==(const TLibraries&) const = default;

private:
    uint16_t bits_ = 0;
};

inline constexpr TLibraries CAllLibraries{avCodec,    avDevice, avFilter, avFormat,     avUtil,
                                          swResample, swScale,  myUtil,   libSoundTouch};
inline constexpr TLibraries CPlayerLibraries{avCodec, avDevice,   avFilter, avFormat,
                                             avUtil,  swResample, swScale,  myUtil};
inline constexpr TLibraries CEncoderLibraries = CPlayerLibraries;
inline constexpr TLibraries CDecoderLibraries{avCodec, avFormat, avUtil, swResample, swScale, myUtil};

// One fixed row of the library table.
struct TLibraryItem {
    TLibrary Lib;
    const char* Name;
    bool SysLib;
    // The headers' major version, which the loaded library must have; -1 for none.
    int Version;
    // The file loaded when no replacement name is set.
    const char* FileName;
    // Binds every entry point of the library (raises ELoadError for a missing mandatory one).
    void (*Fixup)(const TPathFileName& AFileName, void* AHandle);
    // Clears them all.
    void (*Unfix)();
};

const TLibraryItem& LibraryItem(TLibrary ALib);

class TFFLoader {
public:
    TFFLoader() = default;
    ~TFFLoader();
    TFFLoader(const TFFLoader&) = delete;
    TFFLoader& operator=(const TFFLoader&) = delete;

    bool Load(TLibrary ALibrary);
    // All or nothing: at the first failure every member of the set is unloaded.
    bool Load(TLibraries ALibraries);
    bool Loaded(TLibrary ALibrary) const;
    bool Loaded(TLibraries ALibraries) const;
    // Raises std::runtime_error "Library %s not loaded." for the first member that is not loaded.
    void CheckLibAV(TLibraries ALibraries) const;
    void Unload(TLibrary ALibrary);
    void Unload(TLibraries ALibraries);

    const std::string& LastErrMsg() const { return FLastErrMsg; }
    const TPathFileName& LibraryPath() const { return libraryPath_; }
    void SetLibraryPath(const TPathFileName& APath) { libraryPath_ = APath; }
    bool InstallLogger() const { return FInstallLogger; }
    void SetInstallLogger(bool AValue) { FInstallLogger = AValue; }
    // The replacement name if set, else the table's file name.
    TPathFileName LibraryNames(TLibrary ALibrary) const;
    // Unloads that library first, then stores the replacement (empty restores the default).
    void SetLibraryNames(TLibrary ALibrary, const TPathFileName& AName);

private:
    struct TLibraryStatus {
        TPathFileName Name;
        void* Handle = nullptr;
        bool Fixuped = false;
        // The folder's copies of the codec libraries this one links against, held while it is loaded.
        std::vector<void*> Dependencies;
    };
    void RunPostLoadHooks(TLibrary ALibrary);
    // Loads, by full path and in dependency order, the copies in AFolder of the codec libraries that
    // ALibrary links against, so that the system's loader binds ALibrary to them and not to the
    // system's copies. A library the folder lacks is left to the system search.
    bool LoadDependencies(TLibrary ALibrary, const std::string& AFolder);
    static void FreeDependencies(TLibraryStatus& AStatus);

    bool FInstallLogger = true;
    std::string FLastErrMsg;
    TPathFileName libraryPath_;
    std::array<TLibraryStatus, kLibraryCount> status_{};
};

// The process-wide loader.
TFFLoader& FFLoader();

// Operations that FFmpeg's lock manager hands to the callback.
enum TLockOp : int { lockCreate = 0, lockObtain = 1, lockRelease = 2, lockDestroy = 3 };
// The lock-manager callback: 0 on success, -1 on failure.
int ffmpeg_lock_manager(void** AMutex, int AOp);
// Registers (or, with false, unregisters) the callback with FFmpeg; false when FFmpeg offers no lock
// manager (FFmpeg 5.1 locks internally).
bool RegisterLockManager(bool ARegister);
// Set while the loader unit shuts down; every lock-manager call then answers 0.
void SetLoaderFinalising(bool AValue);
