// Base class of the engine's components and the small types that the player, its threads, the logger
// and the decoder components share.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

extern "C" {
#include <libavutil/avutil.h>
}

// The root of every object that the engine hands to an event as its sender.
class TObject {
public:
    virtual ~TObject() = default;
};

class TFFBaseComponent : public TObject {
public:
    TFFBaseComponent();
    ~TFFBaseComponent() override = default;

    const std::string& Version() const { return FVersion; }
    // I/O time-out in milliseconds that the FFmpeg interrupt callbacks compare against.
    int32_t ReadTimeout() const { return FReadTimeout; }
    void SetReadTimeout(int32_t AValue) { FReadTimeout = AValue; }
    int32_t WriteTimeout() const { return FWriteTimeout; }
    void SetWriteTimeout(int32_t AValue) { FWriteTimeout = AValue; }

private:
    std::string FVersion;
    int32_t FReadTimeout;
    int32_t FWriteTimeout;
};

// AV_NOPTS_VALUE (no time: the lowest signed 64-bit value) and AV_TIME_BASE (microseconds per second,
// the unit of every engine time the owner sees) come from libavutil/avutil.h with the same values.
static_assert(AV_NOPTS_VALUE == INT64_MIN && AV_TIME_BASE == 1000000);

enum TPlayState : int32_t { psPlay = 0, psPause = 1, psResume = 2, psStep = 3, psStop = 4, psEnd = 5 };
enum TSeekFlag : int32_t { sfBackward = 0, sfByte = 1, sfAny = 2, sfFrame = 3 };
enum TRepeatType : int32_t { rtNone = 0, rtStop = 1, rtLoop = 2, rtPause = 3, rtRewind = 4 };
enum Tav_sync_type : int32_t { stAudio = 0, stVideo = 1, stExternal = 2 };
enum TEventType : int32_t { etNone = 0, etPosition = 1, etState = 2, etStop = 3 };
enum TShowMode : int32_t { smDefault = 0, smVideo = 1, smWaves = 2, smRDFT = 3, smNone = 4 };
enum TAudioDriver : int32_t { adDefault = 0, adDirectSound = 1, adWaveOut = 2 };
enum TVideoDriver : int32_t { vdDefault = 0, vdDirectDraw = 1, vdGDI = 2 };

// The per-file state's own show mode; its ordinals equal TShowMode's so values pass unchanged.
enum _TShowMode : int32_t {
    SHOW_MODE_AUTO = 0,
    SHOW_MODE_VIDEO = 1,
    SHOW_MODE_WAVES = 2,
    SHOW_MODE_RDFT = 3,
    SHOW_MODE_NONE = 4,
    SHOW_MODE_NB = 5
};
static_assert(int{smDefault} == SHOW_MODE_AUTO && int{smVideo} == SHOW_MODE_VIDEO && int{smWaves} == SHOW_MODE_WAVES &&
              int{smRDFT} == SHOW_MODE_RDFT && int{smNone} == SHOW_MODE_NONE);

// 0..128, where 128 is full volume.
using TAudioVolume = uint8_t;
inline constexpr TAudioVolume kMaxAudioVolume = 128;

// A set of TSeekFlag: one byte whose bit n is member n.
class TSeekFlags {
public:
    constexpr TSeekFlags() = default;
    constexpr TSeekFlags(std::initializer_list<TSeekFlag> AFlags) {
        for (TSeekFlag f : AFlags) {
            bits_ = static_cast<uint8_t>(bits_ | (1u << f));
        }
    }
    constexpr bool Contains(TSeekFlag AFlag) const { return (bits_ >> AFlag) & 1u; }
    constexpr bool Empty() const { return bits_ == 0; }
    constexpr uint8_t Bits() const { return bits_; }
    constexpr bool operator==(const TSeekFlags&) const = default;

private:
    uint8_t bits_ = 0;
};

// The FFmpeg seek-flag word of a set: backward 1, byte 2, any 4, frame 8.
int MakeSeekFlags(TSeekFlags ASeekFlags);
// The set holding the member of the lowest of the bits 1, 2, 4, 8 set in AFlags (empty when none).
TSeekFlags IntToSeekFlags(int AFlags);

// One item of the player's event ring.
struct TEventItem {
    TEventType EventType = etNone;
    union {
        int64_t Position;
        TPlayState State;
    };
    TEventItem() : Position(0) {}
};

// Event callbacks; Sender is the component that fires them.
using TNotifyEvent = std::function<void(TObject* Sender)>;
struct AVFormatContext;
using TBeforeFindStreamInfoEvent = std::function<void(TObject* Sender, AVFormatContext* AFormatContext)>;
using TFileOpenEvent = std::function<void(TObject* Sender, const int64_t& ADuration, int AFrameWidth,
                                          int AFrameHeight, int& AScreenWidth, int& AScreenHeight)>;
using TAudioHookEvent = std::function<void(TObject* Sender, const int64_t& APTS, void* ASample, int ASize,
                                           int ASampleRate, int AChannels)>;
// ABitmap is the picture as the owner's bitmap object; AUpdate is set before the call and cleared by a
// handler that wants the shown picture left unchanged.
using TVideoHookEvent =
    std::function<void(TObject* Sender, TObject* ABitmap, const int64_t& APTS, bool& AUpdate)>;
// The picture as FFmpeg planes (data[4], linesize[4]).
using TFrameHookEvent =
    std::function<void(TObject* Sender, uint8_t* const AData[4], const int ALinesize[4],
                       AVPixelFormat APixFmt, int AWidth, int AHeight, const int64_t& APTS)>;
using TPositionEvent = std::function<void(TObject* Sender, const int64_t& APTS)>;
using TPlayStateEvent = std::function<void(TObject* Sender, TPlayState APlayState)>;
