#include "pollwick/Configuration.h"

#include <cctype>
#include <charconv>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <system_error>
#include <vector>

#include "platform/Registry.h"
#include "platform/SpecialFolders.h"
#include "pollwick/Winutils_pollwick.h"
#include "winutils/Winutils.h"
#include "winutils/Winutils_filesfolders.h"
#include "winutils/Winutils_screen.h"
#include "winutils/Winutils_string.h"

namespace pollwick {

Configuration* config = nullptr;

namespace {

namespace fs = std::filesystem;
using winutils::DebugLog;
using winutils::Trim;

constexpr unsigned kApplicationDataCode = 6;

struct ProxyAddress {
    std::string host;
    int32_t port = 0;
};

// The key=value lines of a settings file. A key is found without regard to letter case; the first line
// whose part before its first "=" equals the key wins, and the value is the rest of that line, untrimmed.
class KeyValueLines {
public:
    // False when the file cannot be read.
    bool Load(const fs::path& file) {
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            return false;
        }
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            lines_.push_back(std::move(line));
        }
        return !in.bad();
    }

    std::string Value(const std::string& key) const {
        for (const std::string& line : lines_) {
            const size_t equals = line.find('=');
            if (equals != std::string::npos && SameKey(line.substr(0, equals), key)) {
                return line.substr(equals + 1);
            }
        }
        return "";
    }

private:
    static bool SameKey(const std::string& a, const std::string& b) {
        if (a.size() != b.size()) {
            return false;
        }
        for (size_t i = 0; i < a.size(); ++i) {
            if (std::tolower(static_cast<unsigned char>(a[i])) !=
                std::tolower(static_cast<unsigned char>(b[i]))) {
                return false;
            }
        }
        return true;
    }

    std::vector<std::string> lines_;
};

// A decimal number, blanks around it allowed; nullopt when the text is not one or does not fit.
template <typename T>
std::optional<T> ParseNumber(const std::string& text) {
    const std::string trimmed = Trim(text);
    const char* begin = trimmed.data();
    const char* end = begin + trimmed.size();
    if (begin != end && *begin == '+') {
        ++begin;
    }
    T number{};
    const auto [stop, error] = std::from_chars(begin, end, number);
    if (error != std::errc() || stop != end || begin == end) {
        return std::nullopt;
    }
    return number;
}

// Stored texts came from the update server; a line break in them would forge other keys of the file.
std::string WithoutControlCharacters(const std::string& text) {
    std::string clean;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7F) {
            clean += c;
        }
    }
    return clean;
}

void LoadInt32(const KeyValueLines& lines, const char* key, int32_t& member,
               const std::function<void(int32_t&)>& clamp = {}) {
    const std::string text = lines.Value(key);
    if (text.empty()) {
        return;
    }
    if (const auto number = ParseNumber<int32_t>(text)) {
        member = *number;
    }
    if (clamp) {
        clamp(member);
    }
}

std::function<void(int32_t&)> ClampTo(int32_t low, int32_t high, int32_t replacement) {
    return [=](int32_t& value) {
        if (value < low || value > high) {
            value = replacement;
        }
    };
}

const char* const kInternetSettingsKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

// "host:port"; a text without ":" or with a port that is not a number raises, so nothing is set from it.
ProxyAddress SplitHostPort(const std::string& text) {
    const size_t colon = text.find(':');
    const std::string portText = colon == std::string::npos ? text : text.substr(colon + 1);
    const auto port = ParseNumber<int32_t>(portText);
    if (colon == std::string::npos || !port) {
        throw std::invalid_argument("proxy port is not a number: " + portText);
    }
    return {text.substr(0, colon), *port};
}

// The value of "<protocol>=" in a list of entries separated by ";", up to the next ";".
std::optional<std::string> ProtocolEntry(const std::string& list, const std::string& prefix) {
    const size_t start = list.find(prefix);
    if (start == std::string::npos) {
        return std::nullopt;
    }
    const std::string rest = list.substr(start + prefix.size());
    return rest.substr(0, rest.find(';'));
}

