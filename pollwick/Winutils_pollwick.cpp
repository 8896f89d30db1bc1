#include "pollwick/Winutils_pollwick.h"

#include <filesystem>
#include <mutex>
#include <system_error>

#include "platform/SpecialFolders.h"
#include "winutils/Winutils_debug.h"
#include "winutils/Winutils_string.h"

namespace pollwick {
namespace {

namespace fs = std::filesystem;
using winutils::DebugLog;

// Masks the scheme's slashes so that only a path's "/" is found; same lengths, so positions stay.
std::string MaskSchemes(const std::string& url) {
    return winutils::ReplaceAll(winutils::ReplaceAll(url, "http://", "HTTP___"), "https://", "HTTPS___");
}

std::string UnmaskSchemes(const std::string& url) {
    return winutils::ReplaceAll(winutils::ReplaceAll(url, "HTTP___", "http://"), "HTTPS___", "https://");
}

fs::path FreeNameFor(const fs::path& target) {
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(target, ec))) {
        return target;
    }
    const fs::path folder = target.parent_path();
    const std::string stem = target.stem().string();
    const std::string extension = target.extension().string();
    for (int n = 2;; ++n) {
        fs::path candidate = folder / (stem + " (" + std::to_string(n) + ")" + extension);
        if (!fs::exists(fs::symlink_status(candidate, ec))) {
            return candidate;
        }
    }
}

// rename(2), or copy and delete when source and target lie on different file systems.
bool MoveFileTo(const fs::path& source, const fs::path& target) {
    std::error_code ec;
    fs::rename(source, target, ec);
    if (!ec) {
        return true;
    }
    if (ec != std::errc::cross_device_link) {
        return false;
    }
    if (!fs::copy_file(source, target, fs::copy_options::overwrite_existing, ec) || ec) {
        fs::remove(target, ec);
        return false;
    }
    return fs::remove(source, ec) && !ec;
}

char Printable(unsigned char byte) {
    return byte >= 0x20 && byte <= 0x7E ? static_cast<char>(byte) : '.';
}

std::string RowCharacters(const unsigned char* row, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        text += Printable(row[i]);
    }
    return text;
}

std::string HexDumpText(const unsigned char* bytes, size_t count) {
    if (count == 0) {
        return "[0 length data]\n";
    }
    std::string dump;
    char hex[8];
    for (size_t i = 1; i <= count; ++i) {
        std::snprintf(hex, sizeof hex, "%02x ", bytes[i - 1]);
        dump += hex;
        if (i % 8 == 0) {
            dump += ' ';
        }
        if (i % 16 == 0) {
            dump += "| " + RowCharacters(bytes + i - 16, 16) + "\n";
        }
    }
    const size_t rest = count % 16;
    if (rest != 0) {
        const size_t missing = 16 - rest;
        for (size_t k = missing; k >= 1; --k) {
            dump += "   ";
            if (k % 8 == 0 && missing != 8) {
                dump += ' ';
            }
        }
        dump += " | " + RowCharacters(bytes + count - rest, rest);
    }
    dump += "\n";
    return dump;
}

std::mutex g_tempFolderGuard;
std::string g_tempFolder;

}  // namespace

void FixURLParameters(std::string& url) {
    DebugLog(winutils::DEBUG_GENERAL, "FixURLParameters: BEGIN [%s]", url.c_str());
    const size_t query = url.find('?');
    if (query != std::string::npos && query != 0) {
        std::string work = MaskSchemes(url);
        const size_t slash = work.find('/');
        if (slash == std::string::npos || slash > query) {
            DebugLog(winutils::DEBUG_GENERAL,
                     "FixURLParameters: URL has parameters, but no / before ? - adding. Before [%s]",
                     url.c_str());
            work.insert(query, "/");
            url = UnmaskSchemes(work);
            DebugLog(winutils::DEBUG_GENERAL, "FixURLParameters: Modified URL [%s]", url.c_str());
        }
    }
    DebugLog(winutils::DEBUG_GENERAL, "FixURLParameters: END   [%s]", url.c_str());
}

bool ShellMoveFile(const std::string& source, const std::string& target, bool /*silent*/,
                   bool renameOnCollision, std::string* movedTo) {
    if (target.empty() || source.empty()) {
        return false;
    }
    std::error_code ec;
    if (!fs::is_regular_file(source, ec)) {
        return false;
    }
    fs::path destination = target;
    if (fs::is_directory(destination, ec)) {
        destination /= fs::path(source).filename();
    }
    if (renameOnCollision) {
        destination = FreeNameFor(destination);
    } else if (fs::is_directory(destination, ec)) {
        return false;  // never replace a folder by a file
    }
    if (!MoveFileTo(source, destination)) {
        return false;
    }
    if (movedTo != nullptr) {
        *movedTo = destination.string();
    }
    return true;
}

void StripTrailingSlashes(std::string& text) {
    while (!text.empty() && text.back() == '/') {
        text.pop_back();
    }
}

void AddTrailingSlash(std::string& text) {
    if (text.empty() || text.back() != '/') {
        text += '/';
    }
}

std::string GetTempFolder() {
    std::string folder;
    if (const auto temp = platform::TemporaryFolder()) {
        folder = temp->string();
    }
    if (!folder.empty()) {
        winutils::AddTrailingBackslash(folder);
    }
    std::lock_guard guard(g_tempFolderGuard);
    g_tempFolder = folder;
    return g_tempFolder;
}

void DebugHexDump(uint32_t mask, const void* data, size_t count) {
    const winutils::PreferencesHead* prefs = winutils::DebugLogPreferences();
    if (prefs == nullptr || (mask & static_cast<uint32_t>(prefs->DebugMask.load())) == 0) {
        return;
    }
    winutils::DebugLogRaw(mask, HexDumpText(static_cast<const unsigned char*>(data), data ? count : 0));
}

std::string copyStringBetween(const std::string& source, const std::string& startMarker,
                              const std::string& endMarker) {
    const size_t start = source.find(startMarker);
    if (start == std::string::npos) {
        DebugLog(winutils::DEBUG_WORKERS, "copyStringBetween: Start string not found [%s]",
                 startMarker.c_str());
        return "";
    }
    const size_t from = start + startMarker.size();
    const size_t end = source.find(endMarker, from);
    if (end == std::string::npos) {
        DebugLog(winutils::DEBUG_WORKERS, "copyStringBetween: End string not found [%s]", endMarker.c_str());
        return "";
    }
    return source.substr(from, end - from);
}

}  // namespace pollwick
