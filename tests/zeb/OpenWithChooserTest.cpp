// zeb's own "open with" chooser: the desktop's applications for a made-up type (a scratch XDG data
// folder with two desktop entries), and the chosen one started with the file as one argument.
#include "zeb/OpenWithChooser.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include "tests/zeb/ZebTestTools.h"
#include "zeb/DesktopEntries.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ScopedEnv;
using testsupport::WriteFile;
using ::testing::ElementsAre;

constexpr auto kRunTimeout = std::chrono::seconds(20);
const std::string kType = "application/x-zebtest";

std::vector<std::string> Names(const std::vector<zeb::DesktopApplication>& apps) {
    std::vector<std::string> names;
    for (const auto& app : apps) {
        names.push_back(app.name);
    }
    return names;
}

// The desktop of these tests: a shared-MIME-info package for *.zebtest, and desktop entries whose
// programs record how they were started. Qt's MIME database reads its folders once per process, so the
// folder is the same for every test of the suite.
class OpenWithChooserTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        desktop_ = new testsupport::TempDir();
        recorders_ = new zebtest::RecordingPrograms({"viewer-one", "viewer-two", "other-program"});
        const fs::path data = desktop_->path() / "data";
        WriteFile(data / "mime/packages/zebtest.xml",
                  "<?xml version=\"1.0\"?>\n"
                  "<mime-info xmlns=\"http://www.freedesktop.org/standards/shared-mime-info\">\n"
                  "  <mime-type type=\"application/x-zebtest\">\n"
                  "    <comment>zeb test document</comment>\n"
                  "    <glob pattern=\"*.zebtest\"/>\n"
                  "  </mime-type>\n"
                  "</mime-info>\n");
        const std::string bin = recorders_->bin().string();
        WriteFile(data / "applications/zebtest-one.desktop",
                  "[Desktop Entry]\nType=Application\nName=Zebtest One\nIcon=document-open\n"
                  "Exec=" + bin + "/viewer-one --one %f\nMimeType=application/x-zebtest;text/plain;\n");
        // In a sub-folder: its ID is tools-zebtest-two.desktop.
        WriteFile(data / "applications/tools/zebtest-two.desktop",
                  "[Desktop Entry]\nType=Application\nName=Zebtest Two\n"
                  "Exec=\"" + bin + "/viewer-two\" --title %c %U\nMimeType=application/x-zebtest;\n");
        WriteFile(data / "applications/zebtest-terminal.desktop",
                  "[Desktop Entry]\nType=Application\nName=Zebtest Terminal\nTerminal=true\n"
                  "Exec=viewer-one\nMimeType=application/x-zebtest;\n");
        WriteFile(data / "applications/zebtest-hidden.desktop",
                  "[Desktop Entry]\nType=Application\nName=Zebtest Hidden\nHidden=true\n"
                  "Exec=viewer-one\nMimeType=application/x-zebtest;\n");
        WriteFile(data / "applications/zebtest-removed.desktop",
                  "[Desktop Entry]\nType=Application\nName=Zebtest Removed\n"
                  "Exec=viewer-one\nMimeType=application/x-zebtest;\n");
        WriteFile(desktop_->path() / "config/mimeapps.list",
                  "[Default Applications]\napplication/x-zebtest=tools-zebtest-two.desktop;\n\n"
                  "[Removed Associations]\napplication/x-zebtest=zebtest-removed.desktop;\n");
        fs::create_directories(desktop_->path() / "share");
        fs::create_directories(desktop_->path() / "xdg");
    }
    static void TearDownTestSuite() {
        delete recorders_;
        delete desktop_;
    }

    static testsupport::TempDir* desktop_;
    static zebtest::RecordingPrograms* recorders_;

    // Only the scratch desktop counts: no application of this machine.
    ScopedEnv dataHome_{"XDG_DATA_HOME", (desktop_->path() / "data").string()};
    ScopedEnv dataDirs_{"XDG_DATA_DIRS", (desktop_->path() / "share").string()};
    ScopedEnv configHome_{"XDG_CONFIG_HOME", (desktop_->path() / "config").string()};
    ScopedEnv configDirs_{"XDG_CONFIG_DIRS", (desktop_->path() / "xdg").string()};
    const std::string file_ = (desktop_->path() / "my report; $(touch x) \"1\".zebtest").string();
};

testsupport::TempDir* OpenWithChooserTest::desktop_ = nullptr;
zebtest::RecordingPrograms* OpenWithChooserTest::recorders_ = nullptr;

