// The extension lists that the player and the association setter share in the user's registry store: one
// key per list, holding a dword 1 named by each extension.
#pragma once

#include <string>
#include <vector>

namespace setup {

inline constexpr const char* kAssociatedKey = "Software\\Korvanta\\Strevio\\Preferences\\AssociatedFileTypes";
inline constexpr const char* kCanAssociateKey =
    "Software\\Korvanta\\Strevio\\Preferences\\CanAssociateToFileTypes";
inline constexpr const char* kNotAssociatedKey =
    "Software\\Korvanta\\Strevio\\Preferences\\NotAssociatedFileTypes";

// Rewrites the list key (created when missing) in one replacement of the hive file: every value it held
// goes, then one per extension in the given order. Raises before anything is written when the store
// cannot be read.
void RewriteListKey(const std::string& key, const std::vector<std::string>& extensions);

}  // namespace setup
