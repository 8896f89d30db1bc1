// Playback control operations: each checks that a file is open, then sets a request in the file's
// record for the read thread or the play thread, or reports a state.
#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

#include "engine/base/FFLog.h"
#include "engine/base/FFOptions.h"
#include "engine/load/FFAPI.h"
#include "engine/load/FFLoad.h"
#include "engine/load/libsdl.h"
#include "engine/play/FFPlay.h"
#include "engine/play/FFPlayVideo.h"
#include "engine/play/PlayEvent.h"

void TCustomPlayer::Pause() {
    const std::shared_ptr<TVideoState> file = HeldFile();
    TVideoState* is = file.get();
    if (is && !is->paused) {
        stream_toggle_pause(is);
        is->step = 0;
        DoState(psPause);
    }
}

void TCustomPlayer::Resume() {
    const std::shared_ptr<TVideoState> file = HeldFile();
    TVideoState* is = file.get();
    if (is && is->paused) {
        stream_toggle_pause(is);
        is->step = 0;
        DoState(psResume);
    }
}

void TCustomPlayer::TogglePause() {
    const std::shared_ptr<TVideoState> file = HeldFile();
    TVideoState* is = file.get();
    if (is) {
        stream_toggle_pause(is);
        is->step = 0;
        DoState(is->paused ? psPause : psResume);
    }
}

void TCustomPlayer::StepToNextFrame() {
    const std::shared_ptr<TVideoState> file = HeldFile();
    TVideoState* is = file.get();
    if (!is) {
        return;
    }
    is->open_paused = 0;
    is->seek_paused = 0;
    if (is->paused) {
        stream_toggle_pause(is);
    }
    const bool wasStepping = is->step != 0;
    is->step = 1;
    if (!wasStepping) {
        DoState(psStep);
    }
}

void TCustomPlayer::SetShowMode(TShowMode AValue) {
    showMode_ = AValue;
    const std::shared_ptr<TVideoState> is = HeldFile();
    if (!is) {
        return;
    }
    int mode = AValue;
    if (mode == smDefault) {
        mode = is->video_st.load() ? smVideo : smWaves;
    }
    if (mode != is->show_mode) {
        is->show_mode = mode;
        // The output area is repainted with BackColor by the video output on the forced refresh.
        is->no_background = 0;
        is->force_refresh = 1;
    }
}

void TCustomPlayer::ToggleAudioDisplay() {
    if (const std::shared_ptr<TVideoState> is = HeldFile()) {
        SetShowMode(static_cast<TShowMode>(is->show_mode % 4 + 1));
    }
}

void TCustomPlayer::Seek(const int64_t& APTS, TSeekFlags ASeekFlags, bool AWaitForSeekEnd) {
    const std::shared_ptr<TVideoState> file = HeldFile();
    TVideoState* is = file.get();
    if (!is || APTS == AV_NOPTS_VALUE) {
        return;
    }
    if (ASeekFlags.Contains(sfByte)) {
        stream_seek(is, APTS, 0, ASeekFlags, AWaitForSeekEnd);
        return;
    }
    int64_t duration = AV_NOPTS_VALUE;
    int64_t start = AV_NOPTS_VALUE;
    {
        // The input's facts are read under the data lock: the file's close frees the input.
        TFileCall call(*this, "Seek");
        if (call.get() != is) {
            return;
        }
        if (const AVFormatContext* ic = is->ic) {
            duration = ic->duration;
            start = ic->start_time;
        }
    }
    int64_t target = (duration > 0 && APTS > duration) ? duration : APTS;
    if (start != AV_NOPTS_VALUE && start != 0) {
        target += start;
        if (APTS == 0) {
            // Half a frame before the start, so that the first picture is not skipped.
            target -= std::llround(is->frame_delay / 2 * 1000000);
        }
    }
    stream_seek(is, target, 0, ASeekFlags, AWaitForSeekEnd);
}