// A proxy variable in the usual form "[scheme://][user:password@]host[:port][/]"; nullopt when it is
// unset or names no host. A missing or malformed port gives 0 (the client's default).
std::optional<ProxyAddress> ProxyFromEnvironment(const char* variable) {
    const char* value = std::getenv(variable);
    if (value == nullptr) {
        return std::nullopt;
    }
    std::string text = Trim(value);
    if (const size_t scheme = text.find("://"); scheme != std::string::npos) {
        text.erase(0, scheme + 3);
    }
    text = text.substr(0, text.find('/'));
    if (const size_t at = text.rfind('@'); at != std::string::npos) {
        text.erase(0, at + 1);
    }
    ProxyAddress address;
    size_t colon = text.rfind(':');
    if (!text.empty() && text.front() == '[') {  // [IPv6]:port
        const size_t close = text.find(']');
        colon = close == std::string::npos ? std::string::npos : text.find(':', close);
    }
    address.host = text.substr(0, colon);
    if (colon != std::string::npos) {
        address.port = ParseNumber<int32_t>(text.substr(colon + 1)).value_or(0);
    }
    if (address.host.empty()) {
        return std::nullopt;
    }
    return address;
}

}  // namespace

Configuration::Configuration(std::optional<std::filesystem::path> programFolder)
    : winutils::ConfigurationBase(Preferences) {
    if (programFolder) {
        programFolder_ = *programFolder;
    } else if (auto folder = platform::ProgramFolder()) {
        programFolder_ = *folder;
    }
    Preferences.TempFolder = GetTempFolder();

    DebugLog(winutils::DEBUG_GENERAL, "Configuration::Configuration: Create prefsUpdateLock mutex");
    if (!createPrefsLock()) {
        winutils::ShowWarningMessage(
            "%s",
            GetText("CFG_5", "Could not create Preferences lock. Please free some resources and try again.")
                .c_str());
        winutils::RequestApplicationTerminate();
        return;
    }
    install_time = static_cast<int32_t>(std::time(nullptr));
    loaded = load();
}

Configuration::~Configuration() = default;

bool Configuration::load() {
    readProxySettings();
    const bool result = readUpdatesCfg();
    loadPersistentState();
    return result;
}

void Configuration::readProxySettings() {
    try {
        platform::TRegistry registry(platform::HKEY_CURRENT_USER);
        if (!registry.OpenKeyReadOnly(kInternetSettingsKey)) {
            ReadEnvironmentProxySettings();
            return;
        }
        if (registry.ValueExists("ProxyEnable")) {
            UseProxy = registry.ReadInteger("ProxyEnable") > 0;
        }
        if (UseProxy && registry.ValueExists("ProxyServer")) {
            ApplyProxyServer(registry.ReadString("ProxyServer"));
        }
    } catch (const std::exception&) {
        // A registry or number error ends the reading; what was read so far stays.
    }
}

void Configuration::ApplyProxyServer(const std::string& server) {
    if (server.find(';') == std::string::npos) {
        const ProxyAddress address = SplitHostPort(server);
        HttpProxyHost = HttpsProxyHost = address.host;
        HttpProxyPort = HttpsProxyPort = address.port;
        return;
    }
    if (auto entry = ProtocolEntry(server, "http=")) {
        const ProxyAddress address = SplitHostPort(*entry);
        HttpProxyHost = address.host;
        HttpProxyPort = address.port;
    }
    if (auto entry = ProtocolEntry(server, "https=")) {
        const ProxyAddress address = SplitHostPort(*entry);
        HttpsProxyHost = address.host;
        HttpsProxyPort = address.port;
    }
}

void Configuration::ReadEnvironmentProxySettings() {
    if (const auto address = ProxyFromEnvironment("http_proxy")) {
        UseProxy = true;
        HttpProxyHost = address->host;
        HttpProxyPort = address->port;
    }
    if (const auto address = ProxyFromEnvironment("https_proxy")) {
        UseProxy = true;
        HttpsProxyHost = address->host;
        HttpsProxyPort = address->port;
    }
}

bool Configuration::readUpdatesCfg() {
    if (programFolder_.empty()) {
        return false;
    }
    std::string path = programFolder_.string();
    winutils::AddTrailingBackslash(path);
    path += "updates.cfg";
    std::error_code ec;
    if (!fs::exists(path, ec)) {
        return false;
    }

    KeyValueLines lines;
    const bool readOk = lines.Load(path);
    name = lines.Value("name");
    url = lines.Value("url");
    id = lines.Value("id");
    version = lines.Value("version");
    version_txt = lines.Value("version_txt");
    language = lines.Value("language");
    aff = lines.Value("aff");
    support_email = lines.Value("support_email");

    std::string data;
    if (!winutils::GetSpecialFolderPath(kApplicationDataCode, data)) {
        data = fs::current_path(ec).string();
    }
    winutils::AddTrailingBackslash(data);
    Preferences.LogFile = data + name + "/log.txt";
    Preferences.LogFile1 = data + name + "/log.1.txt";
    Preferences.LogFile2 = data + name + "/log.2.txt";
    Preferences.PersonalFolder = data + name + "/";
    return readOk;
}

