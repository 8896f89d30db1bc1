// Which application the desktop opens a file type with, by the defaults of the mimeapps.list files it reads,
// and whose an extension therefore is.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "setup/MimeDatabase.h"

namespace setup {

// The user's own defaults file, the one that programs change: $XDG_CONFIG_HOME/mimeapps.list.
std::filesystem::path UserMimeAppsList();

// The desktop entry of an application id ("strevio.desktop") in the user's applications folder.
std::filesystem::path UserDesktopEntry(const std::string& id);

// True when a desktop entry of that id lies in the applications folder of some data folder.
bool DesktopEntryInstalled(const std::string& id);

// The application the desktop opens the type with by its defaults: the first installed id listed for it
// in the most important mimeapps.list that lists one ("" when none does). Desktop-specific files
// ("<desktop>-mimeapps.list") come before the general one of the same folder.
std::string DefaultApplication(const std::string& type);

enum class ExtensionOwner {
    Nobody,       // no known type, or no default for any of its types
    Application,  // every type of the extension opens with the given application
    Other,        // some type of the extension opens with another application
};

// Whose the extension is for the desktop, as seen by the application id.
ExtensionOwner OwnerOfExtension(const MimeDatabase& database, const std::string& ext, const std::string& id);

}  // namespace setup
