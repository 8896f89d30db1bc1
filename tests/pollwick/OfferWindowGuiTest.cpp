// The offer window: its texts and layout from the answer, the page and download paths, cancel,
// dismiss, and which addresses it opens.
#include "pollwick/FormMainSrc.h"

#include <gtest/gtest.h>

#include <QPixmap>
#include <cstdlib>

#include "platform/qt/MessageBox.h"
#include "tests/pollwick/GuiTestSupport.h"

namespace pollwick {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using testing::GuiFixture;
using testing::PumpFor;
using testing::PumpUntil;
using testing::ScriptOptions;

constexpr auto kBound = 90s;

class OfferWindow : public GuiFixture {
protected:
    void SetUp() override {
        GuiFixture::SetUp();
        // A recording opener first on PATH: every address the window opens lands in opened_.
        const fs::path bin = home_.home().root() / "bin";
        opened_ = home_.home().root() / "opened.txt";
        testsupport::WriteFile(bin / "xdg-open",
                               "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" + opened_.string() + "'\n");
        fs::permissions(bin / "xdg-open", fs::perms::owner_all);
        path_ = std::make_unique<testsupport::ScopedEnv>("PATH", bin.string() + ":" + std::getenv("PATH"));
    }

    // Makes the window and lets it run its start-up message.
    std::unique_ptr<TFormMain> makeForm() {
        auto form = std::make_unique<TFormMain>(data_);
        EXPECT_TRUE(PumpUntil([&] { return form->Initialised(); }, 10s));
        form->show();
        return form;
    }

    // The addresses opened so far, after the opener had time to write them.
    std::string opened(std::chrono::milliseconds settle = 300ms) {
        PumpFor(settle);
        return testsupport::ReadFile(opened_);
    }

    // An installer script that writes marker, padded to size bytes so that it is fetched in parts.
    std::string installer(const fs::path& marker, size_t size) {
        std::string script = "#!/bin/sh\necho ran > '" + marker.string() + "'\nexit 0\n";
        while (script.size() < size) {
            script += "# padding line of the test installer, never run\n";
        }
        return script;
    }

    void serve(const std::string& name, const std::string& data, const std::string& script = "{}") {
        testsupport::WriteFile(serverRoot_.path() / name, data);
        testsupport::HttpServerOptions options = ScriptOptions(script);
        options.root = serverRoot_.path();
        server_ = std::make_unique<testsupport::HttpServer>(options);
    }

    void saveScreenshot(QWidget& form, const char* name) {
        if (const char* dir = std::getenv("POLLWICK_SCREENSHOT_DIR")) {
            form.grab().save(QString::fromStdString((fs::path(dir) / name).string()));
        }
    }

