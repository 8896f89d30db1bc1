#include "engine/base/FFOptions.h"

#include <vector>

#include "engine/base/FFLog.h"
#include "engine/base/Myutils.h"

std::string GOptionError;

namespace {

struct TErrorText {
    int Code;
    const char* Text;
};

// FFmpeg's own codes, then the system's error numbers (with the socket errors that share their text),
// then the socket errors that have no system counterpart.
const TErrorText kErrorTable[] = {
    {-1179861752, "Bitstream filter not found"},
    {-558323010, "Internal bug, should not have happened"},
    {-541545794, "Internal bug, should not have happened"},
    {-1397118274, "Buffer too small"},
    {-1128613112, "Decoder not found"},
    {-1296385272, "Demuxer not found"},
    {-1129203192, "Encoder not found"},
    {-541478725, "End of file"},
    {-1414092869, "Immediate exit requested"},
    {-542398533, "Generic error in an external library"},
    {-1279870712, "Filter not found"},
    {-1094995529, "Invalid data found when processing input"},
    {-1481985528, "Muxer not found"},
    {-1414549496, "Option not found"},
    {-1163346256, "Not yet implemented in FFmpeg, patches welcome"},
    {-1330794744, "Protocol not found"},
    {-1381258232, "Stream not found"},
    {-1313558101, "Unknown error occurred"},
    {-733130664,
     "Requested feature is flagged experimental. Set strict_std_compliance if you really want to use it."},
    {-2, "No such file or directory"},
    {-3, "No such process"},
    {-4, "Interrupted function call"},
    {-10004, "Interrupted function call"},
    {-5, "I/O error"},
    {-6, "No such device or address"},
    {-7, "Argument list too long"},
    {-8, "Exec format error"},
    {-9, "Bad file number"},
    {-10009, "Bad file number"},
    {-10, "No child processes"},
    {-11, "Resource temporarily unavailable / Try again"},
    {-12, "Not enough space / Out of memory"},
    {-13, "Permission denied"},
    {-10013, "Permission denied"},
    {-14, "Bad address"},
    {-10014, "Bad address"},
    {-15, "Block device required"},
    {-16, "Device or resource busy"},
    {-17, "File exists"},
    {-18, "Cross-device link"},
    {-19, "No such device"},
    {-20, "Not a directory"},
    {-21, "Is a directory"},
    {-22, "Invalid argument / Invalid data found when processing input"},
    {-10022, "Invalid argument / Invalid data found when processing input"},
    {-23, "Too many open files in system / File table overflow"},
    {-24, "Too many open files"},
    {-10024, "Too many open files"},
    {-25, "Inappropriate I/O control operation / Not a typewriter"},
    {-26, "Text file busy"},
    {-27, "File too large"},
    {-28, "No space left on device"},
    {-29, "Illegal seek"},
    {-30, "Read-only file system"},
    {-31, "Too many links"},
    {-32, "Broken pipe"},
    {-33, "Math argument out of domain of func"},
    {-34, "Math result not representable"},
    {-35, "Resource deadlock would occur"},
    {-36, "File name too long"},
    {-10063, "File name too long"},
    {-37, "No record locks available"},
    {-38, "Function not implemented"},
    {-39, "Directory not empty"},
    {-10066, "Directory not empty"},
    {-40, "Too many symbolic links encountered"},
    {-10062, "Too many symbolic links encountered"},
    {-43, "Identifier removed"},
    {-44, "Channel number out of range"},
    {-45, "Level 2 not synchronized"},
    {-46, "Level 3 halted"},
    {-47, "Level 3 reset"},
    {-48, "Link number out of range"},
    {-49, "Protocol driver not attached"},
    {-50, "No CSI structure available"},
    {-51, "Level 2 halted"},
    {-52, "Invalid exchange"},
    {-53, "Invalid request descriptor"},
    {-54, "Exchange full"},
    {-55, "No anode"},
    {-56, "Invalid request code"},
    {-57, "Invalid slot"},
    {-59, "Bad font file format"},
    {-60, "Device not a stream"},
    {-61, "No data available"},
    {-62, "Timer expired"},
    {-63, "Out of streams resources"},
    {-64, "Machine is not on the network"},
    {-65, "Package not installed"},
    {-66, "Object is remote"},
    {-10071, "Object is remote"},
    {-67, "Link has been severed"},
    {-68, "Advertise error"},
    {-69, "Srmount error"},
    {-70, "Communication error on send"},
    {-71, "Protocol error"},
    {-72, "Multihop attempted"},
    {-73, "RFS specific error"},
    {-74, "Not a data message"},
    {-75, "Value too large for defined data type"},
    {-76, "Name not unique on network"},
    {-77, "File descriptor in bad state"},
    {-78, "Remote address changed"},
    {-79, "Can not access a needed shared library"},
    {-80, "Accessing a corrupted shared library"},
    {-81, ".lib section in a.out corrupted"},
    {-82, "Attempting to link in too many shared libraries"},
    {-83, "Cannot exec a shared library directly"},
    {-84, "Illegal byte sequence"},
    {-85, "Interrupted system call should be restarted"},
    {-86, "Streams pipe error"},
    {-87, "Too many users"},
    {-10068, "Too many users"},
    {-88, "Socket operation on non-socket"},
    {-10038, "Socket operation on non-socket"},
    {-89, "Destination address required"},
    {-10039, "Destination address required"},
    {-90, "Message too long"},
    {-10040, "Message too long"},
    {-91, "Protocol wrong type for socket"},
    {-10041, "Protocol wrong type for socket"},
    {-92, "Protocol not available"},
    {-10042, "Protocol not available"},
    {-93, "Protocol not supported"},
    {-10043, "Protocol not supported"},
    {-94, "Socket type not supported"},
    {-10044, "Socket type not supported"},
    {-95, "Operation not supported on transport endpoint"},
    {-10045, "Operation not supported on transport endpoint"},
    {-96, "Protocol family not supported"},
    {-10046, "Protocol family not supported"},
    {-97, "Address family not supported by protocol"},
    {-10047, "Address family not supported by protocol"},
    {-98, "Address already in use"},
    {-10048, "Address already in use"},
    {-99, "Cannot assign requested address"},
    {-10049, "Cannot assign requested address"},
    {-100, "Network is down"},
    {-10050, "Network is down"},
    {-101, "Network is unreachable"},
    {-10051, "Network is unreachable"},
    {-102, "Network dropped connection because of reset"},
    {-10052, "Network dropped connection because of reset"},
    {-103, "Software caused connection abort"},
    {-10053, "Software caused connection abort"},
    {-104, "Connection reset by peer"},
    {-10054, "Connection reset by peer"},
    {-105, "No buffer space available"},
    {-10055, "No buffer space available"},
    {-106, "Transport endpoint is already connected"},
    {-10056, "Transport endpoint is already connected"},
    {-107, "Transport endpoint is not connected"},
    {-10057, "Transport endpoint is not connected"},
    {-108, "Cannot send after transport endpoint shutdown"},
    {-10058, "Cannot send after transport endpoint shutdown"},
    {-109, "Too many references: cannot splice"},
    {-10059, "Too many references: cannot splice"},
    {-110, "Connection timed out"},
    {-10060, "Connection timed out"},
    {-111, "Connection refused"},
    {-10061, "Connection refused"},
    {-112, "Host is down"},
    {-10064, "Host is down"},
    {-113, "No route to host"},
    {-10065, "No route to host"},
    {-114, "Operation already in progress"},
    {-10037, "Operation already in progress"},
    {-115, "Operation now in progress"},
    {-10036, "Operation now in progress"},
    {-116, "Stale NFS file handle"},
    {-10070, "Stale NFS file handle"},
    {-117, "Structure needs cleaning"},
    {-118, "Not a XENIX named type file"},
    {-119, "No XENIX semaphores available"},
    {-120, "Is a named type file"},
    {-121, "Remote I/O error"},
    {-122, "Quota exceeded"},
    {-10069, "Quota exceeded"},
    {-123, "No medium found"},
    {-124, "Wrong medium type"},
    {-125, "Operation Canceled"},
    {-126, "Required key not available"},
    {-127, "Key has expired"},
    {-128, "Key has been revoked"},
    {-129, "Key was rejected by service"},
    {-130, "Owner died"},
    {-131, "State not recoverable"},
    {-10035, "WSAEWOULDBLOCK"},
    {-10067, "WSAEPROCLIM"},
    {-10101, "WSAEDISCON"},
    {-10091, "WSASYSNOTREADY"},
    {-10092, "WSAVERNOTSUPPORTED"},
    {-10093, "WSANOTINITIALISED"},
    {-11001, "WSAHOST_NOT_FOUND"},
    {-11002, "WSATRY_AGAIN"},
    {-11003, "WSANO_RECOVERY"},
    {-11004, "WSANO_DATA"},
    {-10102, "WSAENOMORE"},
    {-10103, "WSAECANCELLED"},
    {-10104, "WSAEINVALIDPROCTABLE"},
    {-10105, "WSAEINVALIDPROVIDER"},
    {-10106, "WSAEPROVIDERFAILEDINIT"},
    {-10107, "WSASYSCALLFAILURE"},
    {-10108, "WSASERVICE_NOT_FOUND"},
    {-10109, "WSATYPE_NOT_FOUND"},
    {-10110, "WSA_E_NO_MORE"},
    {-10111, "WSA_E_CANCELLED"},
    {-10112, "WSAEREFUSED"},
};

// An option FFmpeg knows in that class; options without flags count as unknown.
const AVOption* FindOption(const AVClass* AClass, const char* AName, int ASearchFlags) {
    const AVClass* cls = AClass;
    const AVOption* option = ff::av_opt_find(&cls, AName, nullptr, 0, ASearchFlags);
    return option && option->flags ? option : nullptr;
}

int DictFlags(const AVOption* AOption, const std::string& AValue) {
    const bool append =
        AOption->type == AV_OPT_TYPE_FLAGS && !AValue.empty() && (AValue[0] == '+' || AValue[0] == '-');
    return append ? AV_DICT_APPEND : 0;
}

bool OptionLibrariesBound() {
    return ff::avcodec_get_class && ff::avformat_get_class && ff::sws_get_class && ff::swr_get_class &&
           ff::av_opt_find && ff::av_dict_set && ff::av_log;
}

int FailOption(const std::string& AName, int AResult) {
    GOptionError = Format("Error setting option \"%s\"", AName.c_str());
    ff::av_log(nullptr, AV_LOG_ERROR, "Error setting option \"%s\"\n", AName.c_str());
    return AResult;
}

}  // namespace

