#include "pollwick/PollwickMain.h"

#include <QApplication>
#include <QCoreApplication>
#include <cstring>
#include <exception>
#include <filesystem>

#include "platform/SpecialFolders.h"
#include "platform/qt/MessageBox.h"
#include "platform/qt/QtDispatcher.h"
#include "pollwick/CheckForUpdates.h"
#include "pollwick/Configuration.h"
#include "pollwick/FormMainSrc.h"
#include "winutils/Winutils_debug.h"

namespace pollwick {

namespace {

// Points the process-wide configuration at one object for as long as it lives.
class ConfigurationGlobal {
public:
    ConfigurationGlobal() { config = &configuration; }
    ~ConfigurationGlobal() { config = nullptr; }
    ConfigurationGlobal(const ConfigurationGlobal&) = delete;
    ConfigurationGlobal& operator=(const ConfigurationGlobal&) = delete;

    Configuration configuration;
};

void ShowEscapedException(const std::string& message) {
    platform::ShowMessageBox(platform::TMessageKind::Error, "Pollwick", message);
}

void RunOfferWindow(int& argc, char** argv, DisplayData& data) {
    QApplication app(argc, argv);
    platform::InstallQtDispatcher();
    try {
        TFormMain form(data);
        // The window is laid out from the answer before it is first shown.
        QCoreApplication::sendPostedEvents(&form);
        form.show();
        QApplication::exec();
    } catch (const std::exception& e) {
        ShowEscapedException(e.what());
    } catch (...) {
        ShowEscapedException("");
    }
    platform::UninstallQtDispatcher();
}

}  // namespace

int WinMain(int argc, char** argv) {
    ConfigurationGlobal global;
    Configuration& cfg = global.configuration;
    if (!cfg.loaded) {
        return 0;
    }
    const bool debug = argc > 1 && std::strcmp(argv[1], "--debug") == 0;
    cfg.Preferences.DebugMask.store(debug ? winutils::DEBUG_ALL : 0);
    winutils::StartDebugLog();

    DisplayData data;
    const std::filesystem::path programFolder = platform::ProgramFolder().value_or(std::filesystem::path());
    if (CheckForUpdates(programFolder, data, kDesignClientWidth, kDesignClientHeight)) {
        RunOfferWindow(argc, argv, data);
    }
    DestroyUniqueWindow();
    return 0;
}

}  // namespace pollwick
