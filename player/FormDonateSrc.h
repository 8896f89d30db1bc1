// The donation request: three ways to donate, each opening its page in the browser, a box for not being
// asked again, and the rule for when the player asks.
#pragma once

#include <QDialog>
#include <string>

class QCheckBox;
class QLabel;
class QPushButton;

namespace player {

class Configuration;

// The product's donation page for one way of donating ("free", "payment" or "paypal").
std::string DonationPage(const std::string& type);
void OpenDonationPageFree();
void OpenDonationPagePayment();
void OpenDonationPagePayPal();

class TFormDonate : public QDialog {
    Q_OBJECT
public:
    static constexpr int kClientWidth = 630;
    static constexpr int kClientHeight = 442;

    explicit TFormDonate(QWidget* parent = nullptr);

    void ButtonCloseClick();

    QPushButton* ImageDonateByOffers = nullptr;
    QPushButton* ButtonDonateByOffers = nullptr;
    QPushButton* ImageDonateByPayment = nullptr;
    QPushButton* ButtonDonateByPayment = nullptr;
    QPushButton* ImageDonateByPayPal = nullptr;
    QPushButton* ButtonDonateByPayPal = nullptr;
    QCheckBox* CheckDoNotShow = nullptr;
    QPushButton* ButtonClose = nullptr;

private:
    QLabel* AddText(const char* text, int left, int top, int pixelSize = 13);
    QPushButton* AddOffer(const char* name, const char* caption, int top);
};

// Shows the request modally when asking is still allowed and the play count is 2 or a multiple of 4;
// afterwards a ticked box stops all further requests, and the personal data file is saved. True when it
// was shown.
bool ShowDonateIfDue(Configuration& configuration, TFormDonate& dialog);

}  // namespace player
