#include "engine/tools/FFOptionParser.h"

#include <charconv>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include <sys/stat.h>

#include "engine/base/FFLog.h"
#include "engine/base/FFOptions.h"
#include "engine/base/Myutils.h"

namespace {

constexpr int kInvalid = -22;  // AVERROR(EINVAL)

// Logs through FFmpeg's log (and so the engine logger) when avutil is bound, else to the engine logger.
void LogAV(int ALevel, const char* AFormat, ...) __attribute__((format(printf, 2, 3)));
void LogAV(int ALevel, const char* AFormat, ...) {
    va_list args;
    va_start(args, AFormat);
    char buffer[1024];
    std::vsnprintf(buffer, sizeof(buffer), AFormat, args);
    va_end(args);
    if (ff::av_log) {
        ff::av_log(nullptr, ALevel, "%s", buffer);
        return;
    }
    std::string text = buffer;
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    FFLogger().Log(nullptr, IntToLogLevel(ALevel), text);
}

bool StartsWithNo(const char* AName) {
    return AName[0] == 'n' && AName[1] == 'o';
}

// The row whose name equals the part of AName before ':', or the table's end row.
const TOptionDef* lookup_option_row(const TOptionDef* AOptions, const char* AName) {
    const char* colon = std::strchr(AName, ':');
    const size_t length = colon ? static_cast<size_t>(colon - AName) : std::strlen(AName);
    const TOptionDef* row = AOptions;
    for (; row->name; ++row) {
        if (std::strlen(row->name) == length && std::strncmp(row->name, AName, length) == 0) {
            break;
        }
    }
    return row;
}

// The row of a name, else the row of the name after a "no" prefix; null when the table has neither.
// ANegated tells that the prefix switches a Boolean row off; any other row keeps its own argument.
const TOptionDef* FindWithNoRule(const TOptionDef* AOptions, const char* AName, bool& ANegated) {
    ANegated = false;
    const TOptionDef* row = lookup_option_row(AOptions, AName);
    if (row->name) {
        return row;
    }
    if (StartsWithNo(AName)) {
        const TOptionDef* rest = lookup_option_row(AOptions, AName + 2);
        if (rest->name) {
            ANegated = (rest->flags & OPT_BOOL) != 0;
            return rest;
        }
    }
    return nullptr;
}

template <typename T>
bool ParseWhole(const char* AText, T& AValue) {
    const char* end = AText + std::strlen(AText);
    const char* begin = AText;
    if (begin != end && *begin == '+') {
        ++begin;
    }
    const auto [ptr, ec] = std::from_chars(begin, end, AValue);
    return begin != end && ec == std::errc() && ptr == end;
}

template <typename T>
T ConvertOrRaise(const char* AName, const char* AArg, const char* ATypeWord) {
    T value{};
    if (!ParseWhole(AArg, value)) {
        throw EOptionError(Format("Expected %s for \"%s\" but found \"%s\"", ATypeWord, AName, AArg));
    }
    return value;
}

void AppendOptionError(const std::string& AText) {
    GOptionError = GOptionError.empty() ? AText : GOptionError + "\r\n" + AText;
}

// Writes a typed value; a handler row returns its result.
template <typename TDest>
int WriteValue(TDest&& ASetter, const TOptionDef* ARow, void* AContext, const char* AName, const char* AArg) {
    const int flags = ARow->flags;
    if (flags & OPT_STRING) {
        ASetter(std::string(AArg));
    } else if (flags & (OPT_BOOL | OPT_INT)) {
        ASetter(ConvertOrRaise<int32_t>(AName, AArg, "integer"));
    } else if (flags & OPT_INT64) {
        ASetter(ConvertOrRaise<int64_t>(AName, AArg, "int64"));
    } else if (flags & OPT_TIME) {
        ASetter(parse_time_or_die(AName, AArg, true));
    } else if (flags & OPT_FLOAT) {
        ASetter(ConvertOrRaise<float>(AName, AArg, "float"));
    } else if (flags & OPT_DOUBLE) {
        ASetter(ConvertOrRaise<double>(AName, AArg, "double"));
    } else if (ARow->u.func_arg) {
        return ARow->u.func_arg(AContext, AName, AArg);
    }
    return 0;
}

// A destination variable of the row's type, filled from a converted value.
struct TPlainSetter {
    void* Dst;
    void operator()(std::string AValue) const { *static_cast<std::string*>(Dst) = std::move(AValue); }
    void operator()(int32_t AValue) const { *static_cast<int32_t*>(Dst) = AValue; }
    void operator()(int64_t AValue) const { *static_cast<int64_t*>(Dst) = AValue; }
    void operator()(float AValue) const { *static_cast<float*>(Dst) = AValue; }
    void operator()(double AValue) const { *static_cast<double*>(Dst) = AValue; }
};

int store_option_value(void* AContext, const TOptionDef* ARow, const char* AName, const char* AArg) {
    const bool relative = ARow->flags & (OPT_OFFSET | OPT_SPEC);
    if (relative && !AContext) {
        throw EOptionError(Format("Option \"%s\" needs a context to store into", AName));
    }
    void* dst = relative ? static_cast<char*>(AContext) + ARow->u.off : ARow->u.dst_ptr;
    int result = 0;
    if (ARow->flags & OPT_SPEC) {
        auto& values = *static_cast<std::vector<TSpecifierOpt>*>(dst);
        grow_array(values, static_cast<int>(values.size()) + 1);
        TSpecifierOpt& element = values.back();
        const char* colon = std::strchr(AName, ':');
        element.specifier = colon ? colon + 1 : "";
        result = WriteValue([&element](auto AValue) { element.u = std::move(AValue); }, ARow, AContext, AName,
                            AArg);
    } else {
        result = WriteValue(TPlainSetter{dst}, ARow, AContext, AName, AArg);
    }
    if (result < 0) {
        const std::string text = Format("Failed to set value \"%s\" for option \"%s\": %s", AArg, AName,
                                        print_error("", result).c_str());
        AppendOptionError(text);
        LogAV(AV_LOG_ERROR, "%s\n", text.c_str());
        return result;
    }
    return 0;
}

// A word that is not an option: an error with return_on_invalid, else a logged warning.
int StrayWord(const char* AWord, bool AReturnOnInvalid) {
    if (AReturnOnInvalid) {
        if (*AWord) {
            GOptionError = std::string("Failed to parse options on ") + AWord;
            LogAV(AV_LOG_ERROR, "Failed to parse options on %s\n", AWord);
        } else {
            GOptionError = "Failed to parse options";
            LogAV(AV_LOG_ERROR, "Failed to parse options\n");
        }
        return kInvalid;
    }
    if (*AWord) {
        LogAV(AV_LOG_ERROR, "Invalid option %s found while parsing options, ignore\n", AWord);
    } else {
        LogAV(AV_LOG_ERROR, "Invalid option found while parsing options, ignore\n");
    }
    return 0;
}

bool IsOptionWord(const char* AWord) {
    return AWord[0] == '-' && AWord[1] != '\0';
}

const char* const kLevelNames[] = {"quiet", "panic", "fatal", "error", "warning", "info", "verbose", "debug"};
const int kLevelValues[] = {-8, 0, 8, 16, 24, 32, 40, 48};

void SetEngineLogLevel(int ALevel) {
    FFLogger().SetLogLevel(IntToLogLevel(ALevel));
}

}  // namespace

