#include "setup/TextSplit.h"

#include <algorithm>

namespace setup {

std::vector<std::string> SplitAt(const std::string& text, char separator) {
    std::vector<std::string> fields;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = std::min(text.find(separator, start), text.size());
        fields.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return fields;
}

}  // namespace setup
