#include "player/FormDonateSrc.h"

#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <exception>

#include "platform/Processes.h"
#include "player/Configuration.h"
#include "winutils/Winutils_debug.h"

namespace player {

namespace {

constexpr const char* kProductSite = "https://www.strevio.com/";
constexpr int kButtonWidth = 92;
constexpr int kButtonHeight = 25;
constexpr int kImageWidth = 165;
constexpr int kImageHeight = 68;

void OpenPage(const std::string& type) {
    try {
        platform::ShellOpen(DonationPage(type));
    } catch (const std::exception&) {
    }
}

// A picture for one way of donating, drawn here: a framed panel with the way's name.
QPixmap OfferPicture(const char* caption) {
    QPixmap picture(kImageWidth, kImageHeight);
    picture.fill(QColor(54, 60, 76));
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(205, 213, 222), 2));
    painter.setBrush(QColor(82, 89, 110));
    painter.drawRoundedRect(QRectF(3, 3, kImageWidth - 6, kImageHeight - 6), 8, 8);
    QFont font = painter.font();
    font.setPixelSize(18);
    font.setBold(true);
    painter.setFont(font);
    painter.drawText(picture.rect(), Qt::AlignCenter, QString::fromLatin1(caption));
    return picture;
}

QFrame* AddBevel(QWidget* parent, int top) {
    auto* bevel = new QFrame(parent);
    bevel->setFrameShape(QFrame::HLine);
    bevel->setFrameShadow(QFrame::Sunken);
    bevel->setGeometry(6, top, TFormDonate::kClientWidth - 12, 4);
    return bevel;
}

}  // namespace

std::string DonationPage(const std::string& type) {
    return std::string(kProductSite) + "donate.html?type=" + type;
}

void OpenDonationPageFree() {
    OpenPage("free");
}

void OpenDonationPagePayment() {
    OpenPage("payment");
}

void OpenDonationPagePayPal() {
    OpenPage("paypal");
}

