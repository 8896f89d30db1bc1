#include "platform/SpecialFolders.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace platform {

namespace fs = std::filesystem;

namespace {

// An environment variable that holds an absolute path; relative values are ignored, as the base folder
// conventions ask.
std::optional<fs::path> AbsoluteFromEnv(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || value[0] != '/') {
        return std::nullopt;
    }
    return fs::path(value).lexically_normal();
}

std::optional<fs::path> HomeFolder() {
    if (auto home = AbsoluteFromEnv("HOME")) {
        return home;
    }
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
        found->pw_dir == nullptr || found->pw_dir[0] != '/') {
        return std::nullopt;
    }
    return fs::path(found->pw_dir);
}

// Strips the trailing separator that lexically_normal keeps for "a/b/", so paths compare and join cleanly.
fs::path WithoutTrailingSeparator(fs::path path) {
    if (!path.has_filename() && path.has_parent_path() && path != path.root_path()) {
        path = path.parent_path();
    }
    return path;
}

// The value of one line `KEY="value"` of the user folders file, with "$HOME" expanded and backslash
// escapes removed; nullopt when the line is not of that form.
std::optional<fs::path> ParseUserDirValue(const std::string& quoted, const fs::path& home) {
    if (quoted.size() < 2 || quoted.front() != '"') {
        return std::nullopt;
    }
    std::string value;
    bool closed = false;
    for (std::size_t i = 1; i < quoted.size(); ++i) {
        char c = quoted[i];
        if (c == '\\' && i + 1 < quoted.size()) {
            value += quoted[++i];
        } else if (c == '"') {
            closed = true;
            break;
        } else {
            value += c;
        }
    }
    if (!closed) {
        return std::nullopt;
    }
    const std::string homePrefix = "$HOME";
    if (value.compare(0, homePrefix.size(), homePrefix) == 0) {
        std::string rest = value.substr(homePrefix.size());
        if (!rest.empty() && rest.front() != '/') {
            return std::nullopt;
        }
        return WithoutTrailingSeparator(fs::path(home.string() + rest).lexically_normal());
    }
    if (value.empty() || value.front() != '/') {
        return std::nullopt;
    }
    return WithoutTrailingSeparator(fs::path(value).lexically_normal());
}

std::optional<fs::path> UserDirFromFile(const fs::path& configHome, const std::string& key,
                                        const fs::path& home) {
    std::ifstream in(configHome / "user-dirs.dirs");
    std::optional<fs::path> result;
    std::string line;
    while (std::getline(in, line)) {
        std::size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#') {
            continue;
        }
        std::size_t equals = line.find('=', start);
        if (equals == std::string::npos || line.compare(start, equals - start, key) != 0) {
            continue;
        }
        // A later line for the same key wins, as when the file is read by a shell.
        if (auto value = ParseUserDirValue(line.substr(equals + 1), home)) {
            result = value;
        }
    }
    return result;
}

struct UserDir {
    const char* key;
    const char* fallback;
};

std::optional<fs::path> UserDirPath(const UserDir& dir) {
    auto home = HomeFolder();
    if (!home) {
        return std::nullopt;
    }
    fs::path configHome = AbsoluteFromEnv("XDG_CONFIG_HOME").value_or(*home / ".config");
    if (auto fromFile = UserDirFromFile(configHome, dir.key, *home)) {
        return fromFile;
    }
    return *home / dir.fallback;
}

std::optional<fs::path> BaseDirPath(const char* variable, const char* fallback) {
    if (auto fromEnv = AbsoluteFromEnv(variable)) {
        return WithoutTrailingSeparator(*fromEnv);
    }
    auto home = HomeFolder();
    if (!home) {
        return std::nullopt;
    }
    return *home / fallback;
}

}  // namespace

std::optional<SpecialFolder> SpecialFolderFromId(int shellFolderId) {
    switch (shellFolderId) {
        case static_cast<int>(SpecialFolder::Documents):
        case static_cast<int>(SpecialFolder::Videos):
        case static_cast<int>(SpecialFolder::Desktop):
        case static_cast<int>(SpecialFolder::ApplicationData):
        case static_cast<int>(SpecialFolder::LocalApplicationData):
            return static_cast<SpecialFolder>(shellFolderId);
        default:
            return std::nullopt;
    }
}

std::optional<fs::path> SpecialFolderPath(SpecialFolder folder) {
    switch (folder) {
        case SpecialFolder::Documents:
            return UserDirPath({"XDG_DOCUMENTS_DIR", "Documents"});
        case SpecialFolder::Videos:
            return UserDirPath({"XDG_VIDEOS_DIR", "Videos"});
        case SpecialFolder::Desktop:
            return UserDirPath({"XDG_DESKTOP_DIR", "Desktop"});
        case SpecialFolder::ApplicationData:
            return BaseDirPath("XDG_CONFIG_HOME", ".config");
        case SpecialFolder::LocalApplicationData:
            return BaseDirPath("XDG_DATA_HOME", ".local/share");
    }
    return std::nullopt;
}

std::optional<fs::path> TemporaryFolder() {
    if (auto fromEnv = AbsoluteFromEnv("TMPDIR")) {
        return WithoutTrailingSeparator(*fromEnv);
    }
    fs::path folder = fs::path("/tmp") / ("strevio-" + std::to_string(geteuid()));
    std::error_code error;
    if (!EnsurePrivateFolder(folder, error)) {
        return std::nullopt;
    }
    return folder;
}

std::optional<fs::path> ProgramFolder() {
    std::error_code error;
    fs::path exe = fs::read_symlink("/proc/self/exe", error);
    if (error || !exe.is_absolute()) {
        return std::nullopt;
    }
    return exe.parent_path();
}

bool EnsurePrivateFolder(const fs::path& folder, std::error_code& error) {
    error.clear();
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        error.assign(errno, std::generic_category());
        return false;
    }
    struct stat info {};
    if (lstat(folder.c_str(), &info) != 0) {
        error.assign(errno, std::generic_category());
        return false;
    }
    if (!S_ISDIR(info.st_mode)) {
        error = std::make_error_code(std::errc::not_a_directory);
        return false;
    }
    if (info.st_uid != geteuid() || (info.st_mode & 077) != 0) {
        error = std::make_error_code(std::errc::permission_denied);
        return false;
    }
    return true;
}

}  // namespace platform
