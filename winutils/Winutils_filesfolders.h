// Files and folders: the user's special folders.
#pragma once

#include <string>

namespace winutils {

// Stores the path of the special folder with the given code (1 desktop, 4 documents, 6 application data,
// and so on) with a trailing "/" in path and returns true. A code without a folder here leaves path
// unchanged and returns false.
bool GetSpecialFolderPath(unsigned code, std::string& path);

}  // namespace winutils
