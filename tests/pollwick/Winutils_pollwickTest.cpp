#include "pollwick/Winutils_pollwick.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/TestEnv.h"
#include "winutils/Winutils_debug.h"

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::WriteFile;

namespace {

TEST(FixURLParametersTest, Cases) {
    struct Case {
        const char* url;
        const char* expected;
    };
    const Case cases[] = {
        {"http://example.com?app=x&v=1", "http://example.com/?app=x&v=1"},
        {"https://example.com?a=1", "https://example.com/?a=1"},
        {"http://example.com/check?a=1", "http://example.com/check?a=1"},
        {"http://example.com/", "http://example.com/"},
        {"http://example.com", "http://example.com"},
        // Only the first "?" counts; the URL inside the query keeps its own slashes.
        {"http://example.com?u=http://other.org/x?y=1", "http://example.com/?u=http://other.org/x?y=1"},
        {"https://example.com?u=https://other.org", "https://example.com/?u=https://other.org"},
        // A scheme in capitals is not recognised, so its slashes count as the path.
        {"HTTP://example.com?a=1", "HTTP://example.com?a=1"},
        {"?a=1", "?a=1"},
        {"", ""},
        {"example.com?a=1", "example.com/?a=1"},
    };
    for (const Case& c : cases) {
        std::string url = c.url;
        pollwick::FixURLParameters(url);
        EXPECT_EQ(url, c.expected) << c.url;
    }
}

TEST(SlashTest, StripTrailingSlashes) {
    const std::pair<const char*, const char*> cases[] = {
        {"http://h/", "http://h"}, {"http://h///", "http://h"}, {"///", ""}, {"", ""}, {"a/b", "a/b"}};
    for (const auto& [text, expected] : cases) {
        std::string value = text;
        pollwick::StripTrailingSlashes(value);
        EXPECT_EQ(value, expected) << text;
    }
}

TEST(SlashTest, AddTrailingSlash) {
    const std::pair<const char*, const char*> cases[] = {
        {"http://h", "http://h/"}, {"http://h/", "http://h/"}, {"", "/"}, {"//", "//"}};
    for (const auto& [text, expected] : cases) {
        std::string value = text;
        pollwick::AddTrailingSlash(value);
        EXPECT_EQ(value, expected) << text;
    }
}

TEST(GetTempFolderTest, IsTheUsersTemporaryFolder) {
    testsupport::IsolatedHome home;
    EXPECT_EQ(pollwick::GetTempFolder(), home.tmpDir().string() + "/");
}

TEST(CopyStringBetweenTest, Cases) {
    struct Case {
        const char* source;
        const char* start;
        const char* end;
        const char* expected;
    };
    const Case cases[] = {
        {"<ver>1.2</ver>", "<ver>", "</ver>", "1.2"},
        {"<a>1</a><a>2</a>", "<a>", "</a>", "1"},
        {"<a></a>", "<a>", "</a>", ""},
        {"<a>1", "<a>", "</a>", ""},
        {"1</a>", "<a>", "</a>", ""},
        {"</a><a>x</a>", "<a>", "</a>", "x"},  // the end marker is searched after the start marker
        {"<A>x</A>", "<a>", "</a>", ""},       // exact case
        {"[[x]]", "[", "]", "[x"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(pollwick::copyStringBetween(c.source, c.start, c.end), c.expected) << c.source;
    }
}

class HexDumpTest : public ::testing::Test {
protected:
    void SetUp() override {
        prefs_.LogFile = (home_.root() / "log.txt").string();
        prefs_.DebugMask = 1;
        winutils::SetDebugLogPreferences(&prefs_);
    }
    void TearDown() override { winutils::SetDebugLogPreferences(nullptr); }

    std::string dump(const std::string& bytes, uint32_t mask = 1) {
        std::filesystem::remove(prefs_.LogFile);
        pollwick::DebugHexDump(mask, bytes.data(), bytes.size());
        return ReadFile(prefs_.LogFile);
    }

    testsupport::IsolatedHome home_;
    winutils::PreferencesHead prefs_;
};

TEST_F(HexDumpTest, ShortDumpIsOneLine) {
    EXPECT_EQ(dump("ab\x01\x7f~"), "61 62 01 7f 7e " + std::string(3 * 11 + 1, ' ') + " | ab..~\n");
}

TEST_F(HexDumpTest, FullRowIsFollowedByAnEmptyLine) {
    EXPECT_EQ(dump("0123456789abcdef"),
              "30 31 32 33 34 35 36 37  38 39 61 62 63 64 65 66  | 0123456789abcdef\n\n");
}

TEST_F(HexDumpTest, BarsLineUpForEveryRowLength) {
    for (size_t count = 1; count <= 40; ++count) {
        const std::string text = dump(std::string(count, 'z'));
        std::istringstream in(text);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        ASSERT_EQ(lines.size(), count / 16 + 1) << count;
        for (size_t row = 0; row < count / 16 + (count % 16 ? 1 : 0); ++row) {
            EXPECT_EQ(lines[row].find('|'), 50u) << count << " row " << row;
        }
        EXPECT_EQ(lines.back().empty(), count % 16 == 0) << count;
    }
}

TEST_F(HexDumpTest, EmptyDataAndMaskFilter) {
    EXPECT_EQ(dump(""), "[0 length data]\n");
    EXPECT_EQ(dump("abc", 32), "");  // 32 is not in the mask
}

TEST(ShellMoveFileTest, EmptyTargetOrMissingSourceFails) {
    testsupport::TempDir dir;
    WriteFile(dir / "a.bin", "data");
    EXPECT_FALSE(pollwick::ShellMoveFile((dir / "a.bin").string(), "", true, false));
    EXPECT_FALSE(pollwick::ShellMoveFile((dir / "missing").string(), (dir / "b.bin").string(), true, false));
    EXPECT_TRUE(fs::exists(dir / "a.bin"));
}

TEST(ShellMoveFileTest, MovesAndReplaces) {
    testsupport::TempDir dir;
    WriteFile(dir / "new.bin", "new");
    WriteFile(dir / "out" / "setup.bin", "old");
    std::string movedTo;
    ASSERT_TRUE(pollwick::ShellMoveFile((dir / "new.bin").string(), (dir / "out" / "setup.bin").string(),
                                        true, false, &movedTo));
    EXPECT_EQ(movedTo, (dir / "out" / "setup.bin").string());
    EXPECT_EQ(ReadFile(dir / "out" / "setup.bin"), "new");
    EXPECT_FALSE(fs::exists(dir / "new.bin"));
}

TEST(ShellMoveFileTest, CollisionGivesAFreeName) {
    testsupport::TempDir dir;
    WriteFile(dir / "setup.bin", "old");
    WriteFile(dir / "setup (2).bin", "older");
    WriteFile(dir / "part", "new");
    std::string movedTo;
    ASSERT_TRUE(
        pollwick::ShellMoveFile((dir / "part").string(), (dir / "setup.bin").string(), true, true, &movedTo));
    EXPECT_EQ(movedTo, (dir / "setup (3).bin").string());
    EXPECT_EQ(ReadFile(dir / "setup (3).bin"), "new");
    EXPECT_EQ(ReadFile(dir / "setup.bin"), "old");
    EXPECT_EQ(ReadFile(dir / "setup (2).bin"), "older");
}

TEST(ShellMoveFileTest, FolderTargetReceivesTheFile) {
    testsupport::TempDir dir;
    WriteFile(dir / "setup.bin", "x");
    fs::create_directories(dir / "dest");
    std::string movedTo;
    ASSERT_TRUE(pollwick::ShellMoveFile((dir / "setup.bin").string(), (dir / "dest").string(), true, false,
                                        &movedTo));
    EXPECT_EQ(movedTo, (dir / "dest" / "setup.bin").string());
    EXPECT_EQ(ReadFile(dir / "dest" / "setup.bin"), "x");
}

TEST(ShellMoveFileTest, MovesAcrossFileSystems) {
    if (!fs::is_directory("/dev/shm")) {
        GTEST_SKIP() << "no second file system at hand";
    }
    testsupport::TempDir dir;
    const fs::path source = fs::path("/dev/shm") / ("pollwick-move-" + dir.path().filename().string());
    WriteFile(source, std::string(100000, 'q'));
    ASSERT_TRUE(pollwick::ShellMoveFile(source.string(), (dir / "moved.bin").string(), true, false));
    EXPECT_EQ(ReadFile(dir / "moved.bin"), std::string(100000, 'q'));
    EXPECT_FALSE(fs::exists(source));
}

}  // namespace
