// The desktop's file-type knowledge as the association setter and the ownership test read and change it:
// the MIME database's extension rules, editing mimeapps.list, the desktop's default lookup, and the Exec
// line of the player's desktop entry.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "setup/DesktopDefaults.h"
#include "setup/DesktopEntry.h"
#include "setup/MimeAppsList.h"
#include "setup/MimeDatabase.h"
#include "tests/player/ScratchDesktop.h"
#include "tests/support/TestEnv.h"

namespace {

using setup::MimeAppsList;

TEST(MimeDatabaseTest, ExtensionsGetTheTypesOfTheirHeaviestRules) {
    setup::MimeDatabase database;
    database.AddGlobs(
        "# comment\n"
        "50:video/x-matroska:*.mkv\n"
        "50:audio/ogg:*.ogg\n"
        "50:video/ogg:*.ogg\n"
        "50:audio/x-speex:*.spx\n"
        "40:application/x-profile:*.spx\n"
        "60:text/x-readme:README*\n"
        "50:text/x-c:*.C:cs\n");
    struct Case {
        const char* ext;
        std::vector<std::string> types;
    };
    const Case cases[] = {
        {".MKV", {"video/x-matroska"}},
        {"mkv", {"video/x-matroska"}},
        {".OGG", {"audio/ogg", "video/ogg"}},  // the content decides: both
        {".SPX", {"audio/x-speex"}},           // the lighter rule loses
        {".NUT", {}},
        {"", {}},
        {".C", {}},  // a case-sensitive rule matches only the exact spelling, not the lower-case file
    };
    for (const Case& c : cases) {
        EXPECT_EQ(database.TypesOfExtension(c.ext), c.types) << c.ext;
    }
}

TEST(MimeAppsListTest, AddingAndRemovingThePlayerRestoresTheText) {
    struct Case {
        const char* name;
        const char* before;
        const char* during;  // the text while the player is the default of video/x-matroska
    };
    const Case cases[] = {
        {"empty file", "", "[Default Applications]\nvideo/x-matroska=strevio.desktop;\n"},
        {"no default section", "# mine\n[Added Associations]\nimage/png=eog.desktop;\n",
         "# mine\n[Added Associations]\nimage/png=eog.desktop;\n[Default Applications]\n"
         "video/x-matroska=strevio.desktop;\n"},
        {"other types", "[Default Applications]\ntext/plain=gedit.desktop\n\n[Added Associations]\nx/y=z;\n",
         "[Default Applications]\ntext/plain=gedit.desktop\nvideo/x-matroska=strevio.desktop;\n\n"
         "[Added Associations]\nx/y=z;\n"},
        {"another program first", "[Default Applications]\nvideo/x-matroska=vlc.desktop\n",
         "[Default Applications]\nvideo/x-matroska=strevio.desktop;vlc.desktop\n"},
        {"two programs", "[Default Applications]\nVIDEO/X-MATROSKA = a.desktop;b.desktop;\n",
         "[Default Applications]\nVIDEO/X-MATROSKA = strevio.desktop;a.desktop;b.desktop;\n"},
        {"no final line end", "[Default Applications]\ntext/plain=gedit.desktop",
         "[Default Applications]\ntext/plain=gedit.desktop\nvideo/x-matroska=strevio.desktop;"},
        // The line ends' carriage returns are no part of a section name or an id.
        {"Windows line ends", "[Default Applications]\r\ntext/plain=gedit.desktop;\r\n",
         "[Default Applications]\r\ntext/plain=gedit.desktop;\r\nvideo/x-matroska=strevio.desktop;\n"},
    };
    for (const Case& c : cases) {
        MimeAppsList list(c.before);
        EXPECT_TRUE(list.PutDefaultFirst("video/x-matroska", "strevio.desktop")) << c.name;
        EXPECT_EQ(list.Text(), c.during) << c.name;
        EXPECT_EQ(list.Defaults("video/x-matroska").front(), "strevio.desktop") << c.name;
        EXPECT_FALSE(list.PutDefaultFirst("video/x-matroska", "strevio.desktop")) << c.name;
        EXPECT_TRUE(list.RemoveDefault("video/x-matroska", "strevio.desktop")) << c.name;
        EXPECT_EQ(list.Text(), c.before) << c.name;
        EXPECT_FALSE(list.RemoveDefault("video/x-matroska", "strevio.desktop")) << c.name;
    }
    // A default the player was given second is moved to the front; removing it keeps the others.
    MimeAppsList list("[Default Applications]\naudio/mpeg=a.desktop;strevio.desktop;\n");
    EXPECT_TRUE(list.PutDefaultFirst("audio/mpeg", "strevio.desktop"));
    EXPECT_EQ(list.Defaults("audio/mpeg"), (std::vector<std::string>{"strevio.desktop", "a.desktop"}));
    EXPECT_TRUE(list.RemoveDefault("audio/mpeg", "strevio.desktop"));
    EXPECT_EQ(list.Text(), "[Default Applications]\naudio/mpeg=a.desktop;\n");
    EXPECT_EQ(MimeAppsList("[Default Applications]\r\ntext/plain=gedit.desktop;\r\n").Defaults("text/plain"),
              (std::vector<std::string>{"gedit.desktop"}));
}

class DesktopDefaultsTest : public ::testing::Test {
protected:
    playertest::ScratchDesktop desktop_;
};

TEST_F(DesktopDefaultsTest, TheMostImportantInstalledDefaultWins) {
    desktop_.InstallApplication("mine.desktop", "video/mp4;");
    desktop_.InstallApplication("theirs.desktop", "video/mp4;");
    desktop_.InstallApplication("kde-thing.desktop", "audio/mpeg;");
    testsupport::WriteFile(desktop_.MimeAppsList(),
                           "[Default Applications]\nvideo/mp4=gone.desktop;mine.desktop\n");
    testsupport::WriteFile(desktop_.home().root() / "etc" / "mimeapps.list",
                           "[Default Applications]\nvideo/mp4=theirs.desktop\nvideo/mpeg=theirs.desktop\n");
    testsupport::WriteFile(desktop_.Applications() / "mimeapps.list",
                           "[Default Applications]\naudio/mpeg=gone.desktop\n");
    EXPECT_EQ(setup::DefaultApplication("video/mp4"), "mine.desktop");  // the uninstalled one is skipped
    EXPECT_EQ(setup::DefaultApplication("video/mpeg"), "theirs.desktop");
    EXPECT_EQ(setup::DefaultApplication("audio/mpeg"), "");
    EXPECT_EQ(setup::DefaultApplication("audio/flac"), "");
    {
        // The current desktop's own file comes first.
        testsupport::ScopedEnv current("XDG_CURRENT_DESKTOP", "KDE");
        testsupport::WriteFile(desktop_.home().configHome() / "kde-mimeapps.list",
                               "[Default Applications]\nvideo/mp4=theirs.desktop\n");
        EXPECT_EQ(setup::DefaultApplication("video/mp4"), "theirs.desktop");
    }
    // The desktop's own query agrees.
    EXPECT_EQ(desktop_.QueryDefault("video/mpeg"), "theirs.desktop");
}

TEST_F(DesktopDefaultsTest, AnExtensionIsOnesWhenAllItsTypesOpenWithIt) {
    desktop_.InstallApplication("strevio.desktop", "audio/ogg;");
    desktop_.InstallApplication("other.desktop", "video/ogg;");
    setup::MimeDatabase database;
    database.AddGlobs("50:audio/ogg:*.ogg\n50:video/ogg:*.ogg\n50:video/ogg:*.ogv\n50:audio/flac:*.flac\n");
    using setup::ExtensionOwner;
    testsupport::WriteFile(desktop_.MimeAppsList(), "[Default Applications]\naudio/ogg=strevio.desktop\n");
    EXPECT_EQ(setup::OwnerOfExtension(database, ".OGG", "strevio.desktop"), ExtensionOwner::Nobody);
    EXPECT_EQ(setup::OwnerOfExtension(database, ".FLAC", "strevio.desktop"), ExtensionOwner::Nobody);
    EXPECT_EQ(setup::OwnerOfExtension(database, ".NUT", "strevio.desktop"), ExtensionOwner::Nobody);
    testsupport::WriteFile(desktop_.MimeAppsList(),
                           "[Default Applications]\naudio/ogg=strevio.desktop\nvideo/ogg=strevio.desktop\n");
    EXPECT_EQ(setup::OwnerOfExtension(database, ".OGG", "strevio.desktop"), ExtensionOwner::Application);
    testsupport::WriteFile(desktop_.MimeAppsList(),
                           "[Default Applications]\naudio/ogg=strevio.desktop\nvideo/ogg=other.desktop\n");
    EXPECT_EQ(setup::OwnerOfExtension(database, ".OGG", "strevio.desktop"), ExtensionOwner::Other);
    EXPECT_EQ(setup::OwnerOfExtension(database, ".OGV", "strevio.desktop"), ExtensionOwner::Other);
}

TEST_F(DesktopDefaultsTest, FilesAreReplacedWholeAndAReadOnlyFileIsLeftAlone) {
    const auto file = desktop_.MimeAppsList();
    std::string error;
    ASSERT_TRUE(setup::ReplaceFileAtomically(file, "first\n", error)) << error;
    ::chmod(file.c_str(), 0600);
    ASSERT_TRUE(setup::ReplaceFileAtomically(file, "second\n", error)) << error;
    EXPECT_EQ(testsupport::ReadFile(file), "second\n");
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    // A link (a dotfile manager's) stays a link; the file it names changes.
    const auto real = desktop_.home().root() / "dotfiles" / "mimeapps.list";
    testsupport::WriteFile(real, "kept\n");
    std::filesystem::remove(file);
    std::filesystem::create_symlink(real, file);
    ASSERT_TRUE(setup::ReplaceFileAtomically(file, "third\n", error)) << error;
    EXPECT_TRUE(std::filesystem::is_symlink(file));
    EXPECT_EQ(testsupport::ReadFile(real), "third\n");

    ::chmod(real.c_str(), 0444);
    EXPECT_FALSE(setup::ReplaceFileAtomically(file, "fourth\n", error));
    EXPECT_EQ(testsupport::ReadFile(real), "third\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(real.parent_path()),
                            std::filesystem::directory_iterator()),
              1);
}

TEST(DesktopEntryTest, ExecStartsTheProgramOnTheFile) {
    struct Case {
        const char* program;
        const char* exec;
    };
    const Case cases[] = {
        {"/home/u/.local/bin/strevio", "/home/u/.local/bin/strevio"},
        {"/opt/my player/strevio", "\"/opt/my player/strevio\""},
        {"/opt/100%/$x\\strevio", "\"/opt/100%%/\\\\$x\\\\\\\\strevio\""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(setup::ExecArgument(c.program), c.exec) << c.program;
    }
    const std::string text = setup::DesktopEntryText("/usr/bin/strevio", "strevio", {"video/mp4", "audio/mpeg"});
    EXPECT_NE(text.find("\nExec=/usr/bin/strevio %f\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nIcon=strevio\n"), std::string::npos) << text;
    EXPECT_EQ(setup::DeclaredTypes(text), (std::vector<std::string>{"video/mp4", "audio/mpeg"}));
}

}  // namespace
