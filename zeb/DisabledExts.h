// The extensions for which the user asked not to be prompted again, kept in the user's registry store
// under HKEY_CURRENT_USER "Software\Orvissa\DisabledExts": one REG_DWORD value (data 0) per extension,
// named by the lower-case extension without its dot, or "@no-ext@" for files without one.
#pragma once

#include <string>

#include "zeb/ZebGlobals.h"

namespace zeb {

inline constexpr const char* kDisabledExtsKey = "Software\\Orvissa\\DisabledExts";
inline constexpr const char* kNoExtensionValueName = "@no-ext@";

// The value name that stands for extension.
std::string ExtensionValueName(const std::string& extension);

// Fills disabled_exts with the lower-cased names of the key's REG_DWORD values (other types are
// skipped), reading the store without writing it; a missing key disables nothing. False, with the list
// left empty or partial, when the store cannot be read.
bool LoadDisabledExtensions(Globals& globals);

// Whether the list loaded into globals holds extension.
bool IsExtensionDisabled(const Globals& globals, const std::string& extension);

// Stores extension as disabled. False when the store cannot be written.
bool DisableExtension(const std::string& extension);

}  // namespace zeb
