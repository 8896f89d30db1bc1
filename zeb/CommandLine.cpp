#include "zeb/CommandLine.h"

#include <sys/stat.h>

#include "zeb/TextCase.h"

namespace zeb {

namespace {

constexpr const char* kShowInfoOption = "/showinfo";
constexpr const char* kDebugOption = "/debug";

// Absolute Linux paths also start with "/", so an option is a single "/word" and, unless it is one of
// ours, only when nothing of that name exists: a file at the root of the file system is still a target.
bool IsOption(const std::string& arg) {
    if (arg.front() != '/') {
        return false;
    }
    if (arg == kShowInfoOption || arg == kDebugOption) {
        return true;
    }
    struct stat info {};
    return arg.find('/', 1) == std::string::npos && lstat(arg.c_str(), &info) != 0;
}

// Where the last path component starts: after a "/" that is followed by something other than "/".
std::string::size_type FileNameStart(const std::string& path) {
    std::string::size_type start = 0;
    for (std::string::size_type i = 0; i + 1 < path.size(); ++i) {
        if (path[i] == '/' && path[i + 1] != '/') {
            start = i + 1;
        }
    }
    return start;
}

}  // namespace

std::string FindFileName(const std::string& path) {
    return path.substr(FileNameStart(path));
}

std::string FindExtension(const std::string& path) {
    const auto lastSlash = path.rfind('/');
    const auto componentStart = lastSlash == std::string::npos ? 0 : lastSlash + 1;
    const auto dot = path.rfind('.');
    if (dot == std::string::npos || dot < componentStart) {
        return {};
    }
    return path.substr(dot);
}

std::string CleanExtension(const std::string& extension) {
    const std::string lower = UnicodeLowerCase(extension);
    const auto first = lower.find_first_not_of(".\t\n\r ");
    return first == std::string::npos ? std::string() : lower.substr(first);
}

void SetTargetFile(const std::string& path, Globals& globals) {
    globals.target_path = path;
    globals.target_name = FindFileName(path);
    globals.target_ext = CleanExtension(FindExtension(path));
}

bool ParseCommandLine(const std::vector<std::string>& args, Globals& globals) {
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.empty()) {
            continue;
        }
        if (!IsOption(arg)) {
            SetTargetFile(arg, globals);
            return true;
        }
        // "/debug" is accepted and changes nothing; other options are ignored.
        if (arg == kShowInfoOption) {
            globals.show_info = true;
        }
    }
    return false;
}

}  // namespace zeb
