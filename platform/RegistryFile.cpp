#include "platform/RegistryFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>
#include <unordered_map>

namespace platform {

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------------------------------------
// Names

namespace {

// Decodes one UTF-8 sequence at `pos`; a byte that starts no valid sequence stands for itself.
char32_t DecodeAt(std::string_view s, size_t& pos) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char lead = byte(pos);
    const int extra = lead >= 0xF0 && lead < 0xF5   ? 3
                      : lead >= 0xE0 && lead < 0xF0 ? 2
                      : lead >= 0xC2 && lead < 0xE0 ? 1
                                                    : 0;
    if (extra == 0) {
        ++pos;
        return lead;
    }
    char32_t cp = lead & (0x3F >> extra);
    for (int i = 1; i <= extra; ++i) {
        if (pos + i >= s.size() || (byte(pos + i) & 0xC0) != 0x80) {
            ++pos;
            return lead;
        }
        cp = (cp << 6) | (byte(pos + i) & 0x3F);
    }
    pos += extra + 1;
    return cp;
}

void Encode(char32_t cp, std::string& out) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

char32_t FoldCodePoint(char32_t c) {
    if (c >= 'A' && c <= 'Z') {
        return c + 0x20;
    }
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) {
        return c + 0x20;
    }
    if (c >= 0x100 && c <= 0x17F) {
        // Latin Extended-A pairs capital and small letters: even-odd, except in the two odd-even runs.
        const bool oddRun = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        if (c == 0x178) {
            return 0xFF;
        }
        if (c == 0x130 || c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) {
            return c;
        }
        return oddRun ? ((c & 1) ? c + 1 : c) : ((c & 1) ? c : c + 1);
    }
    if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) {
        return c + 0x20;
    }
    if (c >= 0x410 && c <= 0x42F) {
        return c + 0x20;
    }
    if (c >= 0x400 && c <= 0x40F) {
        return c + 0x50;
    }
    return c;
}

}  // namespace

std::string FoldName(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    size_t pos = 0;
    while (pos < name.size()) {
        const size_t start = pos;
        const char32_t cp = DecodeAt(name, pos);
        if (pos == start + 1 && static_cast<unsigned char>(name[start]) >= 0x80) {
            out += name[start];  // not UTF-8: kept as the byte it is
        } else {
            Encode(FoldCodePoint(cp), out);
        }
    }
    return out;
}

bool SameName(std::string_view a, std::string_view b) {
    return FoldName(a) == FoldName(b);
}

