// A player start reduced to its single-instance step, for the tests.
//   probe hold <marker>     settles first or later, writes "first" or "later" to <marker>, then, as the
//                           first instance, serves later starts until killed
//   probe send [args...]    hands the arguments over; exit 0 when this start is to end, 2 when it became
//                           the first instance itself, 3 when neither
#include <QApplication>
#include <QStringList>

#include <cstdio>
#include <fstream>
#include <string>

#include "player/Myoneinstance.h"

extern "C" const char* __lsan_default_suppressions() {
    return "leak:libdbus-1.so\n"
           "leak:libfontconfig.so\n";
}

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    QStringList arguments = QApplication::arguments();
    if (arguments.size() < 2) {
        return 64;
    }
    const QString mode = arguments[1];
    arguments.erase(arguments.begin(), arguments.begin() + 2);
    if (mode == QStringLiteral("hold") && arguments.size() == 1) {
        const std::string marker = arguments[0].toStdString();
        player::MyOneInstance instance(QStringList{});
        std::ofstream(marker) << (instance.IsFirstInstance() ? "first" : "later");
        return instance.IsFirstInstance() ? app.exec() : 1;
    }
    if (mode == QStringLiteral("send")) {
        player::MyOneInstance instance(arguments);
        if (instance.TerminateRequested()) {
            return 0;
        }
        return instance.IsFirstInstance() ? 2 : 3;
    }
    return 64;
}
