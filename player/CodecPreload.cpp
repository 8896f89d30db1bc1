#include "player/CodecPreload.h"

#include "engine/base/Myutils.h"
#include "engine/load/AVLibLoader.h"
#include "engine/load/FFLoad.h"

namespace player {

CodecPreload::CodecPreload(std::string AFolder, std::string AFileName, std::optional<int64_t> AStart)
    : thread_([this, folder = std::move(AFolder), file = std::move(AFileName), AStart] {
          Run(folder, file, AStart);
      }) {}

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

void CodecPreload::Run(const std::string& AFolder, const std::string& AFileName,
                       std::optional<int64_t> AStart) {
    try {
        // The same loads as the player's, which then find everything in place; a failure here is met
        // again, and reported, by the player's own load.
        FFLoader().SetLibraryPath(AFolder);
        // One library at a time, in the order they build on each other: the system's loader is held for
        // each load, and the window's own loads (its platform plugins) get their turns in between. The
        // file is opened as soon as what the open uses is in, while the rest loads.
        bool loaded = true;
        for (const TLibrary library : {avUtil, swResample, avCodec, avFormat}) {
            loaded = FFLoader().Load(library) && loaded;
        }
        if (loaded && !AFileName.empty()) {
            earlyOpen_ = StartEarlyOpen(AFileName, AStart);
        }
        for (const TLibrary library : {swScale, myUtil, avFilter, avDevice}) {
            loaded = FFLoader().Load(library) && loaded;
        }
        if (!loaded) {
            // The set's load below then unloads every member, which the open must not be using.
            earlyOpen_.reset();
        }
        if (FFLoader().Load(CPlayerLibraries)) {
            FFLoader().Load(libSoundTouch);
        }
        std::string error;
        MyFreeLibrary(MyLoadLibrary(AFolder, kSDLLibraryFile, error));
    } catch (...) {
        // Left to the player's load.
    }
}

}  // namespace player
