// Video refresh and A/V sync: what the play loop asks of the player. Each pass decides which queued
// picture is shown when, against the master clock, and reports the position.
#include <algorithm>
#include <cmath>

#include "engine/base/BenchReport.h"
#include "engine/base/FFLog.h"
#include "engine/load/FFAPI.h"
#include "engine/load/libsdl.h"
#include "engine/play/FFPlay.h"
#include "engine/play/FFPlayVideo.h"

namespace {

constexpr double kAVSyncFramedupThreshold = 0.1;
constexpr double kFrameTimerResetGap = 0.1;
// How long sound waits for the first picture before it starts without it.
constexpr double kStartHoldLimit = 5.0;
constexpr double kStartPollSeconds = 0.005;

}  // namespace

// The play loop's view of the player.

bool TCustomPlayer::LockData(unsigned ATimeoutMs) {
    return FDataLock.WaitFor(ATimeoutMs) == platform::wrSignaled;
}

void TCustomPlayer::UnlockData() {
    FDataLock.Release();
}

bool TCustomPlayer::HasFile() {
    return FVideoState != nullptr;
}

bool TCustomPlayer::RefreshDue() {
    TVideoState* is = FVideoState;
    return is && (!is->paused || is->force_refresh || is->seek_paused || is->open_paused);
}

double TCustomPlayer::RefreshInterval() {
    const TVideoState* is = FVideoState;
    return is && !is->video_st && is->audio_st ? kSoundOnlyRefreshRate : kRefreshRate;
}

void TCustomPlayer::video_refresh(double& ARemainingTime) {
    if (TVideoState* is = FVideoState) {
        video_refresh(is, ARemainingTime);
    }
}

void TCustomPlayer::ForceRefresh() {
    if (TVideoState* is = FVideoState) {
        is->force_refresh = 1;
    }
}

void TCustomPlayer::ScreenResized(int AWidth, int AHeight) {
    KeepOverlayDepth(AWidth, AHeight);
    ScreenWidth = AWidth;
    ScreenHeight = AHeight;
    if (TVideoState* is = FVideoState) {
        is->width = AWidth;
        is->height = AHeight;
        is->no_background = 0;
        is->force_refresh = 1;
    }
}

void TCustomPlayer::SetLooping() {
    FLooping = true;
    // A quit asked for before the loop ran (a stop inside OnFileOpen) ends the file now.
    if (quitRequested_) {
        PushQuitEvent(nullptr);
    }
}

// The pass.

void TCustomPlayer::video_refresh(TVideoState* is, double& remaining_time) {
    if (!is->paused && master_sync_kind(is) == AV_SYNC_EXTERNAL_CLOCK && is->realtime) {
        adjust_external_clock_speed(is);
    }
    // Nothing is drawn into a window that cannot be seen; a paint when it shows again redraws.
    const bool onScreen = sdlHost_->HostOnScreen();
    if (!DisableDisplay && is->show_mode != SHOW_MODE_VIDEO && is->audio_st && onScreen) {
        const double time = GetSystemTime();
        if (is->force_refresh || is->last_vis_time + rdftspeed < time) {
            video_display(is);
            is->last_vis_time = time;
        }
        remaining_time = std::min(remaining_time, is->last_vis_time + rdftspeed - time);
    }
    check_start_hold(is);
    if (is->video_st && !refresh_picture(is, remaining_time, onScreen)) {
        return;
    }
    DoPosition();
    is->force_refresh = 0;
}