TFFOptions::~TFFOptions() {
    uninit_opts();
}

void TFFOptions::RememberFreeFunctions() {
    if (ff::sws_freeContext) {
        freeScaler_ = ff::sws_freeContext;
    }
    if (ff::av_dict_free) {
        freeDict_ = ff::av_dict_free;
    }
}

void TFFOptions::init_opts() {
    uninit_opts();
    RememberFreeFunctions();
    if (ff::sws_getContext) {
        Fsws_opts = ff::sws_getContext(16, 16, AV_PIX_FMT_YUV420P, 16, 16, AV_PIX_FMT_YUV420P,
                                       static_cast<int>(Fsws_flags), nullptr, nullptr, nullptr);
    }
}

void TFFOptions::uninit_opts() {
    if (freeScaler_) {
        freeScaler_(Fsws_opts);
        Fsws_opts = nullptr;
    }
    if (freeDict_) {
        freeDict_(&Fswr_opts);
        freeDict_(&Fformat_opts);
        freeDict_(&Fcodec_opts);
        freeDict_(&Fresample_opts);
    }
}

bool TFFOptions::SetScalerOption(const std::string& AName, const std::string& AValue, int& AResult) {
    if (!FindOption(ff::sws_get_class(), AName.c_str(), AV_OPT_SEARCH_CHILDREN | AV_OPT_SEARCH_FAKE_OBJ)) {
        return false;
    }
    if (!Fsws_opts) {
        init_opts();
    }
    const int ret = Fsws_opts ? ff::av_opt_set(Fsws_opts, AName.c_str(), AValue.c_str(), 0) : AVERROR(ENOMEM);
    AResult = ret < 0 ? FailOption(AName, ret) : 0;
    return true;
}

