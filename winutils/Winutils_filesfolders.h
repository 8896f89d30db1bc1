// Files and folders: the user's special folders, and running a program until it ends.
#pragma once

#include <cstdint>
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

}  // namespace winutils