// Steps 4 to 7 of a pass: false when the picture is not yet due (the pass ends without a report).
bool TCustomPlayer::refresh_picture(TVideoState* is, double& remaining_time, bool AOnScreen) {
    if (!start_ready(is)) {
        remaining_time = std::min(remaining_time, kStartPollSeconds);
        return false;
    }
    bool seekflag = is->seek_done != 0;
    int redisplay = is->force_refresh ? pictq_prev_picture(is) : 0;
    // The picture's time against the sound at the moment it was due, kept for the one that is shown
    // (a picture dropped as late is not).
    double duePts = NAN;
    double masterAtDue = NAN;
    for (;;) {
        if (is->seek_done) {
            seekflag = true;
        }
        int size = 0;
        {
            std::lock_guard lock(is->pictq_mutex);
            size = is->pictq_size;
        }
        if (size == 0) {
            if (is->force_refresh) {
                video_display(is);
            }
            return true;
        }
        TVideoPicture* vp = &is->pictq[is->pictq_rindex];
        TVideoPicture* lastvp =
            &is->pictq[(is->pictq_rindex + VIDEO_PICTURE_QUEUE_SIZE - 1) % VIDEO_PICTURE_QUEUE_SIZE];
        if (is->seek_paused == 1) {
            vp->serial = -1;
        }
        if (vp->serial != is->videoq.serial) {
            pictq_next_picture(is);
            is->video_current_pos = -1;
            redisplay = 0;
            continue;
        }
        if (lastvp->serial != vp->serial && !redisplay) {
            is->frame_timer = GetSystemTime();
        }
        if (!is->paused) {
            const double last_duration = picture_duration(is, lastvp, vp);
            const double delay = redisplay ? 0.0 : target_delay(is, last_duration);
            const double time = GetSystemTime();
            if (is->frame_timer + delay > time && !redisplay) {
                remaining_time = std::min(is->frame_timer + delay - time, remaining_time);
                return false;
            }
            is->frame_timer = is->frame_timer + delay;
            const double due = is->frame_timer;
            if (delay > 0 && time - is->frame_timer > kFrameTimerResetGap) {
                is->frame_timer = time;
            }
            {
                std::lock_guard lock(is->pictq_mutex);
                duePts = NAN;
                if (!redisplay && !std::isnan(vp->pts)) {
                    update_video_clock(is, vp->pts, vp->pos, vp->serial);
                    duePts = vp->pts;
                    masterAtDue = master_clock_value_at(is, due);
                }
                size = is->pictq_size;
            }
            if (size > 1 && !is->step) {
                TVideoPicture* nextvp = &is->pictq[(is->pictq_rindex + 1) % VIDEO_PICTURE_QUEUE_SIZE];
                const double duration = picture_duration(is, vp, nextvp);
                const bool late = (redisplay || framedrop > 0 ||
                                   (framedrop < 0 && master_sync_kind(is) != AV_SYNC_VIDEO_MASTER)) &&
                                  time > is->frame_timer + duration && !is->IsDevice && !is->start_held;
                if (late || seekflag) {
                    duePts = NAN;
                    if (!redisplay) {
                        is->frame_drops_late = is->frame_drops_late + 1;
                    }
                    pictq_next_picture(is);
                    redisplay = 0;
                    continue;
                }
            }
            if (is->subtitle_st) {
                expire_subtitles(is);
            }
        } else {
            std::lock_guard lock(is->pictq_mutex);
            update_video_clock(is, vp->pts, vp->pos, vp->serial);
        }
        break;
    }
    if (!std::isnan(duePts)) {
        std::lock_guard lock(is->pictq_mutex);
        is->shown_pts = duePts;
        is->shown_master_at_due = masterAtDue;
        ++is->shown_count;
    }
    is->seek_paused = 0;
    // A file opened paused shows its first picture and reports the pause. Only this thread clears the mark
    // once it is set at the open (or a control call does): a decoder thread that wrote it too could set it
    // again after this clear, and the next pass would show a second picture.
    if (is->open_paused.exchange(0) != 0 && is->paused) {
        DoState(psPause);
    }
    is->pictq_cindex = is->pictq_rindex.load();
    if (!DisableDisplay && is->show_mode == SHOW_MODE_VIDEO && AOnScreen) {
        video_display(is);
    }
    note_picture_shown(is, &is->pictq[is->pictq_cindex]);
    pictq_next_picture(is);
    if (is->step && !is->paused && !is->force_refresh) {
        stream_toggle_pause(is);
    }
    return true;
}

