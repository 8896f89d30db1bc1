// A parser for options written as command-line words ("-name value") against a caller's option table:
// typed destinations, per-stream values, option groups and the log level option. Options the table does
// not know fall through to TFFOptions::opt_default when parsed by TFFOptions::parse_options.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

extern "C" {
#include <libavutil/dict.h>
}

struct SwsContext;

// Row flags (the values FFmpeg's own command-line tools use).
inline constexpr int HAS_ARG = 0x0001;
inline constexpr int OPT_BOOL = 0x0002;
inline constexpr int OPT_STRING = 0x0008;
inline constexpr int OPT_INT = 0x0080;
inline constexpr int OPT_FLOAT = 0x0100;
inline constexpr int OPT_INT64 = 0x0400;
inline constexpr int OPT_PERFILE = 0x2000;
inline constexpr int OPT_OFFSET = 0x4000;
inline constexpr int OPT_SPEC = 0x8000;
inline constexpr int OPT_TIME = 0x10000;
inline constexpr int OPT_DOUBLE = 0x20000;

// A handler row's function: (caller's context, option name, argument); below 0 is a failure.
using TOptionHandler = int (*)(void* optctx, const char* opt, const char* arg);

// One row of an option table; the table ends with a row whose name is null. Destinations by flags:
// OPT_STRING std::string, OPT_BOOL and OPT_INT int32_t, OPT_INT64 and OPT_TIME int64_t (microseconds),
// OPT_FLOAT float, OPT_DOUBLE double. OPT_OFFSET and OPT_SPEC rows hold an offset into the caller's
// context; an OPT_SPEC destination is a std::vector<TSpecifierOpt>.
struct TOptionDef {
    const char* name;
    int flags;
    union {
        void* dst_ptr;
        TOptionHandler func_arg;
        size_t off;
    } u;
    const char* help;
    const char* argname;
};

// One value of a per-stream option: the stream specifier written after ':' (empty when none) and the value.
struct TSpecifierOpt {
    std::string specifier;
    std::variant<std::string, int32_t, int64_t, float, double> u;
};

// An option collected by TFFOptions::parse_options: its row, the name as written and the argument.
struct TOption {
    const TOptionDef* opt = nullptr;
    std::string key;
    std::string val;
};

// Collected options and the FFmpeg option holders that belong with them. Owns the holders.
class TOptionGroup {
public:
    TOptionGroup() = default;
    ~TOptionGroup();
    TOptionGroup(const TOptionGroup&) = delete;
    TOptionGroup& operator=(const TOptionGroup&) = delete;

    int nb_opts() const { return static_cast<int>(opts.size()); }
    bool HoldsNoOptions() const;
    // Frees the holders and forgets the collected options.
    void Clear();
    void FreeHolders();

    std::vector<TOption> opts;
    AVDictionary* codec_opts = nullptr;
    AVDictionary* format_opts = nullptr;
    AVDictionary* resample_opts = nullptr;
    SwsContext* sws_opts = nullptr;
    AVDictionary* swr_opts = nullptr;

    // The free functions of the libraries that made the holders, kept so that they are freed even after
    // the loader has cleared its bindings.
    void (*FreeDict)(AVDictionary**) = nullptr;
    void (*FreeScaler)(SwsContext*) = nullptr;
};

struct TOptionParseContext {
    TOptionGroup global_opts;
    TOptionGroup file_opts;
};

// Raised for an argument that does not convert to its row's type, and by grow_array.
class EOptionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Stores one option: the number of words used (0 or 1), or -22 for an unknown option or a missing
// argument (GOptionError tells which). AArg may be null.
int parse_option(void* optctx, const char* opt, const char* arg, const TOptionDef* options);
// Walks the words; with return_on_invalid the first failure or stray word is returned, else skipped.
int parse_options(void* optctx, int argc, const char* const* argv, const TOptionDef* options,
                  bool return_on_invalid);
// Stores the collected options of a group; with group flags, an option that shares none of them is refused.
int parse_optgroup(void* optctx, TOptionGroup* g, const std::string& group_name, const std::string& group_arg,
                   int group_flags, bool unused);
// The position of the option among the words, or -1.
int locate_option(int argc, const char* const* argv, const TOptionDef* options, const char* optname);
// Applies a "-loglevel" or "-v" given among the words.
int parse_loglevel(int argc, const char* const* argv, const TOptionDef* options);
// "[repeat+]level": level names quiet..debug or a number; "repeat" stops the skipping of repeated lines.
int ff_opt_loglevel(void* optctx, const char* opt, const char* arg);
// A duration (is_duration) or date in microseconds; raises EOptionError for a text that is neither.
int64_t parse_time_or_die(const char* context, const char* timestr, bool is_duration);
// Reads a whole file, adding a terminating zero byte that ALength counts. 0 or a negative error.
int ffutils_read_file(const std::string& AFileName, std::vector<char>& ABuffer, int64_t& ALength);

// Grows AArray to ANewCount zeroed elements (never shrinks) and returns its storage; raises
// EOptionError "Array too big." or "Could not alloc buffer.".
template <typename T>
T* grow_array(std::vector<T>& AArray, int ANewCount) {
    if (ANewCount >= static_cast<int>(INT_MAX / sizeof(T))) {
        throw EOptionError("Array too big.");
    }
    if (ANewCount > static_cast<int>(AArray.size())) {
        try {
            AArray.resize(static_cast<size_t>(ANewCount));
        } catch (const std::bad_alloc&) {
            throw EOptionError("Could not alloc buffer.");
        }
    }
    return AArray.data();
}
