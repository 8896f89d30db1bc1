// Case changes for names that may or may not be valid UTF-8 (file names on Linux are bytes).
#pragma once

#include <string>

namespace zeb {

// Valid UTF-8 is changed as Unicode text; anything else only in its ASCII letters, so bytes that are not
// text pass through unchanged. Not winutils' UpperCase/LowerCase: those change ASCII letters only, while
// an extension such as ".ÉTÉ" must match its lower-case form as the desktop shows it.
std::string UnicodeLowerCase(const std::string& text);
std::string UnicodeUpperCase(const std::string& text);

}  // namespace zeb
