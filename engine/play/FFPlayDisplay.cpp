// Video output and audio visualisation: the output surface in the host window, the picture with its
// subtitles and borders, and the waves and spectrum views of an audio file. Everything here runs on
// the play thread.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>

#include "engine/base/FFLog.h"
#include "engine/load/FFAPI.h"
#include "engine/load/libsdl.h"
#include "engine/play/FFPlay.h"
#include "engine/play/FFPlayAudio.h"
#include "engine/play/FFPlayVideo.h"

extern "C" {
#include <libavcodec/avfft.h>
}

namespace {

constexpr int kWaveTriggerSpan = 1000;

int Wrap(int AIndex) {
    AIndex %= SAMPLE_ARRAY_SIZE;
    return AIndex < 0 ? AIndex + SAMPLE_ARRAY_SIZE : AIndex;
}

// The pixel format of an RGB surface in swscale's terms; none for a layout it has no name for.
AVPixelFormat SurfacePixelFormat(const SDL_PixelFormat& AFormat) {
    struct Layout {
        int Bits;
        Uint32 R, G, B;
        AVPixelFormat Format;
    };
    // Masks are of a pixel read as a native integer; the formats name bytes in memory (little-endian).
    static constexpr Layout kLayouts[] = {
        {32, 0xFF0000, 0x00FF00, 0x0000FF, AV_PIX_FMT_BGR0},
        {32, 0x0000FF, 0x00FF00, 0xFF0000, AV_PIX_FMT_RGB0},
        {24, 0xFF0000, 0x00FF00, 0x0000FF, AV_PIX_FMT_BGR24},
        {24, 0x0000FF, 0x00FF00, 0xFF0000, AV_PIX_FMT_RGB24},
        {16, 0xF800, 0x07E0, 0x001F, AV_PIX_FMT_RGB565},
        {16, 0x7C00, 0x03E0, 0x001F, AV_PIX_FMT_RGB555},
    };
    if constexpr (std::endian::native != std::endian::little) {
        return AV_PIX_FMT_NONE;
    }
    for (const Layout& l : kLayouts) {
        if (AFormat.BitsPerPixel == l.Bits && AFormat.Rmask == l.R && AFormat.Gmask == l.G &&
            AFormat.Bmask == l.B) {
            return l.Format;
        }
    }
    return AV_PIX_FMT_NONE;
}

SDL_Rect ToSDL(int x, int y, int w, int h) {
    SDL_Rect r;
    r.x = static_cast<Sint16>(x);
    r.y = static_cast<Sint16>(y);
    r.w = static_cast<Uint16>(std::max(w, 0));
    r.h = static_cast<Uint16>(std::max(h, 0));
    return r;
}

}  // namespace

void TCustomPlayer::fill_rectangle(int x, int y, int w, int h, uint32_t color, bool update) {
    std::lock_guard lock(sdlHost_->UpdateRectLock());
    SDL_Surface* screen = sdlHost_->Screen();
    if (!screen) {
        return;
    }
    SDL_Rect rect = ToSDL(x, y, w, h);
    FSDLLoader->SDL_FillRect(screen, &rect, color);
    if (update && w > 0 && h > 0) {
        FSDLLoader->SDL_UpdateRect(screen, x, y, static_cast<Uint32>(w), static_cast<Uint32>(h));
    }
}

void TCustomPlayer::fill_border(int xleft, int ytop, int width, int height, const TDisplayRect& inner,
                                uint32_t color, bool update) {
    const TBorderRects b = border_rects(xleft, ytop, width, height, inner);
    for (const TDisplayRect& r : b.r) {
        fill_rectangle(r.x, r.y, r.w, r.h, color, update);
    }
}

uint32_t TCustomPlayer::MapColour(uint32_t ARGB) {
    SDL_Surface* screen = sdlHost_->Screen();
    if (!screen) {
        return 0;
    }
    return FSDLLoader->SDL_MapRGB(screen->format, static_cast<Uint8>(ARGB >> 16),
                                  static_cast<Uint8>(ARGB >> 8), static_cast<Uint8>(ARGB));
}

