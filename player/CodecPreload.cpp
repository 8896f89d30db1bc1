#include "player/CodecPreload.h"

#include "engine/AVLibLoader.h"
#include "engine/FFLoad.h"
#include "engine/Myutils.h"

namespace player {

CodecPreload::CodecPreload(std::string AFolder, std::string AFileName)
    : thread_([this, folder = std::move(AFolder), file = std::move(AFileName)] { Run(folder, file); }) {}

CodecPreload::~CodecPreload() {
    Wait();
}

void CodecPreload::Wait() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

std::unique_ptr<TEarlyOpen> CodecPreload::TakeEarlyOpen() {
    Wait();
    return std::move(earlyOpen_);
}

void CodecPreload::Run(const std::string& AFolder, const std::string& AFileName) {
    try {
        // The same loads as the player's, which then find everything in place; a failure here is met
        // again, and reported, by the player's own load.
        FFLoader().SetLibraryPath(AFolder);
        if (FFLoader().Load(CPlayerLibraries)) {
            // First, so that the file is probed while the rest loads.
            if (!AFileName.empty()) {
                earlyOpen_ = StartEarlyOpen(AFileName);
            }
            FFLoader().Load(libSoundTouch);
        }
        std::string error;
        MyFreeLibrary(MyLoadLibrary(AFolder, kSDLLibraryFile, error));
    } catch (...) {
        // Left to the player's load.
    }
}

}  // namespace player
