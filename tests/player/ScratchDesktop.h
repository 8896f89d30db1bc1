// A desktop of the test's own: private XDG data and config folders, the system's MIME database and no
// system defaults, applications installed by the test, and the desktop's own tools run against it.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/Fixtures.h"
#include "tests/support/TestEnv.h"

namespace playertest {

class ScratchDesktop {
public:
    ScratchDesktop() {
        std::filesystem::create_directories(systemData_ / "applications");
        std::filesystem::create_directory_symlink("/usr/share/mime", systemData_ / "mime");
        std::filesystem::create_directories(home_.root() / "etc");
    }

    const testsupport::IsolatedHome& home() const { return home_; }
    std::filesystem::path MimeAppsList() const { return home_.configHome() / "mimeapps.list"; }
    std::filesystem::path Applications() const { return home_.dataHome() / "applications"; }

    // A desktop entry for another program that opens the types.
    void InstallApplication(const std::string& id, const std::string& types) const {
        testsupport::WriteFile(Applications() / id, "[Desktop Entry]\nType=Application\nName=" + id +
                                                        "\nExec=/usr/bin/true %f\nMimeType=" + types + "\n");
    }

    // What the desktop's own query answers for the type's default application ("" when none).
    std::string QueryDefault(const std::string& type) const {
        std::string answer = Output({"xdg-mime", "query", "default", type});
        while (!answer.empty() && (answer.back() == '\n' || answer.back() == ' ')) {
            answer.pop_back();
        }
        return answer;
    }

    // Runs a program (found on PATH) and returns what it wrote to its standard output.
    std::string Output(const std::vector<std::string>& argv) const {
        const std::filesystem::path out = home_.root() / "output.txt";
        const pid_t pid = testsupport::StartProgram(argv, STDOUT_FILENO, out);
        if (pid < 0) {
            return "";
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return testsupport::ReadFile(out);
    }

private:
    testsupport::IsolatedHome home_;
    std::filesystem::path systemData_ = home_.root() / "system";
    testsupport::ScopedEnv dataDirs_{"XDG_DATA_DIRS", systemData_.string()};
    testsupport::ScopedEnv configDirs_{"XDG_CONFIG_DIRS", (home_.root() / "etc").string()};
    testsupport::ScopedEnv desktop_{"XDG_CURRENT_DESKTOP", std::nullopt};
    testsupport::ScopedEnv session_{"DESKTOP_SESSION", std::nullopt};
};

// The lines of a text.
inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

}  // namespace playertest
