#include "player/CodecPreload.h"

#include "engine/AVLibLoader.h"
#include "engine/FFLoad.h"
#include "engine/Myutils.h"

namespace player {

namespace {

void LoadLibraries(const std::string& AFolder) {
    try {
        // The same loads as the player's, which then find everything in place; a failure here is met
        // again, and reported, by the player's own load.
        FFLoader().SetLibraryPath(AFolder);
        if (FFLoader().Load(CPlayerLibraries)) {
            FFLoader().Load(libSoundTouch);
        }
        std::string error;
        MyFreeLibrary(MyLoadLibrary(AFolder, kSDLLibraryFile, error));
    } catch (...) {
        // Left to the player's load.
    }
}

}  // namespace

CodecPreload::CodecPreload(std::string AFolder) : thread_(LoadLibraries, std::move(AFolder)) {}

CodecPreload::~CodecPreload() {
    Wait();
}

void CodecPreload::Wait() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

}  // namespace player
