#include "player/Configuration.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <system_error>

#include "platform/Registry.h"
#include "platform/SpecialFolders.h"
#include "winutils/Winutils.h"
#include "winutils/Winutils_debug.h"
#include "winutils/Winutils_filesfolders.h"
#include "winutils/Winutils_screen.h"
#include "winutils/Winutils_string.h"

namespace player {

Configuration* config = nullptr;

namespace {

namespace fs = std::filesystem;
using winutils::DEBUG_GENERAL;
using winutils::DebugLog;

constexpr unsigned kLocalApplicationDataCode = 7;
constexpr const char* kProductWord = "Strevio";
constexpr const char* kDataFileName = "Strevio.dat";
constexpr size_t kLineBufferSize = 2048;

// The preferences in the order in which they are read and written.
constexpr std::array<const char*, 6> kPreferenceNames = {"FirstRun", "CheckForUpdates",   "Volume",
                                                         "Mute",     "ResizeToVideoSize", "UseDirectDraw"};
constexpr int kVolumeIndex = 2;

// The keys that are removed on uninstall, each with everything below it, in this order.
constexpr std::array<const char*, 5> kKeysToDelete = {
    "Software\\Korvanta\\Strevio\\Preferences\\CanAssociateToFileTypes",
    "Software\\Korvanta\\Strevio\\Preferences\\NotAssociatedFileTypes",
    "Software\\Korvanta\\Strevio\\Preferences\\AssociatedFileTypes",
    "Software\\Korvanta\\Strevio\\Preferences",
    "Software\\Korvanta\\Strevio",
};

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Blanks, an optional sign and the digits after it; anything else ends the number; no digits give 0.
int32_t ReadDecimal(const char* text) {
    while (*text == ' ' || *text == '\t') {
        ++text;
    }
    bool negative = false;
    if (*text == '+' || *text == '-') {
        negative = *text == '-';
        ++text;
    }
    long long value = 0;
    while (*text >= '0' && *text <= '9') {
        value = value * 10 + (*text - '0');
        if (value > static_cast<long long>(INT32_MAX) + 1) {
            value = static_cast<long long>(INT32_MAX) + 1;
        }
        ++text;
    }
    value = negative ? -value : value;
    if (value > INT32_MAX) {
        value = INT32_MAX;
    }
    return static_cast<int32_t>(value);
}

// The text after a key's "=", cut at its first ";".
std::string ValueText(const std::string& rest) {
    const size_t semicolon = rest.find(';');
    return semicolon == std::string::npos ? rest : rest.substr(0, semicolon);
}

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

std::string RenderDataFile(int32_t showDonate, int32_t codeX, const std::array<int32_t, kNoticeCount>& info) {
    std::string out;
    char line[64];
    out += ";\r\n";
    std::snprintf(line, sizeof line, "; %s configuration file\r\n", kProductWord);
    out += line;
    out += ";\r\n";
    std::snprintf(line, sizeof line, "show_donate=%d\r\n", showDonate);
    out += line;
    std::snprintf(line, sizeof line, "code_x=%i\r\n", codeX);
    out += line;
    out += ";\r\n";
    for (int i = 0; i < kNoticeCount; ++i) {
        std::snprintf(line, sizeof line, "show_info_%02d=%d\r\n", i, info[static_cast<size_t>(i)]);
        out += line;
    }
    out += ";\r\n";
    return out;
}

// Writes the file next to its final place, flushes it to disk and moves it over the old one, so a crash
// leaves either the old or the new file.
bool ReplaceFileAtomically(const fs::path& target, const std::string& bytes) {
    std::string pattern = target.string() + ".XXXXXX";
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) {
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
    ok = ok && ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (ok && std::rename(pattern.c_str(), target.c_str()) != 0) {
        ok = false;
    }
    if (!ok) {
        ::unlink(pattern.c_str());
    }
    return ok;
}

}  // namespace

Configuration::Configuration(std::optional<std::filesystem::path> programFolder)
    : winutils::ConfigurationBase(Preferences), programFolder_(std::move(programFolder)) {
    for (int i = 0; i < kPreferenceCount; ++i) {
        valueAtLoad_[static_cast<size_t>(i)] = PreferenceValue(i);
    }
    stored_.fill(Stored::Unknown);
    InitPaths();
    DebugLog(DEBUG_GENERAL, "Configuration::Configuration: Create prefsUpdateLock mutex");
    if (!createPrefsLock()) {
        const std::string text =
            GetText("CFG_5", "Could not create Preferences lock. Please free some resources and try again.");
        winutils::ShowWarningMessage("%s", text.c_str());
        winutils::RequestApplicationTerminate();
    }
}

Configuration::~Configuration() = default;

void Configuration::InitPaths() {
    std::string folder;
    if (!winutils::GetSpecialFolderPath(kLocalApplicationDataCode, folder)) {
        std::error_code ec;
        folder = fs::current_path(ec).string();
        winutils::AddTrailingBackslash(folder);
    }
    const std::string base = folder + kProductWord;
    Preferences.LogFile = base + "/log.txt";
    Preferences.LogFile1 = base + "/log.1.txt";
    Preferences.LogFile2 = base + "/log.2.txt";
    Preferences.PersonalFolder = base + "/";
    DebugLog(DEBUG_GENERAL, "Configuration::Configuration: LogFile [%s]", Preferences.LogFile.c_str());
    DebugLog(DEBUG_GENERAL, "Configuration::Configuration: PersonalFolder [%s]",
             Preferences.PersonalFolder.c_str());
}

int32_t Configuration::PreferenceValue(int index) const {
    switch (index) {
        case 0:
            return Preferences.FirstRun ? 1 : 0;
        case 1:
            return Preferences.CheckForUpdates ? 1 : 0;
        case kVolumeIndex:
            return Preferences.Volume;
        case 3:
            return Preferences.Mute ? 1 : 0;
        case 4:
            return Preferences.ResizeToVideoSize ? 1 : 0;
        default:
            return Preferences.UseDirectDraw ? 1 : 0;
    }
}

void Configuration::SetPreference(int index, int32_t value) {
    switch (index) {
        case 0:
            Preferences.FirstRun = value != 0;
            break;
        case 1:
            Preferences.CheckForUpdates = value != 0;
            break;
        case kVolumeIndex:
            Preferences.Volume = value;
            break;
        case 3:
            Preferences.Mute = value != 0;
            break;
        case 4:
            Preferences.ResizeToVideoSize = value != 0;
            break;
        default:
            Preferences.UseDirectDraw = value != 0;
            break;
    }
}

void Configuration::LoadPreferences() {
    DebugLog(DEBUG_GENERAL, "Configuration::LoadPreferences: BEGIN");
    stored_.fill(Stored::Unknown);
    for (int i = 0; i < kPreferenceCount; ++i) {
        valueAtLoad_[static_cast<size_t>(i)] = PreferenceValue(i);
    }
    try {
        platform::TRegistry reg(platform::HKEY_CURRENT_USER);
        if (!reg.OpenKeyReadOnly(kPreferencesKey)) {
            stored_.fill(Stored::Absent);
        } else {
            for (int i = 0; i < kPreferenceCount; ++i) {
                const char* name = kPreferenceNames[static_cast<size_t>(i)];
                if (!reg.ValueExists(name)) {
                    stored_[static_cast<size_t>(i)] = Stored::Absent;
                    continue;
                }
                SetPreference(i, reg.ReadInteger(name));
                stored_[static_cast<size_t>(i)] = Stored::Read;
                valueAtLoad_[static_cast<size_t>(i)] = PreferenceValue(i);
            }
        }
    } catch (const std::exception& e) {
        DebugLog(DEBUG_GENERAL, "Configuration::LoadPreferences: EXCEPTION");
        DebugLog(DEBUG_GENERAL, "Configuration::LoadPreferences: %s", e.what());
    }
    DebugLog(DEBUG_GENERAL, "Configuration::LoadPreferences: END");
}

bool Configuration::MayWritePreference(int index) const {
    const auto i = static_cast<size_t>(index);
    // Unknown: the store may hold a value that was never read; keep it unless the program changed ours.
    return stored_[i] != Stored::Unknown || PreferenceValue(index) != valueAtLoad_[i];
}

bool Configuration::SavePreferences() {
    DebugLog(DEBUG_GENERAL, "Configuration::SavePreferences: BEGIN");
    bool anyToWrite = false;
    for (int i = 0; i < kPreferenceCount; ++i) {
        anyToWrite = anyToWrite || MayWritePreference(i);
    }
    try {
        platform::TRegistry reg(platform::HKEY_CURRENT_USER);
        // With nothing to write the store is not touched at all, so a hive that could not be read is left
        // exactly as it is.
        if (anyToWrite && reg.OpenKey(kPreferencesKey, true)) {
            for (int i = 0; i < kPreferenceCount; ++i) {
                if (!MayWritePreference(i)) {
                    DebugLog(DEBUG_GENERAL, "Configuration::SavePreferences: keeping stored %s",
                             kPreferenceNames[static_cast<size_t>(i)]);
                    continue;
                }
                reg.WriteInteger(kPreferenceNames[static_cast<size_t>(i)], PreferenceValue(i));
                stored_[static_cast<size_t>(i)] = Stored::Read;
                valueAtLoad_[static_cast<size_t>(i)] = PreferenceValue(i);
            }
            reg.CloseKey();
        }
    } catch (const std::exception& e) {
        DebugLog(DEBUG_GENERAL, "Configuration::SavePreferences: EXCEPTION %s", e.what());
        return false;
    }
    DebugLog(DEBUG_GENERAL, "Configuration::SavePreferences: END");
    return true;
}

bool Configuration::DeletePreferenceKeys() {
    try {
        platform::TRegistry reg(platform::HKEY_CURRENT_USER);
        for (const char* key : kKeysToDelete) {
            if (reg.KeyExists(key)) {
                reg.DeleteKey(key);
            }
        }
    } catch (const std::exception& e) {
        DebugLog(DEBUG_GENERAL, "Configuration::DeletePreferenceKeys: EXCEPTION %s", e.what());
        return false;
    }
    return true;
}

std::string Configuration::getDataFile() {
    try {
        std::string local;
        const bool haveLocal = winutils::GetSpecialFolderPath(kLocalApplicationDataCode, local);
        std::error_code ec;
        if (haveLocal) {
            const fs::path candidate = fs::path(local) / kProductWord / kDataFileName;
            if (fs::exists(candidate, ec)) {
                return candidate.string();
            }
        }
        fs::path programFolder;
        if (programFolder_) {
            programFolder = *programFolder_;
        } else if (auto folder = platform::ProgramFolder()) {
            programFolder = *folder;
        }
        const fs::path programCandidate = programFolder / kDataFileName;
        if (!programFolder.empty() && fs::exists(programCandidate, ec)) {
            return programCandidate.string();
        }
        if (haveLocal) {
            const fs::path folder = fs::path(local) / kProductWord;
            fs::create_directory(folder, ec);
            if (fs::is_directory(folder, ec)) {
                return (folder / kDataFileName).string();
            }
        }
        return programFolder.empty() ? std::string() : programCandidate.string();
    } catch (const std::exception& e) {
        DebugLog(DEBUG_GENERAL, "Configuration::getDataFile: EXCEPTION %s", e.what());
        return "";
    }
}

void Configuration::LoadPersonalConfigFile() {
    DebugLog(DEBUG_GENERAL, "Configuration::LoadPersonalConfigFile: BEGIN");
    dataFileRead_ = false;
    const std::string path = getDataFile();
    if (path.empty()) {
        return;
    }
    FilePtr file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        // A file that is there but cannot be read must not be replaced by defaults later.
        std::error_code ec;
        dataFileRead_ = !fs::exists(path, ec) && !ec;
        DebugLog(DEBUG_GENERAL, "Configuration::LoadPersonalConfigFile: END - cannot open file");
        return;
    }
    char buffer[kLineBufferSize];
    while (std::fgets(buffer, sizeof buffer, file.get()) != nullptr) {
        std::string line(buffer);
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) {
            line.pop_back();
        }
        if (line.size() < 2 || line[0] == ';' || line[0] == '#' || line[0] == ' ') {
            continue;
        }
        if (StartsWith(line, "show_donate=")) {
            show_donate = ReadDecimal(ValueText(line.substr(12)).c_str());
        } else if (StartsWith(line, "show_info_")) {
            const std::string rest = ValueText(line.substr(10));
            if (rest.size() < 3) {
                continue;
            }
            // The number is the first two characters; the value starts after the character that follows.
            const int32_t index = ReadDecimal(rest.substr(0, 2).c_str());
            const int32_t value = ReadDecimal(rest.c_str() + 3);
            if (index >= 0 && index < kNoticeCount) {
                show_info[static_cast<size_t>(index)] = value;
            }
        } else if (StartsWith(line, "code_x=")) {
            code_x = ReadDecimal(ValueText(line.substr(7)).c_str());
        }
    }
    dataFileRead_ = std::ferror(file.get()) == 0;
    DebugLog(DEBUG_GENERAL, "Configuration::LoadPersonalConfigFile: END");
}

void Configuration::SavePersonalConfigFile() {
    DebugLog(DEBUG_GENERAL, "Configuration::SavePersonalConfigFile: BEGIN");
    const std::string path = getDataFile();
    if (path.empty()) {
        return;
    }
    std::error_code ec;
    if (!dataFileRead_ && (fs::exists(path, ec) || ec)) {
        DebugLog(DEBUG_GENERAL,
                 "Configuration::SavePersonalConfigFile: END - keeping the file that was not read");
        return;
    }
    if (!ReplaceFileAtomically(path, RenderDataFile(show_donate, code_x, show_info))) {
        DebugLog(DEBUG_GENERAL, "Configuration::SavePersonalConfigFile: END - cannot create file");
        return;
    }
    dataFileRead_ = true;
    DebugLog(DEBUG_GENERAL, "Configuration::SavePersonalConfigFile: END");
}

}  // namespace player
