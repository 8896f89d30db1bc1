// A program folder holding the recording association setter (association_setter.py), for tests of what
// the player passes it and what the player concludes from the list it leaves; or, on request, the real
// setter of this build.
#pragma once

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/TestEnv.h"

namespace playertest {

class SetterFolder {
public:
    SetterFolder() {
        namespace fs = std::filesystem;
        fs::copy_file(STREVIO_TEST_SETTER, dir_ / "StrevioSetupFileAssociations");
        fs::permissions(dir_ / "StrevioSetupFileAssociations", fs::perms::owner_all);
    }
    const std::filesystem::path& path() const { return dir_.path(); }
    // Puts a link to the build's setter in place of the recording one. The setter follows the link to its
    // own folder, so the desktop entry it writes starts the build's player.
#ifdef STREVIO_SETTER_PROGRAM
    void UseRealSetter() const {
        namespace fs = std::filesystem;
        fs::remove(dir_ / "StrevioSetupFileAssociations");
        fs::create_symlink(STREVIO_SETTER_PROGRAM, dir_ / "StrevioSetupFileAssociations");
    }
#endif
    // "keep", "drop:.EXT,..." or "clear".
    void SetAction(const std::string& action) const {
        testsupport::WriteFile(dir_ / "setter.action", action);
    }
    // One entry per run: the lines the setter recorded ("args=...", "cwd=...", "wishes=...",
    // "checkforupdates=...").
    std::vector<std::vector<std::string>> Runs() const {
        std::vector<std::vector<std::string>> runs;
        std::istringstream in(testsupport::ReadFile(dir_ / "setter.log"));
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("args=", 0) == 0) {
                runs.emplace_back();
            }
            if (!runs.empty()) {
                runs.back().push_back(line);
            }
        }
        return runs;
    }

private:
    testsupport::TempDir dir_;
};

}  // namespace playertest
