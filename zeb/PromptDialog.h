// The modal prompt shown for a file whose type no program opens: three choices, a "do not show again"
// box and OK. OK hides the prompt, then acts; the title-bar close button ends it without acting; Esc does
// nothing.
#pragma once

#include <QDialog>
#include <QImage>

#include "zeb/ZebGlobals.h"

class QAbstractButton;
class QCheckBox;
class QLabel;
class QPushButton;
class QRadioButton;

namespace zeb {

class PromptDialog : public QDialog {
    Q_OBJECT

public:
    // The choices, numbered as the dialog's controls always were.
    enum Action { kNoAction = 0, kFindProgram = 1000, kReadAboutType = 1001, kOpenWith = 1002 };
    // exec() results besides kEndedByOwner: OK pressed, or closed by the title bar.
    enum Result { kEndedByOwner = 0, kOk = 1, kClosed = 2 };

    explicit PromptDialog(Globals& globals, QWidget* parent = nullptr);

    // The first checked choice, in the order above, or kNoAction.
    int GetSelectedAction() const;

public slots:
    // Esc does not close the prompt.
    void reject() override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void CreateControls();
    void OnInitDialog();
    void OnOK();
    QRect DialogUnits(int x, int y, int width, int height) const;

    Globals& globals_;
    QImage image_;
    QPushButton* ok_ = nullptr;
    QLabel* fileName_ = nullptr;
    QRadioButton* findProgram_ = nullptr;
    QRadioButton* readAboutType_ = nullptr;
    QRadioButton* openWith_ = nullptr;
    QCheckBox* doNotShowAgain_ = nullptr;
};

// Fills the first "%s" of pattern with value; value is taken literally, whatever it holds.
std::string FillTemplate(const std::string& pattern, const std::string& value);

// The name that the choices and the box use for the target's type: its extension in upper case, or
// "extension-less".
std::string TypeLabel(const std::string& extension);

}  // namespace zeb
