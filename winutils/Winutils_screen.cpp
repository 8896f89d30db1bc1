#include "winutils/Winutils_screen.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "platform/qt/MessageBox.h"
#include "winutils/ConfigurationBase.h"

namespace winutils {
namespace {

#ifdef WINUTILS_POLLWICK
constexpr const char* kProgramWord = "KorvantaPollwick";
#else
constexpr const char* kProgramWord = "Strevio";
#endif

constexpr size_t kMessageBufferSize = 8192;

// Drops a UTF-8 sequence that the cut left incomplete at the end.
void TrimPartialCharacter(std::string& text) {
    size_t start = text.size();
    while (start > 0 && (static_cast<unsigned char>(text[start - 1]) & 0xC0) == 0x80) {
        --start;
    }
    if (start == 0) {
        return;
    }
    const auto lead = static_cast<unsigned char>(text[start - 1]);
    const size_t have = text.size() - (start - 1);
    size_t need = 1;
    if ((lead & 0xE0) == 0xC0) {
        need = 2;
    } else if ((lead & 0xF0) == 0xE0) {
        need = 3;
    } else if ((lead & 0xF8) == 0xF0) {
        need = 4;
    }
    if (have < need) {
        text.resize(start - 1);
    }
}

std::string FormatMessage(const char* fmt, va_list args) {
    char buffer[kMessageBufferSize];
    const int length = std::vsnprintf(buffer, sizeof buffer, fmt, args);
    if (length < 0) {
        return "";
    }
    std::string text(buffer);
    if (static_cast<size_t>(length) >= sizeof buffer) {
        TrimPartialCharacter(text);
    }
    return text;
}

void ShowBox(const std::string& key, const std::string& defaultWord, const std::string& text) {
    const std::string caption =
        std::string(kProgramWord) + " " + ConfigurationBase::GetText(key, defaultWord);
    platform::ShowMessageBox(platform::TMessageKind::Warning, caption, text, platform::TMessageButtons::Ok);
}

}  // namespace

void ShowWarningMessage(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    const std::string text = FormatMessage(fmt, args);
    va_end(args);
    ShowBox("MSG_WARNING", "Warning", text);
}

void ShowErrorMessage(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    const std::string text = FormatMessage(fmt, args);
    va_end(args);
    ShowBox("MSG_ERROR", "Error", text);
}

}  // namespace winutils
