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
// held no occurrence, so only an occurrence overlapping the change can be new. The text never grows, and
// the step bound only matters for a pathological same-length pair that would cycle.
std::string ReplaceUntilNoneLeft(std::string text, const std::string& search,
                                 const std::string& replacement) {
    const size_t maxSteps = (text.size() + 1) * (text.size() + 1);
    size_t from = 0;
    for (size_t step = 0; step < maxSteps && (from = text.find(search, from)) != std::string::npos; ++step) {
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
    // Searching again from the start can only loop forever when the text may grow: when the replacement
    // contains the searched text or is longer than it (ab -> bbaa turns aab into abbaa, bbaaba, ...).
    if (replacement.size() > search.size() || replacement.find(search) != std::string::npos) {
        return ReplaceInOnePass(text, search, replacement);
    }
    return ReplaceUntilNoneLeft(text, search, replacement);
}

std::string Trim(const std::string& text) {
    size_t first = 0;
    size_t last = text.size();
    while (first < last && static_cast<unsigned char>(text[first]) <= ' ') {
        ++first;
    }
    while (last > first && static_cast<unsigned char>(text[last - 1]) <= ' ') {
        --last;
    }
    return text.substr(first, last - first);
}

std::string UpperCase(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return text;
}

std::string LowerCase(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

void AddTrailingBackslash(std::string& path) {
    if (path.empty() || path.back() != '/') {
        path += '/';
    }
}

}  // namespace winutils
