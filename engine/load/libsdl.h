// Run-time loading of SDL 1.2: one loader per player, and a given library file held by one loader only.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <type_traits>

#include <SDL.h>
#include <SDL_version.h>

#include "engine/base/Myutils.h"

// SDL's headers make these two plain macros for the C library's getenv/putenv on Linux; the loader
// gives them members of their own.
#undef SDL_getenv
#undef SDL_putenv
// Likewise these two are macros for the names SDL exports, SDL_mutexP and SDL_mutexV.
#undef SDL_LockMutex
#undef SDL_UnlockMutex

// Guards SDL start-up and the list of SDL library files that loaders hold.
std::recursive_mutex& SDLLock();

// The 37 entry points that a player calls (all of the loader's but SDL_Linked_Version), in the loader's
// order. X(name, exported name, type).
// clang-format off
#define STREVIO_SDL_PLAYER_API(X)                                                           \
    X(SDL_Init, "SDL_Init", int (*)(Uint32))                                                \
    X(SDL_Quit, "SDL_Quit", void (*)())                                                     \
    X(SDL_getenv, "SDL_getenv", char* (*)(const char*))                                     \
    X(SDL_putenv, "SDL_putenv", int (*)(const char*))                                       \
    X(SDL_GetError, "SDL_GetError", decltype(&::SDL_GetError))                                              \
    X(SDL_OpenAudio, "SDL_OpenAudio", decltype(&::SDL_OpenAudio))                                            \
    X(SDL_PauseAudio, "SDL_PauseAudio", decltype(&::SDL_PauseAudio))                                          \
    X(SDL_CloseAudio, "SDL_CloseAudio", decltype(&::SDL_CloseAudio))                                          \
    X(SDL_MixAudio, "SDL_MixAudio", decltype(&::SDL_MixAudio))                                              \
    X(SDL_PumpEvents, "SDL_PumpEvents", decltype(&::SDL_PumpEvents))                                          \
    X(SDL_PeepEvents, "SDL_PeepEvents", decltype(&::SDL_PeepEvents))                                          \
    X(SDL_PushEvent, "SDL_PushEvent", decltype(&::SDL_PushEvent))                                            \
    X(SDL_EventState, "SDL_EventState", decltype(&::SDL_EventState))                                          \
    X(SDL_GetVideoInfo, "SDL_GetVideoInfo", decltype(&::SDL_GetVideoInfo))                                      \
    X(SDL_SetVideoMode, "SDL_SetVideoMode", decltype(&::SDL_SetVideoMode))                                      \
    X(SDL_UpdateRect, "SDL_UpdateRect", decltype(&::SDL_UpdateRect))                                          \
    X(SDL_WM_SetCaption, "SDL_WM_SetCaption", decltype(&::SDL_WM_SetCaption))                                    \
    X(SDL_MapRGB, "SDL_MapRGB", decltype(&::SDL_MapRGB))                                                  \
    X(SDL_FillRect, "SDL_FillRect", decltype(&::SDL_FillRect))                                              \
    X(SDL_CreateYUVOverlay, "SDL_CreateYUVOverlay", decltype(&::SDL_CreateYUVOverlay))                              \
    X(SDL_LockYUVOverlay, "SDL_LockYUVOverlay", decltype(&::SDL_LockYUVOverlay))                                  \
    X(SDL_UnlockYUVOverlay, "SDL_UnlockYUVOverlay", decltype(&::SDL_UnlockYUVOverlay))                              \
    X(SDL_DisplayYUVOverlay, "SDL_DisplayYUVOverlay", decltype(&::SDL_DisplayYUVOverlay))                            \
    X(SDL_FreeYUVOverlay, "SDL_FreeYUVOverlay", decltype(&::SDL_FreeYUVOverlay))                                  \
    X(SDL_CreateMutex, "SDL_CreateMutex", decltype(&::SDL_CreateMutex))                                        \
    X(SDL_LockMutex, "SDL_mutexP", decltype(&::SDL_mutexP))                                               \
    X(SDL_UnlockMutex, "SDL_mutexV", decltype(&::SDL_mutexV))                                             \
    X(SDL_DestroyMutex, "SDL_DestroyMutex", decltype(&::SDL_DestroyMutex))                                      \
    X(SDL_CreateCond, "SDL_CreateCond", decltype(&::SDL_CreateCond))                                          \
    X(SDL_DestroyCond, "SDL_DestroyCond", decltype(&::SDL_DestroyCond))                                        \
    X(SDL_CondSignal, "SDL_CondSignal", decltype(&::SDL_CondSignal))                                          \
    X(SDL_CondWaitTimeout, "SDL_CondWaitTimeout", decltype(&::SDL_CondWaitTimeout))                                \
    X(SDL_CondWait, "SDL_CondWait", decltype(&::SDL_CondWait))                                              \
    X(SDL_CreateThread, "SDL_CreateThread", decltype(&::SDL_CreateThread))                                      \
    X(SDL_WaitThread, "SDL_WaitThread", decltype(&::SDL_WaitThread))                                          \
    X(SDL_AudioDriverName, "SDL_AudioDriverName", decltype(&::SDL_AudioDriverName))                                \
    X(SDL_VideoDriverName, "SDL_VideoDriverName", decltype(&::SDL_VideoDriverName))
