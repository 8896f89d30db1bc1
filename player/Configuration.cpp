#include "player/Configuration.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <strings.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <system_error>

#include "platform/Registry.h"
#include "platform/RegistryFile.h"
#include "platform/SpecialFolders.h"
#include "player/Regext.h"
#include "setup/MimeDatabase.h"
#include "setup/ExtensionLists.h"
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
using winutils::UpperCase;

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

struct ExtensionRow {
    const char* extension;
    const char* description;
};

// The file types the player can be associated with, in the order the Settings dialog lists them.
constexpr ExtensionRow kKnownExtensionRows[] = {
    {".3G2", "Video file for 3G CDMA2000 multimedia services"},
    {".3GP", "Video file for 3G mobile phones"},
    {".4XM", "4X Technologies Video File"},
    {".AAC", "Audio file in Advanced Audio Coding format"},
    {".AC3", "Audio file in Audio Codec 3 format"},
    {".ACT", "ACT Voice Audio File"},
    {".AEA", "MD Studio Audio File"},
    {".AIFF", "Audio Interchange File Format Audio File"},
    {".AMR", "Audio speech file in Adaptive Multi-Rate format"},
    {".ANM", "Deluxe Paint Animation Video File"},
    {".APC", "Cryo Interactive Entertainment Audio File"},
    {".APE", "Audio file in Monkey's Audio format"},
    {".ASF", "Advanced/Active Streaming Format Video File"},
    {".AU", "Sun Microsystems Audio File"},
    {".AVI", "Video file in Audio Video Interleave format"},
    {".BIK", "RAD Game Tools Bink Video File"},
    {".CAF", "Apple Core Audio Format Audio File"},
    {".CAFF", "Apple Core Audio Format Audio File"},
    {".CDG", "CD Graphics Video File"},
    {".CDXL", "Commodore Amiga Video File"},
    {".CPK", "Sega Film Format Video File"},
    {".DIVX", "Video file in DivX format"},
    {".DTS", "Audio file in Digital Theater Systems format"},
    {".EAC3", "Raw E-AC-3 Audio File"},
    {".FLAC", "Audio file in Free Lossless Audio Codec format"},
    {".FLV", "Video file in Flash format for use on the Internet"},
    {".GSM", "Raw GSM (cell phone) Audio File"},
    {".GXF", "General eXchange Format Video File"},
    {".H261", "Raw H.261 Video File"},
    {".H263", "Raw H.263 Video File"},
    {".H264", "Raw H.264 Video File"},
    {".IRCAM", "Berkeley/IRCAM/CARL Audio File"},
    {".LVF", "Lossless Video Format Video File"},
    {".LXF", "VR Native Stream Video File"},
    {".M4A", "Audio file in MPEG-4 Audio Layer format"},
    {".M4V", "Video file in iTunes format"},
    {".MKA", "Audio file in Matroska Audio Stream format"},
    {".MKV", "Video file in Matroska format"},
    {".MLP", "Meridian Lossless Packing Audio File"},
    {".MOV", "Video file in QuickTime Movie format"},
    {".MP2", "Audio file in MPEG-1 Audio Layer II format"},
    {".MP3", "Audio file in MPEG-1 or MPEG-2 Audio Layer III format"},
    {".MP4", "Video file that uses MPEG-4 compression"},
    {".MPA", "Audio file in MPEG Audio File format"},
    {".MPC", "Audio file in Musepack Compressed Audio format"},
    {".MPEG", "Video file in MPEG format"},
    {".MPG", "Video file in MPEG format"},
    {".MV", "Silicon Graphics Movie Video File"},
    {".MVI", "Motion Pixels MVI Video File"},
    {".MXF", "Material eXchange Format Video File"},
    {".NSV", "Nullsoft Streaming Video File"},
    {".NUT", "Experimental new open format Video File"},
    {".NUV", "NuppelVideo Video File"},
    {".OFR", "Audio file in OptimFrog Audio format"},
    {".OGG", "Ogg Vorbis Audio File"},
    {".OGM", "Ogg Media Video File"},
    {".OGV", "Ogg Video File"},
    {".OPUS", "Opus Audio File"},
    {".PAF", "Amazing Studio Packed Audio File"},
    {".PMP", "Playstation Portable PMP Video File"},
    {".PVF", "Portable Voice Format Audio File"},
    {".QCP", "Qualcomm QCP Audio File"},
    {".RA", "Audio file in Real Audio format"},
    {".RM", "Video file in Real Media format"},
    {".RMVB", "Video file in Real Media Variable Bit Rate format"},
    {".ROQ", "Id Software ROQ Video File"},
    {".RPL", "RPL / ARMovie Video File"},
    {".SHN", "Shorten Audio File"},
    {".SMK", "Smacker Video File"},
    {".SPX", "Audio speech file in Speex format"},
    {".SWF", "ShockWave Flash Video File"},
    {".TTA", "Audio file in The True Audio Codec format"},
    {".TXD", "Renderware TeXture Dictionary Video File"},
    {".VMD", "Sierra VMD Video File"},
    {".VOB", "Video file in DVD format"},
    {".VOC", "Creative Voice Audio File"},
    {".VQF", "Nippon Telegraph & Telephone Co. TwinVQ Audio File"},
    {".W64", "Sony Wave64 Audio File"},
    {".WAV", "Audio file in Waveform Audio format"},
    {".WMA", "Audio file in Windows Media Audio format"},
    {".WMV", "Video file in Windows Media Video format"},
    {".WV", "Raw WavPack Audio File"},
    {".XA", "Maxis Audio File"},
    {".XMV", "Microsoft XBOX Audio/Video File"},
    {".XVID", "Video file in the free XVID format"},
    {".XWMA", "Microsoft XWMA Audio File"},
    {".YOP", "Psygnosis Game Video File"},
};

