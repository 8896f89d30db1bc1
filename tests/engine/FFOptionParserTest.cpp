#include "engine/tools/FFOptionParser.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "engine/base/FFLog.h"
#include "engine/base/FFOptions.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/engine/PlayerTestSupport.h"
#include "tests/support/TestEnv.h"

namespace {

// The caller's context that offset and per-stream rows write into.
struct TToolContext {
    int32_t Loop = -1;
    std::string Title;
    std::vector<TSpecifierOpt> Codecs;
};

int32_t gFlag = -1;
int32_t gCount = -1;
int64_t gBig = -1;
float gRatio = -1;
double gGain = -1;
std::string gName;
int64_t gStart = -1;
std::vector<std::string> gHandled;
std::vector<std::string> gDefaulted;

int HandleColor(void* /*ctx*/, const char* opt, const char* arg) {
    gHandled.push_back(std::string(opt) + "=" + arg);
    return std::string(arg) == "bad" ? -22 : 0;
}

int HandleDefault(void* /*ctx*/, const char* opt, const char* arg) {
    gDefaulted.push_back(std::string(opt) + "=" + arg);
    return 0;
}

const TOptionDef kTable[] = {
    {"flag", OPT_BOOL, {.dst_ptr = &gFlag}, "a switch", nullptr},
    {"n", HAS_ARG | OPT_INT, {.dst_ptr = &gCount}, "a count", "count"},
    {"big", HAS_ARG | OPT_INT64, {.dst_ptr = &gBig}, "a large number", "number"},
    {"ratio", HAS_ARG | OPT_FLOAT, {.dst_ptr = &gRatio}, "a ratio", "ratio"},
    {"gain", HAS_ARG | OPT_DOUBLE, {.dst_ptr = &gGain}, "a gain", "gain"},
    {"name", HAS_ARG | OPT_STRING, {.dst_ptr = &gName}, "a name", "text"},
    {"ss", HAS_ARG | OPT_TIME, {.dst_ptr = &gStart}, "a start time", "time"},
    {"color", HAS_ARG, {.func_arg = HandleColor}, "a handled option", "color"},
    {"loop",
     HAS_ARG | OPT_INT | OPT_OFFSET | OPT_PERFILE,
     {.off = offsetof(TToolContext, Loop)},
     "loops",
     "n"},
    {"title", HAS_ARG | OPT_STRING | OPT_OFFSET, {.off = offsetof(TToolContext, Title)}, "a title", "text"},
    {"codec", HAS_ARG | OPT_STRING | OPT_SPEC, {.off = offsetof(TToolContext, Codecs)}, "a codec", "name"},
    {"loglevel", HAS_ARG, {.func_arg = ff_opt_loglevel}, "the log level", "level"},
    {nullptr, 0, {.dst_ptr = nullptr}, nullptr, nullptr},
};

const TOptionDef kTableWithDefault[] = {
    {"flag", OPT_BOOL, {.dst_ptr = &gFlag}, "a switch", nullptr},
    {"default", HAS_ARG, {.func_arg = HandleDefault}, "anything else", "value"},
    {nullptr, 0, {.dst_ptr = nullptr}, nullptr, nullptr},
};

class OptionParserTest : public ::testing::Test {
protected:
    void SetUp() override {
        enginetest::LoadPlayerLibraries();  // durations are read by FFmpeg
        gFlag = gCount = -1;
        gBig = gStart = -1;
        gRatio = -1;
        gGain = -1;
        gName.clear();
        gHandled.clear();
        gDefaulted.clear();
        GOptionError.clear();
        fLevel = FFLogger().LogLevel();
        fFlags = FFLogger().LogFlags();
    }
    void TearDown() override {
        FFLogger().SetLogLevel(fLevel);
        FFLogger().SetLogFlags(fFlags);
    }
    int Parse(const std::vector<const char*>& AWords, bool AReturnOnInvalid = true) {
        return parse_options(&fContext, static_cast<int>(AWords.size()), AWords.data(), kTable,
                             AReturnOnInvalid);
    }

