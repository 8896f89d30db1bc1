#include "player/FormDonateSrc.h"

#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <algorithm>
#include <exception>

#include "platform/Processes.h"
#include "player/Configuration.h"
#include "player/IgnoredFailure.h"
#include "winutils/Winutils_debug.h"

namespace player {

namespace {

constexpr const char* kProductSite = "https://www.strevio.com/";
constexpr int kButtonWidth = 92;
constexpr int kButtonHeight = 25;
constexpr int kImageWidth = 165;
constexpr int kImageHeight = 68;

void OpenPage(const std::string& type) {
    RunIgnoringFailure("OpenPage", [&] { platform::ShellOpen(DonationPage(type)); });
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

QFrame* AddBevel(QWidget* parent) {
    auto* bevel = new QFrame(parent);
    bevel->setFrameShape(QFrame::HLine);
    bevel->setFrameShadow(QFrame::Sunken);
    bevel->setGeometry(6, 0, TFormDonate::kClientWidth - 12, 4);
    return bevel;
}

}  // namespace

// Gap kept between a text that needed more room and what follows it.
constexpr int kFlowGap = 2;

void DonateFlow::Place(QWidget* widget, int designTop) {
    widget->move(widget->x(), designTop + grown_);
}

void DonateFlow::Text(QLabel* label, int designTop, int nextDesignTop) {
    Place(label, designTop);
    Below(label, nextDesignTop);
}

void DonateFlow::Below(const QWidget* widget, int nextDesignTop) {
    const int needed = widget->geometry().bottom() + 1 + kFlowGap;
    grown_ += std::max(0, needed - (nextDesignTop + grown_));
}

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

// The three ways of donating, at their design places; each row ends with the separator below it.
const TFormDonate::OfferDesign TFormDonate::kOffers[] = {
    {"ImageDonateByOffers", "Offers", &TFormDonate::ImageDonateByOffers, 127, 180,
     "Browse offers from many well-known brands. We are paid a small commission if you decide to try or buy "
     "from one of our partners.",
     123, "NO SIGNUP REQUIRED to browse offers - have a look!", 176, "ButtonDonateByOffers", "Browse offers",
     &TFormDonate::ButtonDonateByOffers, 170, 201, &OpenDonationPageFree},
    {"ImageDonateByPayment", "Payment", &TFormDonate::ImageDonateByPayment, 211, 179,
     "Donate a small amount by paying with your debit card, credit card, wire transfer, local bank transfer, "
     "phone, fax or postal mail.",
     207, "Your online payment is SECURE.", 260, "ButtonDonateByPayment", "Donation page",
     &TFormDonate::ButtonDonateByPayment, 254, 285, &OpenDonationPagePayment},
    {"ImageDonateByPayPal", "PayPal", &TFormDonate::ImageDonateByPayPal, 295, 179,
     "Donate a small amount from your PayPal account. This is ideal if you already have a PayPal account. "
     "Simply select PayPal as Method of Payment on the payment page.",
     291, "Your PayPal payment is SECURE.", 344, "ButtonDonateByPayPal", "Donation page",
     &TFormDonate::ButtonDonateByPayPal, 338, 369, &OpenDonationPagePayPal},
};

TFormDonate::TFormDonate(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("FormDonate"));
    setWindowTitle(QStringLiteral("Please read this"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(kClientWidth, kClientHeight);

    // The design's places hold the texts at the design's font. At the fonts the skin really gets, a text
    // may need more lines: then it keeps its full height and everything below it moves down, and the
    // dialog grows by as much.
    DonateFlow flow;
    flow.Text(AddText("Does Strevio work well for you?", 8, 21), 0, 39);
    flow.Text(
        AddText("Strevio is developed by Korvanta Software, a small family business. We give it away for "
                "free, but hope you will consider donating a small amount if you like it.",
                8),
        39, 90);
    flow.Text(AddText("You can show your appreciation in several ways:", 8), 90, 117);
    flow.Place(AddBevel(this), 117);

    for (const OfferDesign& offer : kOffers) {
        AddOfferRow(flow, offer);
    }
    flow.Text(AddText("Thank you for your kind consideration - we truly appreciate it!", 8), 379, 409);
    CheckDoNotShow = new QCheckBox(QStringLiteral("I already donated or do not want to donate"), this);
    CheckDoNotShow->setObjectName(QStringLiteral("CheckDoNotShow"));
    ButtonClose = AddButton("ButtonClose", "Close");

    const int height = kClientHeight + flow.Grown();
    setFixedSize(kClientWidth, height);
    ButtonClose->move(ButtonClose->x(), height - 8 - kButtonHeight);
    CheckDoNotShow->ensurePolished();
    const QSize box = CheckDoNotShow->sizeHint();
    CheckDoNotShow->setGeometry(8, height - 8 - box.height(), box.width(), box.height());
    ButtonDonateByOffers->setDefault(true);
    ButtonDonateByOffers->setFocus();

    connect(ButtonClose, &QPushButton::clicked, this, [this] { ButtonCloseClick(); });
}

QLabel* TFormDonate::AddText(const char* text, int left, int pixelSize) {
    auto* label = new QLabel(QString::fromUtf8(text), this);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    label->setStyleSheet(QStringLiteral("font-size: %1px; color: rgb(205, 213, 222);").arg(pixelSize));
    // The texts beside the pictures end before the buttons' column.
    const int width = (left < 100 ? kClientWidth - 16 : kClientWidth - left - kButtonWidth - 16);
    label->ensurePolished();
    label->setGeometry(left, 0, width, label->heightForWidth(width));
    return label;
}

QPushButton* TFormDonate::AddOffer(const char* name, const char* caption) {
    auto* image = new QPushButton(this);
    image->setObjectName(QString::fromLatin1(name));
    image->setFlat(true);
    image->setIcon(QIcon(OfferPicture(caption)));
    image->setIconSize(QSize(kImageWidth, kImageHeight));
    image->setGeometry(8, 0, kImageWidth, kImageHeight);
    image->setCursor(Qt::PointingHandCursor);
    return image;
}

QPushButton* TFormDonate::AddButton(const char* name, const char* caption) {
    auto* button = new QPushButton(QString::fromLatin1(caption), this);
    button->setObjectName(QString::fromLatin1(name));
    button->setGeometry(kClientWidth - 8 - kButtonWidth, 0, kButtonWidth, kButtonHeight);
    return button;
}

void TFormDonate::AddOfferRow(DonateFlow& flow, const OfferDesign& offer) {
    QPushButton* picture = AddOffer(offer.pictureName, offer.pictureCaption);
    QPushButton* button = AddButton(offer.buttonName, offer.buttonCaption);
    this->*offer.picture = picture;
    this->*offer.button = button;
    connect(picture, &QPushButton::clicked, this, offer.open);
    connect(button, &QPushButton::clicked, this, offer.open);
    QLabel* text = AddText(offer.text, offer.textLeft);
    QLabel* note = AddText(offer.note, offer.textLeft);
    flow.Place(picture, offer.pictureTop);
    flow.Text(text, offer.textTop, offer.noteTop);
    flow.Place(button, offer.buttonTop);
    flow.Text(note, offer.noteTop, offer.nextTop);
    flow.Below(picture, offer.nextTop);
    flow.Place(AddBevel(this), offer.nextTop);
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
