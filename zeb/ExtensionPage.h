// The vendor's web page about a file extension, opened in the user's browser.
#pragma once

#include <string>

#include "zeb/ZebGlobals.h"

namespace zeb {

// The host the pages live on, fixed when zeb is built.
std::string VendorHost();

// "http://" + host + "/extension/" + segment, with the segment percent-encoded (every byte other than
// ASCII letters, digits, "-", ".", "_" and "~"), so a blank, "#", "?" or "/" in an extension stays part of
// the path and cannot change which page or site is opened.
std::string BuildExtensionUrl(const std::string& segment);

// Opens the page for target_ext, or for "no-ext" when the target has no extension. Returns whether the
// browser could be started.
bool OpenExtensionInfoPage(const Globals& globals);

// Hands url to the desktop's opener. Returns whether it could be started.
bool OpenUrl(const std::string& url);

}  // namespace zeb