bool TFFOptions::SetResamplerOption(const std::string& AName, const std::string& AValue, int& AResult) {
    const AVOption* option =
        FindOption(ff::swr_get_class(), AName.c_str(), AV_OPT_SEARCH_CHILDREN | AV_OPT_SEARCH_FAKE_OBJ);
    if (!option) {
        return false;
    }
    // Tried on a scratch resampler first, so that a bad value never reaches the dictionary.
    SwrContext* swr = ff::swr_alloc();
    const int ret = swr ? ff::av_opt_set(swr, AName.c_str(), AValue.c_str(), 0) : AVERROR(ENOMEM);
    ff::swr_free(&swr);
    if (ret < 0) {
        AResult = FailOption(AName, ret);
        return true;
    }
    ff::av_dict_set(&Fswr_opts, AName.c_str(), AValue.c_str(), DictFlags(option, AValue));
    AResult = 0;
    return true;
}

int TFFOptions::opt_default(const std::string& AName, const std::string& AValue) {
    if (!OptionLibrariesBound()) {
        GOptionError = "Library avcodec not loaded.";
        return AVERROR(ENOSYS);
    }
    RememberFreeFunctions();
    if (AName == "debug" || AName == "fdebug") {
        FFLogger().SetLogLevel(llDebug);
    }
    const std::string stripped = AName.substr(0, std::min<size_t>(AName.find(':'), 127));
    bool consumed = false;
    const AVClass* codecClass = ff::avcodec_get_class();
    const AVOption* option =
        FindOption(codecClass, stripped.c_str(), AV_OPT_SEARCH_CHILDREN | AV_OPT_SEARCH_FAKE_OBJ);
    if (!option && !AName.empty() && (AName[0] == 'v' || AName[0] == 'a' || AName[0] == 's')) {
        option = FindOption(codecClass, AName.c_str() + 1, AV_OPT_SEARCH_FAKE_OBJ);
    }
    if (option) {
        ff::av_dict_set(&Fcodec_opts, AName.c_str(), AValue.c_str(), DictFlags(option, AValue));
        consumed = true;
    }
    option =
        FindOption(ff::avformat_get_class(), AName.c_str(), AV_OPT_SEARCH_CHILDREN | AV_OPT_SEARCH_FAKE_OBJ);
    if (option) {
        ff::av_dict_set(&Fformat_opts, AName.c_str(), AValue.c_str(), DictFlags(option, AValue));
        if (consumed) {
            ff::av_log(nullptr, AV_LOG_VERBOSE, "Routing option %s to both codec and muxer layer\n",
                       AName.c_str());
        }
        consumed = true;
    }
    int result = 0;
    if (!consumed && (SetScalerOption(AName, AValue, result) || SetResamplerOption(AName, AValue, result))) {
        return result;
    }
    return consumed ? 0 : AVERROR_OPTION_NOT_FOUND;
}

