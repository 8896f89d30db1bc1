// Cutting a text into the fields between separators.
#pragma once

#include <string>
#include <vector>

namespace setup {

// The fields between the separators, empty ones included: "a;;b" gives "a", "", "b"; "" gives one "".
std::vector<std::string> SplitAt(const std::string& text, char separator);

}  // namespace setup