    TToolContext fContext;
    TLogLevel fLevel = llInfo;
    int fFlags = 1;
};

TEST_F(OptionParserTest, EveryTypedDestinationIsWritten) {
    ASSERT_EQ(Parse({"-flag", "-n", "42", "-big", "9000000000", "-ratio", "0.5", "-gain", "-1.25", "-name",
                     "\xc3\xa9t\xc3\xa9", "-ss", "1.5", "-color", "red", "-loop", "3", "-title", "x"}),
              0)
        << GOptionError;
    EXPECT_EQ(gFlag, 1);
    EXPECT_EQ(gCount, 42);
    EXPECT_EQ(gBig, 9000000000LL);
    EXPECT_FLOAT_EQ(gRatio, 0.5f);
    EXPECT_DOUBLE_EQ(gGain, -1.25);
    EXPECT_EQ(gName, "\xc3\xa9t\xc3\xa9");
    EXPECT_EQ(gStart, 1500000);
    EXPECT_EQ(gHandled, std::vector<std::string>{"color=red"});
    EXPECT_EQ(fContext.Loop, 3);
    EXPECT_EQ(fContext.Title, "x");
}

TEST_F(OptionParserTest, NoPrefixOfABooleanWritesZero) {
    gFlag = 1;
    EXPECT_EQ(parse_option(nullptr, "noflag", nullptr, kTable), 0);
    EXPECT_EQ(gFlag, 0);
    EXPECT_EQ(parse_option(nullptr, "flag", "0", kTable),
              0);  // a Boolean given by name is set, whatever follows
    EXPECT_EQ(gFlag, 1);
    EXPECT_EQ(parse_option(nullptr, "n", "7", kTable), 1);  // one argument word used
    // "no" before a row that is not a Boolean finds that row, which takes the given argument.
    EXPECT_EQ(parse_option(nullptr, "non", "5", kTable), 1);
    EXPECT_EQ(gCount, 5);
}

TEST_F(OptionParserTest, UnknownOptionWithoutDefaultRowIsRefused) {
    EXPECT_EQ(parse_option(nullptr, "zzz", "1", kTable), -22);
    EXPECT_EQ(GOptionError, "Unrecognized option \"zzz\"");
}

TEST_F(OptionParserTest, UnknownOptionGoesToTheDefaultRow) {
    EXPECT_EQ(parse_option(nullptr, "zzz", "1", kTableWithDefault), 1);
    EXPECT_EQ(parse_option(nullptr, "noflag", nullptr, kTableWithDefault), 0);
    EXPECT_EQ(gDefaulted, std::vector<std::string>{"zzz=1"});
    EXPECT_EQ(gFlag, 0);
}

TEST_F(OptionParserTest, MissingArgumentIsRefused) {
    EXPECT_EQ(Parse({"-flag", "-n"}), -22);
    EXPECT_EQ(GOptionError, "Missing argument for option \"n\"");
    EXPECT_EQ(gFlag, 1);  // options before it stay applied
}

TEST_F(OptionParserTest, ConversionFailuresRaiseWithTheirText) {
    const struct {
        const char* name;
        const char* arg;
        const char* message;
    } cases[] = {
        {"n", "12abc", "Expected integer for \"n\" but found \"12abc\""},
        {"n", "9000000000", "Expected integer for \"n\" but found \"9000000000\""},
        {"big", "1.5", "Expected int64 for \"big\" but found \"1.5\""},
        {"ratio", "half", "Expected float for \"ratio\" but found \"half\""},
        {"gain", "", "Expected double for \"gain\" but found \"\""},
        {"ss", "soon", "Invalid duration specification for \"ss\": \"soon\""},
    };
    for (const auto& c : cases) {
        try {
            parse_option(&fContext, c.name, c.arg, kTable);
            ADD_FAILURE() << c.name << " " << c.arg << " was accepted";
        } catch (const EOptionError& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
    }
    EXPECT_EQ(gCount, -1);
}

TEST_F(OptionParserTest, HandlerFailuresAreCollectedInTheErrorText) {
    const std::vector<const char*> words{"-color", "bad", "-color", "bad"};
    // A parse clears the text for each option, so it holds the one failure.
    EXPECT_EQ(parse_options(nullptr, 4, words.data(), kTable, true), -22);
    const std::string one =
        "Failed to set value \"bad\" for option \"color\": Invalid argument / Invalid data found when "
        "processing "
        "input";
    EXPECT_EQ(GOptionError, one);
    // Single options in a row add their messages, one per line.
    EXPECT_EQ(parse_option(nullptr, "color", "bad", kTable), -22);
    EXPECT_EQ(GOptionError, one + "\r\n" + one);
}

TEST_F(OptionParserTest, PerStreamValuesKeepTheirSpecifiers) {
    ASSERT_EQ(Parse({"-codec:a", "aac", "-codec", "copy", "-codec:v:0", "h264"}), 0);
    ASSERT_EQ(fContext.Codecs.size(), 3u);
    EXPECT_EQ(fContext.Codecs[0].specifier, "a");
    EXPECT_EQ(std::get<std::string>(fContext.Codecs[0].u), "aac");
    EXPECT_EQ(fContext.Codecs[1].specifier, "");
    EXPECT_EQ(std::get<std::string>(fContext.Codecs[1].u), "copy");
    EXPECT_EQ(fContext.Codecs[2].specifier, "v:0");
}

TEST_F(OptionParserTest, AnOffsetRowWithoutContextIsRefused) {
    EXPECT_THROW(parse_option(nullptr, "loop", "2", kTable), EOptionError);
}

TEST_F(OptionParserTest, StrayWords) {
    EXPECT_EQ(Parse({"-n", "1", "stray", "-flag"}), -22);
    EXPECT_EQ(GOptionError, "Failed to parse options on stray");
    EXPECT_EQ(gFlag, -1);  // parsing stopped at the stray word
    EXPECT_EQ(Parse({""}), -22);
    EXPECT_EQ(GOptionError, "Failed to parse options");
    // Without return on invalid, stray words and unknown options are skipped.
    EXPECT_EQ(Parse({"stray", "-zzz", "-", "-flag", "-n", "9"}, false), 0);
    EXPECT_EQ(gFlag, 1);
    EXPECT_EQ(gCount, 9);
}

TEST_F(OptionParserTest, LocateOption) {
    const std::vector<const char*> words{"file", "-n", "-flag", "-noflag", "-zzz", "-loglevel", "debug"};
    const int count = static_cast<int>(words.size());
    const struct {
        const char* name;
        int position;
    } cases[] = {
        {"flag", 3},      // "-flag" at 2 is the argument of "-n"; "-noflag" names the row
        {"zzz", 4},       // an option the table does not know is found by its own name
        {"loglevel", 5},  //
        {"n", 1},        {"v", -1}, {"file", -1},  // a word that is not an option is never found
    };
    for (const auto& c : cases) {
        EXPECT_EQ(locate_option(count, words.data(), kTable, c.name), c.position) << c.name;
    }
}

TEST_F(OptionParserTest, LogLevelNamesNumbersAndRepeat) {
    const struct {
        const char* arg;
        TLogLevel level;
        int flags;
    } cases[] = {
        {"repeat+debug", llDebug, 0}, {"info", llInfo, AV_LOG_SKIP_REPEATED},
        {"40", llVerbose, 1},         {"repeatquiet", llQuiet, 0},
        {"error", llError, 1},        {"repeat+warning", llWarning, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ff_opt_loglevel(nullptr, "loglevel", c.arg), 0) << c.arg;
        EXPECT_EQ(FFLogger().LogLevel(), c.level) << c.arg;
        EXPECT_EQ(FFLogger().LogFlags(), c.flags) << c.arg;
    }
    // "repeat" alone only stops the skipping.
    EXPECT_EQ(ff_opt_loglevel(nullptr, "loglevel", "info"), 0);
    EXPECT_EQ(ff_opt_loglevel(nullptr, "loglevel", "repeat"), 0);
    EXPECT_EQ(FFLogger().LogLevel(), llInfo);
    EXPECT_EQ(FFLogger().LogFlags(), 0);
}

TEST_F(OptionParserTest, InvalidLogLevelListsTheNames) {
    const TLogLevel before = FFLogger().LogLevel();
    for (const char* arg : {"loud", "", "Debug", "repeat+1x"}) {
        EXPECT_EQ(ff_opt_loglevel(nullptr, "loglevel", arg), -22) << arg;
        EXPECT_EQ(FFLogger().LogLevel(), before);
    }
    EXPECT_EQ(
        GOptionError,
        "Invalid loglevel \"1x\". Possible levels are numbers or:\r\n\"quiet\"\r\n\"panic\"\r\n\"fatal\"\r\n"
        "\"error\"\r\n\"warning\"\r\n\"info\"\r\n\"verbose\"\r\n\"debug\"\r\n");
}

TEST_F(OptionParserTest, ParseLoglevelFindsTheOptionAmongTheWords) {
    const std::vector<const char*> words{"-n", "3", "-loglevel", "repeat+verbose", "-flag"};
    EXPECT_EQ(parse_loglevel(static_cast<int>(words.size()), words.data(), kTable), 0);
    EXPECT_EQ(FFLogger().LogLevel(), llVerbose);
    EXPECT_EQ(FFLogger().LogFlags(), 0);
    const std::vector<const char*> shortForm{"-v", "debug"};
    EXPECT_EQ(parse_loglevel(2, shortForm.data(), kTable), 0);
    EXPECT_EQ(FFLogger().LogLevel(), llDebug);
    const std::vector<const char*> none{"-flag"};
    EXPECT_EQ(parse_loglevel(1, none.data(), kTable), -1);
    const std::vector<const char*> last{"-flag", "-loglevel"};
    EXPECT_EQ(parse_loglevel(2, last.data(), kTable), 1);  // found, but nothing follows it
    EXPECT_EQ(FFLogger().LogLevel(), llDebug);
}

TEST(GrowArray, GrowsZeroedAndNeverShrinks) {
    std::vector<int64_t> values{5};
    int64_t* data = grow_array(values, 3);
    ASSERT_EQ(values.size(), 3u);
    EXPECT_EQ(data, values.data());
    EXPECT_EQ(values[0], 5);
    EXPECT_EQ(values[2], 0);
    grow_array(values, 1);
    EXPECT_EQ(values.size(), 3u);
    try {
        grow_array(values, static_cast<int>(INT_MAX / sizeof(int64_t)));
        ADD_FAILURE() << "a count beyond the limit was accepted";
    } catch (const EOptionError& e) {
        EXPECT_STREQ(e.what(), "Array too big.");
    }
}

TEST(ReadFile, WholeFileWithATerminatingZero) {
    testsupport::TempDir dir;
    const auto path = dir / "opts.txt";
    testsupport::WriteFile(path, std::string("abc\0def", 7));
    std::vector<char> buffer;
    int64_t length = 0;
    ASSERT_EQ(ffutils_read_file(path.string(), buffer, length), 0);
    EXPECT_EQ(length, 8);
    EXPECT_EQ(std::string(buffer.data(), 8), std::string("abc\0def\0", 8));

    testsupport::WriteFile(dir / "empty.txt", "");
    ASSERT_EQ(ffutils_read_file((dir / "empty.txt").string(), buffer, length), 0);
    EXPECT_EQ(length, 1);

    playertest::LogCapture log;
    length = 99;
    EXPECT_EQ(ffutils_read_file((dir / "missing.txt").string(), buffer, length), -1);
    EXPECT_EQ(length, 99);
    EXPECT_TRUE(log.Contains("Cannot read file \"" + (dir / "missing.txt").string() + "\""));
    EXPECT_EQ(ffutils_read_file(dir.path().string(), buffer, length), -5);  // a folder is not a file
    EXPECT_TRUE(log.Contains("IO error"));
    EXPECT_FALSE(log.Contains("Could not allocate file buffer"));
}

// The option holder's own parse: rows of the table are collected by group, other words go to the
// FFmpeg option dictionaries.
class OptionHolderParseTest : public ::testing::Test {
protected:
    void SetUp() override {
        enginetest::LoadPlayerLibraries();
        gFlag = gCount = -1;
        GOptionError.clear();
        fOptions.init_parse_context();
    }
    int Parse(const std::vector<const char*>& AWords, bool AReturnOnInvalid = true) {
        return fOptions.parse_options(&fContext, static_cast<int>(AWords.size()), AWords.data(), kTable, "",
                                      AReturnOnInvalid);
    }
    static std::string Value(const AVDictionary* ADict, const char* AKey) {
        const AVDictionaryEntry* entry = ff::av_dict_get(ADict, AKey, nullptr, 0);
        return entry ? entry->value : "<none>";
    }

    TFFOptions fOptions;
    TToolContext fContext;
};

TEST_F(OptionHolderParseTest, RowsGoToTheirGroupAndOtherOptionsToTheFileGroupsDictionaries) {
    ASSERT_EQ(Parse({"-loop", "4", "-flag", "-threads", "3", "-probesize", "50000", "-n", "8", "-noflag"}), 0)
        << GOptionError;
    TOptionParseContext* octx = fOptions.GetOptionParseContext();
    ASSERT_EQ(octx->file_opts.nb_opts(), 1);
    EXPECT_EQ(octx->file_opts.opts[0].key, "loop");
    EXPECT_EQ(octx->file_opts.opts[0].val, "4");
    ASSERT_EQ(octx->global_opts.nb_opts(), 3);
    EXPECT_EQ(octx->global_opts.opts[0].val, "1");  // a Boolean given by name
    EXPECT_EQ(octx->global_opts.opts[2].key, "noflag");
    EXPECT_EQ(octx->global_opts.opts[2].val, "0");
    // The dictionaries moved into the file group; the holder starts afresh.
    EXPECT_EQ(Value(octx->file_opts.codec_opts, "threads"), "3");
    EXPECT_EQ(Value(octx->file_opts.format_opts, "probesize"), "50000");
    EXPECT_NE(octx->file_opts.sws_opts, nullptr);
    EXPECT_EQ(fOptions.codec_opts(), nullptr);
    EXPECT_EQ(fOptions.format_opts(), nullptr);
    EXPECT_NE(fOptions.sws_opts(), nullptr);

    // Nothing is stored until the groups are applied.
    EXPECT_EQ(gCount, -1);
    EXPECT_EQ(parse_optgroup(&fContext, &octx->global_opts, "global", "", 0, false), 0);
    EXPECT_EQ(gCount, 8);
    EXPECT_EQ(gFlag, 0);
    EXPECT_EQ(parse_optgroup(&fContext, &octx->file_opts, "input file", "a.mkv", OPT_PERFILE, false), 0);
    EXPECT_EQ(fContext.Loop, 4);
    // A group that must hold per-file options refuses a global one.
    EXPECT_EQ(parse_optgroup(&fContext, &octx->global_opts, "input file", "a.mkv", OPT_PERFILE, false), -22);

    fOptions.init_parse_context();
    EXPECT_EQ(octx->file_opts.nb_opts(), 0);
    EXPECT_EQ(octx->global_opts.nb_opts(), 0);
    EXPECT_EQ(octx->file_opts.codec_opts, nullptr);
}

TEST_F(OptionHolderParseTest, UnknownAndFailingOptions) {
    EXPECT_EQ(Parse({"-zzz", "1"}), AVERROR_OPTION_NOT_FOUND);
    EXPECT_EQ(Parse({"-zzz", "1", "-n", "5"}, false), 0);  // skipped: "1" is a stray word, then -n
    EXPECT_EQ(fOptions.GetOptionParseContext()->global_opts.opts.back().val, "5");
    EXPECT_EQ(Parse({"-n"}), -22);
    // An option FFmpeg knows but whose value it refuses ends the parse with FFmpeg's error.
    const int ret = Parse({"-resampler", "no_such_resampler"});
    EXPECT_LT(ret, 0);
    EXPECT_NE(ret, AVERROR_OPTION_NOT_FOUND);
    EXPECT_EQ(GOptionError, "Error setting option \"resampler\"");
}

TEST_F(OptionHolderParseTest, FinishingTwiceKeepsTheLatestHolders) {
    ASSERT_EQ(Parse({"-threads", "2"}), 0);
    ASSERT_EQ(Parse({"-probesize", "40000"}), 0);
    const TOptionGroup& file = fOptions.GetOptionParseContext()->file_opts;
    EXPECT_EQ(Value(file.format_opts, "probesize"), "40000");
    EXPECT_EQ(Value(file.codec_opts, "threads"), "<none>");
}

}  // namespace
