// Free helper functions shared by the engine's components: array access, time and duration texts,
// Unix time conversions, metadata and codec names, captions, protocol and format registration, and
// sample mixing with a volume.
#pragma once

#include <cstdint>
#include <string>

#include "engine/base/Myutils.h"
#include "engine/base/Unicodeprotocol.h"
#include "engine/load/FFAPI.h"

// A URL protocol record in the shape FFmpeg's registration took it.
struct TURLProtocol {
    const char* name = nullptr;
    int (*url_open)(TURLContext* h, const char* url, int flags) = nullptr;
    int (*url_read)(TURLContext* h, unsigned char* buf, int size) = nullptr;
    int (*url_write)(TURLContext* h, const unsigned char* buf, int size) = nullptr;
    int64_t (*url_seek)(TURLContext* h, int64_t pos, int whence) = nullptr;
    int (*url_close)(TURLContext* h) = nullptr;
};

// Indexed access into the C arrays FFmpeg hands out: the element, or its address. No range check.
template <typename T>
T PPtrIdx(T* AArray, int AIndex) {
    return AArray[AIndex];
}
template <typename T>
T* PtrIdx(T* AArray, int AIndex) {
    return AArray + AIndex;
}

// MKTAG (a | b << 8 | c << 16 | d << 24) is FFmpeg's own macro from libavutil/macros.h.
// True for 32..126.
bool isprint(uint8_t AByte);

// "UTC" for a zone without offset, else "UTC-01:00" for a zone one hour ahead of UTC (the sign is that
// of the standard bias, UTC minus local time).
std::string GetTimeZoneAbbreviation();
int64_t DateTimeToUnix(TDateTime ADateTime);
int64_t DateTimeToUnixEx(TDateTime ADateTime);
TDateTime UnixToDateTime(int64_t AUnixTime);

// "hh:mm:ss.zzz" of a duration in microseconds (5 ms added before cutting), "N/A" for no time.
std::string DurationToStr(int64_t ADuration);
std::string DurationToStr(int64_t ADuration, AVRational ATimeBase);
// Microseconds per frame; 40000 (25 fps) for an unknown rate.
int64_t GetFrameInterval(AVRational AFrameRate);
std::string GetMetaValue(const AVDictionary* ADict, const std::string& AKey, const std::string& ADefault);
std::string GetCodecName(const AVCodecContext* AContext, bool AEncoder);
std::string AVMediaTypeCaption(int AMediaType);
std::string AVPictureTypeCaption(int APictureType);

// Adds the protocol to FFmpeg's list unless one of that name is there. False when FFmpeg offers no
// protocol registration (FFmpeg 5.1 does not).
bool RegisterProtocol(TURLProtocol* AProtocol);
// The same for formats; raise std::logic_error "Assertion failure" when FFmpeg offers no registration.
void RegisterInputFormat(AVInputFormat* AFormat);
void RegisterOutputFormat(AVOutputFormat* AFormat);

// Mixes ALength bytes of ASource into ADest at AVolume (0..128); 0 leaves ADest unchanged.
void MixAudioU8(const uint8_t* ASource, uint8_t* ADest, int ALength, int AVolume);
void MixAudioS16(const uint8_t* ASource, uint8_t* ADest, int ALength, int AVolume);
void MixAudioS32(const uint8_t* ASource, uint8_t* ADest, int ALength, int AVolume);