int TCustomPlayer::video_open(TVideoState* is, bool force, const TVideoPicture* vp) {
    if (vp && vp->width > 0) {
        int w = 0;
        int h = 0;
        default_window_size(vp->width, vp->height, vp->sar, w, h);
        Fdefault_width = w;
        Fdefault_height = h;
    }
    int w = 0;
    int h = 0;
    if (is_full_screen && Ffs_screen_width > 0) {
        w = Ffs_screen_width;
        h = Ffs_screen_height;
    } else if (!is_full_screen && ScreenWidth >= 1) {
        w = ScreenWidth;
        h = ScreenHeight;
    } else {
        w = Fdefault_width;
        h = Fdefault_height;
    }
    w = std::min(w, kMaxVideoModeSide);
    SDL_Surface* screen = sdlHost_->Screen();
    if (screen && screen->w == is->width && screen->w == w && screen->h == is->height && screen->h == h &&
        !force) {
        return 0;
    }
    if (!sdlHost_->SetVideoMode(w, h)) {
        FFLogger().Log(this, llError, "SDL: could not set video mode.");
        return -1;
    }
    screen = KeepOverlayDepth(w, h);
    if (!sdlHost_->Embedded() && FSDLLoader->SDL_WM_SetCaption) {
        FSDLLoader->SDL_WM_SetCaption("Strevio", "Strevio");
    }
    if (!screen) {
        // A window without area: nothing is drawn until a resize gives it one.
        return 0;
    }
    is->width = screen->w;
    is->height = screen->h;
    fill_rectangle(is->xleft, is->ytop, is->width, is->height, MapColour(backColor_), true);
    wavesShown_.Valid = false;
    return 0;
}

// The display's own depth (bits 0) may be too small for YUV overlays: a display that reports fewer than
// 16 bits (SDL's headless driver reports 8) gets the same mode again at 32 bits. SDL keeps the one screen
// surface, so the host's surface stays the one in use.
SDL_Surface* TCustomPlayer::KeepOverlayDepth(int AWidth, int AHeight) {
    std::lock_guard lock(sdlHost_->UpdateRectLock());
    SDL_Surface* screen = sdlHost_->Screen();
    if (!screen || screen->format->BitsPerPixel >= 16) {
        return screen;
    }
    SDL_Surface* deeper =
        FSDLLoader->SDL_SetVideoMode(std::min(AWidth, kMaxVideoModeSide), AHeight, 32, kSDLVideoModeFlags);
    if (deeper != screen) {
        FFLogger().Log(this, llWarning, "SDL: the screen surface could not be given 32 bits per pixel.");
    }
    return sdlHost_->Screen();
}

void TCustomPlayer::video_display(TVideoState* is) {
    if (!sdlHost_->Screen()) {
        video_open(is, false, nullptr);
    }
    if (!sdlHost_->Screen()) {
        return;
    }
    if (is->audio_st && is->show_mode != SHOW_MODE_VIDEO) {
        video_audio_display(is);
    } else if (is->video_st) {
        video_image_display(is);
    }
}

void TCustomPlayer::video_image_display(TVideoState* is) {
    is->pictq_cindex = is->pictq_rindex.load();
    TVideoPicture* vp = &is->pictq[is->pictq_rindex];
    if (!vp->bmp) {
        return;
    }
    blend_current_subtitle(is, vp);
    const float aspect = output_aspect(aspectRatio_, is->width, is->height);
    const TDisplayRect rect = display_rect_for_picture(is->xleft, is->ytop, is->width, is->height, vp->width,
                                                       vp->height, vp->sar, aspect);
    sdlHost_->UpdateDisplayRect(rect.x, rect.y, rect.w, rect.h);
    {
        std::lock_guard lock(sdlHost_->UpdateRectLock());
        if (!sdlHost_->Screen()) {
            return;
        }
        if (!draw_picture_in_surface(is, vp, rect)) {
            SDL_Rect sdlRect = ToSDL(rect.x, rect.y, rect.w, rect.h);
            FSDLLoader->SDL_DisplayYUVOverlay(vp->bmp, &sdlRect);
        }
    }
    if (!(rect == is->last_display_rect) || is->force_refresh) {
        fill_border(is->xleft, is->ytop, is->width, is->height, rect, MapColour(backColor_), true);
        is->last_display_rect = rect;
    }
}

