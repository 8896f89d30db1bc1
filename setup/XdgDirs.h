// The folders where the desktop keeps its file-type knowledge: the user's data and config folders and the
// system's, in the order of importance the XDG base-directory rules give them.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace setup {

// $XDG_DATA_HOME first, then each folder of $XDG_DATA_DIRS (default /usr/local/share, /usr/share).
std::vector<std::filesystem::path> DataFolders();
// $XDG_CONFIG_HOME first, then each folder of $XDG_CONFIG_DIRS (default /etc/xdg).
std::vector<std::filesystem::path> ConfigFolders();
// The user's own data and config folders (the first of the lists above); empty when there is no home.
std::filesystem::path UserDataFolder();
std::filesystem::path UserConfigFolder();
// The names in $XDG_CURRENT_DESKTOP, lower-cased, most specific first.
std::vector<std::string> CurrentDesktops();

}  // namespace setup