std::string print_error(const std::string& AFileName, int AErrorCode) {
    std::string text = Format("Error number %d occurred", AErrorCode);
    for (const TErrorText& row : kErrorTable) {
        if (row.Code == AErrorCode) {
            text = row.Text;
            break;
        }
    }
    return AFileName.empty() ? text : AFileName + ": " + text;
}

int check_stream_specifier(AVFormatContext* AContext, AVStream* AStream, const char* ASpecifier) {
    const int ret = ff::avformat_match_stream_specifier(AContext, AStream, ASpecifier);
    if (ret < 0) {
        ff::av_log(AContext, AV_LOG_ERROR, "Invalid stream specifier: %s.\n", ASpecifier);
    }
    return ret;
}

AVDictionary* filter_codec_opts(const AVDictionary* ACodecOpts, AVCodecID ACodecId, AVFormatContext* AContext,
                                AVStream* AStream, const AVCodec* ACodec) {
    const bool output = AContext->oformat != nullptr;
    int flags = output ? AV_OPT_FLAG_ENCODING_PARAM : AV_OPT_FLAG_DECODING_PARAM;
    if (!ACodec) {
        ACodec = output ? ff::avcodec_find_encoder(ACodecId) : ff::avcodec_find_decoder(ACodecId);
    }
    char prefix = 0;
    switch (AStream->codecpar->codec_type) {
        case AVMEDIA_TYPE_VIDEO:
            prefix = 'v';
            flags |= AV_OPT_FLAG_VIDEO_PARAM;
            break;
        case AVMEDIA_TYPE_AUDIO:
            prefix = 'a';
            flags |= AV_OPT_FLAG_AUDIO_PARAM;
            break;
        case AVMEDIA_TYPE_SUBTITLE:
            prefix = 's';
            flags |= AV_OPT_FLAG_SUBTITLE_PARAM;
            break;
        default:
            break;
    }
    const AVClass* codecClass = ff::avcodec_get_class();
    const auto known = [flags](const AVClass* AClass, const char* AKey) {
        const AVClass* cls = AClass;
        return cls && ff::av_opt_find(&cls, AKey, nullptr, flags, AV_OPT_SEARCH_FAKE_OBJ) != nullptr;
    };
    AVDictionary* result = nullptr;
    const AVDictionaryEntry* entry = nullptr;
    while ((entry = ff::av_dict_get(ACodecOpts, "", entry, AV_DICT_IGNORE_SUFFIX))) {
        std::string key = entry->key;
        const size_t colon = key.find(':');
        if (colon != std::string::npos) {
            const int match = check_stream_specifier(AContext, AStream, key.c_str() + colon + 1);
            if (match < 0) {
                ff::av_dict_free(&result);
                return nullptr;
            }
            if (match == 0) {
                continue;
            }
            key.resize(colon);
        }
        if (known(codecClass, key.c_str()) || (ACodec && known(ACodec->priv_class, key.c_str()))) {
            ff::av_dict_set(&result, key.c_str(), entry->value, 0);
        } else if (prefix && key[0] == prefix && known(codecClass, key.c_str() + 1)) {
            ff::av_dict_set(&result, key.c_str() + 1, entry->value, 0);
        }
    }
    return result;
}

