// Loads the codec libraries, SoundTouch and SDL on a thread of its own while the program's window starts,
// so that the first file does not wait for them: the process-wide loader keeps the codec set loaded, and
// SDL's code stays mapped after its handle is freed, which makes the player's own loads quick. Once the
// codec libraries are in, the file the program was started on is opened and probed early, for the
// player to take.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "engine/play/EarlyOpen.h"

namespace player {

class CodecPreload {
public:
    // AFolder: the codec folder, as the player loads from it. AFileName: the file to open early; none
    // when empty or not a regular file.
    // AStart: where the file will be started (microseconds), as the early open seeks it.
    explicit CodecPreload(std::string AFolder, std::string AFileName = {},
                          std::optional<int64_t> AStart = std::nullopt);
    ~CodecPreload();
    CodecPreload(const CodecPreload&) = delete;
    CodecPreload& operator=(const CodecPreload&) = delete;

    // Returns once the loading has ended; the process-wide loader is the caller's again. Call it before
    // anything else touches the loader.
    void Wait();
    // After Wait: the early open of the file, for the player; null when none was started (or taken).
    std::unique_ptr<TEarlyOpen> TakeEarlyOpen();

private:
    void Run(const std::string& AFolder, const std::string& AFileName, std::optional<int64_t> AStart);

    std::unique_ptr<TEarlyOpen> earlyOpen_;  // set by the thread, read after it was joined
    std::thread thread_;
};

}  // namespace player