bool IsValidKeyName(std::string_view name) {
    if (name.empty()) {
        return false;
    }
    for (char ch : name) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\\' || c < 0x20 || c == 0x7F) {
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------------------------------------------------
// The tree

RegEntry* RegKeyNode::FindValue(std::string_view valueName) {
    const std::string folded = FoldName(valueName);
    for (RegEntry& e : entries) {
        if (e.kind != RegEntry::Kind::Comment && FoldName(e.name) == folded) {
            return &e;
        }
    }
    return nullptr;
}

const RegEntry* RegKeyNode::FindValue(std::string_view valueName) const {
    return const_cast<RegKeyNode*>(this)->FindValue(valueName);
}

RegKeyNode* RegKeyNode::FindSubKey(std::string_view keyName) {
    const std::string folded = FoldName(keyName);
    for (RegKeyNode& k : subKeys) {
        if (FoldName(k.name) == folded) {
            return &k;
        }
    }
    return nullptr;
}

const RegKeyNode* RegKeyNode::FindSubKey(std::string_view keyName) const {
    return const_cast<RegKeyNode*>(this)->FindSubKey(keyName);
}

RegKeyNode* RegKeyNode::Find(const std::vector<std::string>& path) {
    RegKeyNode* node = this;
    for (const std::string& part : path) {
        node = node->FindSubKey(part);
        if (!node) {
            return nullptr;
        }
    }
    return node;
}

const RegKeyNode* RegKeyNode::Find(const std::vector<std::string>& path) const {
    return const_cast<RegKeyNode*>(this)->Find(path);
}

RegKeyNode& RegKeyNode::FindOrCreate(const std::vector<std::string>& path, bool& created) {
    RegKeyNode* node = this;
    for (const std::string& part : path) {
        RegKeyNode* next = node->FindSubKey(part);
        if (!next) {
            node->subKeys.push_back(RegKeyNode{part, {}, {}});
            next = &node->subKeys.back();
            created = true;
        }
        node = next;
    }
    return *node;
}

// ---------------------------------------------------------------------------------------------------------
// Parsing

ERegistryFormatError::ERegistryFormatError(const std::string& source, int line, const std::string& reason)
    : ERegistryException(source + ":" + std::to_string(line) + ": " + reason), line_(line) {}

namespace {

std::string_view TrimRight(std::string_view s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
}

std::string_view TrimLeft(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    return s;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && FoldName(s.substr(0, prefix.size())) == FoldName(prefix);
}

class HiveParser {
public:
    HiveParser(std::string_view text, const std::string& rootName, const std::string& source)
        : source_(source) {
        hive_.rootName = rootName;
        if (text.substr(0, 3) == "\xEF\xBB\xBF") {
            text.remove_prefix(3);
        }
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string_view::npos) {
                end = text.size();
            }
            std::string_view line = text.substr(start, end - start);
            if (!line.empty() && line.back() == '\r') {
                line.remove_suffix(1);
            }
            lines_.push_back(line);
            start = end + 1;
        }
    }

    RegHive Parse() {
        if (lines_.empty()) {
            return std::move(hive_);
        }
        if (TrimRight(lines_[0]) != "REGEDIT4") {
            Fail(1, "the file does not begin with \"REGEDIT4\"");
        }
        for (index_ = 1; index_ < lines_.size(); ++index_) {
            ParseLine(lines_[index_]);
        }
        return std::move(hive_);
    }

private:
    [[noreturn]] void Fail(size_t lineNo, const std::string& reason) const {
        throw ERegistryFormatError(source_, static_cast<int>(lineNo), reason);
    }
    [[noreturn]] void Fail(const std::string& reason) const { Fail(index_ + 1, reason); }

    void ParseLine(std::string_view raw) {
        const std::string_view line = TrimLeft(TrimRight(raw));
        if (line.empty()) {
            return;
        }
        if (line.front() == ';') {
            RegEntry comment{RegEntry::Kind::Comment, {}, std::string(raw), 0};
            if (key_) {
                key_->entries.push_back(std::move(comment));
            } else {
                hive_.preamble.emplace_back(raw);
            }
        } else if (line.front() == '[') {
            ParseSection(line);
        } else if (line.front() == '"' || line.front() == '@') {
            ParseValue(line);
        } else {
            Fail("the line is neither a key, a value nor a comment");
        }
    }

    void ParseSection(std::string_view line) {
        if (line.back() != ']') {
            Fail("the key line does not end with ']'");
        }
        const std::string_view inner = line.substr(1, line.size() - 2);
        std::vector<std::string> parts;
        size_t start = 0;
        while (true) {
            const size_t end = inner.find('\\', start);
            parts.emplace_back(inner.substr(start, end == std::string_view::npos ? end : end - start));
            if (end == std::string_view::npos) {
                break;
            }
            start = end + 1;
        }
        if (!SameName(parts.front(), hive_.rootName)) {
            Fail("the key is not in " + hive_.rootName);
        }
        parts.erase(parts.begin());
        for (const std::string& part : parts) {
            if (!IsValidKeyName(part)) {
                Fail("the key path holds an empty or invalid name");
            }
        }
        bool created = false;
        key_ = &hive_.root.FindOrCreate(parts, created);
        std::string folded;
        for (const std::string& part : parts) {
            folded += FoldName(part) + '\\';
        }
        keyValues_ = &valueIndex_[folded];
    }

    void ParseValue(std::string_view line) {
        if (!key_) {
            Fail("a value comes before any key");
        }
        size_t pos = 0;
        std::string name;
        if (line.front() == '@') {
            pos = 1;
        } else {
            name = ParseQuoted(line, pos);
        }
        if (pos >= line.size() || line[pos] != '=') {
            Fail("'=' is missing after the value name");
        }
        ++pos;
        RegEntry entry = ParseData(line.substr(pos));
        entry.name = std::move(name);
        const auto [slot, added] = keyValues_->try_emplace(FoldName(entry.name), key_->entries.size());
        if (added) {
            key_->entries.push_back(std::move(entry));
        } else {
            // A repeated value replaces the earlier one, as an import does.
            RegEntry& existing = key_->entries[slot->second];
            entry.name = existing.name;
            existing = std::move(entry);
        }
    }

    RegEntry ParseData(std::string_view data) {
        RegEntry entry;
        if (!data.empty() && data.front() == '"') {
            size_t pos = 0;
            entry.kind = RegEntry::Kind::String;
            entry.text = ParseQuoted(data, pos);
            if (!TrimLeft(data.substr(pos)).empty()) {
                Fail("text follows the closing quote");
            }
        } else if (StartsWithNoCase(data, "dword:")) {
            entry.kind = RegEntry::Kind::Dword;
            entry.dword = ParseDword(TrimRight(data.substr(6)));
        } else if (IsTypedData(data)) {
            entry.kind = RegEntry::Kind::Other;
            entry.text = std::string(data);
            // Binary data goes on over lines that end with a backslash; they are kept as written.
            while (!TrimRight(lines_[index_]).empty() && TrimRight(lines_[index_]).back() == '\\' &&
                   index_ + 1 < lines_.size()) {
                ++index_;
                entry.text += '\n';
                entry.text += lines_[index_];
            }
        } else {
            Fail("the value's data is neither a text, a dword nor typed data");
        }
        return entry;
    }

    std::uint32_t ParseDword(std::string_view digits) {
        if (digits.empty() || digits.size() > 8) {
            Fail("a dword needs 1 to 8 hexadecimal digits");
        }
        std::uint32_t value = 0;
        for (char c : digits) {
            const int d = HexDigit(c);
            if (d < 0) {
                Fail("a dword needs 1 to 8 hexadecimal digits");
            }
            value = (value << 4) | static_cast<std::uint32_t>(d);
        }
        return value;
    }

    // "hex:", "hex(2):" and the like: a type word of letters, digits and parentheses, then ':'.
    static bool IsTypedData(std::string_view data) {
        const size_t colon = data.find(':');
        if (colon == 0 || colon == std::string_view::npos) {
            return false;
        }
        for (char c : data.substr(0, colon)) {
            if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '(' || c == ')')) {
                return false;
            }
        }
        return true;
    }

    // Reads a quoted text starting at `pos` (on the opening quote); leaves `pos` after the closing one.
    std::string ParseQuoted(std::string_view line, size_t& pos) {
        std::string out;
        ++pos;
        while (pos < line.size()) {
            const char c = line[pos++];
            if (c == '"') {
                return out;
            }
            if (c != '\\') {
                out += c;
                continue;
            }
            if (pos >= line.size()) {
                break;
            }
            const char e = line[pos++];
            switch (e) {
                case '\\':
                    out += '\\';
                    break;
                case '"':
                    out += '"';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'x': {
                    const int hi = pos < line.size() ? HexDigit(line[pos]) : -1;
                    const int lo = pos + 1 < line.size() ? HexDigit(line[pos + 1]) : -1;
                    if (hi < 0 || lo < 0) {
                        Fail("\\x needs two hexadecimal digits");
                    }
                    out += static_cast<char>(hi * 16 + lo);
                    pos += 2;
                    break;
                }
                default:
                    Fail(std::string("unknown escape \\") + e);
            }
        }
        Fail("a quoted text has no closing quote");
    }

    std::string source_;
    std::vector<std::string_view> lines_;
    size_t index_ = 0;
    RegHive hive_;
    RegKeyNode* key_ = nullptr;
    // Per key (by folded path), the position of each value by folded name, so that a large key parses
    // in linear time.
    std::unordered_map<std::string, std::unordered_map<std::string, size_t>> valueIndex_;
    std::unordered_map<std::string, size_t>* keyValues_ = nullptr;
};

