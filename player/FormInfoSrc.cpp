#include "player/FormInfoSrc.h"

#include <QCheckBox>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QShowEvent>

#include "player/IgnoredFailure.h"
#include "winutils/Winutils_screen.h"
#include "winutils/Winutils_string.h"

namespace player {

namespace {

constexpr const char* kNotice0Caption = "Important information";
constexpr const char* kNotice0Text =
    "More than one monitor detected.\n\nIt seems like you have more than 1 monitor attached to your PC.\n\n"
    "Due to limitations in the video playback engine used in Strevio, the videos can only be played back on "
    "the primary monitor when using the best picture quality.\n\nIf you want to use your other monitor, "
    "click "
    "Setup, select the Miscellaneous tab and un-check the 'Use DirectDraw instead of GDI when available' "
    "option.";

// The notice's icon, drawn here: a round sign with an exclamation mark.
QPixmap NoticeIcon() {
    QPixmap icon(32, 32);
    icon.fill(Qt::transparent);
    QPainter painter(&icon);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(230, 170, 40));
    painter.drawEllipse(QRectF(1, 1, 30, 30));
    painter.setBrush(Qt::white);
    painter.drawRoundedRect(QRectF(14, 6, 4, 14), 2, 2);
    painter.drawEllipse(QRectF(14, 22, 4, 4));
    return icon;
}

}  // namespace

TFormInfo::TFormInfo(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("FormInfo"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    resize(kClientWidth, kClientHeight);
    Image1 = new QLabel(this);
    Image1->setGeometry(12, 12, 32, 32);
    LabelInfo = new QLabel(this);
    LabelInfo->setObjectName(QStringLiteral("LabelInfo"));
    LabelInfo->setWordWrap(true);
    LabelInfo->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    LabelInfo->setStyleSheet(QStringLiteral("color: rgb(205, 213, 222);"));
    LabelInfo->move(59, 12);
    ButtonOK = new QPushButton(QStringLiteral("&OK"), this);
    ButtonOK->setObjectName(QStringLiteral("ButtonOK"));
    ButtonOK->setGeometry(393, 12, 75, 25);
    ButtonCancel = new QPushButton(QStringLiteral("&Cancel"), this);
    ButtonCancel->setObjectName(QStringLiteral("ButtonCancel"));
    ButtonCancel->setGeometry(393, 44, 75, 25);
    ButtonCancel->setDefault(true);
    CheckDoNotDisplay = new QCheckBox(QStringLiteral(" In the future, do not display this message."), this);
    CheckDoNotDisplay->setObjectName(QStringLiteral("CheckDoNotDisplay"));
    CheckDoNotDisplay->setGeometry(8, 202, 360, 20);
    setTabOrder(ButtonOK, ButtonCancel);
    connect(ButtonOK, &QPushButton::clicked, this, [this] { ButtonOKClick(); });
    connect(ButtonCancel, &QPushButton::clicked, this, [this] { ButtonCancelClick(); });
}

bool TFormInfo::ShowInfo(int id, const std::string& P1, const std::string& P2) {
    CheckDoNotDisplay->setChecked(false);
    if (id == 0) {
        ButtonCancel->setEnabled(false);
        setWindowTitle(QString::fromLatin1(kNotice0Caption));
        Image1->setPixmap(NoticeIcon());
        std::string text = winutils::ReplaceAll(kNotice0Text, "@@P1@@", P1);
        text = winutils::ReplaceAll(text, "@@P2@@", P2);
        const int left = Image1->x() + Image1->width() + 16;
        LabelInfo->setGeometry(left, LabelInfo->y(), ButtonOK->x() - left - 16, LabelInfo->height());
        LabelInfo->setText(QString::fromStdString(text));
        RunIgnoringFailure("TFormInfo::ShowInfo", [&] { exec(); });
    } else {
        cancelled_ = true;
    }
    ButtonOK->setEnabled(true);
    ButtonCancel->setEnabled(true);
    return !cancelled_;
}

void TFormInfo::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!event->spontaneous()) {
        FormShow();
    }
}

void TFormInfo::FormShow() {
    const int labelHeight = LabelInfo->heightForWidth(LabelInfo->width());
    LabelInfo->resize(LabelInfo->width(), labelHeight);
    const int height = labelHeight + LabelInfo->y() + CheckDoNotDisplay->height() + 20;
    setFixedSize(kClientWidth, height);
    CheckDoNotDisplay->move(LabelInfo->x(), height - CheckDoNotDisplay->height() - 8);
    winutils::PositionOnActiveMonitor(this, true);
}

void TFormInfo::ButtonOKClick() {
    cancelled_ = false;
    close();
}

void TFormInfo::ButtonCancelClick() {
    cancelled_ = true;
    close();
}

}  // namespace player
