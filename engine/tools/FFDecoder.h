// The file information component, TCustomDecoder: it decodes nothing. It gives counts and first indexes
// of a file's streams, a record per stream, the file's programs and metadata. It opens a file itself, or
// adopts a context that the player opened; an adopted context is only read, never closed, seeked or
// decoded here. The frame decoder built on it, TFFDecoder, is in FrameDecoder.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/base/FFBaseComponent.h"
#include "engine/base/Myutils.h"

extern "C" {
#include <libavformat/avformat.h>
}

class TFFOptions;

// Fixed texts are zero-filled 8-bit arrays holding at most their size minus one characters.
struct TFileStreamInfo {
    int64_t StartTime = AV_NOPTS_VALUE;
    int64_t Duration = -1;
    int32_t BitRate = -1;
    int32_t Year = -1;
    int32_t Track = -1;
    char Title[256] = {};
    char Author[256] = {};
    char Copyright[256] = {};
    char Comment[256] = {};
    char Album[256] = {};
    char Genre[256] = {};
};

struct TAudioStreamInfo {
    char Language[32] = {};
    char CodecName[64] = {};
    int64_t StartTime = -1;
    int64_t StartTimeScaled = -1;
    int64_t Duration = -1;
    int64_t DurationScaled = -1;
    int32_t BitRate = -1;
    int32_t Channels = -1;
    int32_t SampleRate = -1;
    int32_t SampleFormat = -1;
};

struct TVideoStreamInfo {
    char Language[32] = {};
    char CodecName[64] = {};
    int64_t StartTime = -1;
    int64_t StartTimeScaled = -1;
    int64_t Duration = -1;
    int64_t DurationScaled = -1;
    int32_t BitRate = -1;
    int32_t Height = -1;
    int32_t Width = -1;
    float SampleAspectRatio = -1.0f;
    float DisplayAspectRatio = -1.0f;
    AVRational SAR{0, 1};
    AVRational DAR{0, 1};
    int32_t PixFmt = -1;
    AVRational FrameRate{0, 1};
};

struct TSubtitleStreamInfo {
    char Language[32] = {};
    char CodecName[64] = {};
    int32_t SubFormat = -1;  // 0 bitmap, 1 text, -1 unknown
};

class TCustomDecoder : public TFFBaseComponent {
public:
    TCustomDecoder();
    ~TCustomDecoder() override;
    TCustomDecoder(const TCustomDecoder&) = delete;
    TCustomDecoder& operator=(const TCustomDecoder&) = delete;

    bool AVLibLoaded();
    bool LoadAVLib(const TPathFileName& APath);
    void UnloadAVLib();
    // Raises std::runtime_error "Library %s not loaded." when the decoder's libraries are missing.
    void CheckLibAV();

    bool LoadFile(const TPathFileName& AFileName, const std::string& AFormatName = "");
    virtual void SetFileHandle(AVFormatContext* AFormatContext);
    virtual void CloseFile();
    virtual void RefreshStreamsInfo();
    // True when the held context may be decoded and seeked here; an adopted one raises
    // std::runtime_error "file cannot be seeked, handle is readonly.".
    bool CheckHandle();

    bool IsAudioStream(int AStreamIndex);
    bool IsVideoStream(int AStreamIndex);
    bool IsSubtitleStream(int AStreamIndex);

    AVFormatContext* FileHandle() const { return FFileHandle; }
    TPathFileName GetFileName();
    int64_t FileSize() const { return FFileSize; }
    const std::string& ForceFormat() const { return FForceFormat; }
    std::string GetFormatName();
    std::string GetFormatLongName();
    int StreamCount() const { return FStreamCount; }
    int ProgramCount() const { return FProgramCount; }
    int AudioStreamCount() const { return FAudioStreamCount; }
    int VideoStreamCount() const { return FVideoStreamCount; }
    int SubtitleStreamCount() const { return FSubtitleStreamCount; }
    int FirstAudioStreamIndex() const { return FFirstAudioStreamIndex; }
    int FirstVideoStreamIndex() const { return FFirstVideoStreamIndex; }
    int FirstSubtitleStreamIndex() const { return FFirstSubtitleStreamIndex; }
    const std::string& LastErrMsg() const { return FLastErrMsg; }

    TFileStreamInfo GetFileStreamInfo();
    // The multi-line description of the held file (FFFileInfoText.cpp); empty without a file.
    std::string GetFileInfoText();
    AVProgram GetProgrames(int Index);
    TAudioStreamInfo GetAudioStreamInfos(int Index);
    TVideoStreamInfo GetVideoStreamInfos(int Index);
    TSubtitleStreamInfo GetSubtitleStreamInfos(int Index);

    bool opt_default(const std::string& AName, const std::string& AValue);
    bool DefaultOptions(const std::string& AOptions);

    // The error path of the decoder family; ALevel is an FFmpeg log level number.
    void DoErrLog(int ALevel, const std::string& AMsg);
    void CallBeforeFindStreamInfo();

    bool TriggerEventInMainThread = true;
    TBeforeFindStreamInfoEvent OnBeforeFindStreamInfo;

protected:
    // The index is valid and names a stream of that type; logs why not.
    bool IsStreamOfType(int AStreamIndex, AVMediaType AType);
    // Validates a stream index for a typed getter; -1 means the first stream of that type.
    int CheckStreamIndex(int AIndex, AVMediaType AType);
    static int interrupt_callback(void* opaque);
    // Runs when LoadFile has opened a file and found its streams, before the options are made anew:
    // what a decoder that converts and seeks takes from them.
    virtual void FileLoaded() {}

    AVFormatContext* FFileHandle = nullptr;
    std::unique_ptr<TFFOptions> FOptions;
    bool FOwnHandle = false;
    std::string FLastErrMsg;
    std::string FForceFormat;
    int64_t FFileSize = -1;
    int32_t FStreamCount = -1;
    int32_t FProgramCount = -1;
    int32_t FAudioStreamCount = -1;
    int32_t FVideoStreamCount = -1;
    int32_t FSubtitleStreamCount = -1;
    int32_t FFirstAudioStreamIndex = -1;
    int32_t FFirstVideoStreamIndex = -1;
    int32_t FFirstSubtitleStreamIndex = -1;
    std::atomic<int64_t> FLastRead{0};
};
