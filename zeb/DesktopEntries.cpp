#include "zeb/DesktopEntries.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>

#include "zeb/OpenWith.h"

namespace zeb {

namespace fs = std::filesystem;

namespace {

fs::path HomeFolder() {
    const char* home = std::getenv("HOME");
    return home ? fs::path(home) : fs::path("/");
}

// An absolute path from the variable, else the fallback; relative paths are to be ignored.
fs::path BaseFolder(const char* variable, const fs::path& fallback) {
    const char* value = std::getenv(variable);
    return value && value[0] == '/' ? fs::path(value) : fallback;
}

std::vector<fs::path> FolderList(const char* variable, const std::string& fallback) {
    const char* value = std::getenv(variable);
    std::istringstream list(value && value[0] != '\0' ? value : fallback);
    std::vector<fs::path> folders;
    for (std::string folder; std::getline(list, folder, ':');) {
        if (!folder.empty() && folder[0] == '/') {
            folders.emplace_back(folder);
        }
    }
    return folders;
}

std::vector<fs::path> ApplicationFolders() {
    std::vector<fs::path> folders{BaseFolder("XDG_DATA_HOME", HomeFolder() / ".local/share") / "applications"};
    for (const fs::path& data : FolderList("XDG_DATA_DIRS", "/usr/local/share:/usr/share")) {
        folders.push_back(data / "applications");
    }
    return folders;
}

std::vector<fs::path> MimeAppsFiles() {
    std::vector<fs::path> files{BaseFolder("XDG_CONFIG_HOME", HomeFolder() / ".config") / "mimeapps.list"};
    for (const fs::path& config : FolderList("XDG_CONFIG_DIRS", "/etc/xdg")) {
        files.push_back(config / "mimeapps.list");
    }
    for (const fs::path& applications : ApplicationFolders()) {
        files.push_back(applications / "mimeapps.list");
    }
    return files;
}

// Undoes the string escapes of the desktop entry form: \s \n \t \r \\.
std::string Unescape(const std::string& value) {
    std::string out;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            out += value[i];
            continue;
        }
        const char e = value[++i];
        out += e == 's' ? ' ' : e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e;
    }
    return out;
}

std::vector<std::string> SplitList(const std::string& value) {
    std::vector<std::string> items;
    std::istringstream list(value);
    for (std::string item; std::getline(list, item, ';');) {
        if (!item.empty()) {
            items.push_back(item);
        }
    }
    return items;
}

// The key-value pairs of each group of an ini-style file.
using Groups = std::map<std::string, std::map<std::string, std::string>>;

Groups ReadGroups(const fs::path& file) {
    Groups groups;
    std::ifstream in(file);
    std::string group;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() || line[0] == '#') {
            continue;
        }
        if (line.front() == '[' && line.back() == ']') {
            group = line.substr(1, line.size() - 2);
            continue;
        }
        const size_t equals = line.find('=');
        if (equals == std::string::npos) {
            continue;
        }
        std::string key = line.substr(0, equals);
        while (!key.empty() && key.back() == ' ') {
            key.pop_back();
        }
        size_t start = equals + 1;
        while (start < line.size() && line[start] == ' ') {
            ++start;
        }
        groups[group].emplace(key, line.substr(start));  // the first of a repeated key counts
    }
    return groups;
}

bool IsTrue(const std::map<std::string, std::string>& keys, const std::string& key) {
    const auto it = keys.find(key);
    return it != keys.end() && it->second == "true";
}

// The entry as an application that can be started here, or nothing.
std::optional<DesktopApplication> ReadApplication(const fs::path& file, std::string id) {
    Groups groups = ReadGroups(file);
    const auto entry = groups.find("Desktop Entry");
    if (entry == groups.end()) {
        return std::nullopt;
    }
    auto& keys = entry->second;
    const auto value = [&](const std::string& key) { return keys.count(key) ? Unescape(keys[key]) : ""; };
    if (value("Type") != "Application" || IsTrue(keys, "Hidden") || IsTrue(keys, "Terminal") ||
        value("Exec").empty() || (!value("TryExec").empty() && !ProgramExists(value("TryExec")))) {
        return std::nullopt;
    }
    return DesktopApplication{std::move(id), value("Name"), value("Icon"), value("Exec"), file,
                              SplitList(value("MimeType"))};
}

// Every application, by desktop file ID; an ID in an earlier folder hides later ones.
std::map<std::string, DesktopApplication> AllApplications() {
    std::map<std::string, DesktopApplication> all;
    std::set<std::string> seen;
    for (const fs::path& folder : ApplicationFolders()) {
        std::error_code error;
        for (auto it = fs::recursive_directory_iterator(folder, error); !error && it != fs::end(it);
             it.increment(error)) {
            const fs::path& file = it->path();
            if (file.extension() != ".desktop" || !it->is_regular_file(error)) {
                continue;
            }
            // Sub-folders become part of the ID: kde/viewer.desktop is kde-viewer.desktop.
            std::string id = fs::relative(file, folder).string();
            std::replace(id.begin(), id.end(), '/', '-');
            if (!seen.insert(id).second) {
                continue;
            }
            if (auto app = ReadApplication(file, id)) {
                all.emplace(id, std::move(*app));
            }
        }
    }
    return all;
}

