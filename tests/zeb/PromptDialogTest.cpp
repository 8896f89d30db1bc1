#include "zeb/PromptDialog.h"

#include <gtest/gtest.h>
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

#include <thread>

#include "tests/zeb/ZebTestTools.h"
#include "zeb/CommandLine.h"
#include "zeb/DisabledExts.h"
#include "zeb/ExtensionPage.h"
#include "zeb/OpenWith.h"

namespace {

using testsupport::ScopedEnv;

QString Q(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

template <typename W>
W* Child(QDialog& dialog, const char* name) {
    W* widget = dialog.findChild<W*>(name);
    EXPECT_NE(widget, nullptr) << name;
    return widget;
}

bool HasLabel(QDialog& dialog, const QString& text) {
    for (QLabel* label : dialog.findChildren<QLabel*>()) {
        if (label->text() == text) {
            return true;
        }
    }
    return false;
}

// Runs the dialog modally while `drive` acts on it from inside its event loop, as a user would. A dialog
// that is still open after 30 s is ended with -1, so a broken prompt fails the test instead of hanging it.
int ExecWhile(zeb::PromptDialog& dialog, const std::function<void()>& drive) {
    QTimer::singleShot(0, &dialog, drive);
    QTimer::singleShot(30000, &dialog, [&dialog] { dialog.done(-1); });
    return dialog.exec();
}

// A prompt for one target, with the programs it may start replaced by recorders and a private store.
class PromptTest : public ::testing::Test {
protected:
    void SetTarget(const std::string& path) {
        ASSERT_TRUE(zeb::ParseCommandLine({"zeb", path}, globals_));
        dialog_ = std::make_unique<zeb::PromptDialog>(globals_);
    }

    // Waits for the action's program, then gives a moment for anything else it might have started.
    std::vector<std::vector<std::string>> Runs(const std::string& program, bool expected) {
        if (expected) {
            return recorders_.WaitForRuns(program, std::chrono::seconds(20));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        return recorders_.Runs(program);
    }

    testsupport::IsolatedHome home_;
    zebtest::RecordingPrograms recorders_{{"xdg-open", "chooser"}};
    // A recording stand-in for the chooser, found on PATH (zeb's own would wait for a user).
    ScopedEnv chooser_{zeb::kOpenWithProgramVariable, "chooser"};
    ScopedEnv fallback_{zeb::kOpenWithFallbackVariable, std::nullopt};
    zeb::Globals globals_;
    std::unique_ptr<zeb::PromptDialog> dialog_;
};

struct TextCase {
    std::string path;
    std::string fileLine;
    std::string readAbout;  // as the button holds it, "&&" standing for a literal "&"
    std::string doNotShow;
};

TEST_F(PromptTest, ShowsTheFileAndItsTypeLiterally) {
    const std::vector<TextCase> cases = {
        {"/home/u/report.xyz", "File name: report.xyz", "  &Read and learn about XYZ files",
         " Do not show again for XYZ files"},
        {"README", "File name: README", "  &Read and learn about extension-less files",
         " Do not show again for extension-less files"},
        {"<i>bold<br>%s %n %1 &amp;.a&b", "File name: <i>bold<br>%s %n %1 &amp;.a&b",
         "  &Read and learn about A&&B files", " Do not show again for A&&B files"},
        {"x.%s%n", "File name: x.%s%n", "  &Read and learn about %S%N files",
         " Do not show again for %S%N files"},
        {"f.<i>t<br>", "File name: f.<i>t<br>", "  &Read and learn about <I>T<BR> files",
         " Do not show again for <I>T<BR> files"},
    };
    for (const TextCase& c : cases) {
        SetTarget(c.path);
        QLabel* fileLine = Child<QLabel>(*dialog_, "fileNameLabel");
        EXPECT_EQ(fileLine->text(), Q(c.fileLine)) << c.path;
        EXPECT_EQ(fileLine->textFormat(), Qt::PlainText);
        EXPECT_EQ(Child<QRadioButton>(*dialog_, "readAboutTypeChoice")->text(), Q(c.readAbout)) << c.path;
        EXPECT_EQ(Child<QCheckBox>(*dialog_, "doNotShowAgainBox")->text(), Q(c.doNotShow)) << c.path;
    }
}

TEST_F(PromptTest, HasTheFixedCaptionTextsAndStartingState) {
    SetTarget("report.xyz");
    EXPECT_EQ(dialog_->windowTitle(), "Problem opening your file");
    EXPECT_TRUE(HasLabel(*dialog_, "No program is associated with the type of file you are trying to open."));
    EXPECT_TRUE(HasLabel(*dialog_, "What do you want to do:"));
    for (QLabel* label : dialog_->findChildren<QLabel*>()) {
        EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->text().toStdString();
    }
    auto* find = Child<QRadioButton>(*dialog_, "findProgramChoice");
    auto* openWith = Child<QRadioButton>(*dialog_, "openWithChoice");
    auto* ok = Child<QPushButton>(*dialog_, "okButton");
    EXPECT_EQ(find->text(), "  &Find a program that can open your file");
    EXPECT_EQ(openWith->text(), "  &Use the standard Windows service");
    EXPECT_EQ(ok->text(), "&OK");
    EXPECT_TRUE(ok->isDefault());
    EXPECT_TRUE(find->isChecked());
    EXPECT_FALSE(Child<QCheckBox>(*dialog_, "doNotShowAgainBox")->isChecked());
    EXPECT_EQ(Child<QCheckBox>(*dialog_, "doNotShowAgainBox")->focusPolicy() & Qt::TabFocus, 0);
    EXPECT_EQ(dialog_->GetSelectedAction(), zeb::PromptDialog::kFindProgram);
}

TEST_F(PromptTest, DrawsItsIconAtTheTopLeft) {
    SetTarget("report.xyz");
    dialog_->show();
    const QImage shot = dialog_->grab().toImage();
    ASSERT_FALSE(shot.isNull());
    const QColor background = shot.pixelColor(shot.width() / 2, 4);
    // The icon's blue badge lies in its lower right quarter.
    const QColor badge = shot.pixelColor(12 + 22, 12 + 24);
    EXPECT_NE(badge, background);
    EXPECT_GT(badge.blue(), badge.red() + 60);
    // Nothing of the icon lies outside its 32 x 32 square.
    EXPECT_EQ(shot.pixelColor(12 + 40, 12 + 24), background);
}

struct ChoiceCase {
    const char* label;
    const char* choice;  // the radio button's object name
    bool doNotShowAgain;
    bool opensPage;
    bool opensChooser;
};

void PrintTo(const ChoiceCase& c, std::ostream* os) {
    *os << c.label;
}

class PromptChoiceTest : public PromptTest, public ::testing::WithParamInterface<ChoiceCase> {};

TEST_P(PromptChoiceTest, OkActsOnTheChoiceAndTheBox) {
    const ChoiceCase& c = GetParam();
    const std::string target = "/data/my \"odd\" -report.XYZ";
    SetTarget(target);
    const int result = ExecWhile(*dialog_, [&] {
        Child<QRadioButton>(*dialog_, c.choice)->click();
        if (c.doNotShowAgain) {
            Child<QCheckBox>(*dialog_, "doNotShowAgainBox")->click();
        }
        Child<QPushButton>(*dialog_, "okButton")->click();
    });
    EXPECT_EQ(result, zeb::PromptDialog::kOk);
    EXPECT_FALSE(dialog_->isVisible());

    const auto pages = Runs("xdg-open", c.opensPage);
    const auto choosers = Runs("chooser", c.opensChooser);
    if (c.opensPage) {
        ASSERT_EQ(pages.size(), 1u);
        EXPECT_EQ(pages[0], std::vector<std::string>{"http://" ZEB_VENDOR_HOST "/extension/xyz"});
    } else {
        EXPECT_TRUE(pages.empty());
    }
    if (c.opensChooser) {
        ASSERT_EQ(choosers.size(), 1u);
        EXPECT_EQ(choosers[0], std::vector<std::string>{target});
    } else {
        EXPECT_TRUE(choosers.empty());
    }

    zeb::Globals stored;
    zeb::LoadDisabledExtensions(stored);
    EXPECT_EQ(zeb::IsExtensionDisabled(stored, "xyz"), c.doNotShowAgain);
    EXPECT_EQ(stored.disabled_exts.size(), c.doNotShowAgain ? 1u : 0u);

    if (c.doNotShowAgain) {
        // The next start for this extension goes straight to the chooser, without a prompt.
        zebtest::RecordingPrograms next({"xdg-open", "chooser"});
        ScopedEnv platform("QT_QPA_PLATFORM", "offscreen");
        EXPECT_EQ(zebtest::RunZeb({"/data/next.xyz"}), 0);
        const auto nextChoosers = next.WaitForRuns("chooser", std::chrono::seconds(20));
        ASSERT_EQ(nextChoosers.size(), 1u);
        EXPECT_EQ(nextChoosers[0], std::vector<std::string>{"/data/next.xyz"});
    }
}

INSTANTIATE_TEST_SUITE_P(
    Choices, PromptChoiceTest,
    ::testing::Values(ChoiceCase{"find", "findProgramChoice", false, true, false},
                      ChoiceCase{"find and remember", "findProgramChoice", true, true, false},
                      ChoiceCase{"read", "readAboutTypeChoice", false, true, false},
                      ChoiceCase{"read and remember", "readAboutTypeChoice", true, true, false},
                      ChoiceCase{"open with", "openWithChoice", false, false, true},
                      ChoiceCase{"open with and remember", "openWithChoice", true, false, true}),
    [](const ::testing::TestParamInfo<ChoiceCase>& info) { return "case" + std::to_string(info.index); });

TEST_F(PromptTest, EnterPressesOkWithTheFirstChoice) {
    SetTarget("README");
    const int result = ExecWhile(*dialog_, [&] { QTest::keyClick(dialog_.get(), Qt::Key_Return); });
    EXPECT_EQ(result, zeb::PromptDialog::kOk);
    const auto pages = Runs("xdg-open", true);
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_EQ(pages[0], std::vector<std::string>{"http://" ZEB_VENDOR_HOST "/extension/no-ext"});
}

TEST_F(PromptTest, EscapeKeepsThePromptAndClosingActsNever) {
    SetTarget("report.xyz");
    bool visibleAfterEscape = false;
    const int result = ExecWhile(*dialog_, [&] {
        Child<QRadioButton>(*dialog_, "openWithChoice")->click();
        Child<QCheckBox>(*dialog_, "doNotShowAgainBox")->click();
        QTest::keyClick(dialog_.get(), Qt::Key_Escape);
        visibleAfterEscape = dialog_->isVisible();
        dialog_->close();
    });
    EXPECT_TRUE(visibleAfterEscape);
    EXPECT_EQ(result, zeb::PromptDialog::kClosed);
    EXPECT_TRUE(Runs("chooser", false).empty());
    EXPECT_TRUE(Runs("xdg-open", false).empty());
    EXPECT_TRUE(zebtest::StoredValueNames().empty());
}

}  // namespace
