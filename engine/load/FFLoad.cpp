#include "engine/load/FFLoad.h"

#include <cassert>
#include <filesystem>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "engine/base/FFLog.h"
#include "engine/base/Unicodeprotocol.h"
#include "engine/load/FFAPI.h"

namespace {

const TLibraryItem kLibraryTable[kLibraryCount] = {
    {avCodec, "avcodec", false, 59, "libavcodec.so.59", FixupAVCodec, UnfixAVCodec},
    {avDevice, "avdevice", false, 59, "libavdevice.so.59", FixupAVDevice, UnfixAVDevice},
    {avFilter, "avfilter", false, 8, "libavfilter.so.8", FixupAVFilter, UnfixAVFilter},
    {avFormat, "avformat", false, 59, "libavformat.so.59", FixupAVFormat, UnfixAVFormat},
    {avUtil, "avutil", false, 57, "libavutil.so.57", FixupAVUtil, UnfixAVUtil},
    {swResample, "swresample", false, 4, "libswresample.so.4", FixupSwResample, UnfixSwResample},
    {swScale, "swscale", false, 6, "libswscale.so.6", FixupSwScale, UnfixSwScale},
    {myUtil, "msvcrt", true, -1, "libc.so.6", FixupCRT, UnfixCRT},
    {libSoundTouch, "SoundTouch", false, -1, "libSoundTouchDll.so.1", FixupSoundTouch, UnfixSoundTouch},
};

// The codec libraries each library links against, in the order in which they have to be loaded.
const std::vector<TLibrary>& CodecDependencies(TLibrary ALibrary) {
    static const std::vector<TLibrary> kNone;
    static const std::vector<TLibrary> kUtil{avUtil};
    static const std::vector<TLibrary> kCodec{avUtil, swResample};
    static const std::vector<TLibrary> kFormat{avUtil, swResample, avCodec};
    static const std::vector<TLibrary> kFilter{avUtil, swResample, swScale, avCodec, avFormat};
    static const std::vector<TLibrary> kDevice{avUtil, swResample, swScale, avCodec, avFormat, avFilter};
    switch (ALibrary) {
        case avCodec:
            return kCodec;
        case avDevice:
            return kDevice;
        case avFilter:
            return kFilter;
        case avFormat:
            return kFormat;
        case swResample:
        case swScale:
            return kUtil;
        default:
            return kNone;
    }
}

bool FileExists(const std::string& APath) {
    std::error_code error;
    return std::filesystem::exists(APath, error);
}

// A mutex that knows its owner, so that a release by another thread is refused instead of undefined.
class TLockManagerMutex {
public:
    void Obtain() {
        mutex_.lock();
        FOwner = std::this_thread::get_id();
    }
    bool Release() {
        if (FOwner != std::this_thread::get_id()) {
            return false;
        }
        FOwner = std::thread::id();
        mutex_.unlock();
        return true;
    }

private:
    std::mutex mutex_;
    std::atomic<std::thread::id> FOwner{};
};

// One record per FFmpeg mutex slot; the slot holds the record's address.
struct TLockRecord {
    void** Slot = nullptr;
    std::unique_ptr<TLockManagerMutex> Mutex;
    int Id = 0;
};

struct TLockRegistry {
    std::mutex Lock;
    std::list<TLockRecord> Records;
    int NextId = 1;
    std::atomic<bool> Finalising{false};
};

TLockRegistry& LockRegistry() {
    static TLockRegistry registry;
    return registry;
}

TLockRecord& FindOrAddRecord(TLockRegistry& ARegistry, void** AMutex) {
    std::lock_guard lock(ARegistry.Lock);
    if (*AMutex) {
        auto* record = static_cast<TLockRecord*>(*AMutex);
        assert(record->Slot == AMutex && "lock record of another slot");
        return *record;
    }
    TLockRecord& record = ARegistry.Records.emplace_front();
    record.Slot = AMutex;
    record.Id = ARegistry.NextId++;
    *AMutex = &record;
    return record;
}

void RemoveRecord(TLockRegistry& ARegistry, void** AMutex) {
    std::lock_guard lock(ARegistry.Lock);
    ARegistry.Records.remove_if([AMutex](const TLockRecord& r) { return r.Slot == AMutex; });
    *AMutex = nullptr;
}

void LockLog(TLogLevel ALevel, const std::string& AText) {
    FFLogger().Log(nullptr, ALevel, AText);
}

int LockCreate(TLockRecord& ARecord) {
    if (ARecord.Mutex) {
        LockLog(llError, Format("[lock manager] error, mutex [%d] already exist.", ARecord.Id));
        return -1;
    }
    ARecord.Mutex = std::make_unique<TLockManagerMutex>();
    LockLog(llDebug, Format("[lock manager] mutex [%d] created.", ARecord.Id));
    return 0;
}

int LockObtain(TLockRecord& ARecord) {
    if (!ARecord.Mutex) {
        LockLog(llError, "[lock manager] error, mutex not available.");
        return -1;
    }
    ARecord.Mutex->Obtain();
    LockLog(llDebug, Format("[lock manager] mutex [%d] obtained.", ARecord.Id));
    return 0;
}

int LockRelease(TLockRecord& ARecord) {
    if (!ARecord.Mutex) {
        LockLog(llError, "[lock manager] error, mutex not available.");
        return -1;
    }
    if (!ARecord.Mutex->Release()) {
        LockLog(llError, Format("[lock manager] error, could not release mutex [%d]: %s.", ARecord.Id,
                                "the calling thread does not own it"));
        return -1;
    }
    LockLog(llDebug, Format("[lock manager] mutex [%d] release.", ARecord.Id));
    return 0;
}

int LockDestroy(TLockRegistry& ARegistry, TLockRecord& ARecord, void** AMutex) {
    int result = -1;
    if (ARecord.Mutex) {
        LockLog(llDebug, Format("[lock manager] mutex [%d] destroyed.", ARecord.Id));
        result = 0;
    } else {
        LockLog(llError, "[lock manager] error, mutex not available.");
    }
    RemoveRecord(ARegistry, AMutex);
    return result;
}

// The loader unit's end: unload everything, then drop the lock records left behind.
struct TLoaderUnit {
    ~TLoaderUnit() {
        SetLoaderFinalising(true);
        FFLoader().Unload(CAllLibraries);
        std::lock_guard lock(LockRegistry().Lock);
        LockRegistry().Records.clear();
    }
};

}  // namespace

