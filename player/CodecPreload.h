// Loads the codec libraries, SoundTouch and SDL on a thread of its own while the program's window starts,
// so that the first file does not wait for them: the process-wide loader keeps the codec set loaded, and
// SDL's code stays mapped after its handle is freed, which makes the player's own loads quick.
#pragma once

#include <string>
#include <thread>

namespace player {

class CodecPreload {
public:
    // AFolder: the codec folder, as the player loads from it.
    explicit CodecPreload(std::string AFolder);
    ~CodecPreload();
    CodecPreload(const CodecPreload&) = delete;
    CodecPreload& operator=(const CodecPreload&) = delete;

    // Returns once the loading has ended; the process-wide loader is the caller's again. Call it before
    // anything else touches the loader.
    void Wait();

private:
    std::thread thread_;
};

}  // namespace player