void AppendQuoted(std::string_view text, std::string& out) {
    static const char* const kHex = "0123456789abcdef";
    out += '"';
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (ch) {
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    out += "\\x";
                    out += kHex[c >> 4];
                    out += kHex[c & 15];
                } else {
                    out += ch;
                }
        }
    }
    out += '"';
}

void AppendEntry(const RegEntry& e, std::string& out) {
    if (e.kind == RegEntry::Kind::Comment) {
        out += e.text;
        out += '\n';
        return;
    }
    if (e.name.empty()) {
        out += '@';
    } else {
        AppendQuoted(e.name, out);
    }
    out += '=';
    switch (e.kind) {
        case RegEntry::Kind::String:
            AppendQuoted(e.text, out);
            break;
        case RegEntry::Kind::Dword: {
            char buf[16];
            std::snprintf(buf, sizeof buf, "dword:%08x", e.dword);
            out += buf;
            break;
        }
        default:
            out += e.text;
            break;
    }
    out += '\n';
}

void AppendKey(const RegKeyNode& key, const std::string& path, bool isRoot, std::string& out) {
    if (!isRoot || !key.entries.empty()) {
        out += "\n[" + path + "]\n";
        for (const RegEntry& e : key.entries) {
            AppendEntry(e, out);
        }
    }
    for (const RegKeyNode& sub : key.subKeys) {
        AppendKey(sub, path + "\\" + sub.name, false, out);
    }
}

}  // namespace

