#include "player/ApplicationSetup.h"

#include <QApplication>

#include "player/Skin.h"

namespace player {

void SetUpApplication(QApplication& app) {
    QApplication::setApplicationName(QStringLiteral("Strevio"));
    ApplySkin(app);
}

}  // namespace player