bool LessIgnoringCase(const std::string& a, const std::string& b) {
    return ::strcasecmp(a.c_str(), b.c_str()) < 0;
}

// Rewrites a list key in one replacement of the hive file; false when it could not be written.
bool RewriteListKey(const char* key, const std::vector<std::string>& extensions) {
    try {
        setup::RewriteListKey(key, extensions);
        return true;
    } catch (const std::exception& e) {
        DebugLog(DEBUG_GENERAL, "Configuration: cannot write [%s]: %s", key, e.what());
        return false;
    }
}

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
    std::string ignored;
    return winutils::WriteAndReplaceFile(target, target.string() + ".XXXXXX", bytes, 0644, ignored);
}

}  // namespace

Configuration::Configuration(std::optional<std::filesystem::path> programFolder)
    : winutils::ConfigurationBase(Preferences), programFolder_(std::move(programFolder)) {
    BuildKnownExtensions();
    DebugLog(DEBUG_GENERAL, "Configuration::Configuration: Save 'can associate to' file types");
    SaveCanAssociateToFileTypes();
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
    LoadAssociatedFileTypes();
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
        SaveAssociatedFileTypes();
        return false;
    }
    const bool listSaved = SaveAssociatedFileTypes();
    DebugLog(DEBUG_GENERAL, "Configuration::SavePreferences: END");
    return listSaved;
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
        if (line.starts_with("show_donate=")) {
            show_donate = ReadDecimal(ValueText(line.substr(12)).c_str());
        } else if (line.starts_with("show_info_")) {
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
        } else if (line.starts_with("code_x=")) {
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

bool SortedStringList::Add(const std::string& text) {
    const auto at = std::lower_bound(items_.begin(), items_.end(), text, LessIgnoringCase);
    if (at != items_.end() && ::strcasecmp(at->c_str(), text.c_str()) == 0) {
        return false;
    }
    items_.insert(at, text);
    return true;
}

int SortedStringList::IndexOf(const std::string& text) const {
    const auto at = std::lower_bound(items_.begin(), items_.end(), text, LessIgnoringCase);
    if (at != items_.end() && ::strcasecmp(at->c_str(), text.c_str()) == 0) {
        return static_cast<int>(at - items_.begin());
    }
    return -1;
}

void SortedStringList::Delete(int index) {
    if (index >= 0 && index < Count()) {
        items_.erase(items_.begin() + index);
    }
}

void Configuration::BuildKnownExtensions() {
    for (const ExtensionRow& row : kKnownExtensionRows) {
        AddKnownExtension(row.extension, true, row.description);
    }
}

void Configuration::AddKnownExtension(const std::string& extension, bool canAssociate,
                                      const std::string& description) {
    knownExtensions_.push_back(KnownExtension{extension, canAssociate, description});
}

bool Configuration::SaveCanAssociateToFileTypes() {
    std::vector<std::string> extensions;
    for (const KnownExtension& known : knownExtensions_) {
        if (known.CanAssociate) {
            extensions.push_back(known.Extension);
        }
    }
    return RewriteListKey(kCanAssociateKey, extensions);
}

bool Configuration::SaveAssociatedFileTypes() {
    if (!associationsKnown_) {
        DebugLog(DEBUG_GENERAL, "Configuration::SaveAssociatedFileTypes: keeping the stored list");
        return true;
    }
    return RewriteListKey(kAssociatedKey, AssociatedFileTypes.Items());
}

bool Configuration::SaveNotAssociatedFileTypes() {
    if (NotAssociatedFileTypes.Count() == 0) {
        return true;
    }
    return RewriteListKey(kNotAssociatedKey, NotAssociatedFileTypes.Items());
}

void Configuration::LoadAssociatedFileTypes() {
    AssociatedFileTypes.Clear();
    associationsKnown_ = false;
    try {
        platform::TRegistry reg(platform::HKEY_CURRENT_USER);
        if (reg.OpenKeyReadOnly(kAssociatedKey)) {
            for (const std::string& name : reg.GetValueNames()) {
                if (!name.empty()) {
                    AssociatedFileTypes.Add(name);
                }
            }
        } else {
            // Tells a missing key from a hive that cannot be read, which raises here.
            (void)reg.KeyExists(kPreferencesKey);
        }
        associationsKnown_ = true;
        if (AssociatedFileTypes.Count() == 0 && Preferences.FirstRun) {
            associations_pending = true;
            Preferences.FirstRun = false;
            for (const KnownExtension& known : knownExtensions_) {
                if (known.CanAssociate) {
                    AssociatedFileTypes.Add(known.Extension);
                }
            }
            // Loaded once for every extension; a desktop that cannot be asked owns none of them.
            setup::MimeDatabase database;
            try {
                database = setup::MimeDatabase::Load();
            } catch (const std::exception& e) {
                DebugLog(DEBUG_GENERAL, "Configuration::LoadAssociatedFileTypes: MIME database: %s", e.what());
            }
            for (const std::string& ext : AssociatedFileTypes.Items()) {
                if (CheckAssociationUsedByOther(ext, database)) {
                    NotAssociatedFileTypes.Add(ext);
                }
            }
            for (const std::string& ext : NotAssociatedFileTypes.Items()) {
                AssociatedFileTypes.Delete(AssociatedFileTypes.IndexOf(ext));
            }
            SaveAssociatedFileTypes();
            SaveNotAssociatedFileTypes();
        }
    } catch (const std::exception& e) {
        DebugLog(DEBUG_GENERAL,
                 "Configuration::LoadAssociatedFileTypes: EXCEPTION loading and checking extensions");
        DebugLog(DEBUG_GENERAL, "Configuration::LoadAssociatedFileTypes: %s", e.what());
    }
}

bool Configuration::RemoveAssociated(const std::string& extension) {
    const int index = AssociatedFileTypes.IndexOf(UpperCase(extension));
    if (index < 0) {
        return false;
    }
    AssociatedFileTypes.Delete(index);
    return true;
}

bool Configuration::CheckAssociationUsedByOther(const std::string& extension) {
    TRegExt regExt(extension, std::string(kProductWord) + extension);
    return regExt.CheckExtension() == 2;
}

bool Configuration::CheckAssociationUsedByOther(const std::string& extension,
                                                const setup::MimeDatabase& database) {
    TRegExt regExt(extension, std::string(kProductWord) + extension);
    return regExt.CheckExtension(database) == 2;
}

fs::path Configuration::ProgramFolder() const {
    if (programFolder_) {
        return *programFolder_;
    }
    const auto folder = platform::ProgramFolder();
    return folder ? fs::path(*folder) : fs::path();
}

std::string Configuration::AssociationSetterPath() const {
    std::string folder = ProgramFolder().string();
    winutils::AddTrailingBackslash(folder);
    return folder + kAssociationSetterName;
}

bool Configuration::SetFileAssociations() {
    const std::string path = AssociationSetterPath();
    DebugLog(DEBUG_GENERAL, "Configuration::SetFileAssociations: Call [%s]", path.c_str());
    const std::string parameters = Preferences.DebugMask.load() != 0 ? "-debug" : "";
    constexpr int kHidden = 0;
    if (!winutils::ShellExecuteAndWait(0, path, parameters, "", kHidden, 0)) {
        DebugLog(DEBUG_GENERAL, "Configuration::SetFileAssociations: cannot start the setter");
        AssociatedFileTypes.Clear();
        return false;
    }
    try {
        const std::vector<std::string> before = AssociatedFileTypes.Items();
        LoadAssociatedFileTypes();
        const std::vector<std::string>& after = AssociatedFileTypes.Items();
        if (before.size() != after.size()) {
            DebugLog(DEBUG_GENERAL,
                     "Configuration::SetFileAssociations: Mismatch in count. Before: %d After: %d",
                     static_cast<int>(before.size()), static_cast<int>(after.size()));
            return false;
        }
        for (size_t i = 0; i < before.size(); ++i) {
            if (UpperCase(before[i]) != UpperCase(after[i])) {
                DebugLog(DEBUG_GENERAL,
                         "Configuration::SetFileAssociations: Mismatch. Something didn't work.");
                return false;
            }
        }
    } catch (const std::exception& e) {
        DebugLog(DEBUG_GENERAL, "Configuration::SetFileAssociations: EXCEPTION %s", e.what());
        return false;
    }
    return true;
}

}  // namespace player