RegHive ParseHive(std::string_view text, const std::string& rootName, const std::string& source) {
    return HiveParser(text, rootName, source).Parse();
}

std::string SerialiseHive(const RegHive& hive) {
    std::string out = "REGEDIT4\n";
    for (const std::string& line : hive.preamble) {
        out += line + '\n';
    }
    AppendKey(hive.root, hive.rootName, true, out);
    out += '\n';
    return out;
}

// ---------------------------------------------------------------------------------------------------------
// The file

namespace {

constexpr auto kLockTimeout = std::chrono::seconds(20);

std::string ErrnoText(const std::string& what, const fs::path& path, int err) {
    return what + " " + path.string() + ": " + std::strerror(err);
}

// Writes all bytes, going on after short writes and interruptions.
bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

void SyncFolder(const fs::path& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        throw ERegistryException(ErrnoText("cannot open the folder", folder, errno));
    }
    const int rc = ::fsync(fd);
    const int err = errno;
    ::close(fd);
    if (rc != 0) {
        throw ERegistryException(ErrnoText("cannot sync the folder", folder, err));
    }
}

void MakeFolder(const fs::path& folder) {
    std::error_code ec;
    if (fs::is_directory(folder, ec)) {
        return;
    }
    if (folder.has_parent_path() && folder.parent_path() != folder) {
        MakeFolder(folder.parent_path());
    }
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        throw ERegistryException(ErrnoText("cannot create the folder", folder, errno));
    }
}

std::string UtcStamp() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y%m%dT%H%M%SZ", &utc);
    return buf;
}

}  // namespace

HiveFile::Fd& HiveFile::Fd::operator=(Fd&& other) noexcept {
    if (this != &other) {
        Reset();
        fd_ = other.Release();
    }
    return *this;
}

int HiveFile::Fd::Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void HiveFile::Fd::Reset() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

HiveFile::HiveFile(fs::path file, std::string rootName)
    : file_(std::move(file)), rootName_(std::move(rootName)) {
    hive_.rootName = rootName_;
}

const RegHive& HiveFile::Current() {
    Reload();
    if (error_) {
        std::rethrow_exception(error_);
    }
    return hive_;
}

void HiveFile::Reload() {
    struct stat st {};
    if (::stat(file_.c_str(), &st) != 0) {
        const int err = errno;
        cachedFd_.Reset();
        loaded_ = false;
        malformed_ = false;
        badBytes_.clear();
        hive_ = RegHive{rootName_, {}, {}};
        error_ = err == ENOENT
                     ? nullptr
                     : std::make_exception_ptr(ERegistryException(ErrnoText("cannot read", file_, err)));
        return;
    }
    if (loaded_ && st.st_dev == cached_.dev && st.st_ino == cached_.ino && st.st_size == cached_.size &&
        st.st_mtim.tv_sec == cached_.mtime.tv_sec && st.st_mtim.tv_nsec == cached_.mtime.tv_nsec) {
        return;
    }
    Fd fd(::open(file_.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd || ::fstat(fd.Get(), &st) != 0) {
        const int err = errno;
        loaded_ = false;
        error_ = std::make_exception_ptr(ERegistryException(ErrnoText("cannot read", file_, err)));
        return;
    }
    LoadFrom(std::move(fd), Snapshot{st.st_dev, st.st_ino, st.st_size, st.st_mtim});
}

void HiveFile::LoadFrom(Fd fd, const Snapshot& snap) {
    std::string bytes;
    char buf[65536];
    while (true) {
        const ssize_t n = ::read(fd.Get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            loaded_ = false;
            error_ = std::make_exception_ptr(ERegistryException(ErrnoText("cannot read", file_, errno)));
            return;
        }
        if (n == 0) {
            break;
        }
        bytes.append(buf, static_cast<size_t>(n));
    }
    cachedFd_ = std::move(fd);
    cached_ = snap;
    loaded_ = true;
    try {
        hive_ = ParseHive(bytes, rootName_, file_.string());
        error_ = nullptr;
        malformed_ = false;
        badBytes_.clear();
    } catch (const ERegistryFormatError&) {
        error_ = std::current_exception();
        malformed_ = true;
        badBytes_ = std::move(bytes);
        hive_ = RegHive{rootName_, {}, {}};
    }
}

HiveFile::Fd HiveFile::LockFile() {
    MakeFolder(file_.parent_path());
    const fs::path lockPath = file_.string() + ".lock";
    Fd fd(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!fd) {
        throw ERegistryException(ErrnoText("cannot open the lock file", lockPath, errno));
    }
    // Holders keep the lock for one load and save only; a holder that never lets go is reported, not
    // waited for forever.
    const auto deadline = std::chrono::steady_clock::now() + kLockTimeout;
    auto pause = std::chrono::microseconds(200);
    while (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            throw ERegistryException(ErrnoText("cannot lock", lockPath, errno));
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            throw ERegistryException("timed out waiting for the lock " + lockPath.string());
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(10000));
    }
    return fd;
}

