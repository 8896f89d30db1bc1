#include "player/Regext.h"

#include <exception>

#include "platform/RegistryFile.h"
#include "winutils/Winutils_debug.h"

namespace player {

TRegExt::TRegExt(std::string ext, std::string fileGroup)
    : FExt(std::move(ext)), FFileGroup(std::move(fileGroup)), reg_(platform::HKEY_CLASSES_ROOT) {}

TRegExt::~TRegExt() {
    reg_.CloseKey();
}

int TRegExt::CheckExtension() {
    if (FExt.empty()) {
        return 1;
    }
    if (FExt.front() != '.') {
        FExt.insert(FExt.begin(), '.');
    }
    const std::string bare = FExt.substr(1);
    const std::string expected = FFileGroup.empty() ? bare + "file" : FFileGroup;
    try {
        if (!reg_.OpenKeyReadOnly("\\" + FExt)) {
            return 1;
        }
        const std::string group = reg_.ReadString("");
        return platform::SameName(group, expected) ? 0 : 2;
    } catch (const std::exception& e) {
        // A default value that is not a text, or a hive that cannot be read: not another program's.
        winutils::DebugLog(winutils::DEBUG_GENERAL, "TRegExt::CheckExtension: EXCEPTION %s", e.what());
        return 1;
    }
}

}  // namespace player