int parse_option(void* optctx, const char* opt, const char* arg, const TOptionDef* options) {
    bool negated = false;
    const TOptionDef* row = FindWithNoRule(options, opt, negated);
    if (negated) {
        arg = "0";
    } else if (row && (row->flags & OPT_BOOL)) {
        arg = "1";
    }
    if (!row) {
        row = lookup_option_row(options, "default");
        row = row->name ? row : nullptr;
    }
    if (!row) {
        GOptionError = Format("Unrecognized option \"%s\"", opt);
        LogAV(AV_LOG_ERROR, "Unrecognized option \"%s\"\n", opt);
        return kInvalid;
    }
    if ((row->flags & HAS_ARG) && !arg) {
        GOptionError = Format("Missing argument for option \"%s\"", opt);
        LogAV(AV_LOG_ERROR, "Missing argument for option \"%s\"\n", opt);
        return kInvalid;
    }
    const int ret = store_option_value(optctx, row, opt, arg ? arg : "");
    if (ret < 0) {
        return ret;
    }
    return (row->flags & HAS_ARG) ? 1 : 0;
}

int parse_options(void* optctx, int argc, const char* const* argv, const TOptionDef* options,
                  bool return_on_invalid) {
    int index = 0;
    while (index < argc) {
        const char* word = argv[index++];
        if (!IsOptionWord(word)) {
            const int ret = StrayWord(word, return_on_invalid);
            if (ret < 0) {
                return ret;
            }
            continue;
        }
        GOptionError.clear();
        const char* arg = index < argc ? argv[index] : nullptr;
        const int used = parse_option(optctx, word + 1, arg, options);
        if (used < 0) {
            if (return_on_invalid) {
                return used;
            }
            continue;
        }
        index += used;
    }
    return 0;
}