void HiveFile::RemoveStaleTemporaries() {
    // Temporary files are only written under the lock, so any found while holding it were left by a
    // process that died while saving.
    const std::string prefix = file_.filename().string() + ".tmp-";
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(file_.parent_path(), ec)) {
        if (entry.path().filename().string().rfind(prefix, 0) == 0) {
            std::error_code ignored;
            fs::remove(entry.path(), ignored);
        }
    }
}

void HiveFile::SetAside(const std::string& bytes) {
    const std::string base = file_.string() + ".bad-" + UtcStamp();
    fs::path target = base;
    Fd fd;
    for (int n = 2; n < 1000; ++n) {
        fd = Fd(::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (fd || errno != EEXIST) {
            break;
        }
        target = base + "-" + std::to_string(n);
    }
    if (!fd || !WriteAll(fd.Get(), bytes) || ::fsync(fd.Get()) != 0) {
        throw ERegistryException(ErrnoText("cannot keep a copy of the malformed", file_, errno));
    }
    fd.Reset();
    SyncFolder(file_.parent_path());
    std::string reason = "malformed";
    try {
        std::rethrow_exception(error_);
    } catch (const std::exception& e) {
        reason = e.what();
    }
    std::fprintf(stderr, "registry: %s; the file was kept as %s and a new one started\n", reason.c_str(),
                 target.c_str());
}

void HiveFile::Save(const RegHive& hive) {
    static std::atomic<unsigned> counter{0};
    const std::string text = SerialiseHive(hive);
    const fs::path temp =
        file_.string() + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
    Fd fd(::open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!fd) {
        throw ERegistryException(ErrnoText("cannot create", temp, errno));
    }
    struct stat st {};
    if (!WriteAll(fd.Get(), text) || ::fsync(fd.Get()) != 0 || ::fstat(fd.Get(), &st) != 0 ||
        ::rename(temp.c_str(), file_.c_str()) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        throw ERegistryException(ErrnoText("cannot save", file_, err));
    }
    SyncFolder(file_.parent_path());
    cachedFd_ = std::move(fd);
    cached_ = Snapshot{st.st_dev, st.st_ino, st.st_size, st.st_mtim};
    loaded_ = true;
    hive_ = hive;
    error_ = nullptr;
    malformed_ = false;
    badBytes_.clear();
}

void HiveFile::Modify(const std::function<bool(RegHive&)>& change) {
    const Fd lock = LockFile();
    RemoveStaleTemporaries();
    Reload();
    if (error_ && !malformed_) {
        std::rethrow_exception(error_);
    }
    RegHive work = malformed_ ? RegHive{rootName_, {}, {}} : hive_;
    bool changed = false;
    try {
        changed = change(work);
    } catch (const ERegistryException&) {
        // On a malformed hive the caller learns about the file rather than about a key that the fresh
        // hive does not have.
        if (malformed_) {
            std::rethrow_exception(error_);
        }
        throw;
    }
    if (!changed) {
        if (error_) {
            std::rethrow_exception(error_);
        }
        return;
    }
    if (malformed_) {
        SetAside(badBytes_);
    }
    Save(work);
}

}  // namespace platform