const TLibraryItem& LibraryItem(TLibrary ALib) {
    return kLibraryTable[ALib];
}

TFFLoader& FFLoader() {
    static TFFLoader loader;
    static TLoaderUnit unit;  // destroyed first: unloads while the loader still exists
    return loader;
}

TFFLoader::~TFFLoader() {
    for (int i = 0; i < kLibraryCount; ++i) {
        Unload(static_cast<TLibrary>(i));
    }
}

TPathFileName TFFLoader::LibraryNames(TLibrary ALibrary) const {
    const TLibraryStatus& status = status_[ALibrary];
    return status.Name.empty() ? std::string(kLibraryTable[ALibrary].FileName) : status.Name;
}

void TFFLoader::SetLibraryNames(TLibrary ALibrary, const TPathFileName& AName) {
    Unload(ALibrary);
    status_[ALibrary].Name = AName;
}

bool TFFLoader::Load(TLibrary ALibrary) {
    const TLibraryItem& item = kLibraryTable[ALibrary];
    TLibraryStatus& status = status_[ALibrary];
    const std::filesystem::path name(LibraryNames(ALibrary));
    if (!status.Handle) {
        std::string folder;
        if (name.has_parent_path()) {
            folder = name.parent_path().string() + "/";
        } else if (!libraryPath_.empty() && !item.SysLib) {
            folder = libraryPath_;
            if (folder.back() != '/') {
                folder += '/';
            }
        }
        if (!folder.empty() && FileExists(folder + name.filename().string()) &&
            !LoadDependencies(ALibrary, folder)) {
            return false;
        }
        std::string error;
        status.Handle = MyLoadLibrary(folder, name.filename().string(), error);
        if (!status.Handle) {
            FLastErrMsg = Format("Load library %s error: %s", (folder + name.filename().string()).c_str(),
                                 error.c_str());
            FreeDependencies(status);
            return false;
        }
    }
    if (!status.Fixuped) {
        try {
            item.Fixup(name.string(), status.Handle);
            status.Fixuped = true;
        } catch (const ELoadError& e) {
            FLastErrMsg = e.what();
            item.Unfix();
        }
    }
    if (!status.Fixuped) {
        Unload(ALibrary);
        return false;
    }
    RunPostLoadHooks(ALibrary);
    return true;
}

