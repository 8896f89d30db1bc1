// A player's side of library loading: the process-wide FFmpeg set, its own SDL library file and its
// copy of SDL's entry points, and SoundTouch.
#pragma once

#include <string>

#include "engine/base/FFOptions.h"
#include "engine/load/FFLoad.h"
#include "engine/load/libsdl.h"

// The SDL library file a player loads from the codec folder (or the system).
inline constexpr char kSDLLibraryFile[] = "libSDL-1.2.so.0";

class TAVLibLoader {
public:
    // AOptions are the player's option dictionaries, made again after every successful load.
    explicit TAVLibLoader(TFFOptions& AOptions) : FOptions(AOptions) {}

    // CPlayerLibraries are loaded, and so is SDL when the player loads it itself.
    bool AVLibLoaded() const;
    // Sets the process-wide library folder to APath and loads CPlayerLibraries from it; then, with
    // AAutoLoadSDL, SDL (whose result becomes the result); SoundTouch is tried and may fail.
    bool LoadAVLib(const TPathFileName& APath, bool AAutoLoadSDL = true);
    void UnloadAVLib();
    bool SDLLibLoaded() const { return FSDLLoader.Loaded(); }
    // On success the player's copy of SDL's entry points is taken; on failure it is cleared.
    bool LoadSDLLib(const TPathFileName& APath, const TPathFileName& AFile);
    void UnloadSDLLib() { FSDLLoader.Unload(); }

    const std::string& LastErrMsg() const { return FLastErrMsg; }
    bool AutoLoadSDL() const { return FAutoLoadSDL; }
    // The player's copy of the 37 SDL entry points (kept after UnloadSDLLib).
    const TSDLEntries& SDL() const { return sdl_; }
    const TSDLLoader& SDLLoader() const { return FSDLLoader; }

private:
    TFFOptions& FOptions;
    TSDLLoader FSDLLoader;
    TSDLEntries sdl_;
    bool FAutoLoadSDL = true;
    std::string FLastErrMsg;
};
