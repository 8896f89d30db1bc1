// Helpers shared by the registry store's tests.
#pragma once

#include <string>

namespace registrytest {

// The UTF-16LE form of an ASCII text, without a byte-order mark.
inline std::string Utf16Le(const std::string& ascii) {
    std::string out;
    for (char c : ascii) {
        out += c;
        out += '\0';
    }
    return out;
}

}  // namespace registrytest
