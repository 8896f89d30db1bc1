#include "zeb/TextCase.h"

#include <QString>
#include <algorithm>

namespace zeb {

namespace {

bool IsValidUtf8(const std::string& text) {
    const QString decoded = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    return decoded.toStdString() == text;
}

std::string AsciiOnly(std::string text, bool upper) {
    std::transform(text.begin(), text.end(), text.begin(), [upper](char c) {
        if (upper && c >= 'a' && c <= 'z') {
            return static_cast<char>(c - 'a' + 'A');
        }
        if (!upper && c >= 'A' && c <= 'Z') {
            return static_cast<char>(c - 'A' + 'a');
        }
        return c;
    });
    return text;
}

std::string ChangeCase(const std::string& text, bool upper) {
    if (!IsValidUtf8(text)) {
        return AsciiOnly(text, upper);
    }
    const QString decoded = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    return (upper ? decoded.toUpper() : decoded.toLower()).toStdString();
}

}  // namespace

std::string UnicodeLowerCase(const std::string& text) {
    return ChangeCase(text, false);
}

std::string UnicodeUpperCase(const std::string& text) {
    return ChangeCase(text, true);
}

}  // namespace zeb