// A software overlay is converted by SDL in plain C, and one shown at another size than its own is first
// converted whole and then stretched. The display scaler puts the picture into the window's surface at
// the area's size instead. False when that cannot be done here (an overlay of the display hardware, a
// surface of another kind, a rectangle outside the surface): the overlay is then shown by SDL.
bool TCustomPlayer::draw_picture_in_surface(TVideoState* is, const TVideoPicture* vp,
                                            const TDisplayRect& rect) {
    SDL_Surface* screen = sdlHost_->Screen();
    if (vp->bmp->hw_overlay || !FSDLLoader->SDL_LockSurface || !FSDLLoader->SDL_UnlockSurface) {
        return false;
    }
    const AVPixelFormat format = SurfacePixelFormat(*screen->format);
    if (format == AV_PIX_FMT_NONE || rect.x < 0 || rect.y < 0 || rect.x + rect.w > screen->w ||
        rect.y + rect.h > screen->h) {
        return false;
    }
    if (FSDLLoader->SDL_LockSurface(screen) < 0) {
        return false;
    }
    const TDisplayScaler::TTarget target{static_cast<uint8_t*>(screen->pixels) +
                                             static_cast<ptrdiff_t>(rect.y) * screen->pitch +
                                             static_cast<ptrdiff_t>(rect.x) * screen->format->BytesPerPixel,
                                         screen->pitch,
                                         rect.w,
                                         rect.h,
                                         screen->format->BytesPerPixel,
                                         format};
    FSDLLoader->SDL_LockYUVOverlay(vp->bmp);
    TAVPicture picture;
    OverlayPicture(vp->bmp, picture);
    const bool drawn = is->display_scaler.Draw(picture, vp->width, vp->height, target);
    FSDLLoader->SDL_UnlockYUVOverlay(vp->bmp);
    FSDLLoader->SDL_UnlockSurface(screen);
    if (drawn) {
        FSDLLoader->SDL_UpdateRect(screen, rect.x, rect.y, static_cast<Uint32>(rect.w),
                                   static_cast<Uint32>(rect.h));
    }
    return drawn;
}

void TCustomPlayer::blend_current_subtitle(TVideoState* is, TVideoPicture* vp) {
    if (!is->subtitle_st) {
        return;
    }
    {
        std::lock_guard lock(is->subpq_mutex);
        if (is->subpq_size <= 0) {
            return;
        }
    }
    TSubPicture* sp = &is->subpq[is->subpq_rindex];
    if (!(vp->pts >= sp->pts + static_cast<float>(sp->sub.start_display_time) / 1000)) {
        return;
    }
    FSDLLoader->SDL_LockYUVOverlay(vp->bmp);
    TAVPicture pict;
    pict.data[0] = vp->bmp->pixels[0];
    pict.data[1] = vp->bmp->pixels[2];
    pict.data[2] = vp->bmp->pixels[1];
    pict.linesize[0] = vp->bmp->pitches[0];
    pict.linesize[1] = vp->bmp->pitches[2];
    pict.linesize[2] = vp->bmp->pitches[1];
    for (unsigned i = 0; i < sp->sub.num_rects; ++i) {
        blend_subtitle_rect(pict.data, pict.linesize, *sp->sub.rects[i], vp->bmp->w, vp->bmp->h);
    }
    FSDLLoader->SDL_UnlockYUVOverlay(vp->bmp);
}

// The audio views.

