// The warning and error boxes of the maker's programs.
#pragma once

namespace winutils {

// printf-style; the text is cut to 8191 bytes (at a character boundary). The caption is the program's
// word followed by "Warning" or "Error". Both boxes carry the warning icon and wait until closed.
void ShowWarningMessage(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void ShowErrorMessage(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace winutils