// The clean start.

void TCustomPlayer::hold_start(TVideoState* is, bool AHold) {
    is->first_picture_time = NAN;
    is->first_picture_pts = NAN;
    is->first_sound_time = NAN;
    is->first_sound_pts = NAN;
    if (!AHold) {
        return;
    }
    std::lock_guard lock(is->start_hold_mutex);
    is->start_held_since = GetSystemTime();
    is->start_held = 1;
    if (is->audio_stream >= 0) {
        FSDLLoader->SDL_PauseAudio(1);
    }
}

void TCustomPlayer::release_start(TVideoState* is) {
    std::lock_guard lock(is->start_hold_mutex);
    if (is->start_held.exchange(0) && is->audio_stream >= 0) {
        FSDLLoader->SDL_PauseAudio(0);
    }
}

// The first picture is shown (and the sound started with it) as soon as it is decoded: with the sound
// held for it, it is due at once.
bool TCustomPlayer::start_ready(TVideoState* is) {
    if (!is->start_held || is->video_finished == is->videoq.serial) {
        return true;
    }
    std::lock_guard lock(is->pictq_mutex);
    return is->pictq_size >= 1;
}

// Sound does not wait for a picture that cannot come.
void TCustomPlayer::check_start_hold(TVideoState* is) {
    if (!is->start_held) {
        return;
    }
    if (!is->video_st || is->video_finished == is->videoq.serial) {
        release_start(is);
    } else if (GetSystemTime() - is->start_held_since > kStartHoldLimit) {
        FFLogger().Log(this, llWarning, "No picture came in time: the sound starts without it");
        release_start(is);
    }
}

void TCustomPlayer::note_picture_shown(TVideoState* is, const TVideoPicture* vp) {
    if (vp->serial != is->videoq.serial) {
        return;  // a picture of the run before a seek that has just come in
    }
    if (std::isnan(is->first_picture_time)) {
        is->first_picture_pts = vp->pts;
        is->first_picture_time = GetSystemTime();
        bench_report::Print("first_picture", is->first_picture_time, vp->pts);
    }
    release_start(is);
}

void TCustomPlayer::expire_subtitles(TVideoState* is) {
    for (;;) {
        int size = 0;
        {
            std::lock_guard lock(is->subpq_mutex);
            size = is->subpq_size;
        }
        if (size <= 0) {
            return;
        }
        TSubPicture* sp = &is->subpq[is->subpq_rindex];
        TSubPicture* sp2 = size > 1 ? &is->subpq[(is->subpq_rindex + 1) % SUBPICTURE_QUEUE_SIZE] : nullptr;
        const double clock = clock_pts(&is->vidclk);
        const bool current =
            sp->serial == is->subtitleq.serial &&
            clock <= sp->pts + static_cast<float>(sp->sub.end_display_time) / 1000 &&
            (!sp2 || clock <= sp2->pts + static_cast<float>(sp2->sub.start_display_time) / 1000);
        if (current) {
            return;
        }
        free_subtitle_picture(sp);
        is->subpq_rindex = (is->subpq_rindex + 1) % SUBPICTURE_QUEUE_SIZE;
        std::lock_guard lock(is->subpq_mutex);
        --is->subpq_size;
        is->subpq_cond.notify_all();
    }
}

double TCustomPlayer::target_delay(TVideoState* is, double delay) {
    TSyncFacts facts;
    const int master = master_sync_kind(is);
    facts.VideoMaster = master == AV_SYNC_VIDEO_MASTER;
    facts.ExternalMaster = master == AV_SYNC_EXTERNAL_CLOCK;
    facts.ExternalSpeed = clock_speed(&is->extclk);
    facts.MaxFrameDuration = is->max_frame_duration;
    if (!facts.VideoMaster) {
        facts.Diff = clock_value(&is->vidclk) - master_clock_value(is);
    }
    return compute_target_delay(delay, facts);
}