int TCustomPlayer::audio_view_start(TVideoState* is, int channels, int data_used, bool waves) {
    int index = 0;
    int writeBufSize = 0;
    // A copy of the samples the view reads, so that it does not hold up the audio callback: the delay
    // below reaches back at most the pending block and 2 x data_used frames, the trigger search 1000
    // samples further, and a trace runs data_used frames (plus 9 for the trigger's look-ahead) forward.
    audio_snapshot_samples(is, viewSamples_, index, writeBufSize, channels, 2 * data_used,
                           kWaveTriggerSpan + 10 * channels);
    if (is->paused) {
        return is->last_i_start;
    }
    int64_t delay = writeBufSize / (2 * channels);
    const int64_t callbackTime = Faudio_callback_time;
    if (callbackTime != 0) {
        const int64_t now = ff::av_gettime_relative();
        delay -= (now - callbackTime) * is->audio_tgt.freq / 1000000;
    }
    delay += 2 * data_used;
    if (delay < data_used) {
        delay = data_used;
    }
    int start = Wrap(static_cast<int>(index - delay * channels));
    if (waves) {
        int h = INT32_MIN;
        int i_start = start;
        for (int i = 0; i < kWaveTriggerSpan; i += channels) {
            const int idx = Wrap(i_start - i);
            const int a = viewSamples_[idx];
            const int b = viewSamples_[Wrap(idx + 4 * channels)];
            const int c = viewSamples_[Wrap(idx + 5 * channels)];
            const int d = viewSamples_[Wrap(idx + 9 * channels)];
            const int score = a - d;
            if (h < score && (b ^ c) < 0) {
                h = score;
                start = idx;
            }
        }
    }
    is->last_i_start = start;
    return start;
}

void TCustomPlayer::video_audio_display(TVideoState* is) {
    if (is->height < 5 || is->show_mode == SHOW_MODE_NONE) {
        return;
    }
    int rdft_bits = 1;
    while ((1 << rdft_bits) < 2 * is->height) {
        ++rdft_bits;
    }
    const int nb_freq = 1 << (rdft_bits - 1);
    const int channels = is->audio_tgt.channels > 0 ? is->audio_tgt.channels : 1;
    const bool waves = is->show_mode == SHOW_MODE_WAVES;
    const int data_used = waves ? is->width : 2 * nb_freq;
    const int start = audio_view_start(is, channels, data_used, waves);
    if (waves) {
        draw_waves(is, start, channels);
    } else {
        draw_spectrum(is, start, channels, rdft_bits, nb_freq);
    }
}

// The trace is an oscilloscope's: every column's bar may move each frame, but most frames leave many of
// them where they were, and a paused or silent file leaves all. So the bars of the new frame are worked
// out first and only the columns whose bar moved are repainted and pushed to the window; the whole area
// is drawn again when the screen may no longer hold the last frame (a forced refresh, a new surface, area
// or colours).
void TCustomPlayer::draw_waves(TVideoState* is, int start, int channels) {
    const int width = std::max(is->width, 0);
    const int h = is->height / channels;
    const int h2 = h * 9 / 20;
    waveBars_.resize(static_cast<size_t>(channels) * static_cast<size_t>(width));
    for (int ch = 0; ch < channels; ++ch) {
        int i = Wrap(start + ch);
        const int y1 = is->ytop + ch * h + h / 2;
        TWaveBar* bars = waveBars_.data() + static_cast<size_t>(ch) * static_cast<size_t>(width);
        for (int x = 0; x < width; ++x) {
            const int y = (viewSamples_[i] * h2) >> 15;
            bars[x] = y < 0 ? TWaveBar{y1 + y, -y} : TWaveBar{y1, y};
            i = Wrap(i + channels);
        }
    }
    std::lock_guard lock(sdlHost_->UpdateRectLock());
    SDL_Surface* screen = sdlHost_->Screen();
    if (!screen) {
        wavesShown_.Valid = false;
        return;
    }
    const uint32_t back = MapColour(backColor_);
    const uint32_t fore = MapColour(WaveColor);
    const TWavesShown& shown = wavesShown_;
    const bool same = shown.Valid && !is->force_refresh && shown.Screen == screen &&
                      shown.XLeft == is->xleft && shown.YTop == is->ytop && shown.Width == width &&
                      shown.Height == is->height && shown.Channels == channels && shown.Back == back &&
                      shown.Fore == fore;
    if (same) {
        draw_waves_changes(is, screen, back, fore);
    } else {
        draw_waves_whole(is, screen, channels, back, fore);
    }
}

