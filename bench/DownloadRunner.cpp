// Pollwick's downloader alone, for download.py: fetches one URL the way the installer download does
// (probe, five part threads, merge) on a worker thread, into a folder, and prints where the file went. It
// links the downloader only (no Qt, no settings files): the default settings stand and the download goes to
// the folder.
//
//     pollwick_download_runner URL SAVE_AS_NAME FOLDER
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "pollwick/Downloader.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s URL SAVE_AS_NAME FOLDER\n", argv[0]);
        return 2;
    }
    namespace fs = std::filesystem;
    const fs::path folder = fs::absolute(argv[3]);
    fs::create_directories(folder);
    pollwick::DownloadSettings settings;
    settings.personalFolder = folder.string() + "/";

    pollwick::DownloadRequest request;
    request.url = argv[1];
    request.saveToFilename = argv[2];
    pollwick::DownloadResult result;
    std::jthread worker([&] {
        pollwick::Downloader downloader(0, true, nullptr, nullptr, settings);
        result = downloader.get(request);
    });
    worker.join();
    if (!result.ok) {
        std::fprintf(stderr, "download failed: %s\n", result.error.c_str());
        return 1;
    }
    std::printf("%s\n", result.savedPath.c_str());
    return 0;
}
