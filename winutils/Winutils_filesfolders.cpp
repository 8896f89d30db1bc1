#include "winutils/Winutils_filesfolders.h"

#include <fcntl.h>
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

// Flushes a folder's entries to disk, so that a rename in it outlives a crash. Best effort: the file
// itself is already complete on disk, and some file systems cannot flush a folder.
void SyncFolder(const std::filesystem::path& folder) {
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
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
    // The first step that fails names itself; errno is read before anything else can change it.
    const char* failed = nullptr;
    int cause = 0;
    auto step = [&](bool done, const char* what) {
        if (!failed && !done) {
            failed = what;
            cause = errno;
        }
    };
    size_t written = 0;
    while (!failed && written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n == 0) {
            errno = EIO;  // a write that takes nothing and reports no error would repeat for ever
        }
        step(n > 0, "cannot write");
        written += n > 0 ? static_cast<size_t>(n) : 0;
    }
    step(failed || ::fchmod(fd, mode) == 0, "cannot set the mode");
    step(failed || ::fsync(fd) == 0, "cannot flush to disk");
    step(::close(fd) == 0, "cannot close");
    step(failed || std::rename(temporaryPattern.c_str(), target.c_str()) == 0, "cannot replace the file");
    if (failed) {
        error = std::string(failed) + ": " + std::strerror(cause);
        ::unlink(temporaryPattern.c_str());
        return false;
    }
    SyncFolder(target.parent_path());
    return true;
}

}  // namespace winutils
