// The Settings dialog: what it shows from the configuration, what OK stores, and when OK runs the
// association setter.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/Registry.h"
#include "platform/qt/MessageBox.h"
#include "player/Configuration.h"
#include "player/FormSettingsSrc.h"
#include "tests/player/ScratchDesktop.h"
#include "tests/player/SetterFolder.h"
#include "tests/support/TestEnv.h"

namespace {

using player::TFormSettings;

constexpr const char* kSetterFailed =
    "Changing the file association for some of the selected file types failed. Those that failed have been "
    "de-selected in the list.";

int32_t Stored(const std::string& name) {
    platform::TRegistry reg;
    EXPECT_TRUE(reg.OpenKeyReadOnly(player::kPreferencesKey));
    return reg.ReadInteger(name);
}

std::vector<std::string> StoredWishes() {
    platform::TRegistry reg;
    return reg.OpenKeyReadOnly(player::kAssociatedKey) ? reg.GetValueNames() : std::vector<std::string>{};
}

class SettingsDialogTest : public ::testing::Test {
protected:
    // A later start: the list is stored and nothing is pending, unless firstRun.
    void Start(bool firstRun) {
        if (!firstRun) {
            platform::TRegistry reg;
            ASSERT_TRUE(reg.OpenKey(player::kPreferencesKey, true));
            reg.WriteInteger("FirstRun", 0);
            ASSERT_TRUE(reg.OpenKey("\\" + std::string(player::kAssociatedKey), true));
            reg.WriteInteger(".MP4", 1);
            reg.WriteInteger(".AVI", 1);
        }
        config_.LoadPreferences();
        dialog_.show();
    }
    QListWidgetItem* Item(const std::string& ext) {
        for (int i = 0; i < dialog_.CheckListBoxFileTypes->count(); ++i) {
            QListWidgetItem* item = dialog_.CheckListBoxFileTypes->item(i);
            if (item->text().startsWith(QString::fromStdString(ext + " "))) {
                return item;
            }
        }
        return nullptr;
    }
    size_t SetterRuns() const { return setter_.Runs().size(); }

    playertest::ScratchDesktop desktop_;
    playertest::SetterFolder setter_;
    player::Configuration config_{setter_.path()};
    TFormSettings dialog_{config_};
    std::vector<platform::MessageBoxRequest> boxes_;
    platform::ScopedMessageBoxHook hook_{[this](const platform::MessageBoxRequest& request) {
        boxes_.push_back(request);
        return platform::TMessageResult::Ok;
    }};
};

TEST_F(SettingsDialogTest, LooksAsDesignedAndListsEveryKnownType) {
    Start(false);
    EXPECT_EQ(dialog_.windowTitle(), "Settings");
    EXPECT_EQ(dialog_.height(), 450);
    EXPECT_EQ(dialog_.ButtonOK->geometry().bottom() + 1, 450 - 8);
    EXPECT_EQ(dialog_.ButtonOK->text(), "OK");
    EXPECT_EQ(dialog_.sPageControl1->tabText(0), " Associations ");
    EXPECT_EQ(dialog_.sPageControl1->tabText(1), "  Miscellaneous ");
    EXPECT_EQ(dialog_.sPageControl1->currentWidget(), dialog_.TabSheetAssociations);
    EXPECT_EQ(dialog_.CheckUseDirectDraw->text(),
              " Use DirectDraw instead of GDI when available (improves picture quality)");
    ASSERT_EQ(dialog_.CheckListBoxFileTypes->count(), 87);
    struct Case {
        int row;
        const char* text;
    };
    const Case cases[] = {
        {13, ".AU   - Sun Microsystems Audio File"},
        {42, ".MP4  - Video file that uses MPEG-4 compression"},
        {7, ".AIFF - Audio Interchange File Format Audio File"},
        {31, ".IRCAM - Berkeley/IRCAM/CARL Audio File"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(dialog_.CheckListBoxFileTypes->item(c.row)->text().toStdString(), c.text);
    }
    EXPECT_EQ(Item(".MP4")->checkState(), Qt::Checked);
    EXPECT_EQ(Item(".AVI")->checkState(), Qt::Checked);
    EXPECT_EQ(Item(".MKV")->checkState(), Qt::Unchecked);
    EXPECT_TRUE(dialog_.CheckListBoxFileTypes->isEnabled());
    EXPECT_TRUE(dialog_.MemoAdminNeeded2->isHidden());
}

TEST_F(SettingsDialogTest, OkWithoutChangesSavesAndClosesWithoutTheSetter) {
    Start(false);
    dialog_.ButtonOK->click();
    EXPECT_FALSE(dialog_.isVisible());
    EXPECT_EQ(dialog_.result(), QDialog::Accepted);
    EXPECT_EQ(SetterRuns(), 0u);
    EXPECT_EQ(Stored("UseDirectDraw"), 1);
}

TEST_F(SettingsDialogTest, OnlyAVideoOptionChangedIsStoredWithoutTheSetter) {
    Start(false);
    dialog_.CheckUseDirectDraw->setChecked(false);
    dialog_.CheckResizeToVideoSize->setChecked(false);
    dialog_.ButtonOK->click();
    EXPECT_FALSE(dialog_.isVisible());
    EXPECT_EQ(SetterRuns(), 0u);
    EXPECT_FALSE(config_.Preferences.UseDirectDraw);
    EXPECT_FALSE(config_.Preferences.ResizeToVideoSize);
    EXPECT_EQ(Stored("UseDirectDraw"), 0);
    EXPECT_EQ(Stored("ResizeToVideoSize"), 0);
}

TEST_F(SettingsDialogTest, ChangedTypesOrUpdateCheckRunTheSetterWithTheSavedWishes) {
    Start(false);
    Item(".MKV")->setCheckState(Qt::Checked);
    dialog_.ButtonOK->click();
    EXPECT_FALSE(dialog_.isVisible());
    auto runs = setter_.Runs();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0][2], "wishes=.AVI,.MKV,.MP4");

