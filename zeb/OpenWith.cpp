#include "zeb/OpenWith.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "platform/Processes.h"
#include "platform/SpecialFolders.h"

namespace zeb {

namespace {

std::string ConfiguredProgram(const char* variable, const std::string& fallback) {
    const char* value = std::getenv(variable);
    return ExpandEnvironmentStrings(value ? value : fallback);
}

bool IsExecutableFile(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::string ExpandEnvironmentStrings(const std::string& text) {
    std::string out;
    std::string::size_type pos = 0;
    while (pos < text.size()) {
        const auto open = text.find('%', pos);
        const auto close = open == std::string::npos ? std::string::npos : text.find('%', open + 1);
        if (close == std::string::npos) {
            out += text.substr(pos);
            break;
        }
        out += text.substr(pos, open - pos);
        const std::string name = text.substr(open + 1, close - open - 1);
        const char* value = name.empty() ? nullptr : std::getenv(name.c_str());
        out += value ? std::string(value) : text.substr(open, close - open + 1);
        pos = close + 1;
    }
    return out;
}

bool ProgramExists(const std::string& program) {
    if (program.empty()) {
        return false;
    }
    if (program.find('/') != std::string::npos) {
        return IsExecutableFile(program);
    }
    const char* path = std::getenv("PATH");
    std::istringstream folders(path ? path : "");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        if (IsExecutableFile((folder.empty() ? std::string(".") : folder) + "/" + program)) {
            return true;
        }
    }
    return false;
}

std::string DefaultOpenWithProgram() {
    const auto folder = platform::ProgramFolder();
    return folder ? (*folder / kOpenWithChooserName).string() : kOpenWithChooserName;
}

std::vector<std::string> OpenWithCommand(const std::string& path) {
    std::string program = ConfiguredProgram(kOpenWithProgramVariable, DefaultOpenWithProgram());
    if (!ProgramExists(program)) {
        program = ConfiguredProgram(kOpenWithFallbackVariable, kDefaultOpenWithFallback);
    }
    return {program, path};
}

void ShowOpenWithDialog(const std::string& path) {
    platform::StartProgram(OpenWithCommand(path));
}

}  // namespace zeb