void TCustomPlayer::Seek(const double& ADelta, TSeekFlags ASeekFlags, bool AWaitForSeekEnd) {
    const std::shared_ptr<TVideoState> file = HeldFile();
    TVideoState* is = file.get();
    if (!is) {
        return;
    }
    if (ASeekFlags.Contains(sfByte)) {
        int64_t bitRate = 0;
        int64_t here = 0;
        {
            // The input is read under the data lock: the file's close frees it.
            TFileCall call(*this, "Seek");
            if (call.get() != is) {
                return;
            }
            bitRate = is->ic ? is->ic->bit_rate : 0;
            here = is->ic && is->ic->pb ? ff::avio_seek(is->ic->pb, 0, SEEK_CUR) : 0;
        }
        const double increment =
            bitRate != 0 ? ADelta * static_cast<double>(bitRate) / 8.0 : ADelta * 180000.0;
        const double position = static_cast<double>(here) + increment;
        stream_seek(is, std::llround(position), std::llround(increment), ASeekFlags, AWaitForSeekEnd);
        return;
    }
    double position = is->video_stream >= 0 ? clock_value(&is->vidclk) : master_clock_value(is);
    if (std::isnan(position)) {
        position = static_cast<double>(is->seek_pos / 1000000);
    }
    position += ADelta;
    stream_seek(is, std::llround(position * 1000000), std::llround(ADelta * 1000000), ASeekFlags,
                AWaitForSeekEnd);
}

void TCustomPlayer::FlushQueue() {
    if (const std::shared_ptr<TVideoState> is = HeldFile()) {
        is->flush_req = 1;
        is->continue_read_thread.Notify();
    }
}

bool TCustomPlayer::SendFilterCommand(AVFilterGraph* graph, const std::string& target, const std::string& cmd,
                                      const std::string& arg, int flags) {
    if (!graph) {
        DoErrLog("filter is not available");
        return false;
    }
    FFLogger().Log(this, llVerbose,
                   Format("Sending filter command target:%s cmd:%s arg:%s flags:%d", target.c_str(),
                          cmd.c_str(), arg.c_str(), flags));
    std::vector<char> response(4096, '\0');
    const int ret = ff::avfilter_graph_send_command(graph, target.c_str(), cmd.c_str(),
                                                    arg.empty() ? nullptr : arg.c_str(), response.data(),
                                                    static_cast<int>(response.size()), flags);
    if (ret < 0 || response[0] != '\0') {
        FFLogger().Log(this, llInfo, Format("Command reply: ret:%d response:%s", ret, response.data()));
    }
    if (ret < 0) {
        DoErrLog(print_error("avfilter_graph_send_command() failed", ret));
        return false;
    }
    return true;
}

bool TCustomPlayer::QueueFilterCommand(AVFilterGraph* graph, const std::string& target,
                                       const std::string& cmd, const std::string& arg, int flags,
                                       double pts) {
    if (!graph) {
        DoErrLog("filter is not available");
        return false;
    }
    FFLogger().Log(this, llVerbose,
                   Format("Queueing filter command target:%s cmd:%s arg:%s time:%f flags:%d", target.c_str(),
                          cmd.c_str(), arg.c_str(), pts, flags));
    const int ret = ff::avfilter_graph_queue_command(graph, target.c_str(), cmd.c_str(),
                                                     arg.empty() ? nullptr : arg.c_str(), flags, pts);
    if (ret < 0) {
        DoErrLog(print_error("avfilter_graph_queue_command() failed", ret));
        return false;
    }
    return true;
}

namespace {

// The graphs are read under the data lock (a TFileCall), which the file's close takes before it frees
// them, and under the record's filter_command_lock, which their runners hold.
AVFilterGraph* VideoGraph(TVideoState* is) {
    return is ? is->FilterGraph.load() : nullptr;
}

AVFilterGraph* AudioGraph(TVideoState* is) {
    return is ? is->agraph.load() : nullptr;
}

}  // namespace

bool TCustomPlayer::SendVideoFilterCommand(const std::string& target, const std::string& cmd,
                                           const std::string& arg, int flags) {
    TFileCall is(*this, "SendVideoFilterCommand");
    std::unique_lock<std::mutex> graphLock;
    if (is) {
        graphLock = std::unique_lock(is->filter_command_lock);
    }
    return SendFilterCommand(VideoGraph(is.get()), target, cmd, arg, flags);
}

bool TCustomPlayer::SendAudioFilterCommand(const std::string& target, const std::string& cmd,
                                           const std::string& arg, int flags) {
    TFileCall is(*this, "SendAudioFilterCommand");
    std::unique_lock<std::mutex> graphLock;
    if (is) {
        graphLock = std::unique_lock(is->filter_command_lock);
    }
    return SendFilterCommand(AudioGraph(is.get()), target, cmd, arg, flags);
}