    dialog_.show();
    dialog_.CheckCheckForUpdates->setChecked(false);
    dialog_.ButtonOK->click();
    runs = setter_.Runs();
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[1][3], "checkforupdates=00000000");
    EXPECT_FALSE(dialog_.isVisible());
}

TEST_F(SettingsDialogTest, AllAndNoneTickEveryItemAndStoreOnlyOnOk) {
    Start(false);
    dialog_.sButton1->click();
    for (int i = 0; i < dialog_.CheckListBoxFileTypes->count(); ++i) {
        EXPECT_EQ(dialog_.CheckListBoxFileTypes->item(i)->checkState(), Qt::Checked);
    }
    EXPECT_EQ(StoredWishes().size(), 2u);
    dialog_.sButton2->click();
    for (int i = 0; i < dialog_.CheckListBoxFileTypes->count(); ++i) {
        EXPECT_EQ(dialog_.CheckListBoxFileTypes->item(i)->checkState(), Qt::Unchecked);
    }
    dialog_.ButtonOK->click();
    EXPECT_TRUE(StoredWishes().empty());
}

TEST_F(SettingsDialogTest, FailedSetterShowsTheWarningKeepsTheDialogAndTicksWhatTookEffect) {
    Start(false);
    setter_.SetAction("drop:.MKV");
    dialog_.sPageControl1->setCurrentWidget(dialog_.TabSheetExtras);
    Item(".MKV")->setCheckState(Qt::Checked);
    dialog_.ButtonOK->click();
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].text, kSetterFailed);
    EXPECT_TRUE(dialog_.isVisible());
    EXPECT_EQ(dialog_.sPageControl1->currentWidget(), dialog_.TabSheetAssociations);
    EXPECT_EQ(Item(".MKV")->checkState(), Qt::Unchecked);
    EXPECT_EQ(Item(".MP4")->checkState(), Qt::Checked);

    // Nothing changed since: a second OK closes without running the setter again.
    dialog_.ButtonOK->click();
    EXPECT_FALSE(dialog_.isVisible());
    EXPECT_EQ(SetterRuns(), 1u);
}