AVDictionary** setup_find_stream_info_opts(AVFormatContext* AContext, const AVDictionary* ACodecOpts) {
    if (!AContext->nb_streams) {
        return nullptr;
    }
    auto** opts = static_cast<AVDictionary**>(ff::av_mallocz(AContext->nb_streams * sizeof(AVDictionary*)));
    if (!opts) {
        ff::av_log(nullptr, AV_LOG_ERROR, "Could not alloc memory for stream options.\n");
        return nullptr;
    }
    for (unsigned i = 0; i < AContext->nb_streams; ++i) {
        AVStream* stream = AContext->streams[i];
        opts[i] = filter_codec_opts(ACodecOpts, stream->codecpar->codec_id, AContext, stream, nullptr);
    }
    return opts;
}

bool ParseDefaultOptions(TObject* ASender, const std::string& AOptions,
                         const std::function<bool(const std::string& AName, const std::string& AValue)>& AOptDefault) {
    if (AOptions.empty()) {
        return true;
    }
    FFLogger().Log(ASender, llInfo, "ParseOptions: " + AOptions);
    int numChars = 0;
    int numArgs = 0;
    parse_cmdline(AOptions.c_str(), nullptr, nullptr, numChars, numArgs);
    std::vector<char*> args(static_cast<size_t>(numArgs));
    std::vector<char> buffer(static_cast<size_t>(numChars) + 1);
    parse_cmdline(AOptions.c_str(), args.data(), buffer.data(), numChars, numArgs);
    bool result = true;
    const int count = numArgs - 1;  // the final entry is the empty terminator
    for (int i = 0; i < count; ++i) {
        const std::string word = args[static_cast<size_t>(i)];
        if (word.size() > 1 && word[0] == '-') {
            const std::string value = i + 1 < count ? args[static_cast<size_t>(i + 1)] : "";
            if (!AOptDefault(word.substr(1), value)) {
                result = false;
            }
            ++i;
        } else {
            ff::av_log(nullptr, AV_LOG_ERROR, "Invalid option found while parsing options, ignore\n");
        }
    }
    return result;
}