bool TCustomPlayer::QueueVideoFilterCommand(const std::string& target, const std::string& cmd,
                                            const std::string& arg, int flags, double pts) {
    TFileCall is(*this, "QueueVideoFilterCommand");
    std::unique_lock<std::mutex> graphLock;
    if (is) {
        graphLock = std::unique_lock(is->filter_command_lock);
    }
    return QueueFilterCommand(VideoGraph(is.get()), target, cmd, arg, flags, pts);
}

bool TCustomPlayer::QueueAudioFilterCommand(const std::string& target, const std::string& cmd,
                                            const std::string& arg, int flags, double pts) {
    TFileCall is(*this, "QueueAudioFilterCommand");
    std::unique_lock<std::mutex> graphLock;
    if (is) {
        graphLock = std::unique_lock(is->filter_command_lock);
    }
    return QueueFilterCommand(AudioGraph(is.get()), target, cmd, arg, flags, pts);
}

TBitmap& TCustomPlayer::CurrentFrame() {
    int64_t pts = 0;
    return CurrentFrame(pts);
}

TBitmap& TCustomPlayer::CurrentFrame(int64_t& APTS) {
    TBitmap& bitmap = FRGBConverter.Bitmap();
    TFileCall is(*this, "CurrentFrame");
    AVCodecContext* video = is && is->video_stream >= 0 ? is->video_avctx.get() : nullptr;
    {
        std::lock_guard canvas(bitmap);
        if (video) {
            bitmap.SetSize(video->width, video->height);
            if (uint8_t* bits = bitmap.Bits()) {
                std::fill(bits, bits + static_cast<size_t>(bitmap.BytesPerLine()) * bitmap.Height(), 0);
            }
        } else {
            bitmap.SetSize(0, 0);
        }
    }
    APTS = -1;
    if (video) {
        // The call holds the data lock, which the play thread holds for each pass and event: meanwhile
        // the slot shown last is neither passed on nor refilled nor given a new overlay.
        ConvertShownPicture(is.get(), APTS);
    }
    return bitmap;
}

// Before the first picture of the file is shown there is no picture and so no time.
void TCustomPlayer::ConvertShownPicture(TVideoState* is, int64_t& APTS) {
    const int index = is->pictq_cindex;
    if (index < 0) {
        return;
    }
    TVideoPicture* vp = &is->pictq[index];
    APTS = std::isnan(vp->pts) ? -1 : HookTime(vp->pts, is->StartTime);
    if (!vp->bmp) {
        return;
    }
    std::lock_guard canvas(FRGBConverter.Bitmap());
    FSDLLoader->SDL_LockYUVOverlay(vp->bmp);
    TAVPicture picture;
    OverlayPicture(vp->bmp, picture);
    if (!FRGBConverter.PictureToRGB(picture, AV_PIX_FMT_YUV420P, vp->width, vp->height)) {
        FRGBConverter.Bitmap().SetSize(0, 0);
    }
    FSDLLoader->SDL_UnlockYUVOverlay(vp->bmp);
}

int TCustomPlayer::VideoHookBitsPixel() const {
    if (FRGBConverter.BitsPixel() != FHookConverter.BitsPixel()) {
        throw std::logic_error("Assertion failure");
    }
    return FRGBConverter.BitsPixel();
}

void TCustomPlayer::SetVideoHookBitsPixel(int AValue) {
    FRGBConverter.SetBitsPixel(AValue);
    FHookConverter.SetBitsPixel(AValue);
}

bool TCustomPlayer::opt_default(const std::string& opt, const std::string& arg) {
    if (!FFLoader().Loaded(CPlayerLibraries)) {
        DoErrLog("FFmpeg libraries not loaded.");
        return false;
    }
    std::lock_guard lock(optionsLock_);
    if (FOptions->opt_default(opt, arg) < 0) {
        SetLastErrMsg(GOptionError.empty() ? print_error(opt, AVERROR_OPTION_NOT_FOUND) : GOptionError);
        return false;
    }
    return true;
}

bool TCustomPlayer::DefaultOptions(const std::string& AOptions) {
    return ParseDefaultOptions(this, AOptions, [this](const std::string& AName, const std::string& AValue) {
        return opt_default(AName, AValue);
    });
}
