// The player's internals, for the engine's own code outside the player's member functions (the audio
// pipeline's routines) and for the engine's tests; never for the player's owner, whose interface is
// FFPlay.h. The pipeline routines themselves are private members of TCustomPlayer, grouped there by the
// unit that defines them; this hands out the few that are reached from outside.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "engine/load/libsdl.h"
#include "engine/play/FFPlay.h"

class TPlayerPipeline {
public:
    explicit TPlayerPipeline(TCustomPlayer& APlayer) : player_(APlayer) {}

    // The open file's record; null without one.
    TVideoState* VideoState() const { return player_.VideoState(); }
    // The host window and SDL inside it.
    TSDLHost& SDLHost() const { return player_.SDLHost(); }
    // Switches the open file to another stream of a type, or to the next one of that type.
    bool stream_change_channel(TVideoState* is, int codec_type, int stream_index) const {
        return player_.stream_change_channel(is, codec_type, stream_index);
    }
    void stream_cycle_channel(TVideoState* is, int codec_type) const {
        player_.stream_cycle_channel(is, codec_type);
    }

    // For the audio pipeline.
    void DoErrLog(const std::string& AMsg, bool ASetLastError = true) const {
        player_.DoErrLog(AMsg, ASetLastError);
    }
    // The resampler options as "key=value:..." text.
    std::string SwrOptionsText() const { return player_.SwrOptionsText(); }
    TSDLEntries SDLEntries() const { return player_.SDLEntries(); }
    // System time in microseconds at the start of the latest audio device callback; 0 before the first.
    std::atomic<int64_t>& AudioCallbackTime() const { return player_.Faudio_callback_time; }

private:
    TCustomPlayer& player_;
};

inline TPlayerPipeline Pipeline(TCustomPlayer& APlayer) {
    return TPlayerPipeline(APlayer);
}
