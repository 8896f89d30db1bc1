#include "winutils/Winutils_filesfolders.h"

#include <array>

#include "platform/SpecialFolders.h"
#include "winutils/Winutils_string.h"

namespace winutils {
namespace {

// The shell's folder ids by code; 0 marks a code without a folder.
constexpr int kDesktop = 16;
constexpr int kNetworkNeighbourhood = 19;
constexpr int kComputer = 17;
constexpr int kDocuments = 5;
constexpr int kRecent = 8;
constexpr int kApplicationData = 26;
constexpr int kFavourites = 6;
constexpr int kVideos = 14;
#ifdef WINUTILS_POLLWICK
// Pollwick's older table has no entry for the local application-data folder.
constexpr std::array<int, 10> kFolderIds = {0,         kDesktop,         kNetworkNeighbourhood,
                                            kComputer, kDocuments,       kRecent,
                                            kApplicationData, kFavourites, kVideos, 0};
#else
constexpr int kLocalApplicationData = 28;
constexpr std::array<int, 10> kFolderIds = {0,         kDesktop,         kNetworkNeighbourhood,
                                            kComputer, kDocuments,       kRecent,
                                            kApplicationData, kLocalApplicationData, kFavourites, kVideos};
#endif

}  // namespace

bool GetSpecialFolderPath(unsigned code, std::string& path) {
    if (code >= kFolderIds.size() || kFolderIds[code] == 0) {
        return false;
    }
    const auto folder = platform::SpecialFolderFromId(kFolderIds[code]);
    if (!folder) {
        return false;
    }
    const auto folderPath = platform::SpecialFolderPath(*folder);
    if (!folderPath) {
        return false;
    }
    path = folderPath->string();
    AddTrailingBackslash(path);
    return true;
}

}  // namespace winutils