int parse_optgroup(void* optctx, TOptionGroup* g, const std::string& group_name, const std::string& group_arg,
                   int group_flags, bool /*unused*/) {
    LogAV(AV_LOG_DEBUG, "Parsing a group of options: %s.\n", group_name.c_str());
    for (const TOption& option : g->opts) {
        const TOptionDef* row = option.opt;
        const char* help = row->help ? row->help : "";
        if (group_flags && !(group_flags & row->flags)) {
            LogAV(
                AV_LOG_ERROR,
                "Option %s (%s) cannot be applied to %s %s -- you are trying to apply an input option to an "
                "output file or vice versa. Move this option before the file it belongs to.\n",
                option.key.c_str(), help, group_name.c_str(), group_arg.c_str());
            return kInvalid;
        }
        LogAV(AV_LOG_DEBUG, "Applying option %s (%s) with argument %s.\n", option.key.c_str(), help,
              option.val.c_str());
        const int ret = store_option_value(optctx, row, option.key.c_str(), option.val.c_str());
        if (ret < 0) {
            return ret;
        }
    }
    LogAV(AV_LOG_DEBUG, "Successfully parsed a group of options.\n");
    return 0;
}

int locate_option(int argc, const char* const* argv, const TOptionDef* options, const char* optname) {
    int index = 0;
    while (index < argc) {
        const char* word = argv[index];
        if (word[0] != '-') {
            ++index;
            continue;
        }
        const char* name = word + 1;
        bool negated = false;
        const TOptionDef* row = FindWithNoRule(options, name, negated);
        if ((!row && std::strcmp(name, optname) == 0) || (row && std::strcmp(row->name, optname) == 0)) {
            return index;
        }
        index += (row && (row->flags & HAS_ARG)) ? 2 : 1;
    }
    return -1;
}

int parse_loglevel(int argc, const char* const* argv, const TOptionDef* options) {
    int index = locate_option(argc, argv, options, "loglevel");
    if (index < 0) {
        index = locate_option(argc, argv, options, "v");
    }
    if (index >= 0 && index + 1 < argc) {
        return ff_opt_loglevel(nullptr, "loglevel", argv[index + 1]);
    }
    return index;
}

