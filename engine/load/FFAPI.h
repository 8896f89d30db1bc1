// The FFmpeg and C run-time entry points that the engine calls, bound by name at run time.
//
// Each library has one list. REQ(name) binds the function of that name with the headers' own type;
// OPT(name, type) binds one that a library may lack (its type is spelled out, as FFmpeg 5.1's headers no
// longer declare some of them). Adding an entry point is one line in its library's list; the pointer
// ff::name (or crt::name) then exists and the loader binds and clears it with its library.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/avfft.h>
#include <libavdevice/avdevice.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/avstring.h>
#include <libavutil/avutil.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/mathematics.h>
#include <libavutil/opt.h>
#include <libavutil/parseutils.h>
#include <libavutil/pixdesc.h>
#include <libavutil/samplefmt.h>
#include <libavutil/time.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

struct TURLProtocol;

namespace ff {

// Types of entry points that FFmpeg 5.1's headers no longer declare.
using lockmgr_cb_t = int (*)(void** mutex, int op);
using av_lockmgr_register_t = int (*)(lockmgr_cb_t cb);
using ffurl_protocol_next_t = TURLProtocol* (*)(const TURLProtocol* prev);
using ffurl_register_protocol_t = int (*)(TURLProtocol* protocol);
using av_iformat_next_t = AVInputFormat* (*)(const AVInputFormat* prev);
using av_register_input_format_t = void (*)(AVInputFormat* format);
using av_oformat_next_t = AVOutputFormat* (*)(const AVOutputFormat* prev);
using av_register_output_format_t = void (*)(AVOutputFormat* format);
using ff_guess_image2_codec_t = AVCodecID (*)(const char* filename);

}  // namespace ff

// clang-format off
#define STREVIO_AVCODEC_API(REQ, OPT)        \
    REQ(avcodec_version)                     \
    REQ(avcodec_get_class)                   \
    REQ(avcodec_find_decoder)                \
    REQ(avcodec_find_encoder)                \
    REQ(avcodec_alloc_context3)              \
    REQ(avcodec_free_context)                \
    REQ(avcodec_parameters_to_context)       \
    REQ(avcodec_get_name)                    \
    REQ(avcodec_find_decoder_by_name)        \
    REQ(avcodec_open2)                       \
    REQ(avcodec_descriptor_get)              \
    REQ(avcodec_string)                      \
    REQ(av_packet_alloc)                     \
    REQ(av_packet_free)                      \
    REQ(av_packet_ref)                       \
    REQ(av_packet_unref)                     \
    REQ(av_packet_move_ref)                  \
    REQ(av_new_packet)                       \
    REQ(avcodec_decode_subtitle2)         \
    REQ(avsubtitle_free)                  \
    REQ(av_rdft_init)                     \
    REQ(av_rdft_calc)                     \
    REQ(av_rdft_end)                      \
    OPT(av_lockmgr_register, ff::av_lockmgr_register_t) \
    REQ(avcodec_send_packet) \
    REQ(avcodec_receive_frame) \
    REQ(avcodec_flush_buffers)

#define STREVIO_AVDEVICE_API(REQ, OPT) \
    REQ(avdevice_version)              \
    REQ(avdevice_register_all)

#define STREVIO_AVFILTER_API(REQ, OPT) \
    REQ(avfilter_version)              \
    REQ(avfilter_get_by_name)          \
    REQ(avfilter_graph_alloc)          \
    REQ(av_buffersink_get_frame_rate) \
    REQ(av_buffersink_get_w)        \
    REQ(av_buffersink_get_h)        \
    REQ(av_buffersink_get_format)   \
    REQ(avfilter_graph_send_command)   \
    REQ(avfilter_graph_queue_command)  \
    REQ(avfilter_graph_free) \
    REQ(avfilter_graph_create_filter) \
    REQ(avfilter_graph_parse_ptr) \
    REQ(avfilter_graph_config) \
    REQ(avfilter_link) \
    REQ(avfilter_inout_alloc) \
    REQ(avfilter_inout_free) \
    REQ(av_buffersrc_add_frame) \
    REQ(av_buffersink_get_frame_flags) \
    REQ(av_buffersink_get_time_base) \
    REQ(av_buffersink_get_sample_rate) \
    REQ(av_buffersink_get_ch_layout)

