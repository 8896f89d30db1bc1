#include "winutils/Winutils_string.h"

namespace winutils {
namespace {

std::string ReplaceInOnePass(std::string text, const std::string& search, const std::string& replacement) {
    size_t from = 0;
    while ((from = text.find(search, from)) != std::string::npos) {
        text.replace(from, search.size(), replacement);
        from += replacement.size();
    }
    return text;
}

// Same result as searching from the very start after each replacement: text before the last change
// held no occurrence, so only an occurrence overlapping the change can be new.
std::string ReplaceUntilNoneLeft(std::string text, const std::string& search, const std::string& replacement) {
    size_t from = 0;
    while ((from = text.find(search, from)) != std::string::npos) {
        text.replace(from, search.size(), replacement);
        from = from >= search.size() - 1 ? from - (search.size() - 1) : 0;
    }
    return text;
}

}  // namespace

std::string ReplaceAll(const std::string& text, const std::string& search, const std::string& replacement) {
    if (search.empty()) {
        return text;
    }
    if (replacement.find(search) != std::string::npos) {
        return ReplaceInOnePass(text, search, replacement);
    }
    return ReplaceUntilNoneLeft(text, search, replacement);
}

void AddTrailingBackslash(std::string& path) {
    if (path.empty() || path.back() != '/') {
        path += '/';
    }
}

}  // namespace winutils
