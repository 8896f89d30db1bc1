#include "player/FormSettingsSrc.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QTabWidget>
#include <exception>
#include <string>
#include <vector>

#include "player/Configuration.h"
#include "player/Skin.h"
#include "winutils/Winutils.h"
#include "winutils/Winutils_debug.h"
#include "winutils/Winutils_screen.h"

namespace player {

namespace {

using winutils::DEBUG_GENERAL;
using winutils::DebugLog;

constexpr int kPageControlHeight = 317;
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 25;
constexpr int kRowRole = Qt::UserRole;

int TableRow(const QListWidgetItem* item) {
    return item->data(kRowRole).toInt();
}

}  // namespace

TFormSettings::TFormSettings(Configuration& configuration, QWidget* parent)
    : QDialog(parent), config_(configuration) {
    setObjectName(QStringLiteral("FormSettings"));
    setWindowTitle(QStringLiteral("Settings"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    HasAdminRights = [] { return winutils::HasAdminRights(); };
    const int height = std::max(kDesignClientHeight, kMinimumClientHeight);
    setFixedSize(kClientWidth, height);

    sPageControl1 = new QTabWidget(this);
    sPageControl1->setObjectName(QStringLiteral("sPageControl1"));
    // The pages take what the taller client area gives above the OK button.
    sPageControl1->setGeometry(0, 0, kClientWidth, kPageControlHeight + (height - kDesignClientHeight));
    BuildAssociationsPage();
    BuildExtrasPage();

    ButtonOK = new QPushButton(QStringLiteral("OK"), this);
    ButtonOK->setObjectName(QStringLiteral("ButtonOK"));
    ButtonOK->setGeometry(kClientWidth - 8 - kButtonWidth, height - 8 - kButtonHeight, kButtonWidth,
                          kButtonHeight);
    ButtonOK->setDefault(true);
    connect(ButtonOK, &QPushButton::clicked, this, [this] { ButtonOKClick(); });
}

void TFormSettings::BuildAssociationsPage() {
    TabSheetAssociations = new QWidget();
    TabSheetAssociations->setObjectName(QStringLiteral("TabSheetAssociations"));
    sPageControl1->addTab(TabSheetAssociations, QStringLiteral(" Associations "));
    const int pageHeight = sPageControl1->height() - 30;

    LabelAssociate =
        new QLabel(QStringLiteral("Associate Strevio with the following file types:"), TabSheetAssociations);
    LabelAssociate->setGeometry(8, 6, 400, 16);

    CheckListBoxFileTypes = new QListWidget(TabSheetAssociations);
    CheckListBoxFileTypes->setObjectName(QStringLiteral("CheckListBoxFileTypes"));
    CheckListBoxFileTypes->setGeometry(8, 26, kClientWidth - 16 - 8 - kButtonWidth, pageHeight - 70);

    sButton1 = new QPushButton(QStringLiteral("All"), TabSheetAssociations);
    sButton1->setObjectName(QStringLiteral("sButton1"));
    sButton1->setGeometry(kClientWidth - 12 - kButtonWidth, 26, kButtonWidth, kButtonHeight);
    sButton2 = new QPushButton(QStringLiteral("None"), TabSheetAssociations);
    sButton2->setObjectName(QStringLiteral("sButton2"));
    sButton2->setGeometry(kClientWidth - 12 - kButtonWidth, 26 + kButtonHeight + 6, kButtonWidth,
                          kButtonHeight);
    connect(sButton1, &QPushButton::clicked, this, [this] { sButton1Click(); });
    connect(sButton2, &QPushButton::clicked, this, [this] { sButton2Click(); });

    MemoAdminNeeded2 =
        new QPlainTextEdit(QStringLiteral("You must be logged in as administrator to change these options"),
                           TabSheetAssociations);
    MemoAdminNeeded2->setObjectName(QStringLiteral("MemoAdminNeeded2"));
    MemoAdminNeeded2->setReadOnly(true);
    MemoAdminNeeded2->setGeometry(8, pageHeight - 38, kClientWidth - 24, 34);
    MemoAdminNeeded2->hide();
}

void TFormSettings::BuildExtrasPage() {
    TabSheetExtras = new QWidget();
    TabSheetExtras->setObjectName(QStringLiteral("TabSheetExtras"));
    sPageControl1->addTab(TabSheetExtras, QStringLiteral("  Miscellaneous "));

    GroupBoxVideoPlayback = new QGroupBox(QStringLiteral(" Video Playback  "), TabSheetExtras);
    GroupBoxVideoPlayback->setObjectName(QStringLiteral("GroupBoxVideoPlayback"));
    GroupBoxVideoPlayback->setGeometry(8, 8, kClientWidth - 24, 76);
    CheckResizeToVideoSize =
        new QCheckBox(QStringLiteral(" Resize player window to video size"), GroupBoxVideoPlayback);
    CheckResizeToVideoSize->setObjectName(QStringLiteral("CheckResizeToVideoSize"));
    CheckResizeToVideoSize->setGeometry(12, 22, kClientWidth - 60, 20);
    CheckUseDirectDraw = new QCheckBox(
        QStringLiteral(" Use DirectDraw instead of GDI when available (improves picture quality)"),
        GroupBoxVideoPlayback);
    CheckUseDirectDraw->setObjectName(QStringLiteral("CheckUseDirectDraw"));
    CheckUseDirectDraw->setGeometry(12, 46, kClientWidth - 60, 20);

    GroupBoxCheckForUpdates = new QGroupBox(QStringLiteral(" Check for updates "), TabSheetExtras);
    GroupBoxCheckForUpdates->setObjectName(QStringLiteral("GroupBoxCheckForUpdates"));
    GroupBoxCheckForUpdates->setGeometry(8, 94, kClientWidth - 24, 52);
    CheckCheckForUpdates =
        new QCheckBox(QStringLiteral(" Automatically check for updates"), GroupBoxCheckForUpdates);
    CheckCheckForUpdates->setObjectName(QStringLiteral("CheckCheckForUpdates"));
    CheckCheckForUpdates->setGeometry(12, 22, kClientWidth - 60, 20);
}

QString TFormSettings::ItemText(const KnownExtension& known) {
    std::string text = known.Extension;
    while (text.size() <= 4) {
        text += ' ';
    }
    return QString::fromStdString(text + " - " + known.Description);
}

void TFormSettings::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!event->spontaneous()) {
        FormShow();
    }
}

void TFormSettings::TickFromAssociations() {
    const auto& known = config_.KnownExtensions();
    for (int i = 0; i < CheckListBoxFileTypes->count(); ++i) {
        QListWidgetItem* item = CheckListBoxFileTypes->item(i);
        const std::string& ext = known[static_cast<size_t>(TableRow(item))].Extension;
        item->setCheckState(config_.AssociatedFileTypes.IndexOf(ext) >= 0 ? Qt::Checked : Qt::Unchecked);
    }
}

void TFormSettings::FormShow() {
    DebugLog(DEBUG_GENERAL, "TFormPreferences::FormShow: BEGIN");
    config_.Prefs_Lock("FormSettingsSrc.cpp", __LINE__);
    CheckListBoxFileTypes->clear();
    const auto& known = config_.KnownExtensions();
    for (size_t row = 0; row < known.size(); ++row) {
        if (!known[row].CanAssociate) {
            continue;
        }
        auto* item = new QListWidgetItem(ItemText(known[row]), CheckListBoxFileTypes);
        item->setData(kRowRole, static_cast<int>(row));
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable | Qt::ItemIsSelectable);
    }
    TickFromAssociations();
    CheckCheckForUpdates->setChecked(config_.Preferences.CheckForUpdates);
    CheckResizeToVideoSize->setChecked(config_.Preferences.ResizeToVideoSize);
    CheckUseDirectDraw->setChecked(config_.Preferences.UseDirectDraw);
    config_.Prefs_Unlock("FormSettingsSrc.cpp", __LINE__);

