// Files and folders: the user's special folders, and running a program until it ends.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace winutils {

// Stores the path of the special folder with the given code (1 desktop, 4 documents, 6 application data,
// and so on) with a trailing "/" in path and returns true. A code without a folder here leaves path
// unchanged and returns false.
bool GetSpecialFolderPath(unsigned code, std::string& path);

// Runs file with parameters in workingFolder (empty: this process's) and waits until it ends or the
// application is asked to terminate, keeping the main thread's queued calls and events served meanwhile.
// The parameters are split into arguments at blanks; double quotes group blanks into one argument. The
// program is never started through a shell. Texts longer than 2047 bytes are cut. owner, showCommand
// and maskFlags are accepted for the callers' sake and have no effect here. True when the program was
// started; its exit code is not reported.
bool ShellExecuteAndWait(std::uintptr_t owner, const std::string& file, const std::string& parameters,
                         const std::string& workingFolder, int showCommand, unsigned maskFlags);

// The parameter text split into arguments as ShellExecuteAndWait does it.
std::vector<std::string> SplitParameters(const std::string& parameters);

// Writes bytes to a new file named after temporaryPattern (a mkstemp pattern in target's folder), gives it
// mode, flushes it to disk, renames it over target and flushes the folder, so that a crash leaves either
// the old file or the new one. False when a step failed, with error saying which and why; the temporary
// file is then removed.
bool WriteAndReplaceFile(const std::filesystem::path& target, std::string temporaryPattern,
                         const std::string& bytes, mode_t mode, std::string& error);

}  // namespace winutils