#define STREVIO_AVFORMAT_API(REQ, OPT)                                  \
    REQ(avformat_version)                                               \
    REQ(avformat_get_class)                                             \
    REQ(avformat_alloc_context)                                         \
    REQ(avformat_free_context)                                          \
    REQ(avformat_open_input)                                            \
    REQ(avformat_close_input)                                           \
    REQ(avformat_find_stream_info)                                      \
    REQ(avformat_new_stream)                                            \
    REQ(avformat_match_stream_specifier)                                \
    REQ(av_find_input_format)                                           \
    REQ(avio_alloc_context)                                             \
    REQ(avio_context_free)                                              \
    REQ(av_read_frame)                                                  \
    REQ(av_read_pause)                                                  \
    REQ(av_read_play)                                                   \
    REQ(avformat_seek_file)                                             \
    REQ(av_seek_frame)                                                  \
    REQ(avio_feof)                                                      \
    REQ(av_find_best_stream)                                            \
    REQ(av_guess_sample_aspect_ratio)                                   \
    REQ(av_guess_frame_rate)                                         \
    REQ(av_stream_get_codec_timebase)                                   \
    REQ(av_find_program_from_stream)                                    \
    REQ(avio_size)                                                      \
    REQ(avio_seek)                                                      \
    REQ(avio_flush)                                                     \
    OPT(ffurl_protocol_next, ff::ffurl_protocol_next_t)                 \
    OPT(ffurl_register_protocol, ff::ffurl_register_protocol_t)         \
    OPT(av_iformat_next, ff::av_iformat_next_t)                         \
    OPT(av_register_input_format, ff::av_register_input_format_t)       \
    OPT(av_oformat_next, ff::av_oformat_next_t)                         \
    OPT(av_register_output_format, ff::av_register_output_format_t)     \
    OPT(ff_guess_image2_codec, ff::ff_guess_image2_codec_t)

#define STREVIO_AVUTIL_API(REQ, OPT) \
    REQ(avutil_version)              \
    REQ(av_log)                      \
    REQ(av_log_set_callback)         \
    REQ(av_log_default_callback)     \
    REQ(av_log_set_level)            \
    REQ(av_log_get_level)            \
    REQ(av_log_set_flags)            \
    REQ(av_log_get_flags)            \
    REQ(av_default_item_name)        \
    REQ(av_malloc)                   \
    REQ(av_mallocz)                  \
    REQ(av_free)                     \
    REQ(av_freep)                    \
    REQ(av_strdup)                   \
    REQ(av_strcasecmp)               \
    REQ(av_strerror)                 \
    REQ(av_dict_get)                 \
    REQ(av_dict_set)                 \
    REQ(av_dict_copy)                \
    REQ(av_dict_count)               \
    REQ(av_parse_time)               \
    REQ(av_dict_free)                \
    REQ(av_opt_find)                 \
    REQ(av_opt_set)                  \
    REQ(av_opt_get)                  \
    REQ(av_rescale_q)                \
    REQ(av_opt_get_int)              \
    REQ(av_reduce)                   \
    REQ(av_gettime_relative)         \
    REQ(av_get_media_type_string)    \
    REQ(av_image_get_buffer_size)    \
    REQ(av_image_fill_arrays)        \
    REQ(av_get_pix_fmt) \
    REQ(av_frame_copy_props) \
    REQ(av_get_pix_fmt_name) \
    REQ(av_image_copy) \
    REQ(av_image_alloc) \
    REQ(av_frame_alloc) \
    REQ(av_frame_free) \
    REQ(av_frame_unref) \
    REQ(av_frame_move_ref) \
    REQ(av_fast_malloc) \
    REQ(av_opt_set_int) \
    REQ(av_opt_set_bin) \
    REQ(av_get_sample_fmt_name) \
    REQ(av_get_packed_sample_fmt) \
    REQ(av_get_bytes_per_sample) \
    REQ(av_samples_get_buffer_size) \
    REQ(av_channel_layout_default) \
    REQ(av_channel_layout_from_mask) \
    REQ(av_channel_layout_describe) \
    REQ(av_channel_layout_uninit) \
    REQ(av_channel_layout_compare)