    const bool admin = HasAdminRights();
    CheckListBoxFileTypes->setEnabled(admin);
    CheckCheckForUpdates->setEnabled(admin);
    MemoAdminNeeded2->setVisible(!admin);
    sPageControl1->setCurrentWidget(TabSheetAssociations);
    if (CheckListBoxFileTypes->isEnabled()) {
        CheckListBoxFileTypes->setFocus(Qt::OtherFocusReason);
    }
    DebugLog(DEBUG_GENERAL, "TFormPreferences::FormShow: END");
}

void TFormSettings::ButtonOKClick() {
    DebugLog(DEBUG_GENERAL, "TFormPreferences::ButtonOKClick: BEGIN");
    config_.Prefs_Lock("FormSettingsSrc.cpp", __LINE__);
    const std::vector<std::string> before = config_.AssociatedFileTypes.Items();
    config_.AssociatedFileTypes.Clear();
    const auto& known = config_.KnownExtensions();
    for (int i = 0; i < CheckListBoxFileTypes->count(); ++i) {
        const QListWidgetItem* item = CheckListBoxFileTypes->item(i);
        if (item->checkState() == Qt::Checked) {
            config_.AssociatedFileTypes.Add(known[static_cast<size_t>(TableRow(item))].Extension);
        }
    }
    bool changed = config_.AssociatedFileTypes.Items() != before;
    changed = changed || CheckCheckForUpdates->isChecked() != config_.Preferences.CheckForUpdates;
    config_.Preferences.CheckForUpdates = CheckCheckForUpdates->isChecked();
    config_.Preferences.ResizeToVideoSize = CheckResizeToVideoSize->isChecked();
    config_.Preferences.UseDirectDraw = CheckUseDirectDraw->isChecked();
    config_.SavePreferences();
    config_.Prefs_Unlock("FormSettingsSrc.cpp", __LINE__);

    if ((changed || config_.associations_pending) && HasAdminRights()) {
        if (!config_.SetFileAssociations()) {
            TickFromAssociations();
            winutils::ShowWarningMessage("%s",
                                         "Changing the file association for some of the selected file types "
                                         "failed. Those that failed have been de-selected in the list.");
            sPageControl1->setCurrentWidget(TabSheetAssociations);
            config_.associations_pending = false;
            DebugLog(DEBUG_GENERAL, "TFormPreferences::ButtonOKClick: END - setter failed");
            return;
        }
    }
    DebugLog(DEBUG_GENERAL, "TFormPreferences::ButtonOKClick: END");
    accept();
}

void TFormSettings::SetAllTicks(bool ticked) {
    for (int i = 0; i < CheckListBoxFileTypes->count(); ++i) {
        CheckListBoxFileTypes->item(i)->setCheckState(ticked ? Qt::Checked : Qt::Unchecked);
    }
}

void TFormSettings::sButton1Click() {
    SetAllTicks(true);
}

void TFormSettings::sButton2Click() {
    SetAllTicks(false);
}

}  // namespace player
