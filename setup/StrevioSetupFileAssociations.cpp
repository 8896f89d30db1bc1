// The association setter: started by the player (hidden, without arguments or with "-debug") after it
// saved the user's wishes. It makes the desktop open the wished file types with the player, and before it
// ends it rewrites the wish list so that it names exactly the extensions the desktop now opens with the
// player; the player judges the run by that list alone.
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/Registry.h"
#include "platform/SpecialFolders.h"
#include "setup/AssociationSetter.h"
#include "setup/ExtensionLists.h"
#include "winutils/Winutils_debug.h"

namespace {

namespace fs = std::filesystem;
using winutils::DEBUG_GENERAL;
using winutils::DebugLog;

constexpr const char* kIconFile = "strevio.svg";

// The icon beside the program (a build folder) or in the icon theme of the prefix it was installed to
// (programs in <prefix>/lib/strevio or <prefix>/bin); the theme's name when neither is there.
std::string IconOf(const fs::path& programFolder) {
    std::error_code ec;
    const fs::path themed = fs::path("share/icons/hicolor/scalable/apps") / kIconFile;
    for (const fs::path& icon : {programFolder / kIconFile, programFolder.parent_path().parent_path() / themed,
                                 programFolder.parent_path() / themed}) {
        if (fs::is_regular_file(icon, ec)) {
            return icon.lexically_normal().string();
        }
    }
    return "strevio";
}

// The setter's own log, beside the player's, so the two programs never share a file.
void SetLogSettings(winutils::PreferencesHead& head, bool debug) {
    head.DebugMask = debug ? winutils::DEBUG_ALL : 0;
    const std::optional<fs::path> local = platform::SpecialFolderPath(platform::SpecialFolder::LocalApplicationData);
    const fs::path folder = (local ? *local : fs::temp_directory_path()) / "Strevio";
    head.LogFile = (folder / "setup-log.txt").string();
    head.LogFile1 = (folder / "setup-log.1.txt").string();
    head.LogFile2 = (folder / "setup-log.2.txt").string();
    head.PersonalFolder = folder.string() + "/";
}

int Run(int argc, char** argv) {
    const bool debug = argc > 1 && std::string(argv[1]) == "-debug";
    winutils::PreferencesHead head;
    SetLogSettings(head, debug);
    winutils::SetDebugLogPreferences(&head);
    winutils::StartDebugLog();
    int code = 0;
    try {
        const std::optional<fs::path> folder = platform::ProgramFolder();
        if (!folder) {
            throw std::runtime_error("the program's folder is unknown");
        }
        setup::SetterInput input;
        input.wishes = platform::ReadValueNames(platform::HKEY_CURRENT_USER, setup::kAssociatedKey);
        input.associable = platform::ReadValueNames(platform::HKEY_CURRENT_USER, setup::kCanAssociateKey);
        input.program = (*folder / "strevio").string();
        input.icon = IconOf(*folder);
        DebugLog(DEBUG_GENERAL, "StrevioSetupFileAssociations: %zu wishes, player [%s]", input.wishes.size(),
                 input.program.c_str());
        setup::ApplyWishes(input);
        const std::vector<std::string> associated = setup::AssociatedNow(input);
        setup::RewriteListKey(setup::kAssociatedKey, associated);
        DebugLog(DEBUG_GENERAL, "StrevioSetupFileAssociations: %zu of %zu wishes took", associated.size(),
                 input.wishes.size());
        code = associated.size() == input.wishes.size() ? 0 : 1;
    } catch (const std::exception& e) {
        DebugLog(DEBUG_GENERAL, "StrevioSetupFileAssociations: EXCEPTION %s", e.what());
        code = 2;
    }
    winutils::SetDebugLogPreferences(nullptr);
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    return Run(argc, argv);
}
