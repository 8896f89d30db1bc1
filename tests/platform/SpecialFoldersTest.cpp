#include "platform/SpecialFolders.h"

#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using platform::SpecialFolder;
using platform::SpecialFolderPath;
using testsupport::ScopedEnv;

class SpecialFolders : public testing::Test {
protected:
    SpecialFolders() : homeVar_("HOME", (home_.root() / "home").string()) {}

    fs::path Home() const { return home_.root() / "home"; }
    void WriteUserDirs(const std::string& content) const {
        testsupport::WriteFile(home_.configHome() / "user-dirs.dirs", content);
    }

    testsupport::IsolatedHome home_;
    ScopedEnv homeVar_;
};

TEST_F(SpecialFolders, ApplicationDataFollowTheBaseFolderVariables) {
    EXPECT_EQ(SpecialFolderPath(SpecialFolder::ApplicationData), home_.configHome());
    EXPECT_EQ(SpecialFolderPath(SpecialFolder::LocalApplicationData), home_.dataHome());

    ScopedEnv config("XDG_CONFIG_HOME", "/somewhere/config/");
    EXPECT_EQ(SpecialFolderPath(SpecialFolder::ApplicationData), fs::path("/somewhere/config"));
}

TEST_F(SpecialFolders, UnsetOrRelativeBaseFolderVariablesFallBackUnderHome) {
    for (std::optional<std::string> value :
         {std::optional<std::string>(), std::optional<std::string>("rel/dir"),
          std::optional<std::string>("")}) {
        ScopedEnv config("XDG_CONFIG_HOME", value);
        ScopedEnv data("XDG_DATA_HOME", value);
        EXPECT_EQ(SpecialFolderPath(SpecialFolder::ApplicationData), Home() / ".config");
        EXPECT_EQ(SpecialFolderPath(SpecialFolder::LocalApplicationData), Home() / ".local/share");
    }
}

TEST_F(SpecialFolders, UserFoldersComeFromTheUserDirsFile) {
    struct Case {
        const char* content;
        fs::path videos;
    };
    const fs::path home = Home();
    const std::vector<Case> cases = {
        {"XDG_VIDEOS_DIR=\"$HOME/Filme\"\n", home / "Filme"},
        {"# comment\n\n  XDG_VIDEOS_DIR=\"/data/clips/\"\n", "/data/clips"},
        {"XDG_VIDEOS_DIR=\"$HOME/My \\\"Clips\\\"\"\n", home / "My \"Clips\""},
        {"XDG_VIDEOS_DIR=\"$HOME/\"\n", home},
        {"XDG_VIDEOS_DIR=\"$HOME/A\"\nXDG_VIDEOS_DIR=\"$HOME/B\"\n", home / "B"},
        {"XDG_VIDEOS_DIR=\"Videos relative\"\n", home / "Videos"},
        {"XDG_VIDEOS_DIR=$HOME/unquoted\n", home / "Videos"},
        {"XDG_VIDEOS_DIR=\"$HOMEWORK/x\"\n", home / "Videos"},
        {"XDG_VIDEOS_DIRS=\"/other\"\n", home / "Videos"},
        {"XDG_MUSIC_DIR=\"$HOME/Musik\"\n", home / "Videos"},
        {"", home / "Videos"},
    };
    for (const auto& c : cases) {
        WriteUserDirs(c.content);
        EXPECT_EQ(SpecialFolderPath(SpecialFolder::Videos), c.videos) << c.content;
    }
}

TEST_F(SpecialFolders, EachUserFolderReadsItsOwnKey) {
    WriteUserDirs(
        "XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n"
        "XDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n"
        "XDG_VIDEOS_DIR=\"$HOME/Videos\"\n");
    EXPECT_EQ(SpecialFolderPath(SpecialFolder::Desktop), Home() / "Schreibtisch");
    EXPECT_EQ(SpecialFolderPath(SpecialFolder::Documents), Home() / "Dokumente");
    EXPECT_EQ(SpecialFolderPath(SpecialFolder::Videos), Home() / "Videos");
}