    DisplayData data_;
    fs::path opened_;
    std::unique_ptr<testsupport::ScopedEnv> path_;
    testsupport::TempDir serverRoot_;
    std::unique_ptr<testsupport::HttpServer> server_;
};

TEST_F(OfferWindow, EmptyAnswerKeepsTheDesignAndShowsTheCheckBox) {
    auto form = makeForm();
    EXPECT_EQ(form->windowTitle(), "Plumbrook Update Available!");
    EXPECT_EQ(form->ButtonAction->text(), "Update Now");
    EXPECT_EQ(form->ButtonDismiss->text(), "Remind me later");
    EXPECT_EQ(form->CheckNotAgain->text(), "Don't remind me of this update again");
    EXPECT_TRUE(form->CheckNotAgain->isVisible());
    EXPECT_FALSE(form->LabelProgress->isVisible());
    EXPECT_FALSE(form->ProgressBar->isVisible());
    EXPECT_EQ(form->ClientWidth(), 598);
    EXPECT_EQ(form->ClientHeight(), 304);
    EXPECT_EQ(form->ButtonAction->geometry(), QRect(457, 263, 120, 25));
    // Description height -1: it reaches down to the bottom of the progress bar.
    EXPECT_EQ(form->MemoDescription->geometry(), QRect(64, 96, 513, 204 + 17 - 96));
    EXPECT_TRUE(form->ImageProductIcon->pixmap().isNull());
    // The title bar offers no close button: the offer ends through its buttons.
    EXPECT_FALSE(form->windowFlags() & Qt::WindowCloseButtonHint);
    form->close();
    EXPECT_TRUE(form->isVisible());
}

TEST_F(OfferWindow, AnswerTextsAndGeometryAreApplied) {
    data_.caption = "Foo 2.0 is here";
    data_.topMessage = "<b>A new Foo</b> <a href=\"https://foo.example/\">is out</a>";
    data_.productName = "<font color=\"#1565c0\">Foo Player</font>";
    data_.versionText = "Version 2.0 (you have 1.0)";
    data_.bottomMessage = "<i>Free as always</i>";
    data_.checkBoxCaption = "Never again";
    data_.actionCaption = "Get it";
    data_.dismissCaption = "Later";
    data_.content = "First line\n<b>Second</b> line\nThird";
    data_.iconIndex = 3;
    data_.clientWidth = 640;
    data_.clientHeight = 200;  // below the design height: the window keeps its design height
    data_.actionWidth = 100;
    data_.dismissLeft = 10;
    data_.descriptionHeight = 50;
    data_.versionTextVisible = false;
    auto form = makeForm();
    saveScreenshot(*form, "offer.png");
    EXPECT_EQ(form->windowTitle(), "Foo 2.0 is here");
    EXPECT_EQ(form->LabelTopMessage->text().toStdString(), data_.topMessage);
    EXPECT_EQ(form->LabelTopMessage->textFormat(), Qt::RichText);
    EXPECT_EQ(form->LabelBottomMessage->text().toStdString(), data_.bottomMessage);
    EXPECT_EQ(form->CheckNotAgain->text(), "Never again");
    EXPECT_EQ(form->ButtonAction->text(), "Get it");
    EXPECT_EQ(form->ButtonDismiss->text(), "Later");
    EXPECT_FALSE(form->LabelProductVersion->isVisible());
    EXPECT_TRUE(form->LabelProductName->isVisible());
    EXPECT_EQ(form->MemoDescription->count(), 3);
    EXPECT_FALSE(form->ImageProductIcon->pixmap().isNull());
    EXPECT_EQ(form->ClientWidth(), 640);
    EXPECT_EQ(form->ClientHeight(), 304);
    // Right-anchored buttons follow the wider client; left-anchored edges stay.
    EXPECT_EQ(form->ButtonAction->geometry(), QRect(457 + 42, 263, 100, 25));
    EXPECT_EQ(form->ButtonDismiss->geometry(), QRect(10 + 42, 263, 120, 25));
    EXPECT_EQ(form->MemoDescription->geometry(), QRect(64, 96, 513 + 42, 50));
    EXPECT_EQ(form->LabelTopMessage->geometry().width(), 561 + 42);
}

TEST_F(OfferWindow, CheckedAnswerOpensTheWindowWithItsTexts) {
    testsupport::HttpServer server(ScriptOptions(
        testing::BodyScript("/check", testing::TaggedAnswer({{"data", "Y"},
                                                             {"ver", "2.0"},
                                                             {"fc", "Foo 2.0 Available"},
                                                             {"h1", "<b>Foo 2.0</b> is ready"},
                                                             {"nmc", "Foo Player"},
                                                             {"vtc", "You have ##CURRVER##"},
                                                             {"abc", "Install"},
                                                             {"icnid", "1"},
                                                             {"content", "Faster start\nNew skins"}}))));
    testing::UpdatesCfg cfg;
    cfg.url = server.Url("/check");
    home_.writeUpdatesCfg(cfg);
    home_.writeState("delay_min_after_startup=0\n");
    home_.loadConfiguration();
    ASSERT_TRUE(CheckForUpdates(home_.programFolder(), data_, kDesignClientWidth, kDesignClientHeight));
    auto form = makeForm();
    saveScreenshot(*form, "checked-offer.png");
    EXPECT_EQ(form->windowTitle(), "Foo 2.0 Available");
    EXPECT_EQ(form->LabelTopMessage->text(), "<b>Foo 2.0</b> is ready");
    EXPECT_EQ(form->LabelProductVersion->text(), "You have 1.0 (build 7)");
    EXPECT_EQ(form->ButtonAction->text(), "Install");
    EXPECT_EQ(form->MemoDescription->count(), 2);
}

TEST_F(OfferWindow, HostileTextsAreShownWithoutHarm) {
    data_.caption = std::string(1 << 20, 'C') + "\x01\x1b[2J";
    data_.topMessage = "<img src=\"file:///etc/passwd\"><a href=\"file:///etc/passwd\">x</a>\x07";
    data_.productName = "<script>alert(1)</script><table><tr><td>";
    data_.content = std::string(5000, '\n') + "<b>unclosed";
    data_.checkBoxCaption = std::string(100000, 'x');
    auto form = makeForm();
    EXPECT_EQ(form->MemoDescription->count(), 5001);
    emit form->LabelTopMessage->linkActivated("file:///etc/passwd");
    EXPECT_EQ(opened(), "");
}

TEST_F(OfferWindow, TallerClientMovesTheBottomAnchoredControls) {
    data_.clientHeight = 404;
    auto form = makeForm();
    EXPECT_EQ(form->ClientHeight(), 404);
    EXPECT_EQ(form->ButtonAction->geometry().top(), 363);
    EXPECT_EQ(form->ProgressBar->geometry().top(), 304);
    EXPECT_EQ(form->MemoDescription->geometry().height(), 125 + 100);
}

TEST_F(OfferWindow, IconsExistOnlyForTheSevenIndices) {
    for (int i = 0; i < TFormMain::kIconCount; ++i) {
        EXPECT_EQ(TFormMain::ProductIcon(i).size(), QSize(32, 32));
    }
    EXPECT_TRUE(TFormMain::ProductIcon(7).isNull());
    EXPECT_TRUE(TFormMain::ProductIcon(-1).isNull());
    data_.iconIndex = 7;
    auto form = makeForm();
    EXPECT_TRUE(form->ImageProductIcon->pixmap().isNull());
}

struct LinkCase {
    const char* link;
    bool opened;
};

void PrintTo(const LinkCase& c, std::ostream* os) {
    *os << c.link;
}

class LabelLinks : public OfferWindow, public ::testing::WithParamInterface<LinkCase> {};

TEST_P(LabelLinks, OnlyWebAddressesAreOpened) {
    data_.topMessage = "text";
    auto form = makeForm();
    emit form->LabelTopMessage->linkActivated(QString::fromUtf8(GetParam().link));
    emit form->LabelBottomMessage->linkActivated(QString::fromUtf8(GetParam().link));
    const std::string expected =
        GetParam().opened ? std::string(GetParam().link) + "\n" + GetParam().link + "\n" : "";
    EXPECT_EQ(opened(), expected) << GetParam().link;
}

INSTANTIATE_TEST_SUITE_P(Addresses, LabelLinks,
                         ::testing::Values(LinkCase{"https://foo.example/news", true},
                                           LinkCase{"HTTP://foo.example/", true},
                                           LinkCase{"file:///etc/passwd", false},
                                           LinkCase{"javascript:alert(1)", false},
                                           LinkCase{"smb://host/share", false},
                                           LinkCase{"/etc/passwd", false}, LinkCase{"www.foo.example", false},
                                           LinkCase{"-e http://foo.example/", false}, LinkCase{"", false}));

class PageOffer : public OfferWindow, public ::testing::WithParamInterface<LinkCase> {};

TEST_P(PageOffer, ActionOpensOnlyAWebPageAndCloses) {
    data_.downloadInWindow = false;
    data_.targetUrl = GetParam().link;
    auto form = makeForm();
    form->ButtonAction->click();
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(opened(), GetParam().opened ? std::string(GetParam().link) + "\n" : "");
}

INSTANTIATE_TEST_SUITE_P(Addresses, PageOffer,
                         ::testing::Values(LinkCase{"https://foo.example/download", true},
                                           LinkCase{"file:///etc/passwd", false},
                                           LinkCase{"ftp://foo.example/setup", false}));

TEST_F(OfferWindow, AcceptingDownloadsTheInstallerInPartsAndRunsIt) {
    const fs::path marker = home_.home().root() / "installer-ran";
    serve("setup.sh", installer(marker, 600000));
    data_.targetUrl = server_->Url("/setup.sh");
    data_.saveAsFileName = "FooSetup.sh";
    auto form = makeForm();
    form->ButtonAction->click();
    EXPECT_EQ(data_.uiState, DisplayData::kDownloading);
    EXPECT_EQ(form->ButtonAction->text(), "Cancel");
    EXPECT_FALSE(form->ButtonDismiss->isVisible());
    EXPECT_TRUE(form->ProgressBar->isVisible());
    ASSERT_TRUE(PumpUntil([&] { return fs::exists(marker); }, kBound));
    EXPECT_EQ(testsupport::ReadFile(marker), "ran\n");
    EXPECT_EQ(data_.uiState, DisplayData::kDone);
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(form->ProgressBar->value(), 100);
    EXPECT_TRUE(fs::exists(downloads_ / "FooSetup.sh"));

    int ranged = 0;
    for (const auto& r : server_->RequestsFor("/setup.sh")) {
        if (r.HasHeader("range") && r.Header("range") != "bytes=0-1") {
            ++ranged;
        }
    }
    EXPECT_GE(ranged, 2) << "the installer came in parts";
}

TEST(InstallerKind, OnlyElfProgramsAndHashBangScriptsRunDirectly) {
    testsupport::TempDir dir;
    struct Case {
        const char* name;
        std::string content;
        bool runnable;
    };
    const Case cases[] = {
        {"elf", testsupport::ReadFile("/bin/true"), true},
        {"script.sh", "#!/bin/sh\nexit 0\n", true},
        {"bare.sh", "echo no interpreter line\n", false},
        {"package.deb", "!<arch>\ndebian-binary   ", false},
        {"image.AppImage", std::string("\x7f" "EL", 3), false},
        {"empty", "", false},
    };
    for (const Case& c : cases) {
        testsupport::WriteFile(dir.path() / c.name, c.content);
        EXPECT_EQ(TFormMain::IsDirectlyRunnable((dir.path() / c.name).string()), c.runnable) << c.name;
    }
    EXPECT_FALSE(TFormMain::IsDirectlyRunnable((dir.path() / "missing").string()));
}

struct OpenedInstallerCase {
    const char* name;
    const char* saveAs;
    const char* content;
};

void PrintTo(const OpenedInstallerCase& c, std::ostream* os) { *os << c.name; }

class OpenedInstaller : public OfferWindow, public ::testing::WithParamInterface<OpenedInstallerCase> {};

// A package or a script without an interpreter line is handed to the desktop's opener, never run.
TEST_P(OpenedInstaller, IsHandedToTheOpenerAndNeverMadeExecutable) {
    const fs::path marker = home_.home().root() / "installer-ran";
    std::string content = std::string(GetParam().content) + "echo ran > '" + marker.string() + "'\n";
    content.resize(300000, '\n');
    serve("dl.bin", content);
    data_.targetUrl = server_->Url("/dl.bin");
    data_.saveAsFileName = GetParam().saveAs;
    auto form = makeForm();
    form->ButtonAction->click();
    ASSERT_TRUE(PumpUntil([&] { return !form->isVisible(); }, kBound));
    const fs::path saved = downloads_ / GetParam().saveAs;
    EXPECT_EQ(opened(), saved.string() + "\n");
    EXPECT_EQ(data_.uiState, DisplayData::kDone);
    EXPECT_EQ(fs::status(saved).permissions() &
                  (fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec),
              fs::perms::none);
    EXPECT_FALSE(fs::exists(marker));
}

INSTANTIATE_TEST_SUITE_P(Kinds, OpenedInstaller,
                         ::testing::Values(OpenedInstallerCase{"Package", "FooSetup.deb", "!<arch>\n"},
                                           OpenedInstallerCase{"ScriptWithoutInterpreterLine", "FooSetup.sh",
                                                               "# setup\n"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(OfferWindow, InstallerThatCannotBeOpenedIsReportedAsAFailure) {
    serve("dl.bin", std::string(150000, 'p'));
    data_.targetUrl = server_->Url("/dl.bin");
    data_.saveAsFileName = "FooSetup.deb";
    auto form = makeForm();
    // No opener anywhere on the search path.
    testsupport::TempDir emptyBin;
    testsupport::ScopedEnv noOpener("PATH", emptyBin.path().string());
    form->ButtonAction->click();
    ASSERT_TRUE(PumpUntil([&] { return data_.uiState == DisplayData::kFailed; }, kBound));
    PumpFor(700ms);
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(form->LabelProgress->text(), "Error: Could not start the downloaded installer.");
    EXPECT_EQ(form->ButtonAction->text(), "Close");
    EXPECT_TRUE(form->ButtonAction->isEnabled());
}

TEST_F(OfferWindow, CancelStopsTheDownloadAndRunsNothing) {
    const fs::path marker = home_.home().root() / "installer-ran";
    serve("setup.sh", installer(marker, 600000), R"({"/setup.sh": {"rate": 60000}})");
    data_.targetUrl = server_->Url("/setup.sh");
    data_.saveAsFileName = "FooSetup.sh";
    auto form = makeForm();
    form->ButtonAction->click();
    ASSERT_TRUE(PumpUntil([&] { return !server_->RequestsFor("/setup.sh").empty(); }, kBound));
    form->ButtonAction->click();
    EXPECT_EQ(data_.uiState, DisplayData::kCancelled);
    EXPECT_EQ(form->ButtonAction->text(), "Close");
    EXPECT_EQ(form->LabelProgress->text(), "Cancelled");
    EXPECT_EQ(form->ProgressBar->value(), 0);

    // The cancel stops the running transfer; whatever the worker reports afterwards is ignored.
    DownloadQueueThreadInfo* info = form->Queue()->Info(0);
    ASSERT_TRUE(PumpUntil([&] { return info->locked_getDone(); }, kBound));
    PumpFor(1500ms);
    EXPECT_FALSE(fs::exists(marker));
    EXPECT_EQ(data_.uiState, DisplayData::kCancelled);
    EXPECT_EQ(form->ButtonAction->text(), "Close");
    EXPECT_EQ(form->LabelProgress->text(), "Cancelled");
    EXPECT_EQ(form->ProgressBar->value(), 0);
    EXPECT_TRUE(form->isVisible());
    form->ButtonAction->click();
    EXPECT_FALSE(form->isVisible());
}

TEST_F(OfferWindow, FailedDownloadWithoutFallbackStaysWithTheError) {
    serve("other.bin", "x");
    data_.targetUrl = server_->Url("/missing.sh");
    auto form = makeForm();
    form->ButtonAction->click();
    ASSERT_TRUE(PumpUntil([&] { return data_.uiState == DisplayData::kFailed; }, kBound));
    PumpFor(700ms);
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(form->ButtonAction->text(), "Close");
    EXPECT_EQ(form->LabelProgress->text().left(7), "Error: ");
    EXPECT_EQ(opened(), "");
    form->ButtonAction->click();
    EXPECT_FALSE(form->isVisible());
}

class FallbackPage : public OfferWindow, public ::testing::WithParamInterface<LinkCase> {};

TEST_P(FallbackPage, FailedDownloadOpensOnlyAWebFallback) {
    serve("other.bin", "x");
    data_.targetUrl = server_->Url("/missing.sh");
    data_.fallbackUrl = GetParam().link;
    auto form = makeForm();
    form->ButtonAction->click();
    ASSERT_TRUE(PumpUntil([&] { return !form->isVisible(); }, kBound));
    EXPECT_EQ(data_.uiState, DisplayData::kFailed);
    EXPECT_EQ(opened(), GetParam().opened ? std::string(GetParam().link) + "\n" : "");
}

INSTANTIATE_TEST_SUITE_P(Addresses, FallbackPage,
                         ::testing::Values(LinkCase{"https://foo.example/manual-download", true},
                                           LinkCase{"javascript:alert(1)", false},
                                           LinkCase{"file:///bin/sh", false}));

TEST_F(OfferWindow, InvalidDownloadAddressIsReportedAndNothingIsFetched) {
    std::vector<std::string> boxes;
    platform::ScopedMessageBoxHook hook([&](const platform::MessageBoxRequest& r) {
        boxes.push_back(r.text);
        return platform::TMessageResult::Ok;
    });
    data_.targetUrl = "ftp://foo.example/setup";
    auto form = makeForm();
    form->ButtonAction->click();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], "ftp://foo.example/setup is not a valid link.");
    EXPECT_EQ(data_.uiState, DisplayData::kDownloading);
    EXPECT_EQ(form->ButtonAction->text(), "Cancel");
    PumpFor(500ms);
    EXPECT_EQ(form->Queue()->WaitingCount(), 0);
    EXPECT_FALSE(form->Queue()->Info(0)->locked_checkIfHasVideoCopy());
    form->ButtonAction->click();
    EXPECT_EQ(data_.uiState, DisplayData::kCancelled);
    form->ButtonAction->click();
    EXPECT_FALSE(form->isVisible());
}

TEST_F(OfferWindow, DismissWithTheBoxCheckedIgnoresTheOfferedVersion) {
    data_.offeredVersion = "2.0";
    auto form = makeForm();
    form->CheckNotAgain->setChecked(true);
    form->ButtonDismiss->click();
    EXPECT_FALSE(form->isVisible());
    home_.loadConfiguration();
    EXPECT_EQ(config->ignore_version, "2.0");
    EXPECT_FALSE(config->no_ads);
}

TEST_F(OfferWindow, DismissWithTheBoxCheckedForAnAdStopsAds) {
    data_.adShown = true;
    auto form = makeForm();
    form->CheckNotAgain->setChecked(true);
    form->ButtonDismiss->click();
    home_.loadConfiguration();
    EXPECT_TRUE(config->no_ads);
    EXPECT_TRUE(config->ignore_version.empty());
}

TEST_F(OfferWindow, DismissWithoutTheBoxWritesNothing) {
    home_.writeState("days_between_checks=5\n");
    home_.loadConfiguration();
    data_.offeredVersion = "2.0";
    auto form = makeForm();
    form->ButtonDismiss->click();
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(testsupport::ReadFile(home_.stateFile()), "days_between_checks=5\n");
}

}  // namespace
}  // namespace pollwick