// clang-format on

// Beyond those: direct access to the output surface's pixels, so that a picture can be converted straight
// into the window (SDL's own conversion of a software overlay is plain C).
// clang-format off
#define STREVIO_SDL_SURFACE_API(X)                                                          \
    X(SDL_LockSurface, "SDL_LockSurface", decltype(&::SDL_LockSurface))                     \
    X(SDL_UnlockSurface, "SDL_UnlockSurface", decltype(&::SDL_UnlockSurface))
// clang-format on

// A player's own copy of the 37 entry points, through which it calls SDL.
struct TSDLEntries {
#define STREVIO_SDL_MEMBER(name, exported, type) std::type_identity_t<type> name = nullptr;
    STREVIO_SDL_PLAYER_API(STREVIO_SDL_MEMBER)
#undef STREVIO_SDL_MEMBER
};

class TSDLLoader {
public:
    TSDLLoader() = default;
    ~TSDLLoader();
    TSDLLoader(const TSDLLoader&) = delete;
    TSDLLoader& operator=(const TSDLLoader&) = delete;

    // Loads APath/AFile. True at once when this loader already holds that very file; false with
    // "%s alreay loaded in another instance." when another loader holds it.
    bool Load(const TPathFileName& APath, const TPathFileName& AFile);
    bool Loaded() const;
    void Unload();

    const std::string& LastErrMsg() const { return FLastErrMsg; }
    SDL_version SDLVersion() const { return FSDLVersion; }
    const TPathFileName& LibFile() const { return FLibFile; }
    // The 37 entry points a player copies.
    TSDLEntries Entries() const;

    decltype(&::SDL_Linked_Version) SDL_Linked_Version = nullptr;
#define STREVIO_SDL_MEMBER(name, exported, type) std::type_identity_t<type> name = nullptr;
    STREVIO_SDL_PLAYER_API(STREVIO_SDL_MEMBER)
    STREVIO_SDL_SURFACE_API(STREVIO_SDL_MEMBER)
#undef STREVIO_SDL_MEMBER

private:
    void Fixup(const std::string& AFileName);
    void Unfix();

    TPathFileName FLibFile;
    void* FHandle = nullptr;
    bool FFixuped = false;
    SDL_version FSDLVersion{0, 0, 0};
    std::string FLastErrMsg;
};

// The environment through SDL's lock (SDL's own getenv/putenv are the C library's on Linux).
char* SDLGetEnv(const char* AName);
// "NAME=value" sets (an empty value too), a text without "=" removes; 0 on success, -1 otherwise.
int SDLPutEnv(const char* AVariable);
