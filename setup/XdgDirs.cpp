#include "setup/XdgDirs.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <optional>

#include "platform/SpecialFolders.h"
#include "setup/TextSplit.h"

namespace setup {

namespace {

namespace fs = std::filesystem;

// The absolute folders of a colon-separated list; relative entries are ignored, as the rules ask.
std::vector<fs::path> FolderList(const char* variable, const char* fallback) {
    const char* value = std::getenv(variable);
    const std::string text = value != nullptr && *value != '\0' ? value : fallback;
    std::vector<fs::path> folders;
    for (const std::string& entry : SplitAt(text, ':')) {
        if (fs::path(entry).is_absolute()) {
            folders.push_back(entry);
        }
    }
    return folders;
}

std::vector<fs::path> UserFirst(const fs::path& user, std::vector<fs::path> system) {
    if (!user.empty()) {
        system.insert(system.begin(), user);
    }
    return system;
}

fs::path SpecialOrEmpty(platform::SpecialFolder folder) {
    const std::optional<fs::path> path = platform::SpecialFolderPath(folder);
    return path ? *path : fs::path();
}

}  // namespace

fs::path UserDataFolder() {
    return SpecialOrEmpty(platform::SpecialFolder::LocalApplicationData);
}

fs::path UserConfigFolder() {
    return SpecialOrEmpty(platform::SpecialFolder::ApplicationData);
}

std::vector<fs::path> DataFolders() {
    return UserFirst(UserDataFolder(), FolderList("XDG_DATA_DIRS", "/usr/local/share/:/usr/share/"));
}

std::vector<fs::path> ConfigFolders() {
    return UserFirst(UserConfigFolder(), FolderList("XDG_CONFIG_DIRS", "/etc/xdg"));
}

std::vector<std::string> CurrentDesktops() {
    const char* value = std::getenv("XDG_CURRENT_DESKTOP");
    std::vector<std::string> names;
    std::string name;
    for (const char* p = value != nullptr ? value : "";; ++p) {
        if (*p == ':' || *p == '\0') {
            if (!name.empty()) {
                names.push_back(name);
            }
            name.clear();
            if (*p == '\0') {
                break;
            }
        } else {
            name.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(*p))));
        }
    }
    return names;
}

}  // namespace setup
