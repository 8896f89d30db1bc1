// Helpers the engine tests share: loading the real libraries and finding where the system keeps them.
#pragma once

#include <filesystem>
#include <string>

namespace enginetest {

// Loads the player's library set from the system (once per process); fails the test when it cannot.
void LoadPlayerLibraries();
// The file the system's loader finds for a library file name.
std::filesystem::path SystemLibraryPath(const std::string& AFile);

}  // namespace enginetest
