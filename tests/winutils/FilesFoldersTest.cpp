#include "winutils/Winutils_filesfolders.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/TestEnv.h"
#include "tests/winutils/Flavour.h"

namespace {

TEST(FLAVOURED(GetSpecialFolderPathTest), ApplicationDataFolders) {
    testsupport::IsolatedHome home;
    std::string path;
    ASSERT_TRUE(winutils::GetSpecialFolderPath(6, path));
    EXPECT_EQ(path, home.configHome().string() + "/");

    path = "unchanged";
    if (kPollwick) {
        // The older table has no local application-data entry: code 7 is the favourites folder, which
        // has no counterpart here.
        EXPECT_FALSE(winutils::GetSpecialFolderPath(7, path));
        EXPECT_EQ(path, "unchanged");
    } else {
        ASSERT_TRUE(winutils::GetSpecialFolderPath(7, path));
        EXPECT_EQ(path, home.dataHome().string() + "/");
    }
}

TEST(FLAVOURED(GetSpecialFolderPathTest), CodesByFlavour) {
    testsupport::IsolatedHome home;
    testsupport::ScopedEnv homeDir("HOME", home.root().string());
    struct Case {
        unsigned code;
        bool found;
    };
    // Desktop, documents and videos exist everywhere; network neighbourhood, computer, recent items and
    // favourites have no counterpart; 0 and 10 are outside the table, 9 is past Pollwick's table.
    const Case player[] = {{0, false}, {1, true}, {2, false}, {3, false}, {4, true},  {5, false},
                           {6, true},  {7, true}, {8, false}, {9, true},  {10, false}};
    const Case pollwick[] = {{0, false}, {1, true},  {2, false}, {3, false}, {4, true},  {5, false},
                             {6, true},  {7, false}, {8, true},  {9, false}, {10, false}};
    for (const Case& c : kPollwick ? pollwick : player) {
        std::string path = "unchanged";
        EXPECT_EQ(winutils::GetSpecialFolderPath(c.code, path), c.found) << c.code;
        if (c.found) {
            EXPECT_EQ(path.front(), '/') << c.code;
            EXPECT_EQ(path.back(), '/') << c.code;
        } else {
            EXPECT_EQ(path, "unchanged") << c.code;
        }
    }
}

TEST(FLAVOURED(GetSpecialFolderPathTest), VideosFolderFollowsTheUserFolders) {
    testsupport::IsolatedHome home;
    testsupport::ScopedEnv homeDir("HOME", home.root().string());
    testsupport::WriteFile(home.configHome() / "user-dirs.dirs", "XDG_VIDEOS_DIR=\"$HOME/Films\"\n");
    std::string path;
    ASSERT_TRUE(winutils::GetSpecialFolderPath(kPollwick ? 8 : 9, path));
    EXPECT_EQ(path, (home.root() / "Films").string() + "/");
}

// The replacement leaves the old file or the new one, and never a temporary file, whichever step fails.
TEST(FLAVOURED(WriteAndReplaceFileTest), ReplacesWithTheModeOrLeavesEverythingAsItWas) {
    testsupport::TempDir dir;
    const std::filesystem::path file = dir.path() / "data.txt";
    const std::string pattern = (dir.path() / ".data.txt.XXXXXX").string();
    std::string error;
    ASSERT_TRUE(winutils::WriteAndReplaceFile(file, pattern, "old\n", 0640, error)) << error;
    ASSERT_TRUE(winutils::WriteAndReplaceFile(file, pattern, "new\n", 0640, error)) << error;
    EXPECT_EQ(testsupport::ReadFile(file), "new\n");
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);

    // The temporary file cannot be made: its folder is missing.
    EXPECT_FALSE(
        winutils::WriteAndReplaceFile(file, (dir.path() / "missing" / "t.XXXXXX").string(), "x", 0640, error));
    EXPECT_EQ(error.rfind("cannot create a temporary file: ", 0), 0u) << error;

    // The rename fails: the target is a folder with something in it.
    const std::filesystem::path folder = dir.path() / "folder";
    testsupport::WriteFile(folder / "inside", "kept\n");
    error.clear();
    EXPECT_FALSE(winutils::WriteAndReplaceFile(folder, pattern, "x", 0640, error));
    EXPECT_EQ(error.rfind("cannot replace the file: ", 0), 0u) << error;
    EXPECT_EQ(testsupport::ReadFile(folder / "inside"), "kept\n");

    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        left.push_back(entry.path().filename().string());
    }
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"data.txt", "folder"}));
    EXPECT_EQ(testsupport::ReadFile(file), "new\n");
}

}  // namespace
