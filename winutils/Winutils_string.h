// Text routines of the maker's utility library.
#pragma once

#include <string>

namespace winutils {

// Replaces every occurrence of search in text by replacement. Each search starts again before the last
// replacement, so text that a deletion joins together is found too ("aabb" without "ab" is empty). When
// the replacement contains the searched text or is longer than it, one forward pass is made instead, since
// searching from the start again could then go on forever.
// An empty search text leaves the text unchanged.
std::string ReplaceAll(const std::string& text, const std::string& search, const std::string& replacement);

// Appends the path separator "/" when the path does not end with one; an empty path becomes "/".
void AddTrailingBackslash(std::string& path);

}  // namespace winutils
