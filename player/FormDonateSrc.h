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

// Lays the dialog out from its design's places, moving everything below a text down by as much as the
// text needs beyond its design room.
class DonateFlow {
public:
    // Moves the widget to its design top plus what the texts above it added.
    void Place(QWidget* widget, int designTop);
    // Places the label and lets it push down what starts at nextDesignTop.
    void Text(QLabel* label, int designTop, int nextDesignTop);
    // Lets an already placed widget push down what starts at nextDesignTop.
    void Below(const QWidget* widget, int nextDesignTop);
    // How much taller than the design everything has become.
    int Grown() const { return grown_; }

private:
    int grown_ = 0;
};

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
    // One way of donating: its picture, its text and note beside it, and its button, at their design
    // tops, the top of what follows the row, and the page it opens.
    struct OfferDesign {
        const char* pictureName;
        const char* pictureCaption;
        QPushButton* TFormDonate::*picture;
        int pictureTop;
        int textLeft;
        const char* text;
        int textTop;
        const char* note;
        int noteTop;
        const char* buttonName;
        const char* buttonCaption;
        QPushButton* TFormDonate::*button;
        int buttonTop;
        int nextTop;
        void (*open)();
    };
    static const OfferDesign kOffers[3];

    QLabel* AddText(const char* text, int left, int pixelSize = 13);
    QPushButton* AddOffer(const char* name, const char* caption);
    QPushButton* AddButton(const char* name, const char* caption);
    void AddOfferRow(DonateFlow& flow, const OfferDesign& offer);
};

// Shows the request modally when asking is still allowed and the play count is 2 or a multiple of 4;
// afterwards a ticked box stops all further requests, and the personal data file is saved. True when it
// was shown.
bool ShowDonateIfDue(Configuration& configuration, TFormDonate& dialog);

}  // namespace player
