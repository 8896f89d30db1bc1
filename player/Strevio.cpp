// The player program: builds the configuration, the application and the main window, and runs the
// window until it closes.
#include <QApplication>
#include <QCheckBox>
#include <QStringList>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "platform/qt/QtDispatcher.h"
#include "player/ApplicationSetup.h"
#include "player/CodecPreload.h"
#include "player/Configuration.h"
#include "player/FormAboutSrc.h"
#include "player/FormDonateSrc.h"
#include "player/FormInfoSrc.h"
#include "player/FormMainSrc.h"
#include "player/FormSettingsSrc.h"
#include "player/SessionEnd.h"
#include "winutils/Winutils.h"

// Last: Xlib's macros would break the Qt headers.
#include <X11/Xlib.h>

namespace {

// The engine's threads draw through SDL into the video panel, so Xlib must be thread-safe before any
// connection is opened. Qt's X11 platform is the one the video output embeds into.
void PrepareDisplay() {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform == nullptr || *platform == '\0') {
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        platform = "xcb";
    }
    if (std::string_view(platform).starts_with("xcb")) {
        XInitThreads();
    }
}

int RunPlayer(int argc, char** argv) {
    // Loaded meanwhile the application and its window start; joined before this returns.
    // The file to play is opened meanwhile too; the player takes it if it opens that same file.
    player::CodecPreload codecPreload(player::TFormMain::CodecFolder(), argc > 1 ? argv[1] : "",
                                      player::TFormMain::StartPosition());
    player::Configuration configuration;
    player::config = &configuration;
    QApplication app(argc, argv);
    player::SetUpApplication(app);
    platform::InstallQtDispatcher();
    if (winutils::ApplicationTerminated()) {
        platform::UninstallQtDispatcher();
        player::config = nullptr;
        return 1;
    }

    QStringList arguments = QApplication::arguments();
    arguments.removeFirst();
    int code = 0;
    try {
        // Caught before the window exists, so an early SIGTERM waits for the window instead of killing
        // the program unsaved.
        player::TFormMain* window = nullptr;
        player::SessionEnd sessionEnd([&window] {
            if (window != nullptr) {
                window->EndSessionHandler();
            }
        });
        player::TFormMain form(configuration, arguments);
        window = &form;
        // Destroyed before the main window, whose children they are.
        player::TFormDonate donate(&form);
        player::TFormAbout about(donate, &form);
        form.WaitForCodecLibraries = [&codecPreload] { codecPreload.Wait(); };
        form.TakeEarlyOpen = [&codecPreload] { return codecPreload.TakeEarlyOpen(); };
        form.ShowAboutDialog = [&about] { about.exec(); };
        player::TFormInfo info(&form);
        form.ShowMultiMonitorNotice = [&info] {
            info.ShowInfo(0, "", "");
            return info.CheckDoNotDisplay->isChecked();
        };
        form.ShowDonateIfDue = [&configuration, &donate] { player::ShowDonateIfDue(configuration, donate); };
        player::TFormSettings settings(configuration, &form);
        form.ShowSettingsDialog = [&settings] { settings.exec(); };
        if (const std::optional<int> setupCode = form.ShowMainForm()) {
            code = *setupCode;
        } else {
            code = app.exec();
        }
    } catch (const std::exception& e) {
        // Shown while the application can still show it; the program then ends with a failure.
        player::ShowUncaughtException(e.what());
        code = 1;
    } catch (...) {
        player::ShowUncaughtException("");
        code = 1;
    }
    platform::UninstallQtDispatcher();
    player::config = nullptr;
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    PrepareDisplay();
    try {
        return RunPlayer(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Strevio: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "Strevio: unexpected failure\n");
    }
    return 1;
}