double TCustomPlayer::picture_duration(TVideoState* is, const TVideoPicture* vp,
                                       const TVideoPicture* nextvp) {
    return compute_picture_duration(*vp, *nextvp, is->max_frame_duration);
}

void TCustomPlayer::pictq_next_picture(TVideoState* is) {
    is->pictq_rindex = (is->pictq_rindex + 1) % VIDEO_PICTURE_QUEUE_SIZE;
    std::lock_guard lock(is->pictq_mutex);
    --is->pictq_size;
    is->pictq_cond.notify_all();
}

int TCustomPlayer::pictq_prev_picture(TVideoState* is) {
    const int prev_index = (is->pictq_rindex + VIDEO_PICTURE_QUEUE_SIZE - 1) % VIDEO_PICTURE_QUEUE_SIZE;
    TVideoPicture* prev = &is->pictq[prev_index];
    if (!prev->allocated || prev->serial != is->videoq.serial) {
        return 0;
    }
    std::lock_guard lock(is->pictq_mutex);
    int ret = 0;
    if (is->pictq_size < VIDEO_PICTURE_QUEUE_SIZE) {
        is->pictq_rindex = prev_index;
        ++is->pictq_size;
        ret = 1;
    }
    is->pictq_cond.notify_all();
    return ret;
}

void TCustomPlayer::update_video_clock(TVideoState* is, double pts, int64_t pos, int serial) {
    clock_set(&is->vidclk, pts, serial);
    clock_follow(&is->extclk, &is->vidclk);
    is->video_current_pos = pos;
}

// The position report of a pass: into the event ring, for the event thread to hand to the owner.
void TCustomPlayer::DoPosition() {
    TVideoState* is = FVideoState;
    if (!is) {
        return;
    }
    const TPositionStep step = ComputePosition(GatherPositionFacts(is, UseAudioPosition), FLastPTS);
    if (!step.Checked) {
        return;
    }
    FCurrentPTS = step.CurrentPTS;
    // After the end of a file with video was reported at the duration, the clock's last steps towards
    // it are not reported again (a seek back clears the end).
    const bool endReported = is->video_st && is->EndEventDone;
    if (step.Report && !endReported) {
        FLastPTS = step.LastReported;
        if (OnPosition) {
            FPlayEvent.PushPosition(step.Position);
        }
    }
    // The reading has ended; with video the file ends once its last picture has been shown (an owner
    // that stops at the end would otherwise cut the last pictures), and the end is reported at the
    // duration.
    if (step.End && LastPictureShown(is)) {
        if (step.SetEndEventDone) {
            is->EndEventDone = 1;
        }
        if (is->video_st && is->FileDuration > 0 && FLastPTS != is->FileDuration) {
            FLastPTS = is->FileDuration;
            if (OnPosition) {
                FPlayEvent.PushPosition(is->FileDuration);
            }
        }
        bench_report::Print("file_end", GetSystemTime(), NAN);
        DoState(psEnd);
    }
    ApplyPlayTime(is, step.Position);
}

// The play-time limit, checked at every position while it is reached. A position from before a pending or
// unfinished seek is not checked: it would ask for the same seek again before the first one is shown.
void TCustomPlayer::ApplyPlayTime(TVideoState* is, int64_t APosition) {
    if (PlayTime == AV_NOPTS_VALUE || is->seek_req) {
        return;
    }
    if (std::isnan(is->video_st ? clock_value(&is->vidclk) : clock_value(&is->audclk))) {
        return;
    }
    const TPlayTimeAction action = PlayTimeAction(APosition, StartTime(), PlayTime, RepeatType);
    if (action.Stop) {
        Stop(false);
    }
    if (action.Pause) {
        Pause();
    }
    if (action.Seek) {
        Seek(action.SeekTo, action.SeekFlags, false);
    }
}

bool TCustomPlayer::LastPictureShown(TVideoState* is) {
    if (!is->video_st) {
        return true;
    }
    std::lock_guard lock(is->pictq_mutex);
    return is->video_finished == is->videoq.serial && is->pictq_size == 0;
}