int ff_opt_loglevel(void* /*optctx*/, const char* /*opt*/, const char* arg) {
    arg = arg ? arg : "";
    const char* repeat = std::strstr(arg, "repeat");
    FFLogger().SetLogFlags(repeat ? 0 : AV_LOG_SKIP_REPEATED);
    if (repeat == arg) {
        arg += 6;
        if (*arg == '+') {
            ++arg;
        }
    }
    if (repeat && !*arg) {
        return 0;
    }
    for (size_t i = 0; i < std::size(kLevelNames); ++i) {
        if (std::strcmp(kLevelNames[i], arg) == 0) {
            SetEngineLogLevel(kLevelValues[i]);
            return 0;
        }
    }
    int level = 0;
    const char* end = arg + std::strlen(arg);
    const auto [ptr, ec] = std::from_chars(arg, end, level);
    if (arg != end && ec == std::errc() && ptr == end) {
        SetEngineLogLevel(level);
        return 0;
    }
    std::string message = Format("Invalid loglevel \"%s\". Possible levels are numbers or:\r\n", arg);
    for (const char* name : kLevelNames) {
        message += Format("\"%s\"\r\n", name);
    }
    GOptionError = message;
    std::string logged;
    for (char c : message) {
        if (c != '\r') {
            logged += c;
        }
    }
    LogAV(AV_LOG_ERROR, "%s", logged.c_str());
    return kInvalid;
}

int64_t parse_time_or_die(const char* context, const char* timestr, bool is_duration) {
    int64_t value = 0;
    if (!ff::av_parse_time || ff::av_parse_time(&value, timestr, is_duration ? 1 : 0) < 0) {
        throw EOptionError(Format("Invalid %s specification for \"%s\": \"%s\"",
                                  is_duration ? "duration" : "date", context, timestr));
    }
    return value;
}

int ffutils_read_file(const std::string& AFileName, std::vector<char>& ABuffer, int64_t& ALength) {
    const std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(AFileName.c_str(), "rb"), &std::fclose);
    if (!file) {
        LogAV(AV_LOG_ERROR, "Cannot read file \"%s\"\n", AFileName.c_str());
        return -1;
    }
    // A folder opens for reading on Linux, but it has no length to read.
    struct stat info {};
    if (::fstat(::fileno(file.get()), &info) != 0 || S_ISDIR(info.st_mode)) {
        LogAV(AV_LOG_ERROR, "IO error\n");
        return -5;
    }
    const long length = std::fseek(file.get(), 0, SEEK_END) == 0 ? std::ftell(file.get()) : -1;
    if (length < 0 || std::fseek(file.get(), 0, SEEK_SET) != 0) {
        LogAV(AV_LOG_ERROR, "IO error\n");
        return -5;
    }
    try {
        ABuffer.assign(static_cast<size_t>(length) + 1, '\0');
    } catch (const std::exception&) {  // bad_alloc, or a length beyond what a buffer can hold
        ABuffer.clear();
        LogAV(AV_LOG_ERROR, "Could not allocate file buffer\n");
        return -12;
    }
    const size_t read = std::fread(ABuffer.data(), 1, static_cast<size_t>(length), file.get());
    if (read < static_cast<size_t>(length)) {
        ABuffer.clear();
        if (std::ferror(file.get())) {
            LogAV(AV_LOG_ERROR, "Error while reading file \"%s\"\n", AFileName.c_str());
            return -5;
        }
        return AVERROR_EOF;
    }
    ALength = static_cast<int64_t>(length) + 1;
    return 0;
}

// ---- TOptionGroup ----

TOptionGroup::~TOptionGroup() {
    Clear();
}

bool TOptionGroup::HoldsNoOptions() const {
    return !codec_opts && !format_opts && !resample_opts && !sws_opts && !swr_opts;
}

void TOptionGroup::Clear() {
    opts.clear();
    FreeHolders();
}

void TOptionGroup::FreeHolders() {
    if (FreeDict) {
        FreeDict(&codec_opts);
        FreeDict(&format_opts);
        FreeDict(&resample_opts);
        FreeDict(&swr_opts);
    }
    if (FreeScaler && sws_opts) {
        FreeScaler(sws_opts);
        sws_opts = nullptr;
    }
}

