#include "player/FormAboutSrc.h"

#include <QFrame>
#include <QGraphicsDropShadowEffect>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>
#include <algorithm>

#include "platform/Processes.h"
#include "player/FormDonateSrc.h"
#include "player/Skin.h"

namespace player {

namespace {

constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 25;

// Puts a one-line label at its place, at least as large as its text needs at the font the skin gives it.
void PlaceWhole(QLabel* label, int left, int top, int width) {
    label->ensurePolished();
    const QSize needed = label->sizeHint();
    label->setGeometry(left, top, std::max(width, needed.width()), needed.height());
}

QString Link(const char* url, const char* text) {
    return QStringLiteral("<a href=\"%1\">%2</a>").arg(QString::fromLatin1(url), QString::fromLatin1(text));
}

}  // namespace

QStringList TFormAbout::CreditLines() {
    return {
        Link("https://www.strevio.com/?src=strevio", "Strevio") + " is a free product by " +
            Link("https://www.korvanta.com/?src=strevio", "Korvanta Software") + ".",
        "",
        "The playback engine used in Strevio is " + Link("https://ffmpeg.org/", "FFmpeg") +
            " and related libraries. As Strevio cannot be open sourced due to commercial libraries used in "
            "the "
            "product, we are using a dynamically linked LGPL version of FFmpeg. ",
        "",
        "Source code and license texts for all Open Source components we use are available " +
            Link("https://www.strevio.com/source.html", "here") + ". ",
        "",
        "Open Source components used in Strevio are:",
        // What this build really loads, with the licences those libraries carry.
        Link("https://ffmpeg.org/download.html", "FFmpeg 5.1") +
            " (LGPL v2.1 or later; GPL v2 or later where built with its GPL parts) using the following "
            "libraries: " +
            Link("https://www.libsdl.org/download-1.2.php", "SDL-1.2.15") + " (LGPL v2.1), " +
            Link("https://codeberg.org/soundtouch/soundtouch", "SoundTouch 2.3") + " (LGPL v2.1) and " +
            Link("https://www.qt.io/download-open-source", "Qt 6") + " (LGPL v3).",
    };
}

TFormAbout::TFormAbout(TFormDonate& donate, QWidget* parent) : QDialog(parent), donate_(donate) {
    setObjectName(QStringLiteral("FormAbout"));
    setWindowTitle(QStringLiteral("About"));
    setFixedSize(kClientWidth, kClientHeight);

    sLabelFX1 = new QLabel(QStringLiteral("Strevio"), this);
    sLabelFX1->setObjectName(QStringLiteral("sLabelFX1"));
    sLabelFX1->setStyleSheet(QStringLiteral("font-size: 16px; color: rgb(205, 213, 222);"));
    PlaceWhole(sLabelFX1, 12, 8, 300);
    // The title stands out from the dark skin with a shadow below and right of it.
    auto* titleShadow = new QGraphicsDropShadowEffect(sLabelFX1);
    titleShadow->setOffset(2, 2);
    titleShadow->setBlurRadius(2);
    titleShadow->setColor(QColor(0, 0, 0, 200));
    sLabelFX1->setGraphicsEffect(titleShadow);
    sLabelFX2 = new QLabel(QStringLiteral("Version 2026 Update 1. Build date: December 10, 2026"), this);
    sLabelFX2->setObjectName(QStringLiteral("sLabelFX2"));
    sLabelFX2->setStyleSheet(QStringLiteral("font-size: 8pt; color: rgb(205, 213, 222);"));
    PlaceWhole(sLabelFX2, 12, 36, 441);

    auto* sPanel1 = new QFrame(this);
    sPanel1->setObjectName(QStringLiteral("sPanel1"));
    SetSkinSection(sPanel1, "PANEL");
    sPanel1->setGeometry(12, 68, 441, 165);
    auto* layout = new QVBoxLayout(sPanel1);
    layout->setContentsMargins(0, 0, 0, 0);
    // The credits scroll when the fonts make them taller than the panel.
    auto* scroller = new QScrollArea(sPanel1);
    scroller->setObjectName(QStringLiteral("HTMListBox1Scroller"));
    scroller->setFrameShape(QFrame::NoFrame);
    scroller->setWidgetResizable(true);
    scroller->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    HTMListBox1 = new QLabel(CreditLines().join(QStringLiteral("<br>")));
    HTMListBox1->setObjectName(QStringLiteral("HTMListBox1"));
    HTMListBox1->setWordWrap(true);
    HTMListBox1->setTextFormat(Qt::RichText);
    HTMListBox1->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    HTMListBox1->setMargin(4);
    HTMListBox1->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    // Links go to the desktop's opener, like every page the player opens.
    connect(HTMListBox1, &QLabel::linkActivated, this,
            [](const QString& url) { platform::ShellOpen(url.toStdString()); });
    scroller->setWidget(HTMListBox1);
    layout->addWidget(scroller);

    ButtonOK = new QPushButton(QStringLiteral("OK"), this);
    ButtonOK->setObjectName(QStringLiteral("ButtonOK"));
    ButtonOK->setGeometry(kClientWidth - 8 - kButtonWidth, kClientHeight - 8 - kButtonHeight, kButtonWidth,
                          kButtonHeight);
    ButtonDonate = new QPushButton(QStringLiteral("Donate"), this);
    ButtonDonate->setObjectName(QStringLiteral("ButtonDonate"));
    ButtonDonate->setGeometry(ButtonOK->x() - 8 - kButtonWidth, ButtonOK->y(), kButtonWidth, kButtonHeight);
    connect(ButtonOK, &QPushButton::clicked, this, [this] { ButtonOKClick(); });
    connect(ButtonDonate, &QPushButton::clicked, this, [this] { ButtonDonateClick(); });
}

void TFormAbout::ButtonOKClick() {
    accept();
}

void TFormAbout::ButtonDonateClick() {
    donate_.exec();
}

}  // namespace player