#define STREVIO_SWRESAMPLE_API(REQ, OPT) \
    REQ(swresample_version)              \
    REQ(swr_get_class)                   \
    REQ(swr_alloc)                       \
    REQ(swr_free) \
    REQ(swr_alloc_set_opts2) \
    REQ(swr_init) \
    REQ(swr_convert) \
    REQ(swr_set_compensation)

#define STREVIO_SWSCALE_API(REQ, OPT) \
    REQ(swscale_version)              \
    REQ(sws_get_class)                \
    REQ(sws_getContext)               \
    REQ(sws_freeContext)              \
    REQ(sws_getCachedContext)         \
    REQ(sws_scale)

// The C run-time functions that the engine's FFmpeg glue calls through the loader.
#define STREVIO_CRT_API(REQ, OPT) \
    REQ(vsnprintf)                \
    REQ(strlen)                   \
    REQ(strcmp)                   \
    REQ(strncmp)                  \
    REQ(memcpy)                   \
    REQ(memset)                   \
    REQ(fopen)                    \
    REQ(fclose)                   \
    REQ(fread)                    \
    REQ(fwrite)                   \
    REQ(fseek)                    \
    REQ(ftell)
// clang-format on

#define STREVIO_DECLARE_REQ(name) extern decltype(&::name) name;
#define STREVIO_DECLARE_OPT(name, type) extern type name;

namespace ff {
STREVIO_AVCODEC_API(STREVIO_DECLARE_REQ, STREVIO_DECLARE_OPT)
STREVIO_AVDEVICE_API(STREVIO_DECLARE_REQ, STREVIO_DECLARE_OPT)
STREVIO_AVFILTER_API(STREVIO_DECLARE_REQ, STREVIO_DECLARE_OPT)
STREVIO_AVFORMAT_API(STREVIO_DECLARE_REQ, STREVIO_DECLARE_OPT)
STREVIO_AVUTIL_API(STREVIO_DECLARE_REQ, STREVIO_DECLARE_OPT)
STREVIO_SWRESAMPLE_API(STREVIO_DECLARE_REQ, STREVIO_DECLARE_OPT)
STREVIO_SWSCALE_API(STREVIO_DECLARE_REQ, STREVIO_DECLARE_OPT)
}  // namespace ff

namespace crt {
STREVIO_CRT_API(STREVIO_DECLARE_REQ, STREVIO_DECLARE_OPT)
}  // namespace crt

#undef STREVIO_DECLARE_REQ
#undef STREVIO_DECLARE_OPT

#include "engine/base/Myutils.h"

// Bind (or clear) every entry point of one library. A library whose major version differs from the
// headers' is refused before anything else is bound, since the headers fix the structures' layout.
void FixupAVCodec(const TPathFileName& AFileName, void* AHandle);
void FixupAVDevice(const TPathFileName& AFileName, void* AHandle);
void FixupAVFilter(const TPathFileName& AFileName, void* AHandle);
void FixupAVFormat(const TPathFileName& AFileName, void* AHandle);
void FixupAVUtil(const TPathFileName& AFileName, void* AHandle);
void FixupSwResample(const TPathFileName& AFileName, void* AHandle);
void FixupSwScale(const TPathFileName& AFileName, void* AHandle);
void FixupCRT(const TPathFileName& AFileName, void* AHandle);
void UnfixAVCodec();
void UnfixAVDevice();
void UnfixAVFilter();
void UnfixAVFormat();
void UnfixAVUtil();
void UnfixSwResample();
void UnfixSwScale();
void UnfixCRT();
// SoundTouch's pair lives beside its bindings.
void FixupSoundTouch(const TPathFileName& AFileName, void* AHandle);
void UnfixSoundTouch();
