// What zeb's tests share: recording stand-ins for the programs zeb starts, and zeb run as a process.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/TestEnv.h"

namespace zebtest {

// A folder of shell scripts that record their arguments instead of doing anything, put first on PATH
// while the object lives. Each run leaves one file "<program>.<pid>" in records() holding its arguments,
// each followed by a NUL byte, so any byte sequence is recorded exactly.
class RecordingPrograms {
public:
    // names: the programs to stand in for (e.g. "xdg-open", "chooser").
    explicit RecordingPrograms(const std::vector<std::string>& names);

    std::filesystem::path bin() const { return dir_ / "bin"; }
    std::filesystem::path records() const { return dir_ / "records"; }

    // The argument vectors (without the program name) of every finished run of program so far.
    std::vector<std::vector<std::string>> Runs(const std::string& program) const;
    // Waits (at most timeout) until program has run at least once; returns its runs.
    std::vector<std::vector<std::string>> WaitForRuns(const std::string& program,
                                                      std::chrono::milliseconds timeout) const;
    // Every run of every program so far, as "program" entries.
    std::vector<std::string> AllPrograms() const;

private:
    testsupport::TempDir dir_;
    std::optional<testsupport::ScopedEnv> path_;
};

// Runs the built zeb with args and waits (bounded) for its exit code.
std::optional<int> RunZeb(const std::vector<std::string>& args);

// The path of the built zeb program.
std::string ZebProgram();

// What the store holds under zeb's key: value names in stored case.
std::vector<std::string> StoredValueNames();

}  // namespace zebtest
