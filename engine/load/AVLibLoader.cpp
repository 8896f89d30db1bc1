#include "engine/load/AVLibLoader.h"

bool TAVLibLoader::AVLibLoaded() const {
    return FFLoader().Loaded(CPlayerLibraries) && (!FAutoLoadSDL || FSDLLoader.Loaded());
}

bool TAVLibLoader::LoadAVLib(const TPathFileName& APath, bool AAutoLoadSDL) {
    TFFLoader& loader = FFLoader();
    loader.SetLibraryPath(APath);
    if (!loader.Load(CPlayerLibraries)) {
        FLastErrMsg = loader.LastErrMsg();
        return false;
    }
    FOptions.init_opts();
    FAutoLoadSDL = AAutoLoadSDL;
    bool result = true;
    if (AAutoLoadSDL) {
        result = LoadSDLLib(APath, kSDLLibraryFile);
    }
    // Only a tempo change needs SoundTouch; its failure leaves the loader's text and nothing else.
    loader.Load(libSoundTouch);
    return result;
}

void TAVLibLoader::UnloadAVLib() {
    FFLoader().Unload(CPlayerLibraries);
    if (FAutoLoadSDL) {
        FSDLLoader.Unload();
    }
    FFLoader().Unload(libSoundTouch);
}

bool TAVLibLoader::LoadSDLLib(const TPathFileName& APath, const TPathFileName& AFile) {
    if (FSDLLoader.Load(APath, AFile)) {
        sdl_ = FSDLLoader.Entries();
        return true;
    }
    sdl_ = TSDLEntries{};
    FLastErrMsg = FSDLLoader.LastErrMsg();
    return false;
}
