#include "setup/DesktopDefaults.h"

#include <system_error>

#include "setup/MimeAppsList.h"
#include "setup/XdgDirs.h"

namespace setup {

namespace {

namespace fs = std::filesystem;

// The files in the order of importance: each config folder, then each data folder's applications folder.
std::vector<fs::path> MimeAppsListFiles() {
    std::vector<fs::path> folders = ConfigFolders();
    for (const fs::path& data : DataFolders()) {
        folders.push_back(data / "applications");
    }
    const std::vector<std::string> desktops = CurrentDesktops();
    std::vector<fs::path> files;
    for (const fs::path& folder : folders) {
        for (const std::string& desktop : desktops) {
            files.push_back(folder / (desktop + "-mimeapps.list"));
        }
        files.push_back(folder / "mimeapps.list");
    }
    return files;
}

}  // namespace

fs::path UserMimeAppsList() {
    return UserConfigFolder() / "mimeapps.list";
}

fs::path UserDesktopEntry(const std::string& id) {
    return UserDataFolder() / "applications" / id;
}

bool DesktopEntryInstalled(const std::string& id) {
    std::error_code ec;
    // A "vendor-name.desktop" id may also stand for "vendor/name.desktop".
    const size_t dash = id.find('-');
    for (const fs::path& data : DataFolders()) {
        if (fs::is_regular_file(data / "applications" / id, ec) ||
            (dash != std::string::npos &&
             fs::is_regular_file(data / "applications" / id.substr(0, dash) / id.substr(dash + 1), ec))) {
            return true;
        }
    }
    return false;
}

std::string DefaultApplication(const std::string& type) {
    for (const fs::path& file : MimeAppsListFiles()) {
        std::string text;
        if (!ReadWholeFile(file, text) || text.empty()) {
            continue;
        }
        for (const std::string& id : MimeAppsList(text).Defaults(type)) {
            if (DesktopEntryInstalled(id)) {
                return id;
            }
        }
    }
    return "";
}

ExtensionOwner OwnerOfExtension(const MimeDatabase& database, const std::string& ext, const std::string& id) {
    const std::vector<std::string> types = database.TypesOfExtension(ext);
    bool allTheApplications = !types.empty();
    for (const std::string& type : types) {
        const std::string application = DefaultApplication(type);
        if (!application.empty() && application != id) {
            return ExtensionOwner::Other;
        }
        allTheApplications = allTheApplications && application == id;
    }
    return allTheApplications ? ExtensionOwner::Application : ExtensionOwner::Nobody;
}

}  // namespace setup
