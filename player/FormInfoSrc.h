// The notice dialog: a numbered notice with an icon, and a box for not displaying it again.
#pragma once

#include <QDialog>
#include <string>

class QCheckBox;
class QLabel;
class QPushButton;

namespace player {

class TFormInfo : public QDialog {
    Q_OBJECT
public:
    static constexpr int kClientWidth = 476;
    static constexpr int kClientHeight = 222;

    explicit TFormInfo(QWidget* parent = nullptr);

    // Shows notice id modally with "@@P1@@" and "@@P2@@" replaced; true unless it was cancelled. An
    // unknown id shows nothing and gives false. The caller reads CheckDoNotDisplay afterwards.
    bool ShowInfo(int id, const std::string& P1, const std::string& P2);
    void ButtonOKClick();
    void ButtonCancelClick();
    void FormShow();

    QLabel* Image1 = nullptr;
    QLabel* LabelInfo = nullptr;
    QPushButton* ButtonOK = nullptr;
    QPushButton* ButtonCancel = nullptr;
    QCheckBox* CheckDoNotDisplay = nullptr;

protected:
    void showEvent(QShowEvent* event) override;

private:
    bool cancelled_ = false;
};

}  // namespace player
