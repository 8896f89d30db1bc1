#include "zeb/Zeb.h"

#include <QApplication>
#include <memory>
#include <string>
#include <vector>

#include "zeb/CommandLine.h"
#include "zeb/DisabledExts.h"
#include "zeb/ExtensionPage.h"
#include "zeb/KillWindow.h"
#include "zeb/OpenWith.h"
#include "zeb/PromptDialog.h"

namespace zeb {

namespace {

void RunPrompt(char* programName, Globals& globals) {
    // Qt sees only the program's name: the target path is no option for it ("zeb -reverse" is a file).
    int qtArgc = 1;
    char* qtArgv[] = {programName, nullptr};
    QApplication app(qtArgc, qtArgv);
    PromptDialog dialog(globals);
    // Without the hidden window the prompt still works; it just cannot be ended from outside.
    const std::unique_ptr<KillWindow> killWindow = CreateKillWindow();
    if (killWindow) {
        QObject::connect(killWindow.get(), &KillWindow::Closed, &dialog,
                         [&dialog] { dialog.done(PromptDialog::kEndedByOwner); });
    }
    dialog.exec();
}

}  // namespace

int ZebMain(int argc, char** argv) {
    Globals globals;
    if (!ParseCommandLine(std::vector<std::string>(argv, argv + argc), globals)) {
        return 1;
    }
    LoadDisabledExtensions(globals);
    if (IsExtensionDisabled(globals, globals.target_ext)) {
        ShowOpenWithDialog(globals.target_path);
    } else if (globals.show_info) {
        OpenExtensionInfoPage(globals);
    } else {
        RunPrompt(argv[0], globals);
    }
    return 0;
}

}  // namespace zeb