// The IDs that one group of the mimeapps.list files gives for a type, in order of precedence.
std::vector<std::string> Associations(const std::vector<Groups>& lists, const std::string& group,
                                      const std::string& type) {
    std::vector<std::string> ids;
    for (const Groups& list : lists) {
        const auto g = list.find(group);
        if (g == list.end()) {
            continue;
        }
        const auto entry = g->second.find(type);
        if (entry != g->second.end()) {
            for (const std::string& id : SplitList(entry->second)) {
                ids.push_back(id);
            }
        }
    }
    return ids;
}

}  // namespace

std::vector<DesktopApplication> ApplicationsFor(const std::vector<std::string>& mimeTypes) {
    const std::map<std::string, DesktopApplication> all = AllApplications();
    std::vector<Groups> lists;
    for (const fs::path& file : MimeAppsFiles()) {
        lists.push_back(ReadGroups(file));
    }
    std::vector<DesktopApplication> found;
    std::set<std::string> taken;
    for (const std::string& type : mimeTypes) {
        for (const std::string& id : Associations(lists, "Removed Associations", type)) {
            taken.insert(id);
        }
    }
    const auto take = [&](const std::string& id) {
        const auto app = all.find(id);
        if (app != all.end() && taken.insert(id).second) {
            found.push_back(app->second);
        }
    };
    for (const std::string& type : mimeTypes) {
        for (const char* group : {"Default Applications", "Added Associations"}) {
            for (const std::string& id : Associations(lists, group, type)) {
                take(id);
            }
        }
    }
    std::vector<const DesktopApplication*> others;
    for (const auto& [id, app] : all) {
        for (const std::string& type : mimeTypes) {
            if (std::find(app.mimeTypes.begin(), app.mimeTypes.end(), type) != app.mimeTypes.end()) {
                others.push_back(&app);
                break;
            }
        }
    }
    std::stable_sort(others.begin(), others.end(),
                     [](const DesktopApplication* a, const DesktopApplication* b) { return a->name < b->name; });
    for (const DesktopApplication* app : others) {
        take(app->id);
    }
    return found;
}

namespace {

// Splits an Exec line into arguments; false when a quote is left open.
bool SplitExec(const std::string& exec, std::vector<std::string>& args) {
    std::string current;
    bool inArgument = false;
    bool quoted = false;
    for (size_t i = 0; i < exec.size(); ++i) {
        const char c = exec[i];
        if (quoted) {
            if (c == '\\' && i + 1 < exec.size() && std::string("\"`$\\").find(exec[i + 1]) != std::string::npos) {
                current += exec[++i];
            } else if (c == '"') {
                quoted = false;
            } else {
                current += c;
            }
        } else if (c == ' ' || c == '\t') {
            if (inArgument) {
                args.push_back(current);
                current.clear();
                inArgument = false;
            }
        } else {
            inArgument = true;
            if (c == '"') {
                quoted = true;
            } else {
                current += c;
            }
        }
    }
    if (inArgument) {
        args.push_back(current);
    }
    return !quoted;
}

bool IsFileCode(const std::string& arg) {
    return arg == "%f" || arg == "%F" || arg == "%u" || arg == "%U";
}

}  // namespace

std::vector<std::string> CommandFor(const DesktopApplication& app, const std::string& file) {
    std::vector<std::string> args;
    if (!SplitExec(app.exec, args) || args.empty()) {
        return {};
    }
    std::vector<std::string> command;
    bool fileGiven = false;
    for (const std::string& arg : args) {
        if (IsFileCode(arg)) {
            command.push_back(file);  // as one argument, whatever it holds
            fileGiven = true;
            continue;
        }
        if (arg == "%i") {
            if (!app.icon.empty()) {
                command.insert(command.end(), {"--icon", app.icon});
            }
            continue;
        }
        std::string expanded;
        bool onlyDroppedCodes = true;
        for (size_t i = 0; i < arg.size(); ++i) {
            if (arg[i] != '%' || i + 1 == arg.size()) {
                expanded += arg[i];
                onlyDroppedCodes = false;
                continue;
            }
            const char code = arg[++i];
            if (std::string("fFuU").find(code) != std::string::npos) {
                expanded += file;
                fileGiven = true;
            } else if (code == 'c') {
                expanded += app.name;
            } else if (code == 'k') {
                expanded += app.file.string();
            } else if (code == '%') {
                expanded += '%';
            } else {
                continue;  // %i inside an argument and the deprecated codes give nothing
            }
            onlyDroppedCodes = false;
        }
        if (!onlyDroppedCodes) {
            command.push_back(expanded);
        }
    }
    if (command.empty()) {
        return {};
    }
    if (!fileGiven) {
        command.push_back(file);
    }
    return command;
}

}  // namespace zeb
