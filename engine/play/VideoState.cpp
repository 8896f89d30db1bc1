#include "engine/play/VideoState.h"

#include <unistd.h>

#include <algorithm>

#include "engine/load/FFAPI.h"
#include "engine/play/FFPlayAudio.h"

namespace {

constexpr double kExternalClockMinFrames = 2;
constexpr double kExternalClockMaxFrames = 10;
constexpr double kExternalClockSpeedMin = 0.900;
constexpr double kExternalClockSpeedMax = 1.010;
constexpr double kExternalClockSpeedStep = 0.001;

int ChooseMaster(TVideoState* is) {
    const bool hasVideo = is->video_st.load() != nullptr;
    const bool hasAudio = is->audio_st.load() != nullptr;
    switch (is->av_sync_type.load()) {
        case AV_SYNC_VIDEO_MASTER:
            return hasVideo ? AV_SYNC_VIDEO_MASTER : hasAudio ? AV_SYNC_AUDIO_MASTER : AV_SYNC_EXTERNAL_CLOCK;
        case AV_SYNC_AUDIO_MASTER:
            return hasAudio ? AV_SYNC_AUDIO_MASTER : hasVideo ? AV_SYNC_VIDEO_MASTER : AV_SYNC_EXTERNAL_CLOCK;
        default:
            return AV_SYNC_EXTERNAL_CLOCK;
    }
}

}  // namespace

TFileThread::TFileThread(std::string AName, std::function<void()> ARoutine)
    : platform::TThread(std::move(AName)), routine_(std::move(ARoutine)) {}

TFileThread::~TFileThread() {
    TerminateAndWait();
}

void TFileThread::Execute() {
    routine_();
}

void TDictionaryDeleter::operator()(AVDictionary* dict) const {
    if (dict && ff::av_dict_free) {
        ff::av_dict_free(&dict);
    }
}

void TCodecContextDeleter::operator()(AVCodecContext* ctx) const {
    if (ctx && ff::avcodec_free_context) {
        ff::avcodec_free_context(&ctx);
    }
}

TVideoState::~TVideoState() {
    abort_request = 1;
    packet_queue_abort(&videoq);
    packet_queue_abort(&audioq);
    packet_queue_abort(&subtitleq);
    continue_read_thread.Notify();
    // The audio callback reads this record until its device is closed.
    audio_component_close(this);
    video_tid.reset();
    subtitle_tid.reset();
    read_tid.reset();
    close_input_fd();
}

void TVideoState::close_input_fd() {
    if (input_fd >= 0) {
        close(input_fd);
        input_fd = -1;
    }
}

int master_sync_kind(TVideoState* is) {
    if (!is->av_sync_type_ok) {
        is->master_sync_type = ChooseMaster(is);
        is->av_sync_type_ok = 1;
    }
    return is->master_sync_type;
}

double master_clock_value(TVideoState* is) {
    return master_clock_value_at(is, GetSystemTime());
}

double master_clock_value_at(TVideoState* is, double ATime) {
    switch (master_sync_kind(is)) {
        case AV_SYNC_VIDEO_MASTER:
            return clock_value_at(&is->vidclk, ATime);
        case AV_SYNC_AUDIO_MASTER:
            return clock_value_at(&is->audclk, ATime);
        default:
            return clock_value_at(&is->extclk, ATime);
    }
}

void adjust_external_clock_speed(TVideoState* is) {
    const bool hasVideo = is->video_stream >= 0;
    const bool hasAudio = is->audio_stream >= 0;
    const int videoPackets = is->videoq.nb_packets;
    const int audioPackets = is->audioq.nb_packets;
    const double speed = clock_speed(&is->extclk);
    double next = speed;
    if ((hasVideo && videoPackets <= kExternalClockMinFrames) ||
        (hasAudio && audioPackets <= kExternalClockMinFrames)) {
        next = std::max(kExternalClockSpeedMin, speed - kExternalClockSpeedStep);
    } else if ((!hasVideo || videoPackets > kExternalClockMaxFrames) &&
               (!hasAudio || audioPackets > kExternalClockMaxFrames)) {
        next = std::min(kExternalClockSpeedMax, speed + kExternalClockSpeedStep);
    } else if (speed != 1.0) {
        next = speed + kExternalClockSpeedStep * (1.0 - speed) / std::fabs(1.0 - speed);
    } else {
        return;
    }
    clock_set_speed(&is->extclk, next);
}