bool TFFLoader::LoadDependencies(TLibrary ALibrary, const std::string& AFolder) {
    TLibraryStatus& status = status_[ALibrary];
    for (const TLibrary dependency : CodecDependencies(ALibrary)) {
        const std::string file = kLibraryTable[dependency].FileName;
        if (!FileExists(AFolder + file)) {
            continue;
        }
        std::string error;
        void* handle = MyLoadLibrary(AFolder, file, error);
        if (!handle) {
            FLastErrMsg = Format("Load library %s error: %s", (AFolder + file).c_str(), error.c_str());
            FreeDependencies(status);
            return false;
        }
        status.Dependencies.push_back(handle);
    }
    return true;
}

void TFFLoader::FreeDependencies(TLibraryStatus& AStatus) {
    for (void* handle : AStatus.Dependencies) {
        MyFreeLibrary(handle);
    }
    AStatus.Dependencies.clear();
}

void TFFLoader::RunPostLoadHooks(TLibrary ALibrary) {
    switch (ALibrary) {
        case avCodec:
            RegisterLockManager(true);
            break;
        case avUtil:
            if (FInstallLogger) {
                FFLogger().InstallAVLogCallback();
            }
            break;
        case avFormat:
            register_unicode_protocol();
            break;
        default:
            break;
    }
}

bool TFFLoader::Load(TLibraries ALibraries) {
    assert(!ALibraries.Empty() && "empty library set");
    for (int i = 0; i < kLibraryCount; ++i) {
        const auto lib = static_cast<TLibrary>(i);
        if (ALibraries.Contains(lib) && !Load(lib)) {
            Unload(ALibraries);
            return false;
        }
    }
    return true;
}

bool TFFLoader::Loaded(TLibrary ALibrary) const {
    return status_[ALibrary].Handle && status_[ALibrary].Fixuped;
}

bool TFFLoader::Loaded(TLibraries ALibraries) const {
    assert(!ALibraries.Empty() && "empty library set");
    for (int i = 0; i < kLibraryCount; ++i) {
        const auto lib = static_cast<TLibrary>(i);
        if (ALibraries.Contains(lib) && !Loaded(lib)) {
            return false;
        }
    }
    return true;
}

void TFFLoader::CheckLibAV(TLibraries ALibraries) const {
    assert(!ALibraries.Empty() && "empty library set");
    for (int i = 0; i < kLibraryCount; ++i) {
        const auto lib = static_cast<TLibrary>(i);
        if (ALibraries.Contains(lib) && !Loaded(lib)) {
            throw std::runtime_error(Format("Library %s not loaded.", kLibraryTable[i].Name));
        }
    }
}

void TFFLoader::Unload(TLibrary ALibrary) {
    TLibraryStatus& status = status_[ALibrary];
    if (status.Fixuped) {
        if (ALibrary == avCodec) {
            RegisterLockManager(false);
        }
        if (ALibrary == avUtil) {
            // The callback and levels live in avutil; the logger must not call into it once it is gone.
            FFLogger().UninstallAVLogCallback();
        }
        kLibraryTable[ALibrary].Unfix();
        status.Fixuped = false;
    }
    if (status.Handle) {
        MyFreeLibrary(status.Handle);
        status.Handle = nullptr;
    }
    FreeDependencies(status);
}

void TFFLoader::Unload(TLibraries ALibraries) {
    assert(!ALibraries.Empty() && "empty library set");
    for (int i = 0; i < kLibraryCount; ++i) {
        const auto lib = static_cast<TLibrary>(i);
        if (ALibraries.Contains(lib)) {
            Unload(lib);
        }
    }
}

void SetLoaderFinalising(bool AValue) {
    LockRegistry().Finalising = AValue;
}

bool RegisterLockManager(bool ARegister) {
    if (!ff::av_lockmgr_register) {
        return false;
    }
    return ff::av_lockmgr_register(ARegister ? ffmpeg_lock_manager : nullptr) >= 0;
}

int ffmpeg_lock_manager(void** AMutex, int AOp) {
    TLockRegistry& registry = LockRegistry();
    if (registry.Finalising) {
        return 0;
    }
    if (!AMutex) {
        LockLog(llError, "[lock manager] error, mutex not available.");
        return -1;
    }
    TLockRecord& record = FindOrAddRecord(registry, AMutex);
    switch (AOp) {
        case lockCreate:
            return LockCreate(record);
        case lockObtain:
            return LockObtain(record);
        case lockRelease:
            return LockRelease(record);
        case lockDestroy:
            return LockDestroy(registry, record, AMutex);
        default:
            LockLog(llError, Format("[lock manager] error, invalid mutex operation %d.", AOp));
            return -1;
    }
}