namespace {

// Fills a rectangle of the screen surface without pushing it; the caller holds the update lock.
void FillOnScreen(TSDLLoader& ALoader, SDL_Surface* AScreen, int x, int y, int w, int h, uint32_t AColour) {
    if (w <= 0 || h <= 0) {
        return;
    }
    SDL_Rect rect = ToSDL(x, y, w, h);
    ALoader.SDL_FillRect(AScreen, &rect, AColour);
}

}  // namespace

void TCustomPlayer::draw_waves_whole(TVideoState* is, SDL_Surface* screen, int channels, uint32_t back,
                                     uint32_t fore) {
    const int width = std::max(is->width, 0);
    FillOnScreen(*FSDLLoader, screen, is->xleft, is->ytop, width, is->height, back);
    for (size_t k = 0; k < waveBars_.size(); ++k) {
        const int x = static_cast<int>(k % static_cast<size_t>(width));
        FillOnScreen(*FSDLLoader, screen, is->xleft + x, waveBars_[k].Top, 1, waveBars_[k].Height, fore);
    }
    const int h = is->height / channels;
    for (int ch = 1; ch < channels; ++ch) {
        FillOnScreen(*FSDLLoader, screen, is->xleft, is->ytop + ch * h, width, 1, fore);
    }
    if (width > 0 && is->height > 0) {
        FSDLLoader->SDL_UpdateRect(screen, is->xleft, is->ytop, static_cast<Uint32>(width),
                                   static_cast<Uint32>(is->height));
    }
    wavesShown_ =
        TWavesShown{true, screen, is->xleft, is->ytop, width, is->height, channels, back, fore, waveBars_};
}

void TCustomPlayer::draw_waves_changes(TVideoState* is, SDL_Surface* screen, uint32_t back, uint32_t fore) {
    const int width = wavesShown_.Width;
    const int channels = wavesShown_.Channels;
    int left = width;
    int right = -1;
    int top = INT32_MAX;
    int bottom = INT32_MIN;
    for (size_t k = 0; k < waveBars_.size(); ++k) {
        const TWaveBar was = wavesShown_.Bars[k];
        const TWaveBar now = waveBars_[k];
        if (was == now || (was.Height <= 0 && now.Height <= 0)) {
            continue;
        }
        const int x = static_cast<int>(k % static_cast<size_t>(width));
        FillOnScreen(*FSDLLoader, screen, is->xleft + x, was.Top, 1, was.Height, back);
        FillOnScreen(*FSDLLoader, screen, is->xleft + x, now.Top, 1, now.Height, fore);
        left = std::min(left, x);
        right = std::max(right, x);
        for (const TWaveBar& bar : {was, now}) {
            if (bar.Height > 0) {
                top = std::min(top, bar.Top);
                bottom = std::max(bottom, bar.Top + bar.Height);
            }
        }
    }
    wavesShown_.Bars.swap(waveBars_);
    if (right < left) {
        return;
    }
    // A bar of a very low band may reach a dividing line, which is drawn over the bars.
    const int h = is->height / channels;
    for (int ch = 1; ch < channels; ++ch) {
        FillOnScreen(*FSDLLoader, screen, is->xleft + left, is->ytop + ch * h, right - left + 1, 1, fore);
    }
    FSDLLoader->SDL_UpdateRect(screen, is->xleft + left, top, static_cast<Uint32>(right - left + 1),
                               static_cast<Uint32>(bottom - top));
}

