#include "player/Skin.h"

#include <QApplication>
#include <QColor>
#include <QFile>
#include <QStyle>
#include <QVariant>
#include <QWidget>

namespace player {

namespace {
constexpr const char* kSectionProperty = "skinSection";
}

QString SkinStyleSheet() {
    QFile file(QStringLiteral(":/skin/strevio.qss"));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QString::fromUtf8(file.readAll());
}

QIcon SkinImage(int index) {
    if (index < 0 || index >= kImageCount) {
        return {};
    }
    return QIcon(QStringLiteral(":/skin/image_%1.png").arg(index));
}

QPalette SkinPalette() {
    const QColor surface(63, 69, 87);
    const QColor text(205, 213, 222);
    const QColor field(44, 49, 63);
    const QColor disabledText(140, 146, 160);
    QPalette palette(text, surface);
    for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        const bool disabled = group == QPalette::Disabled;
        const QColor shown = disabled ? disabledText : text;
        palette.setColor(group, QPalette::Window, surface);
        palette.setColor(group, QPalette::WindowText, shown);
        palette.setColor(group, QPalette::Base, disabled ? surface : field);
        palette.setColor(group, QPalette::AlternateBase, QColor(52, 58, 74));
        palette.setColor(group, QPalette::Text, shown);
        palette.setColor(group, QPalette::PlaceholderText, disabledText);
        palette.setColor(group, QPalette::Button, QColor(58, 64, 81));
        palette.setColor(group, QPalette::ButtonText, shown);
        palette.setColor(group, QPalette::BrightText, Qt::white);
        palette.setColor(group, QPalette::Light, QColor(96, 104, 128));
        palette.setColor(group, QPalette::Midlight, QColor(80, 87, 108));
        palette.setColor(group, QPalette::Mid, QColor(50, 55, 70));
        palette.setColor(group, QPalette::Dark, QColor(40, 44, 56));
        palette.setColor(group, QPalette::Shadow, QColor(20, 22, 28));
        palette.setColor(group, QPalette::Highlight, disabled ? QColor(70, 77, 97) : QColor(74, 96, 140));
        palette.setColor(group, QPalette::HighlightedText, disabled ? disabledText : QColor(Qt::white));
        palette.setColor(group, QPalette::Link, QColor(150, 200, 255));
        palette.setColor(group, QPalette::LinkVisited, QColor(200, 175, 255));
        palette.setColor(group, QPalette::ToolTipBase, field);
        palette.setColor(group, QPalette::ToolTipText, text);
    }
    return palette;
}

void ApplySkin(QApplication& app) {
    QApplication::setPalette(SkinPalette());
    app.setStyleSheet(SkinStyleSheet());
}

void SetSkinSection(QWidget* widget, const char* section) {
    widget->setProperty(kSectionProperty, QString::fromLatin1(section));
    // A changed property matters to the stylesheet only after the widget is polished again.
    widget->style()->unpolish(widget);
    widget->style()->polish(widget);
    widget->update();
}

QString SkinSection(const QWidget* widget) {
    return widget->property(kSectionProperty).toString();
}

}  // namespace player
