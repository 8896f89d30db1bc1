// The state of one zeb run: the target file as given, its name and cleaned extension, the extensions
// the user no longer wants to be asked about, and the "/showinfo" switch.
#pragma once

#include <string>
#include <vector>

namespace zeb {

struct Globals {
    std::string target_path;  // exactly as given on the command line, never expanded or re-quoted
    std::string target_name;  // the file-name part of target_path
    std::string target_ext;   // lower case, without the dot; empty when the file has none
    std::vector<std::string> disabled_exts;
    bool show_info = false;
};

}  // namespace zeb
