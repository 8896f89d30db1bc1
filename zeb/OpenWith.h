// Hands the target file to the desktop's "open with" chooser, or to the desktop's opener when there is
// no chooser.
//
// Two programs, tried in this order:
//   1. the chooser: $ZEB_OPENWITH_PROGRAM when that variable is set, else zeb's own chooser
//      "zeb-openwith" in zeb's folder (OpenWithChooser.h);
//   2. the fallback: $ZEB_OPENWITH_FALLBACK when that variable is set, else "xdg-open".
// A program is a path, or a bare name looked up on PATH. %NAME% references in the program text are
// replaced by the environment (unknown ones stay as written). The target path is passed as the program's
// only argument, exactly as given: never expanded, quoted or split, and nothing runs through a shell.
#pragma once

#include <string>
#include <vector>

namespace zeb {

inline constexpr const char* kOpenWithProgramVariable = "ZEB_OPENWITH_PROGRAM";
inline constexpr const char* kOpenWithFallbackVariable = "ZEB_OPENWITH_FALLBACK";
inline constexpr const char* kOpenWithChooserName = "zeb-openwith";
inline constexpr const char* kDefaultOpenWithFallback = "xdg-open";

// Replaces each %NAME% whose variable is set by its value; other text, unknown names included, is kept.
std::string ExpandEnvironmentStrings(const std::string& text);

// zeb's own chooser: "zeb-openwith" in the folder of the running program.
std::string DefaultOpenWithProgram();

// Whether program names an executable file: directly when it holds a "/", else through PATH.
bool ProgramExists(const std::string& program);

// The argument vector that would be started for path: the chooser when it exists, else the fallback.
std::vector<std::string> OpenWithCommand(const std::string& path);

// Starts OpenWithCommand(path) without waiting for it. Failures are not reported.
void ShowOpenWithDialog(const std::string& path);

}  // namespace zeb
