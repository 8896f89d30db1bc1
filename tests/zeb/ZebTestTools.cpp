#include "tests/zeb/ZebTestTools.h"

#include <cstdlib>
#include <thread>

#include "platform/Registry.h"
#include "zeb/DisabledExts.h"

namespace zebtest {

namespace fs = std::filesystem;

namespace {

// Writes under a temporary name first, so a reader never sees half a record.
constexpr const char* kRecorderScript =
    "#!/bin/sh\n"
    "out=\"$(dirname \"$0\")/../records/$(basename \"$0\").$$\"\n"
    "printf '%s\\0' \"$@\" > \"$out.part\" && mv \"$out.part\" \"$out\"\n";

std::vector<std::string> SplitNulTerminated(const std::string& content) {
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    for (auto end = content.find('\0'); end != std::string::npos; end = content.find('\0', start)) {
        parts.push_back(content.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

std::string ProgramOfRecord(const fs::path& record) {
    const std::string name = record.filename().string();
    return name.substr(0, name.rfind('.'));
}

}  // namespace

RecordingPrograms::RecordingPrograms(const std::vector<std::string>& names) {
    fs::create_directories(bin());
    fs::create_directories(records());
    for (const auto& name : names) {
        testsupport::WriteFile(bin() / name, kRecorderScript);
        fs::permissions(bin() / name, fs::perms::owner_all);
    }
    const char* oldPath = std::getenv("PATH");
    path_.emplace("PATH", bin().string() + ":" + (oldPath ? oldPath : "/usr/bin:/bin"));
}

std::vector<std::vector<std::string>> RecordingPrograms::Runs(const std::string& program) const {
    std::vector<std::vector<std::string>> runs;
    for (const auto& entry : fs::directory_iterator(records())) {
        if (entry.path().extension() != ".part" && ProgramOfRecord(entry.path()) == program) {
            runs.push_back(SplitNulTerminated(testsupport::ReadFile(entry.path())));
        }
    }
    return runs;
}

std::vector<std::vector<std::string>> RecordingPrograms::WaitForRuns(
    const std::string& program, std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    auto runs = Runs(program);
    while (runs.empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        runs = Runs(program);
    }
    return runs;
}

std::vector<std::string> RecordingPrograms::AllPrograms() const {
    std::vector<std::string> programs;
    for (const auto& entry : fs::directory_iterator(records())) {
        programs.push_back(ProgramOfRecord(entry.path()));
    }
    return programs;
}

std::string ZebProgram() {
    return ZEB_PROGRAM;
}

std::optional<int> RunZeb(const std::vector<std::string>& args) {
    std::vector<std::string> argv{ZebProgram()};
    argv.insert(argv.end(), args.begin(), args.end());
    testsupport::ChildProcess zeb(argv);
    return zeb.WaitForExit(std::chrono::seconds(60));
}

std::vector<std::string> StoredValueNames() {
    return platform::ReadValueNames(platform::HKEY_CURRENT_USER, zeb::kDisabledExtsKey);
}

}  // namespace zebtest
