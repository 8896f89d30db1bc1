// The player's options dialog: which known file types the player is to be associated with, the two video
// options and the update check. OK stores them and runs the association setter when the associations
// changed (or are still to be set up after the first start).
#pragma once

#include <QDialog>
#include <QString>
#include <functional>

class QCheckBox;
class QGroupBox;
class QLabel;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;

namespace player {

class Configuration;
struct KnownExtension;

class TFormSettings : public QDialog {
    Q_OBJECT
public:
    static constexpr int kClientWidth = 488;
    static constexpr int kDesignClientHeight = 356;
    static constexpr int kMinimumClientHeight = 450;

    explicit TFormSettings(Configuration& configuration, QWidget* parent = nullptr);

    // The list's text for a file type: the extension padded to five characters, " - ", the description.
    static QString ItemText(const KnownExtension& known);

    void FormShow();
    void ButtonOKClick();
    void sButton1Click();  // All
    void sButton2Click();  // None

    // Whether the user may change the associations; replaceable for tests.
    std::function<bool()> HasAdminRights;

    QTabWidget* sPageControl1 = nullptr;
    QWidget* TabSheetAssociations = nullptr;
    QLabel* LabelAssociate = nullptr;
    QListWidget* CheckListBoxFileTypes = nullptr;
    QPushButton* sButton1 = nullptr;
    QPushButton* sButton2 = nullptr;
    QPlainTextEdit* MemoAdminNeeded2 = nullptr;
    QWidget* TabSheetExtras = nullptr;
    QGroupBox* GroupBoxVideoPlayback = nullptr;
    QCheckBox* CheckResizeToVideoSize = nullptr;
    QCheckBox* CheckUseDirectDraw = nullptr;
    QGroupBox* GroupBoxCheckForUpdates = nullptr;
    QCheckBox* CheckCheckForUpdates = nullptr;
    QPushButton* ButtonOK = nullptr;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void BuildAssociationsPage();
    void BuildExtrasPage();
    void SetAllTicks(bool ticked);
    void TickFromAssociations();

    Configuration& config_;
};

}  // namespace player