TEST_F(SpecialFolders, WithoutTheUserDirsFileTheUsualNamesUnderHomeAreUsed) {
    EXPECT_EQ(SpecialFolderPath(SpecialFolder::Desktop), Home() / "Desktop");
    EXPECT_EQ(SpecialFolderPath(SpecialFolder::Documents), Home() / "Documents");
    EXPECT_EQ(SpecialFolderPath(SpecialFolder::Videos), Home() / "Videos");
}

TEST_F(SpecialFolders, TheUserDirsFileIsReadFromXdgConfigHome) {
    testsupport::WriteFile(Home() / ".config" / "user-dirs.dirs", "XDG_DESKTOP_DIR=\"$HOME/Wrong\"\n");
    WriteUserDirs("XDG_DESKTOP_DIR=\"$HOME/Right\"\n");
    EXPECT_EQ(SpecialFolderPath(SpecialFolder::Desktop), Home() / "Right");
    ScopedEnv noConfig("XDG_CONFIG_HOME", std::nullopt);
    EXPECT_EQ(SpecialFolderPath(SpecialFolder::Desktop), Home() / "Wrong");
}

TEST_F(SpecialFolders, ShellFolderIdsMapOnlyToFoldersThatExistHere) {
    EXPECT_EQ(platform::SpecialFolderFromId(5), SpecialFolder::Documents);
    EXPECT_EQ(platform::SpecialFolderFromId(14), SpecialFolder::Videos);
    EXPECT_EQ(platform::SpecialFolderFromId(16), SpecialFolder::Desktop);
    EXPECT_EQ(platform::SpecialFolderFromId(26), SpecialFolder::ApplicationData);
    EXPECT_EQ(platform::SpecialFolderFromId(28), SpecialFolder::LocalApplicationData);
    for (int other : {-1, 0, 6, 8, 17, 19, 27, 1000}) {
        EXPECT_FALSE(platform::SpecialFolderFromId(other)) << other;
    }
}

TEST_F(SpecialFolders, TheTemporaryFolderIsTmpdir) {
    EXPECT_EQ(platform::TemporaryFolder(), home_.tmpDir());
    ScopedEnv relative("TMPDIR", "relative/tmp");
    auto fallback = platform::TemporaryFolder();
    ASSERT_TRUE(fallback);
    EXPECT_EQ(*fallback, fs::path("/tmp") / ("strevio-" + std::to_string(geteuid())));
    struct stat info {};
    ASSERT_EQ(lstat(fallback->c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_EQ(info.st_uid, geteuid());
}

TEST_F(SpecialFolders, APrivateFolderIsMadeClosedAndForeignOnesAreRefused) {
    const fs::path root = home_.root();
    std::error_code error;
    ASSERT_TRUE(platform::EnsurePrivateFolder(root / "fresh", error)) << error.message();
    struct stat info {};
    ASSERT_EQ(stat((root / "fresh").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_TRUE(platform::EnsurePrivateFolder(root / "fresh", error)) << "an existing private folder is fine";

    fs::create_directory(root / "open");
    fs::permissions(root / "open", fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec,
                    fs::perm_options::replace);
    EXPECT_FALSE(platform::EnsurePrivateFolder(root / "open", error));
    EXPECT_EQ(error, std::errc::permission_denied);

    fs::create_directory_symlink(root / "fresh", root / "link");
    EXPECT_FALSE(platform::EnsurePrivateFolder(root / "link", error));

    testsupport::WriteFile(root / "file", "x");
    EXPECT_FALSE(platform::EnsurePrivateFolder(root / "file", error));

    EXPECT_FALSE(platform::EnsurePrivateFolder(root / "missing" / "child", error));
}

TEST_F(SpecialFolders, TheProgramFolderHoldsTheRunningProgram) {
    auto folder = platform::ProgramFolder();
    ASSERT_TRUE(folder);
    EXPECT_TRUE(folder->is_absolute());
    EXPECT_TRUE(fs::exists(*folder / "platform_tests"));
}

}  // namespace