void TCustomPlayer::draw_spectrum(TVideoState* is, int start, int channels, int rdft_bits, int nb_freq) {
    if (!is->no_background) {
        fill_rectangle(is->xleft, is->ytop, is->width, is->height, MapColour(backColor_), true);
        is->no_background = 1;
    }
    const int nb_display_channels = std::min(channels, 2);
    if (rdft_bits != is->rdft_bits) {
        free_audio_view(is);
        is->rdft = ff::av_rdft_init(rdft_bits, DFT_R2C);
        is->rdft_bits = rdft_bits;
        is->rdft_data = static_cast<float*>(ff::av_malloc(4 * static_cast<size_t>(nb_freq) * sizeof(float)));
    }
    if (!is->rdft || !is->rdft_data) {
        return;
    }
    float* data[2] = {is->rdft_data, is->rdft_data + 2 * nb_freq};
    for (int ch = 0; ch < nb_display_channels; ++ch) {
        int i = Wrap(start + ch);
        for (int x = 0; x < 2 * nb_freq; ++x) {
            const double w = static_cast<double>(x - nb_freq) / nb_freq;
            data[ch][x] = static_cast<float>(viewSamples_[i] * (1.0 - w * w));
            i = Wrap(i + channels);
        }
        ff::av_rdft_calc(is->rdft, data[ch]);
    }
    const double m = 1.0 / std::sqrt(static_cast<double>(nb_freq));
    const auto magnitude = [&](const float* d, int y) {
        const double re = d[2 * y];
        const double im = d[2 * y + 1];
        return std::min(255, static_cast<int>(std::lround(std::sqrt(m * std::sqrt(re * re + im * im)))));
    };
    for (int y = 0; y < is->height; ++y) {
        const int a = magnitude(data[0], y);
        const int b = nb_display_channels == 2 ? magnitude(data[1], y) : a;
        fill_rectangle(is->xpos, is->height - y, 1, 1,
                       MapColour(static_cast<uint32_t>(a << 16 | b << 8 | (a + b) / 2)), false);
    }
    {
        std::lock_guard lock(sdlHost_->UpdateRectLock());
        if (SDL_Surface* screen = sdlHost_->Screen(); screen && is->height > 0) {
            FSDLLoader->SDL_UpdateRect(screen, is->xpos, is->ytop, 1, static_cast<Uint32>(is->height));
        }
    }
    if (!is->paused) {
        ++is->xpos;
    }
    if (is->xpos >= is->width) {
        is->xpos = is->xleft;
    }
}

void TCustomPlayer::free_audio_view(TVideoState* is) {
    if (is->rdft && ff::av_rdft_end) {
        ff::av_rdft_end(is->rdft);
    }
    is->rdft = nullptr;
    if (is->rdft_data && ff::av_free) {
        ff::av_free(is->rdft_data);
    }
    is->rdft_data = nullptr;
    is->rdft_bits = 0;
}

// The owner's view of the output.

void TCustomPlayer::UpdateScreenPosition() {
    if (FVideoState) {
        sdlHost_->UpdateScreenPosition();
    }
}

TRect TCustomPlayer::DisplayToActualRect(const TRect& ADisplayRect) {
    return sdlHost_->DisplayToActualRect(ADisplayRect, FVideoState != nullptr, FFrameWidth, FFrameHeight);
}

// Freeing.

void TCustomPlayer::free_picture(TVideoPicture* vp) {
    if (vp->bmp) {
        FSDLLoader->SDL_FreeYUVOverlay(vp->bmp);
        vp->bmp = nullptr;
    }
}

// The video side of the file's close: the overlays, the subtitles, the scaler and the spectrum.
void TCustomPlayer::free_video_output(TVideoState* is) {
    for (TVideoPicture& vp : is->pictq) {
        free_picture(&vp);
    }
    for (TSubPicture& sp : is->subpq) {
        free_subtitle_picture(&sp);
    }
    if (is->img_convert_ctx && ff::sws_freeContext) {
        ff::sws_freeContext(is->img_convert_ctx);
    }
    is->img_convert_ctx = nullptr;
    is->display_scaler.Reset();
    free_audio_view(is);
}
