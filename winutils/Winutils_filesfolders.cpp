#include "winutils/Winutils_filesfolders.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/Processes.h"
#include "platform/SpecialFolders.h"
#include "winutils/Winutils.h"
#include "winutils/Winutils_string.h"

namespace winutils {
namespace {

// The shell's folder ids by code; 0 marks a code without a folder.
constexpr int kDesktop = 16;
constexpr int kNetworkNeighbourhood = 19;
constexpr int kComputer = 17;
constexpr int kDocuments = 5;
constexpr int kRecent = 8;
constexpr int kApplicationData = 26;
constexpr int kFavourites = 6;
constexpr int kVideos = 14;
#ifdef WINUTILS_POLLWICK
// Pollwick's older table has no entry for the local application-data folder.
constexpr std::array<int, 10> kFolderIds = {0,          kDesktop, kNetworkNeighbourhood, kComputer,
                                            kDocuments, kRecent,  kApplicationData,      kFavourites,
                                            kVideos,    0};
#else
constexpr int kLocalApplicationData = 28;
constexpr std::array<int, 10> kFolderIds = {
    0,       kDesktop,         kNetworkNeighbourhood, kComputer,   kDocuments,
    kRecent, kApplicationData, kLocalApplicationData, kFavourites, kVideos};
#endif

constexpr size_t kTextBufferSize = 2048;

// The text as the fixed buffers of the start record hold it: at most 2047 bytes, cut at a character
// boundary.
std::string Bounded(const std::string& text) {
    if (text.size() < kTextBufferSize) {
        return text;
    }
    size_t length = kTextBufferSize - 1;
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) {
        --length;
    }
    return text.substr(0, length);
}

}  // namespace

bool GetSpecialFolderPath(unsigned code, std::string& path) {
    if (code >= kFolderIds.size() || kFolderIds[code] == 0) {
        return false;
    }
    const auto folder = platform::SpecialFolderFromId(kFolderIds[code]);
    if (!folder) {
        return false;
    }
    const auto folderPath = platform::SpecialFolderPath(*folder);
    if (!folderPath) {
        return false;
    }
    path = folderPath->string();
    AddTrailingBackslash(path);
    return true;
}

std::vector<std::string> SplitParameters(const std::string& parameters) {
    std::vector<std::string> arguments;
    std::string current;
    bool inArgument = false;
    bool quoted = false;
    for (size_t i = 0; i < parameters.size(); ++i) {
        const char c = parameters[i];
        if (c == '\\' && i + 1 < parameters.size() && parameters[i + 1] == '"') {
            current += '"';
            inArgument = true;
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
            inArgument = true;
        } else if ((c == ' ' || c == '\t') && !quoted) {
            if (inArgument) {
                arguments.push_back(current);
                current.clear();
                inArgument = false;
            }
        } else {
            current += c;
            inArgument = true;
        }
    }
    if (inArgument) {
        arguments.push_back(current);
    }
    return arguments;
}

bool ShellExecuteAndWait(std::uintptr_t /*owner*/, const std::string& file, const std::string& parameters,
                         const std::string& workingFolder, int /*showCommand*/, unsigned /*maskFlags*/) {
    const std::string program = Bounded(file);
    if (program.empty()) {
        return false;
    }
    std::vector<std::string> argv{program};
    for (std::string& argument : SplitParameters(Bounded(parameters))) {
        argv.push_back(std::move(argument));
    }
    platform::RunOptions options;
    options.workingFolder = Bounded(workingFolder);
    options.stopWaiting = [] { return ApplicationTerminated(); };
    int exitCode = 0;
    return platform::RunAndWait(argv, exitCode, options);
}

bool WriteAndReplaceFile(const std::filesystem::path& target, std::string temporaryPattern,
                         const std::string& bytes, mode_t mode, std::string& error) {
    const int fd = ::mkstemp(temporaryPattern.data());
    if (fd < 0) {
        error = std::string("cannot create a temporary file: ") + std::strerror(errno);
        return false;
    }
    bool ok = true;
    size_t done = 0;
    while (ok && done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        ok = n > 0;
        done += ok ? static_cast<size_t>(n) : 0;
    }
    ok = ok && ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (ok && std::rename(temporaryPattern.c_str(), target.c_str()) != 0) {
        ok = false;
    }
    if (!ok) {
        error = std::string("cannot write: ") + std::strerror(errno);
        ::unlink(temporaryPattern.c_str());
    }
    return ok;
}

}  // namespace winutils
