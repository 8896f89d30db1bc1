#include "tests/support/TestEnv.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace testsupport {

namespace fs = std::filesystem;

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "strevio-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        throw std::system_error(errno, std::generic_category(), "mkdtemp");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

ScopedEnv::ScopedEnv(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) {
        old_ = old;
    }
    if (value) {
        setenv(name_.c_str(), value->c_str(), 1);
    } else {
        unsetenv(name_.c_str());
    }
}

ScopedEnv::~ScopedEnv() {
    if (old_) {
        setenv(name_.c_str(), old_->c_str(), 1);
    } else {
        unsetenv(name_.c_str());
    }
}

namespace {
std::string MakeSubdir(const TempDir& dir, const char* name) {
    fs::path p = dir / name;
    fs::create_directories(p);
    fs::permissions(p, fs::perms::owner_all, fs::perm_options::replace);
    return p.string();
}
}  // namespace

IsolatedHome::IsolatedHome()
    : config_("XDG_CONFIG_HOME", MakeSubdir(dir_, "config")),
      data_("XDG_DATA_HOME", MakeSubdir(dir_, "data")),
      runtime_("XDG_RUNTIME_DIR", MakeSubdir(dir_, "runtime")),
      tmp_("TMPDIR", MakeSubdir(dir_, "tmp")) {}

fs::path SupportDir() { return STREVIO_TEST_SUPPORT_DIR; }

std::string ReadFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFile(const fs::path& file, const std::string& content) {
    if (file.has_parent_path()) {
        fs::create_directories(file.parent_path());
    }
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) {
        throw std::runtime_error("cannot write " + file.string());
    }
}

}  // namespace testsupport
