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

// The text without the blanks and control characters (every byte up to ' ') at both ends.
std::string Trim(const std::string& text);

// The text with its ASCII letters in upper or lower case. Every other byte stays as it is, so UTF-8 text
// and the result do not depend on the user's locale.
std::string UpperCase(std::string text);
std::string LowerCase(std::string text);

// Appends the path separator "/" when the path does not end with one; an empty path becomes "/".
void AddTrailingBackslash(std::string& path);

}  // namespace winutils
