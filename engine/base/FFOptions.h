// The FFmpeg option dictionaries that the engine passes when it opens an input, a decoder or a
// resampler, the routing of a named option to them, and FFmpeg error texts.
#pragma once

#include <functional>
#include <string>

#include "engine/load/FFAPI.h"
#include "engine/tools/FFOptionParser.h"

// The message of the last failed scaler or resampler option (and of the option parser).
extern std::string GOptionError;

class TFFOptions {
public:
    TFFOptions() = default;
    ~TFFOptions();
    TFFOptions(const TFFOptions&) = delete;
    TFFOptions& operator=(const TFFOptions&) = delete;

    // Frees everything, then makes the 16x16 scaler context that carries the scaler options.
    void init_opts();
    void uninit_opts();
    // Routes one option to the dictionary whose FFmpeg component knows it: 0, or FFmpeg's error
    // (AVERROR_OPTION_NOT_FOUND for a name nobody knows). A flags-type value is appended to the stored
    // one only when it starts with '+' or '-'.
    int opt_default(const std::string& AName, const std::string& AValue);

    unsigned sws_flags() const { return Fsws_flags; }
    void set_sws_flags(unsigned AFlags) { Fsws_flags = AFlags; }
    SwsContext* sws_opts() const { return Fsws_opts; }
    AVDictionary*& swr_opts() { return Fswr_opts; }
    AVDictionary*& format_opts() { return Fformat_opts; }
    AVDictionary*& codec_opts() { return Fcodec_opts; }
    AVDictionary*& resample_opts() { return Fresample_opts; }

    // The command-line style parser's collected options (FFOptionParser.cpp).
    TOptionParseContext* GetOptionParseContext() { return &Foctx; }
    void init_parse_context();
    void uninit_parse_context();
    // Moves the current option holders into the file group and starts new ones.
    void finish_group();
    // Collects "-name [value]" words into the parse context's groups; words the table does not know go
    // to opt_default. 0, or the first error.
    int parse_options(void* optctx, int argc, const char* const* argv, const TOptionDef* options,
                      const std::string& AUnused, bool return_on_invalid);

private:
    bool SetScalerOption(const std::string& AName, const std::string& AValue, int& AResult);
    bool SetResamplerOption(const std::string& AName, const std::string& AValue, int& AResult);

    // The free functions of the libraries that made the objects, kept so that the objects are freed
    // even after the loader has cleared its bindings (the libraries' code stays mapped).
    decltype(ff::sws_freeContext) freeScaler_ = nullptr;
    decltype(ff::av_dict_free) freeDict_ = nullptr;
    void RememberFreeFunctions();

    unsigned Fsws_flags = SWS_BICUBIC;
    SwsContext* Fsws_opts = nullptr;
    AVDictionary* Fswr_opts = nullptr;
    AVDictionary* Fformat_opts = nullptr;
    AVDictionary* Fcodec_opts = nullptr;
    AVDictionary* Fresample_opts = nullptr;
    TOptionParseContext Foctx;
};

// "name: text" for an FFmpeg or system error code, the text alone without a name;
// "Error number %d occurred" for a code the table does not hold.
std::string print_error(const std::string& AFileName, int AErrorCode);
// 1 when the stream matches the specifier, 0 when not, negative for an invalid specifier.
int check_stream_specifier(AVFormatContext* AContext, AVStream* AStream, const char* ASpecifier);
// The options of ACodecOpts that apply to one stream, stream specifiers removed; null for an invalid
// specifier. The caller frees the result.
AVDictionary* filter_codec_opts(const AVDictionary* ACodecOpts, AVCodecID ACodecId, AVFormatContext* AContext,
                                AVStream* AStream, const AVCodec* ACodec);
// One filtered dictionary per stream (allocated with av_mallocz); null without streams or memory. The
// caller frees every element and the array.
AVDictionary** setup_find_stream_info_opts(AVFormatContext* AContext, const AVDictionary* ACodecOpts);

class TObject;

// Splits a command-line style text ("-name value -name2 value2") and hands each pair to AOptDefault.
// Words that do not start an option are logged and skipped. False when any pair was refused.
bool ParseDefaultOptions(TObject* ASender, const std::string& AOptions,
                         const std::function<bool(const std::string& AName, const std::string& AValue)>& AOptDefault);
