#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "player/Configuration.h"
#include "tests/support/TestEnv.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::WriteFile;

class PersonalDataFileTest : public ::testing::Test {
protected:
    fs::path LocalFile() const { return home_.dataHome() / "Strevio" / "Strevio.dat"; }

    testsupport::IsolatedHome home_;
    testsupport::TempDir programFolder_;
};

const char* const kDefaultFile =
    ";\r\n; Strevio configuration file\r\n;\r\nshow_donate=1\r\ncode_x=0\r\n;\r\n"
    "show_info_00=1\r\nshow_info_01=1\r\nshow_info_02=1\r\nshow_info_03=1\r\nshow_info_04=1\r\n"
    "show_info_05=1\r\nshow_info_06=1\r\nshow_info_07=1\r\nshow_info_08=1\r\nshow_info_09=1\r\n;\r\n";

TEST_F(PersonalDataFileTest, NoFileAnywhereKeepsDefaultsAndFirstSaveWritesTheFormat) {
    player::Configuration config(programFolder_.path());
    config.LoadPersonalConfigFile();
    EXPECT_EQ(config.show_donate, 1);
    EXPECT_EQ(config.code_x, 0);
    EXPECT_TRUE(fs::is_directory(home_.dataHome() / "Strevio"));
    EXPECT_FALSE(fs::exists(LocalFile()));

    config.SavePersonalConfigFile();
    EXPECT_EQ(ReadFile(LocalFile()), kDefaultFile);
    // Nothing but the data file is left in its folder.
    int entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(home_.dataHome() / "Strevio")) {
        ++entries;
    }
    EXPECT_EQ(entries, 1);
}

TEST_F(PersonalDataFileTest, CountersSurviveARoundTripByteExact) {
    {
        player::Configuration config(programFolder_.path());
        config.LoadPersonalConfigFile();
        config.code_x += 5;
        config.show_info[0] = 0;
        config.show_info[9] = -7;
        config.SavePersonalConfigFile();
    }
    const std::string saved = ReadFile(LocalFile());
    EXPECT_NE(saved.find("code_x=5\r\n"), std::string::npos);
    EXPECT_NE(saved.find("show_info_00=0\r\n"), std::string::npos);
    EXPECT_NE(saved.find("show_info_09=-7\r\n"), std::string::npos);

    player::Configuration again(programFolder_.path());
    again.LoadPersonalConfigFile();
    EXPECT_EQ(again.code_x, 5);
    EXPECT_EQ(again.show_info[0], 0);
    EXPECT_EQ(again.show_info[9], -7);
    EXPECT_EQ(again.show_donate, 1);
    again.SavePersonalConfigFile();
    EXPECT_EQ(ReadFile(LocalFile()), saved);
}

TEST_F(PersonalDataFileTest, FileInTheProgramFolderIsUsedWhileNoneIsInTheDataFolder) {
    const fs::path programFile = programFolder_ / "Strevio.dat";
    WriteFile(programFile, "code_x=12\n");
    player::Configuration config(programFolder_.path());
    EXPECT_EQ(config.getDataFile(), programFile.string());
    config.LoadPersonalConfigFile();
    EXPECT_EQ(config.code_x, 12);
    config.code_x = 13;
    config.SavePersonalConfigFile();
    EXPECT_NE(ReadFile(programFile).find("code_x=13\r\n"), std::string::npos);
    EXPECT_FALSE(fs::exists(LocalFile()));

    // Once the data folder holds one, that one wins.
    WriteFile(LocalFile(), "code_x=40\n");
    EXPECT_EQ(config.getDataFile(), LocalFile().string());
}

struct LineCase {
    const char* line;
    int32_t show_donate;
    int32_t code_x;
    int32_t info3;
};

void PrintTo(const LineCase& c, std::ostream* os) { *os << '"' << c.line << '"'; }

class PersonalDataLineTest : public PersonalDataFileTest, public ::testing::WithParamInterface<LineCase> {};

TEST_P(PersonalDataLineTest, ReadsTheLine) {
    const LineCase& c = GetParam();
    WriteFile(LocalFile(), std::string(c.line) + "\r\n");
    player::Configuration config(programFolder_.path());
    config.LoadPersonalConfigFile();
    EXPECT_EQ(config.show_donate, c.show_donate) << c.line;
    EXPECT_EQ(config.code_x, c.code_x) << c.line;
    EXPECT_EQ(config.show_info[3], c.info3) << c.line;
    for (size_t i = 0; i < config.show_info.size(); ++i) {
        if (i != 3) {
            EXPECT_EQ(config.show_info[i], 1) << c.line << " changed notice " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, PersonalDataLineTest,
    ::testing::Values(LineCase{"show_donate=0;do not show", 0, 0, 1}, LineCase{"show_info_03=5", 1, 0, 5},
                      LineCase{"show_info_3=5", 1, 0, 0}, LineCase{"show_info_12=0", 1, 0, 1},
                      LineCase{"show_info_-1=0", 1, 0, 1}, LineCase{"show_info_0", 1, 0, 1},
                      LineCase{"code_x=abc", 1, 0, 1}, LineCase{"code_x=  -42xyz", 1, -42, 1},
                      LineCase{"Code_x=9", 1, 0, 1}, LineCase{" code_x=9", 1, 0, 1},
                      LineCase{"#code_x=9", 1, 0, 1}, LineCase{"code_x=99999999999", 1, 2147483647, 1}));

TEST_F(PersonalDataFileTest, LastOfARepeatedKeyWinsAndLongLinesAreSplit) {
    const std::string longLine = "show_donate=7" + std::string(3000, 'x') + "code_x=3";
    WriteFile(LocalFile(), "code_x=1\ncode_x=2\n" + longLine + "\n");
    player::Configuration config(programFolder_.path());
    config.LoadPersonalConfigFile();
    EXPECT_EQ(config.show_donate, 7);
    EXPECT_EQ(config.code_x, 2);
}

}  // namespace

namespace {

TEST_F(PersonalDataFileTest, FileThatWasNotReadIsNeverReplacedByDefaults) {
    const std::string stored = "code_x=77\r\n";
    WriteFile(LocalFile(), stored);
    player::Configuration config(programFolder_.path());
    // Saving before the file was read would put the defaults over the user's counters.
    config.SavePersonalConfigFile();
    EXPECT_EQ(ReadFile(LocalFile()), stored);

    config.LoadPersonalConfigFile();
    config.SavePersonalConfigFile();
    EXPECT_NE(ReadFile(LocalFile()).find("code_x=77\r\n"), std::string::npos);
}

}  // namespace
