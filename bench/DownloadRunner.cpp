// Pollwick's downloader alone, for download.py: fetches one URL the way the installer download does
// (probe, five part threads, merge) into a folder, and prints where the file went.
//
//     pollwick_download_runner URL SAVE_AS_NAME FOLDER
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "pollwick/Configuration.h"
#include "pollwick/Downloader.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s URL SAVE_AS_NAME FOLDER\n", argv[0]);
        return 2;
    }
    namespace fs = std::filesystem;
    const fs::path folder = fs::absolute(argv[3]);
    fs::create_directories(folder);
    // No program folder: no "updates.cfg" is read, the defaults stand and the download goes to folder.
    auto settings = std::make_unique<pollwick::Configuration>(std::nullopt);
    settings->UseProxy = false;
    settings->Preferences.PersonalFolder = folder.string() + "/";
    pollwick::config = settings.get();

    std::string savedPath;
    std::string error;
    bool tempRedirect = false;
    std::string redirectedTo;
    pollwick::Downloader downloader(0, true, nullptr, nullptr);
    const bool ok = downloader.get(argv[1], argv[2], savedPath, error, tempRedirect, redirectedTo, "", "", -1, -1);
    pollwick::config = nullptr;
    if (!ok) {
        std::fprintf(stderr, "download failed: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s\n", savedPath.c_str());
    return 0;
}
