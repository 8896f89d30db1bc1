// zeb's command line: options, then the path of the file the desktop could not open.
#pragma once

#include <string>
#include <vector>

#include "zeb/ZebGlobals.h"

namespace zeb {

// args holds the whole argument vector, program name first. Options come before the target: "/showinfo"
// (exactly so) sets show_info, "/debug" and unknown options are accepted and ignored, empty arguments are
// skipped. An option is "/showinfo", "/debug", or any other "/word" that names nothing on disk; the first
// argument that is not an option is the target, and everything after it is ignored.
// Returns whether a target was found. The target's existence is not tested.
bool ParseCommandLine(const std::vector<std::string>& args, Globals& globals);

// Fills target_path, target_name and target_ext from path.
void SetTargetFile(const std::string& path, Globals& globals);

// The file-name part of path: what follows the last "/" that has a name after it.
std::string FindFileName(const std::string& path);

// The extension with its dot as found in path's last component ("" when it has none): from the last dot
// of that component to its end. A dot in a folder name never counts.
std::string FindExtension(const std::string& path);

// Lower case, with every leading dot, tab, line feed, carriage return and blank removed.
std::string CleanExtension(const std::string& extension);

}  // namespace zeb
