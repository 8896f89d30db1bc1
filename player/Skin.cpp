#include "player/Skin.h"

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