TFormDonate::TFormDonate(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("FormDonate"));
    setWindowTitle(QStringLiteral("Please read this"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(kClientWidth, kClientHeight);

    AddText("Does Strevio work well for you?", 8, 0, 21);
    AddText(
        "Strevio is developed by Korvanta Software, a small family business. We give it away for free, but "
        "hope you will consider donating a small amount if you like it.",
        8, 39);
    AddText("You can show your appreciation in several ways:", 8, 90);
    AddBevel(this, 117);

    ImageDonateByOffers = AddOffer("ImageDonateByOffers", "Offers", 127);
    AddText(
        "Browse offers from many well-known brands. We are paid a small commission if you decide to try or "
        "buy from one of our partners.",
        180, 123);
    AddText("NO SIGNUP REQUIRED to browse offers - have a look!", 180, 176);
    ButtonDonateByOffers = new QPushButton(QStringLiteral("Browse offers"), this);
    AddBevel(this, 201);

    ImageDonateByPayment = AddOffer("ImageDonateByPayment", "Payment", 211);
    AddText(
        "Donate a small amount by paying with your debit card, credit card, wire transfer, local bank "
        "transfer, phone, fax or postal mail.",
        179, 207);
    AddText("Your online payment is SECURE.", 179, 260);
    ButtonDonateByPayment = new QPushButton(QStringLiteral("Donation page"), this);
    AddBevel(this, 285);

    ImageDonateByPayPal = AddOffer("ImageDonateByPayPal", "PayPal", 295);
    AddText(
        "Donate a small amount from your PayPal account. This is ideal if you already have a PayPal "
        "account. Simply select PayPal as Method of Payment on the payment page.",
        179, 291);
    AddText("Your PayPal payment is SECURE.", 179, 344);
    ButtonDonateByPayPal = new QPushButton(QStringLiteral("Donation page"), this);
    AddBevel(this, 369);

    AddText("Thank you for your kind consideration - we truly appreciate it!", 8, 379);
    CheckDoNotShow = new QCheckBox(QStringLiteral("I already donated or do not want to donate"), this);
    CheckDoNotShow->setObjectName(QStringLiteral("CheckDoNotShow"));
    ButtonClose = new QPushButton(QStringLiteral("Close"), this);
    ButtonClose->setObjectName(QStringLiteral("ButtonClose"));

    const int buttonLeft = kClientWidth - 8 - kButtonWidth;
    ButtonDonateByOffers->setObjectName(QStringLiteral("ButtonDonateByOffers"));
    ButtonDonateByPayment->setObjectName(QStringLiteral("ButtonDonateByPayment"));
    ButtonDonateByPayPal->setObjectName(QStringLiteral("ButtonDonateByPayPal"));
    ButtonDonateByOffers->setGeometry(buttonLeft, 170, kButtonWidth, kButtonHeight);
    ButtonDonateByPayment->setGeometry(buttonLeft, 254, kButtonWidth, kButtonHeight);
    ButtonDonateByPayPal->setGeometry(buttonLeft, 338, kButtonWidth, kButtonHeight);
    ButtonClose->setGeometry(buttonLeft, kClientHeight - 8 - kButtonHeight, kButtonWidth, kButtonHeight);
    CheckDoNotShow->setGeometry(8, kClientHeight - 8 - 20, 400, 20);
    ButtonDonateByOffers->setDefault(true);
    ButtonDonateByOffers->setFocus();

    connect(ImageDonateByOffers, &QPushButton::clicked, this, [] { OpenDonationPageFree(); });
    connect(ButtonDonateByOffers, &QPushButton::clicked, this, [] { OpenDonationPageFree(); });
    connect(ImageDonateByPayment, &QPushButton::clicked, this, [] { OpenDonationPagePayment(); });
    connect(ButtonDonateByPayment, &QPushButton::clicked, this, [] { OpenDonationPagePayment(); });
    connect(ImageDonateByPayPal, &QPushButton::clicked, this, [] { OpenDonationPagePayPal(); });
    connect(ButtonDonateByPayPal, &QPushButton::clicked, this, [] { OpenDonationPagePayPal(); });
    connect(ButtonClose, &QPushButton::clicked, this, [this] { ButtonCloseClick(); });
}

QLabel* TFormDonate::AddText(const char* text, int left, int top, int pixelSize) {
    auto* label = new QLabel(QString::fromUtf8(text), this);
    label->setWordWrap(true);
    label->setStyleSheet(QStringLiteral("font-size: %1px; color: rgb(205, 213, 222);").arg(pixelSize));
    const int width = (left < 100 ? kClientWidth - 16 : kClientWidth - left - kButtonWidth - 16);
    label->setGeometry(left, top, width, label->heightForWidth(width));
    return label;
}

QPushButton* TFormDonate::AddOffer(const char* name, const char* caption, int top) {
    auto* image = new QPushButton(this);
    image->setObjectName(QString::fromLatin1(name));
    image->setFlat(true);
    image->setIcon(QIcon(OfferPicture(caption)));
    image->setIconSize(QSize(kImageWidth, kImageHeight));
    image->setGeometry(8, top, kImageWidth, kImageHeight);
    image->setCursor(Qt::PointingHandCursor);
    return image;
}

void TFormDonate::ButtonCloseClick() {
    close();
}

bool ShowDonateIfDue(Configuration& configuration, TFormDonate& dialog) {
    if (configuration.show_donate == 0) {
        return false;
    }
    const int32_t plays = configuration.code_x;
    if (plays != 2 && plays % 4 != 0) {
        return false;
    }
    try {
        dialog.exec();
        if (dialog.CheckDoNotShow->isChecked()) {
            configuration.show_donate = 0;
        }
        configuration.SavePersonalConfigFile();
    } catch (const std::exception& e) {
        winutils::DebugLog(winutils::DEBUG_GENERAL, "ShowDonateIfDue: EXCEPTION %s", e.what());
    }
    return true;
}

}  // namespace player
