#include "player/Regext.h"

#include <algorithm>
#include <cctype>
#include <exception>

#include "setup/DesktopDefaults.h"
#include "setup/MimeDatabase.h"
#include "winutils/Winutils_debug.h"

namespace player {

namespace {

// "Strevio.MP4" -> "strevio.desktop": the application part of a file group, as a desktop entry id.
std::string ApplicationOfGroup(const std::string& group) {
    std::string id = group.substr(0, group.find('.'));
    std::transform(id.begin(), id.end(), id.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return id + ".desktop";
}

}  // namespace

TRegExt::TRegExt(std::string ext, std::string fileGroup) : FExt(std::move(ext)), FFileGroup(std::move(fileGroup)) {}

int TRegExt::CheckExtension() {
    if (FExt.empty()) {
        return 1;
    }
    try {
        return CheckExtension(setup::MimeDatabase::Load());
    } catch (const std::exception& e) {
        // A desktop that cannot be asked: not another program's.
        winutils::DebugLog(winutils::DEBUG_GENERAL, "TRegExt::CheckExtension: EXCEPTION %s", e.what());
    }
    return 1;
}

int TRegExt::CheckExtension(const setup::MimeDatabase& database) {
    if (FExt.empty()) {
        return 1;
    }
    if (FExt.front() != '.') {
        FExt.insert(FExt.begin(), '.');
    }
    const std::string bare = FExt.substr(1);
    const std::string expected = FFileGroup.empty() ? bare + "file" : FFileGroup;
    try {
        switch (setup::OwnerOfExtension(database, FExt, ApplicationOfGroup(expected))) {
            case setup::ExtensionOwner::Application:
                return 0;
            case setup::ExtensionOwner::Other:
                return 2;
            case setup::ExtensionOwner::Nobody:
                return 1;
        }
    } catch (const std::exception& e) {
        // A desktop that cannot be asked: not another program's.
        winutils::DebugLog(winutils::DEBUG_GENERAL, "TRegExt::CheckExtension: EXCEPTION %s", e.what());
    }
    return 1;
}

}  // namespace player