TEST_F(OpenWithChooserTest, ListsTheDesktopsApplicationsForTheTypeWithTheDefaultFirst) {
    const std::vector<std::string> types = zeb::MimeTypesOf(file_);
    ASSERT_FALSE(types.empty());
    EXPECT_EQ(types.front(), kType);
    EXPECT_THAT(Names(zeb::ApplicationsFor(types)), ElementsAre("Zebtest Two", "Zebtest One"));
    EXPECT_THAT(Names(zeb::ApplicationsFor({"text/plain"})), ElementsAre("Zebtest One"));
    EXPECT_TRUE(zeb::ApplicationsFor({"application/x-nobody-opens-this"}).empty());

    zeb::OpenWithChooser chooser(file_, zeb::ApplicationsFor(types));
    std::vector<std::string> rows;
    for (int i = 0; i < chooser.List()->count(); ++i) {
        rows.push_back(chooser.List()->item(i)->text().toStdString());
    }
    EXPECT_THAT(rows, ElementsAre("Zebtest Two", "Zebtest One", "Other application..."));
    EXPECT_EQ(chooser.List()->currentRow(), 0);
    chooser.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&chooser));
    const fs::path shot = fs::current_path() / "zeb-openwith-chooser.png";
    EXPECT_TRUE(chooser.grab().save(QString::fromStdString(shot.string())));
}

TEST_F(OpenWithChooserTest, TheChosenApplicationRunsWithTheFileAsOneArgument) {
    struct Case {
        int row;
        std::string program;
        std::vector<std::string> args;
    };
    for (const Case& c : {Case{0, "viewer-two", {"--title", "Zebtest Two", file_}},
                          Case{1, "viewer-one", {"--one", file_}}}) {
        zebtest::RecordingPrograms recorders({"unused"});
        zeb::OpenWithChooser chooser(file_, zeb::ApplicationsFor(zeb::MimeTypesOf(file_)));
        chooser.show();
        chooser.List()->setCurrentRow(c.row);
        const size_t before = recorders_->Runs(c.program).size();
        QTest::mouseClick(chooser.OpenButton(), Qt::LeftButton);
        EXPECT_EQ(chooser.result(), QDialog::Accepted);
        EXPECT_FALSE(chooser.isVisible());
        const auto deadline = std::chrono::steady_clock::now() + kRunTimeout;
        while (recorders_->Runs(c.program).size() == before && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        const auto runs = recorders_->Runs(c.program);
        ASSERT_EQ(runs.size(), before + 1) << c.program;
        EXPECT_THAT(runs, ::testing::Contains(c.args));
    }
    EXPECT_FALSE(fs::exists("x"));  // nothing went through a shell
}

TEST_F(OpenWithChooserTest, OtherApplicationRunsThePickedProgram) {
    zeb::OpenWithChooser chooser(file_, {});
    ASSERT_EQ(chooser.List()->count(), 1);
    chooser.SetProgramPicker([](QWidget*) { return (recorders_->bin() / "other-program").string(); });
    chooser.show();
    QTest::mouseClick(chooser.OpenButton(), Qt::LeftButton);
    EXPECT_EQ(chooser.result(), QDialog::Accepted);
    const auto runs = recorders_->WaitForRuns("other-program", kRunTimeout);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0], std::vector<std::string>{file_});
}

TEST_F(OpenWithChooserTest, AnApplicationThatCannotStartKeepsTheChooserOpen) {
    zeb::DesktopApplication missing{"missing.desktop", "Missing Viewer", "", "/no/such/viewer %f", {}, {kType}};
    zeb::OpenWithChooser chooser(file_, {missing});
    chooser.show();
    bool picked = false;
    chooser.SetProgramPicker([&](QWidget*) {
        picked = true;
        return std::string();  // the user closed the file dialog
    });
    QTest::mouseClick(chooser.OpenButton(), Qt::LeftButton);
    EXPECT_TRUE(chooser.isVisible());
    EXPECT_EQ(chooser.Status()->text(), "Could not start Missing Viewer.");
    chooser.List()->setCurrentRow(1);
    QTest::mouseClick(chooser.OpenButton(), Qt::LeftButton);
    EXPECT_TRUE(picked);
    EXPECT_TRUE(chooser.isVisible());
}

TEST(DesktopEntriesTest, ExecLinesBecomeArgumentVectors) {
    struct Case {
        std::string exec;
        std::vector<std::string> argv;
    };
    const std::string f = "/tmp/a b \"c\" $HOME %f.xyz";
    const std::vector<Case> cases = {
        {"viewer %f", {"viewer", f}},
        {"viewer %U --new", {"viewer", f, "--new"}},
        {"viewer", {"viewer", f}},  // no file code: the file goes last
        {"viewer --file=%f", {"viewer", "--file=" + f}},
        {"\"/opt/My Viewer/bin\" \"quoted \\\"arg\\\" \\$x \\\\\" %F", {"/opt/My Viewer/bin", "quoted \"arg\" $x \\", f}},
        {"viewer %i %c %k 100%% %d %m %f", {"viewer", "--icon", "viewer-icon", "Viewer", "/apps/viewer.desktop", "100%", f}},
        {"  viewer   -a\t%f  ", {"viewer", "-a", f}},
        {"viewer \"unclosed %f", {}},
        {"", {}},
    };
    for (const Case& c : cases) {
        zeb::DesktopApplication app{"viewer.desktop", "Viewer", "viewer-icon", c.exec, "/apps/viewer.desktop", {}};
        EXPECT_EQ(zeb::CommandFor(app, f), c.argv) << c.exec;
    }
}

}  // namespace