// ---- TFFOptions: the parse context ----

void TFFOptions::init_parse_context() {
    uninit_parse_context();
    init_opts();
}

void TFFOptions::uninit_parse_context() {
    Foctx.file_opts.Clear();
    Foctx.global_opts.Clear();
    uninit_opts();
}

void TFFOptions::finish_group() {
    TOptionGroup& group = Foctx.file_opts;
    // A second finish without a new parse context would otherwise lose the first holders.
    group.FreeHolders();
    RememberFreeFunctions();
    group.FreeDict = freeDict_;
    group.FreeScaler = freeScaler_;
    group.sws_opts = std::exchange(Fsws_opts, nullptr);
    group.swr_opts = std::exchange(Fswr_opts, nullptr);
    group.codec_opts = std::exchange(Fcodec_opts, nullptr);
    group.format_opts = std::exchange(Fformat_opts, nullptr);
    group.resample_opts = std::exchange(Fresample_opts, nullptr);
    init_opts();
}

int TFFOptions::parse_options(void* /*optctx*/, int argc, const char* const* argv, const TOptionDef* options,
                              const std::string& /*AUnused*/, bool return_on_invalid) {
    LogAV(AV_LOG_DEBUG, "Parsing the options.\n");
    int index = 0;
    while (index < argc) {
        const char* word = argv[index++];
        LogAV(AV_LOG_DEBUG, "Reading option \"%s\" ... ", word);
        if (!IsOptionWord(word)) {
            const int ret = StrayWord(word, return_on_invalid);
            if (ret < 0) {
                return ret;
            }
            continue;
        }
        GOptionError.clear();
        const char* name = word + 1;
        const char* next = index < argc ? argv[index] : nullptr;
        const TOptionDef* row = lookup_option_row(options, name);
        if (row->name) {
            const char* arg = "1";
            if (row->flags & HAS_ARG) {
                if (!next) {
                    LogAV(AV_LOG_ERROR, "Missing argument for option \"%s\".\n", name);
                    return kInvalid;
                }
                arg = next;
                ++index;
            }
            TOptionGroup& group = (row->flags & OPT_PERFILE) ? Foctx.file_opts : Foctx.global_opts;
            group.opts.push_back(TOption{row, name, arg});
            LogAV(AV_LOG_DEBUG, "matched as option \"%s\" (%s) with argument \"%s\".\n", row->name,
                  row->help ? row->help : "", arg);
            continue;
        }
        if (next) {
            const int ret = opt_default(name, next);
            if (ret >= 0) {
                LogAV(AV_LOG_DEBUG, "matched as AVOption \"%s\" with argument \"%s\".\n", name, next);
                ++index;
                continue;
            }
            if (ret != AVERROR_OPTION_NOT_FOUND) {
                LogAV(AV_LOG_ERROR, "Error parsing option \"%s\" with argument \"%s\".\n", name, next);
                return ret;
            }
        }
        if (StartsWithNo(name)) {
            const TOptionDef* rest = lookup_option_row(options, name + 2);
            if (rest->name && (rest->flags & OPT_BOOL)) {
                TOptionGroup& group = (rest->flags & OPT_PERFILE) ? Foctx.file_opts : Foctx.global_opts;
                group.opts.push_back(TOption{rest, name, "0"});
                LogAV(AV_LOG_DEBUG, "matched as option \"%s\" (%s) with argument 0.\n", rest->name,
                      rest->help ? rest->help : "");
                continue;
            }
        }
        LogAV(AV_LOG_ERROR, "Unrecognized option \"%s\".\n", name);
        if (return_on_invalid) {
            return AVERROR_OPTION_NOT_FOUND;
        }
    }
    finish_group();
    LogAV(AV_LOG_DEBUG, "Finished parsing the options.\n");
    return 0;
}