std::string Configuration::getDatabaseFile(const std::string& productName) {
    std::string folder;
    // Without the application-data folder there is no sound place for the state; nothing is read or
    // written then (rather than falling back to the root folder).
    if (!winutils::GetSpecialFolderPath(kApplicationDataCode, folder)) {
        return "";
    }
    folder += productName;
    winutils::AddTrailingBackslash(folder);
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) {
        DebugLog(winutils::DEBUG_GENERAL, "Configuration::getDatabaseFile: Creating personal folder: %s",
                 folder.c_str());
        // A fresh account may lack the configuration folder itself, so missing parents are made too.
        fs::create_directories(folder, ec);
    }
    if (fs::is_directory(folder, ec)) {
        DebugLog(winutils::DEBUG_GENERAL, "Configuration::getDatabaseFile: Personal folder found: %s",
                 folder.c_str());
        return folder + "updcheck.cfg";
    }
    return folder;
}

bool Configuration::loadPersistentState() {
    const std::string path = getDatabaseFile(name);
    std::error_code ec;
    if (path.empty() || !fs::is_regular_file(path, ec)) {
        return false;
    }
    KeyValueLines lines;
    if (!lines.Load(path)) {
        return false;
    }
    LoadInt32(lines, "last_check_time", last_check_time);
    LoadInt32(lines, "install_time", install_time);
    LoadInt32(lines, "days_between_checks", days_between_checks, ClampTo(0, 30, 30));
    LoadInt32(lines, "days_between_displays", days_between_displays, ClampTo(0, 30, 3));
    LoadInt32(lines, "delay_min_after_startup", delay_min_after_startup, ClampTo(0, 60, 3));
    LoadInt32(lines, "last_version_shown_time", last_version_shown_time);
    if (const std::string text = lines.Value("install_id"); !text.empty()) {
        if (const auto number = ParseNumber<int64_t>(text)) {
            install_id = *number;
        }
    }
    if (const std::string text = lines.Value("no_ads"); !text.empty()) {
        const std::string flag = Trim(text);
        no_ads = flag == "Y" || flag == "y";
    }
    last_version_shown = WithoutControlCharacters(lines.Value("last_version_shown"));
    ignore_version = WithoutControlCharacters(lines.Value("ignore_version"));
    return true;
}

bool Configuration::savePersistentState() {
    std::string text;
    const auto add = [&text](const char* key, const std::string& value) {
        const std::string clean = WithoutControlCharacters(value);
        if (!clean.empty()) {
            text += std::string(key) + "=" + clean + "\r\n";
        }
    };
    add("last_check_time", std::to_string(last_check_time));
    add("install_time", std::to_string(install_time));
    add("days_between_checks", std::to_string(days_between_checks));
    add("days_between_displays", std::to_string(days_between_displays));
    add("delay_min_after_startup", std::to_string(delay_min_after_startup));
    add("last_version_shown_time", std::to_string(last_version_shown_time));
    add("install_id", std::to_string(install_id));
    add("no_ads", no_ads ? "Y" : "N");
    add("last_version_shown", last_version_shown);
    add("ignore_version", ignore_version);
    // Private to the user (mode 0600), as the file of a temporary name that it replaces.
    const fs::path file = getDatabaseFile(name);
    std::string error;
    return file.has_filename() &&
           winutils::WriteAndReplaceFile(file, file.string() + ".XXXXXX", text, 0600, error);
}

DownloadSettings Configuration::ToDownloadSettings() const {
    DownloadSettings settings;
    settings.personalFolder = Preferences.PersonalFolder;
    settings.timeoutSeconds = Preferences.TimeoutSeconds;
    settings.userAgent = Preferences.UserAgent;
    settings.referer = Preferences.Referer;
    settings.attempts = Preferences.Attempts;
    settings.useProxy = UseProxy;
    settings.httpProxyHost = HttpProxyHost;
    settings.httpProxyPort = HttpProxyPort;
    settings.httpsProxyHost = HttpsProxyHost;
    settings.httpsProxyPort = HttpsProxyPort;
    settings.supportEmail = support_email;
    return settings;
}

}  // namespace pollwick
