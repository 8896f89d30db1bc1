#include "setup/AssociationSetter.h"

#include <algorithm>
#include <set>
#include <system_error>

#include "platform/Processes.h"
#include "setup/DesktopDefaults.h"
#include "setup/DesktopEntry.h"
#include "setup/MimeAppsList.h"
#include "setup/MimeDatabase.h"
#include "setup/XdgDirs.h"
#include "winutils/Winutils_debug.h"
#include "winutils/Winutils_string.h"

namespace setup {

namespace {

namespace fs = std::filesystem;
using winutils::DEBUG_GENERAL;
using winutils::DebugLog;
using winutils::LowerCase;

constexpr const char* kOwnTypePrefix = "application/x-strevio-";
constexpr const char* kMimePackageName = "strevio.xml";

std::string Bare(const std::string& ext) {
    return !ext.empty() && ext[0] == '.' ? ext.substr(1) : ext;
}

bool IsOwnType(const std::string& type) {
    return type.rfind(kOwnTypePrefix, 0) == 0;
}

// Runs a desktop tool on a folder when it is installed; a missing tool is not an error.
void RunToolWhenPresent(const char* tool, const fs::path& folder) {
    int exitCode = 0;
    if (!platform::RunAndWait({tool, folder.string()}, exitCode)) {
        DebugLog(DEBUG_GENERAL, "StrevioSetupFileAssociations: %s is not there", tool);
    } else if (exitCode != 0) {
        DebugLog(DEBUG_GENERAL, "StrevioSetupFileAssociations: %s [%s] ended with %d", tool,
                 folder.c_str(), exitCode);
    }
}

// The wished extensions that only an own type can give the desktop a type for.
std::vector<std::string> ExtensionsWithoutType(const MimeDatabase& database,
                                               const std::vector<std::string>& wishes) {
    std::vector<std::string> missing;
    for (const std::string& ext : wishes) {
        const std::vector<std::string> types = database.TypesOfExtension(ext);
        if (std::all_of(types.begin(), types.end(), IsOwnType)) {
            missing.push_back(ext);
        }
    }
    return missing;
}

std::string MimePackageText(const std::vector<std::string>& extensions) {
    std::string text =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<mime-info xmlns=\"http://www.freedesktop.org/standards/shared-mime-info\">\n";
    for (const std::string& ext : extensions) {
        text += "  <mime-type type=\"" + OwnTypeOf(ext) + "\">\n";
        text += "    <comment>" + LowerCase(Bare(ext)) + " media file</comment>\n";
        text += "    <glob pattern=\"*." + LowerCase(Bare(ext)) + "\"/>\n";
        text += "  </mime-type>\n";
    }
    return text + "</mime-info>\n";
}

// Declares own types for the wished extensions the database has none for, and withdraws those no longer
// wished; the user's MIME database is rebuilt when the declarations changed.
void UpdateOwnTypes(const MimeDatabase& database, const std::vector<std::string>& wishes) {
    const fs::path mimeFolder = UserDataFolder() / "mime";
    const fs::path package = mimeFolder / "packages" / kMimePackageName;
    const std::vector<std::string> missing = ExtensionsWithoutType(database, wishes);
    std::string old;
    ReadWholeFile(package, old);
    std::error_code ec;
    if (missing.empty()) {
        if (old.empty() && !fs::exists(package, ec)) {
            return;
        }
        fs::remove(package, ec);
    } else {
        const std::string text = MimePackageText(missing);
        if (text == old) {
            return;
        }
        std::string error;
        if (!ReplaceFileAtomically(package, text, error)) {
            DebugLog(DEBUG_GENERAL, "StrevioSetupFileAssociations: cannot write [%s]: %s", package.c_str(),
                     error.c_str());
            return;
        }
    }
    RunToolWhenPresent("update-mime-database", mimeFolder);
}

std::set<std::string> TypesOf(const MimeDatabase& database, const std::vector<std::string>& extensions) {
    std::set<std::string> types;
    for (const std::string& ext : extensions) {
        for (const std::string& type : database.TypesOfExtension(ext)) {
            types.insert(type);
        }
    }
    return types;
}

// Sets the player first for the wished types and takes it out of the types it was set for before (those
// its entry declared, and those of the associable extensions) that are no longer wished.
bool UpdateDefaults(const std::set<std::string>& wished, const std::set<std::string>& formerlyOurs) {
    const fs::path file = UserMimeAppsList();
    std::string text;
    if (!ReadWholeFile(file, text)) {
        DebugLog(DEBUG_GENERAL, "StrevioSetupFileAssociations: cannot read [%s]", file.c_str());
        return false;
    }
    MimeAppsList list(text);
    bool changed = false;
    for (const std::string& type : wished) {
        changed = list.PutDefaultFirst(type, kPlayerDesktopId) || changed;
    }
    for (const std::string& type : formerlyOurs) {
        if (wished.count(type) == 0) {
            changed = list.RemoveDefault(type, kPlayerDesktopId) || changed;
        }
    }
    if (!changed) {
        return true;
    }
    std::string error;
    if (!ReplaceFileAtomically(file, list.Text(), error)) {
        DebugLog(DEBUG_GENERAL, "StrevioSetupFileAssociations: cannot write [%s]: %s", file.c_str(),
                 error.c_str());
        return false;
    }
    DebugLog(DEBUG_GENERAL, "StrevioSetupFileAssociations: wrote [%s]", file.c_str());
    return true;
}

void UpdateDesktopEntry(const SetterInput& input, const std::set<std::string>& wished) {
    const fs::path entry = UserDesktopEntry(kPlayerDesktopId);
    std::error_code ec;
    if (wished.empty()) {
        if (fs::remove(entry, ec)) {
            DebugLog(DEBUG_GENERAL, "StrevioSetupFileAssociations: removed [%s]", entry.c_str());
        }
        return;
    }
    const std::string text =
        DesktopEntryText(input.program, input.icon, std::vector<std::string>(wished.begin(), wished.end()));
    std::string error;
    if (!ReplaceFileAtomically(entry, text, error)) {
        DebugLog(DEBUG_GENERAL, "StrevioSetupFileAssociations: cannot write [%s]: %s", entry.c_str(),
                 error.c_str());
    }
}

}  // namespace

std::string OwnTypeOf(const std::string& ext) {
    return kOwnTypePrefix + LowerCase(Bare(ext));
}

void ApplyWishes(const SetterInput& input) {
    UpdateOwnTypes(MimeDatabase::Load(), input.wishes);
    const MimeDatabase database = MimeDatabase::Load();
    const std::set<std::string> wished = TypesOf(database, input.wishes);
    std::set<std::string> formerlyOurs = TypesOf(database, input.associable);
    std::string oldEntry;
    ReadWholeFile(UserDesktopEntry(kPlayerDesktopId), oldEntry);
    for (const std::string& type : DeclaredTypes(oldEntry)) {
        formerlyOurs.insert(type);
    }
    for (const std::string& type : wished) {
        DebugLog(DEBUG_GENERAL, "StrevioSetupFileAssociations: wished type %s", type.c_str());
    }
    UpdateDesktopEntry(input, wished);
    UpdateDefaults(wished, formerlyOurs);
    RunToolWhenPresent("update-desktop-database", UserDataFolder() / "applications");
}

std::vector<std::string> AssociatedNow(const SetterInput& input) {
    const MimeDatabase database = MimeDatabase::Load();
    std::vector<std::string> candidates = input.associable;
    for (const std::string& wish : input.wishes) {
        if (std::none_of(candidates.begin(), candidates.end(),
                         [&](const std::string& c) { return LowerCase(c) == LowerCase(wish); })) {
            candidates.push_back(wish);
        }
    }
    std::vector<std::string> associated;
    for (const std::string& ext : candidates) {
        if (OwnerOfExtension(database, ext, kPlayerDesktopId) == ExtensionOwner::Application) {
            associated.push_back(ext);
        }
    }
    return associated;
}

}  // namespace setup
