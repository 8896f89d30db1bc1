#include "engine/load/libsdl.h"

#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace {

// The SDL library files that loaders hold, compared without regard to case; under SDLLock.
std::vector<std::string>& HeldFiles() {
    static std::vector<std::string> files;
    return files;
}

std::vector<std::string>::iterator FindHeld(const std::string& AFile) {
    auto& files = HeldFiles();
    return std::find_if(files.begin(), files.end(),
                        [&](const std::string& f) { return strcasecmp(f.c_str(), AFile.c_str()) == 0; });
}

}  // namespace

std::recursive_mutex& SDLLock() {
    static std::recursive_mutex lock;
    return lock;
}

char* SDLGetEnv(const char* AName) {
    std::lock_guard lock(SDLLock());
    return AName ? std::getenv(AName) : nullptr;
}

int SDLPutEnv(const char* AVariable) {
    if (!AVariable || !*AVariable) {
        return -1;
    }
    const std::string text(AVariable);
    const size_t equals = text.find('=');
    std::lock_guard lock(SDLLock());
    if (equals == std::string::npos) {
        return unsetenv(text.c_str()) == 0 ? 0 : -1;
    }
    if (equals == 0) {
        return -1;
    }
    return setenv(text.substr(0, equals).c_str(), text.c_str() + equals + 1, 1) == 0 ? 0 : -1;
}

TSDLLoader::~TSDLLoader() {
    Unload();
}

bool TSDLLoader::Loaded() const {
    return FHandle && FFixuped;
}

bool TSDLLoader::Load(const TPathFileName& APath, const TPathFileName& AFile) {
    std::string fullName = AFile;
    if (!APath.empty()) {
        fullName = APath.back() == '/' ? APath + AFile : APath + "/" + AFile;
    }
    if (Loaded() && FLibFile == fullName) {
        return true;
    }
    std::lock_guard lock(SDLLock());
    if (FindHeld(fullName) != HeldFiles().end()) {
        FLastErrMsg = Format("%s alreay loaded in another instance.", fullName.c_str());
        return false;
    }
    Unload();
    std::string error;
    FHandle = MyLoadLibrary(APath, AFile, error);
    if (!FHandle) {
        FLastErrMsg = Format("Load library %s error: %s", fullName.c_str(), error.c_str());
        return false;
    }
    try {
        Fixup(fullName);
        FFixuped = true;
        FSDLVersion = *SDL_Linked_Version();
    } catch (const ELoadError& e) {
        FLastErrMsg = e.what();
        Unfix();
    }
    if (FFixuped) {
        FLibFile = fullName;
        HeldFiles().push_back(fullName);
    } else {
        MyFreeLibrary(FHandle);
        FHandle = nullptr;
    }
    return FFixuped;
}

void TSDLLoader::Fixup(const std::string& AFileName) {
    FixupStub(AFileName, FHandle, "SDL_Linked_Version", false, SDL_Linked_Version);
    // SDL_getenv and SDL_putenv are exported only where SDL does not use the C library's environment.
    const auto optional = [](std::string_view AName) {
        return AName == "SDL_getenv" || AName == "SDL_putenv";
    };
#define STREVIO_SDL_BIND(name, exported, type) \
    FixupStub(AFileName, FHandle, exported, optional(exported), name);
    STREVIO_SDL_PLAYER_API(STREVIO_SDL_BIND)
    STREVIO_SDL_SURFACE_API(STREVIO_SDL_BIND)
#undef STREVIO_SDL_BIND
    if (!SDL_getenv || !SDL_putenv) {
        SDL_getenv = SDLGetEnv;
        SDL_putenv = SDLPutEnv;
    }
}

void TSDLLoader::Unfix() {
    SDL_Linked_Version = nullptr;
#define STREVIO_SDL_CLEAR(name, exported, type) name = nullptr;
    STREVIO_SDL_PLAYER_API(STREVIO_SDL_CLEAR)
    STREVIO_SDL_SURFACE_API(STREVIO_SDL_CLEAR)
#undef STREVIO_SDL_CLEAR
    FFixuped = false;
}

void TSDLLoader::Unload() {
    std::lock_guard lock(SDLLock());
    FSDLVersion = SDL_version{0, 0, 0};
    if (FFixuped) {
        Unfix();
    }
    if (FHandle) {
        MyFreeLibrary(FHandle);
        FHandle = nullptr;
    }
    if (!FLibFile.empty()) {
        auto held = FindHeld(FLibFile);
        if (held != HeldFiles().end()) {
            HeldFiles().erase(held);
        }
        FLibFile.clear();
    }
}

TSDLEntries TSDLLoader::Entries() const {
    TSDLEntries entries;
#define STREVIO_SDL_COPY(name, exported, type) entries.name = name;
    STREVIO_SDL_PLAYER_API(STREVIO_SDL_COPY)
#undef STREVIO_SDL_COPY
    return entries;
}
