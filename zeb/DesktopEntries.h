// The desktop's applications for a MIME type, as XDG desktop entries and mimeapps.list describe them, and
// the command that opens a file with one of them.
//
// Applications are the "*.desktop" files under "applications/" of $XDG_DATA_HOME (default
// ~/.local/share) and then of each folder of $XDG_DATA_DIRS (default /usr/local/share:/usr/share); a file
// ID found in an earlier folder hides the same ID in later ones. mimeapps.list is read from
// $XDG_CONFIG_HOME (default ~/.config), each folder of $XDG_CONFIG_DIRS (default /etc/xdg), and the
// applications folders, in that order of precedence.
//
// Entries that are hidden, not of type Application, whose TryExec program is missing, or that need a
// terminal (nothing runs them in one here) are left out.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace zeb {

struct DesktopApplication {
    std::string id;    // the desktop file ID, e.g. "org.example.Viewer.desktop"
    std::string name;  // the Name key
    std::string icon;  // the Icon key: a theme icon name or a path
    std::string exec;  // the Exec key, string escapes undone
    std::filesystem::path file;
    std::vector<std::string> mimeTypes;
};

// The applications for the given types (a type first, then its ancestors), each once, in the desktop's
// order: the defaults and added associations of mimeapps.list, then every other application that lists
// one of the types, by name. Removed associations are left out.
std::vector<DesktopApplication> ApplicationsFor(const std::vector<std::string>& mimeTypes);

// The argument vector that opens `file` with app: its Exec line split as the desktop entry form says
// (blanks separate, double quotes group, \" \` \$ \\ inside quotes), with %f %F %u %U replaced by the file
// as one argument, %i by "--icon" and the icon, %c by the name, %k by the entry's path, %% by %, and the
// deprecated codes dropped. Without a file code the file is added at the end. Empty when the Exec line
// cannot be split.
std::vector<std::string> CommandFor(const DesktopApplication& app, const std::string& file);

}  // namespace zeb
