// The About box: the product and its version, the maker, and the open-source libraries this build uses
// with their licences; its Donate button shows the donation request.
#pragma once

#include <QDialog>
#include <QStringList>

class QLabel;
class QPushButton;

namespace player {

class TFormDonate;

class TFormAbout : public QDialog {
    Q_OBJECT
public:
    static constexpr int kClientWidth = 465;
    static constexpr int kClientHeight = 272;

    explicit TFormAbout(TFormDonate& donate, QWidget* parent = nullptr);

    // The eight lines of the credits list, as rich text with their links.
    static QStringList CreditLines();

    void ButtonOKClick();
    void ButtonDonateClick();

    QLabel* sLabelFX1 = nullptr;
    QLabel* sLabelFX2 = nullptr;
    QLabel* HTMListBox1 = nullptr;
    QPushButton* ButtonOK = nullptr;
    QPushButton* ButtonDonate = nullptr;

private:
    TFormDonate& donate_;
};

}  // namespace player