TEST_F(SettingsDialogTest, RealSetterMakesTheDesktopOpenTheTickedTypesWithThePlayer) {
    setter_.UseRealSetter();
    desktop_.InstallApplication("otherplayer.desktop", "video/x-msvideo;");
    testsupport::WriteFile(desktop_.MimeAppsList(), "[Default Applications]\nvideo/x-msvideo=otherplayer.desktop;\n");
    Start(false);
    Item(".MKV")->setCheckState(Qt::Checked);
    Item(".AVI")->setCheckState(Qt::Unchecked);
    // .M4V files are video/mp4 to the desktop as .MP4 files are: the two go together.
    Item(".M4V")->setCheckState(Qt::Checked);
    dialog_.ButtonOK->click();
    EXPECT_TRUE(boxes_.empty());
    EXPECT_FALSE(dialog_.isVisible());
    EXPECT_EQ(dialog_.result(), QDialog::Accepted);
    EXPECT_EQ(StoredWishes(), (std::vector<std::string>{".M4V", ".MKV", ".MP4"}));
    EXPECT_EQ(desktop_.QueryDefault("video/x-matroska"), "strevio.desktop");
    EXPECT_EQ(desktop_.QueryDefault("video/mp4"), "strevio.desktop");
    EXPECT_EQ(desktop_.QueryDefault("video/x-msvideo"), "otherplayer.desktop");
}

TEST_F(SettingsDialogTest, RealSetterThatCannotWriteTheDefaultsShowsTheWarning) {
    setter_.UseRealSetter();
    testsupport::WriteFile(desktop_.MimeAppsList(), "[Default Applications]\n");
    ::chmod(desktop_.MimeAppsList().c_str(), 0444);
    Start(false);
    Item(".MKV")->setCheckState(Qt::Checked);
    dialog_.ButtonOK->click();
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].text, kSetterFailed);
    EXPECT_TRUE(dialog_.isVisible());
    // Nothing took: every item is unticked, and the store names no type.
    for (const char* ext : {".MKV", ".MP4", ".AVI"}) {
        EXPECT_EQ(Item(ext)->checkState(), Qt::Unchecked) << ext;
    }
    EXPECT_TRUE(StoredWishes().empty());
    EXPECT_EQ(testsupport::ReadFile(desktop_.MimeAppsList()), "[Default Applications]\n");
}

TEST_F(SettingsDialogTest, AfterTheFirstStartEveryOkRunsTheSetter) {
    Start(true);
    ASSERT_TRUE(config_.associations_pending);
    dialog_.ButtonOK->click();
    EXPECT_FALSE(dialog_.isVisible());
    dialog_.show();
    dialog_.ButtonOK->click();
    EXPECT_EQ(SetterRuns(), 2u);
    EXPECT_TRUE(config_.associations_pending);
}

TEST_F(SettingsDialogTest, WithoutAdministratorRightsTheWishesAreSavedButTheSetterNotRun) {
    dialog_.HasAdminRights = [] { return false; };
    Start(false);
    EXPECT_FALSE(dialog_.CheckListBoxFileTypes->isEnabled());
    EXPECT_FALSE(dialog_.CheckCheckForUpdates->isEnabled());
    EXPECT_TRUE(dialog_.CheckUseDirectDraw->isEnabled());
    EXPECT_TRUE(dialog_.sButton2->isEnabled());
    EXPECT_FALSE(dialog_.MemoAdminNeeded2->isHidden());
    EXPECT_EQ(dialog_.MemoAdminNeeded2->toPlainText(),
              "You must be logged in as administrator to change these options");
    dialog_.sButton2->click();
    dialog_.ButtonOK->click();
    EXPECT_FALSE(dialog_.isVisible());
    EXPECT_TRUE(StoredWishes().empty());
    EXPECT_EQ(SetterRuns(), 0u);
    EXPECT_TRUE(boxes_.empty());
}

TEST_F(SettingsDialogTest, ClosingByTheFrameDiscardsTheEdits) {
    Start(false);
    dialog_.CheckUseDirectDraw->setChecked(false);
    Item(".MP4")->setCheckState(Qt::Unchecked);
    dialog_.reject();
    dialog_.show();
    EXPECT_TRUE(dialog_.CheckUseDirectDraw->isChecked());
    EXPECT_EQ(Item(".MP4")->checkState(), Qt::Checked);
    EXPECT_TRUE(config_.Preferences.UseDirectDraw);
}

}  // namespace
