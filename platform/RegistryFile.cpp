#include "platform/RegistryFile.h"

#include "platform/RegistryLock.h"

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

void RegKeyNode::CopyOwnContent(const RegKeyNode& other) {
    name = other.name;
    entries = other.entries;
    header = other.header;
    trailer = other.trailer;
}

RegKeyNode::RegKeyNode(const RegKeyNode& other) {
    *this = other;
}

RegKeyNode& RegKeyNode::operator=(const RegKeyNode& other) {
    if (this == &other) {
        return *this;
    }
    RegKeyNode copy;
    // Level by level: each pair is a source key and its copy, whose sub-keys are still to be made.
    std::vector<std::pair<const RegKeyNode*, RegKeyNode*>> pending{{&other, &copy}};
    while (!pending.empty()) {
        const auto [from, to] = pending.back();
        pending.pop_back();
        to->CopyOwnContent(*from);
        to->subKeys.resize(from->subKeys.size());
        for (size_t i = 0; i < from->subKeys.size(); ++i) {
            pending.emplace_back(&from->subKeys[i], &to->subKeys[i]);
        }
    }
    return *this = std::move(copy);
}

RegKeyNode& RegKeyNode::operator=(RegKeyNode&& other) noexcept {
    if (this != &other) {
        // The old sub-keys go through the destructor below, which does not recurse.
        RegKeyNode old(std::move(*this));
        name = std::move(other.name);
        entries = std::move(other.entries);
        subKeys = std::move(other.subKeys);
        header = std::move(other.header);
        trailer = std::move(other.trailer);
    }
    return *this;
}

RegKeyNode::~RegKeyNode() {
    // Sub-keys are taken out before they are destroyed, so each destructor meets no nested keys.
    std::vector<RegKeyNode> pending = std::move(subKeys);
    while (!pending.empty()) {
        RegKeyNode node = std::move(pending.back());
        pending.pop_back();
        for (RegKeyNode& sub : node.subKeys) {
            pending.push_back(std::move(sub));
        }
        node.subKeys.clear();
    }
}

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
            node->subKeys.emplace_back(part);
            next = &node->subKeys.back();
            created = true;
        }
        node = next;
    }
    return *node;
}

// ---------------------------------------------------------------------------------------------------------
// Parsing

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

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16LeBom = "\xFF\xFE";

bool IsHeaderLine(std::string_view line) {
    line = TrimRight(line);
    return line == "REGEDIT4" || line == "Windows Registry Editor Version 5.00";
}

// UTF-16LE to UTF-8. A lone surrogate is carried as its own three-byte form, so that it comes back.
std::string Utf16LeToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    const auto unitAt = [&](size_t i) {
        return static_cast<char32_t>(static_cast<unsigned char>(bytes[i]) |
                                     (static_cast<unsigned char>(bytes[i + 1]) << 8));
    };
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        char32_t unit = unitAt(i);
        if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < bytes.size()) {
            const char32_t low = unitAt(i + 2);
            if (low >= 0xDC00 && low < 0xE000) {
                unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        Encode(unit, out);
    }
    return out;
}

std::string Utf8ToUtf16Le(std::string_view text) {
    std::string out;
    out.reserve(text.size() * 2);
    const auto unit = [&](char32_t u) {
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>((u >> 8) & 0xFF);
    };
    for (size_t pos = 0; pos < text.size();) {
        const char32_t cp = DecodeAt(text, pos);
        if (cp >= 0x10000) {
            unit(0xD800 + ((cp - 0x10000) >> 10));
            unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            unit(cp);
        }
    }
    return out;
}

// Raised inside the parser for a line that cannot be read; the line is then kept as written.
struct UnreadableLine {
    std::string reason;
};

class HiveParser {
public:
    HiveParser(std::string_view bytes, const std::string& rootName) : hive_(rootName) {
        SplitLines(Decode(bytes));
    }

    RegHive Parse() {
        size_t first = 0;
        if (!lines_.empty() && IsHeaderLine(lines_[0])) {
            hive_.header = std::string(lines_[0]);
            first = 1;
        }
        for (index_ = first; index_ < lines_.size(); ++index_) {
            ParseLine(lines_[index_]);
        }
        const bool blank = std::all_of(lines_.begin(), lines_.end(),
                                       [](std::string_view line) { return TrimLeft(TrimRight(line)).empty(); });
        hive_.recognised = first == 1 || sawSection_ || blank;
        return std::move(hive_);
    }

private:
    std::string_view Decode(std::string_view bytes) {
        if (bytes.substr(0, kUtf16LeBom.size()) == kUtf16LeBom) {
            hive_.encoding = RegHive::Encoding::Utf16Le;
            decoded_ = Utf16LeToUtf8(bytes.substr(kUtf16LeBom.size()));
            return decoded_;
        }
        if (bytes.substr(0, kUtf8Bom.size()) == kUtf8Bom) {
            hive_.encoding = RegHive::Encoding::Utf8WithBom;
            bytes.remove_prefix(kUtf8Bom.size());
        }
        return bytes;
    }

    // Lines end with CR LF, LF or CR; the first line end found is the one the file is written back with.
    void SplitLines(std::string_view text) {
        bool endSeen = false;
        size_t pos = 0;
        while (pos < text.size()) {
            const size_t end = text.find_first_of("\r\n", pos);
            if (end == std::string_view::npos) {
                lines_.push_back(text.substr(pos));
                break;
            }
            lines_.push_back(text.substr(pos, end - pos));
            const size_t length = text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? 2 : 1;
            if (!endSeen) {
                hive_.lineEnd = std::string(text.substr(end, length));
                endSeen = true;
            }
            pos = end + length;
        }
    }

    void Note(const std::string& reason) {
        hive_.unreadable.push_back({static_cast<int>(index_ + 1), reason});
    }

    void ParseLine(std::string_view raw) {
        const std::string_view line = TrimLeft(TrimRight(raw));
        if (line.empty()) {
            return;
        }
        if (line.front() == '[') {
            try {
                OpenSection(line, raw);
            } catch (const UnreadableLine& e) {
                KeepUnreadableSection(raw, e.reason);
            }
            return;
        }
        if (keptAsWritten_) {
            keptAsWritten_->emplace_back(raw);
            return;
        }
        if (line.front() == ';') {
            KeepLine(raw);
            return;
        }
        const size_t firstLine = index_;
        try {
            ParseValue(line, firstLine);
        } catch (const UnreadableLine& e) {
            index_ = firstLine;
            Note(e.reason);
            KeepLine(raw);
        }
    }

    // A comment or an unreadable line: in its key when there is one, else before the first key.
    void KeepLine(std::string_view raw) {
        if (key_) {
            key_->entries.push_back({RegEntry::Kind::Comment, {}, std::string(raw), 0, {}});
        } else {
            hive_.preamble.emplace_back(raw);
        }
    }

    // The section and every line up to the next readable section stay together, after the key read last
    // (so that values added to that key never land inside them).
    void KeepUnreadableSection(std::string_view raw, const std::string& reason) {
        Note(reason);
        keptAsWritten_ = key_ ? &key_->trailer : &hive_.preamble;
        keptAsWritten_->emplace_back();  // the blank line that opens a section
        keptAsWritten_->emplace_back(raw);
    }

    // The key path inside "[...]", allowing a comment after the closing bracket.
    static std::string_view SectionPath(std::string_view line) {
        size_t close = line.size() - 1;
        if (line.back() != ']') {
            close = line.rfind(']');
            if (close == std::string_view::npos || TrimLeft(line.substr(close + 1)).front() != ';') {
                throw UnreadableLine{"the key line does not end with ']'"};
            }
        }
        return line.substr(1, close - 1);
    }

    void OpenSection(std::string_view line, std::string_view raw) {
        const std::string_view inner = SectionPath(line);
        if (!inner.empty() && inner.front() == '-') {
            throw UnreadableLine{"a key deletion is not a key"};
        }
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
            throw UnreadableLine{"the key is not in " + hive_.rootName};
        }
        parts.erase(parts.begin());
        for (const std::string& part : parts) {
            if (!IsValidKeyName(part)) {
                throw UnreadableLine{"the key path holds an empty or invalid name"};
            }
        }
        bool created = false;
        key_ = &hive_.root.FindOrCreate(parts, created);
        if (key_->header.empty()) {
            key_->header = std::string(raw);
        }
        std::string folded;
        for (const std::string& part : parts) {
            folded += FoldName(part) + '\\';
        }
        keyValues_ = &valueIndex_[folded];
        keptAsWritten_ = nullptr;
        sawSection_ = true;
    }

    void ParseValue(std::string_view line, size_t firstLine) {
        if (!key_) {
            throw UnreadableLine{"a value comes before any key"};
        }
        size_t pos = 0;
        std::string name;
        if (line.front() == '@') {
            pos = 1;
        } else if (line.front() == '"') {
            name = ParseQuoted(line, pos);
        } else {
            throw UnreadableLine{"the line is neither a key, a value nor a comment"};
        }
        pos = line.size() - TrimLeft(line.substr(pos)).size();
        if (pos >= line.size() || line[pos] != '=') {
            throw UnreadableLine{"'=' is missing after the value name"};
        }
        RegEntry entry = ParseData(TrimLeft(line.substr(pos + 1)));
        entry.name = std::move(name);
        for (size_t i = firstLine; i <= index_; ++i) {
            entry.raw += lines_[i];
            entry.raw += i < index_ ? "\n" : "";
        }
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

    // After a value only blanks and a comment may follow.
    static void RequireOnlyComment(std::string_view rest) {
        rest = TrimLeft(rest);
        if (!rest.empty() && rest.front() != ';') {
            throw UnreadableLine{"text follows the value"};
        }
    }

    RegEntry ParseData(std::string_view data) {
        RegEntry entry;
        if (!data.empty() && data.front() == '"') {
            size_t pos = 0;
            entry.kind = RegEntry::Kind::String;
            entry.text = ParseQuoted(data, pos);
            RequireOnlyComment(data.substr(pos));
        } else if (StartsWithNoCase(data, "dword:")) {
            const std::string_view rest = data.substr(6);
            const size_t end = std::min(rest.find_first_of(" \t;"), rest.size());
            entry.kind = RegEntry::Kind::Dword;
            entry.dword = ParseDword(rest.substr(0, end));
            RequireOnlyComment(rest.substr(end));
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
            throw UnreadableLine{"the value's data is neither a text, a dword nor typed data"};
        }
        return entry;
    }

    static std::uint32_t ParseDword(std::string_view digits) {
        if (digits.empty() || digits.size() > 8) {
            throw UnreadableLine{"a dword needs 1 to 8 hexadecimal digits"};
        }
        std::uint32_t value = 0;
        for (char c : digits) {
            const int d = HexDigit(c);
            if (d < 0) {
                throw UnreadableLine{"a dword needs 1 to 8 hexadecimal digits"};
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
    static std::string ParseQuoted(std::string_view line, size_t& pos) {
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
                        throw UnreadableLine{"\\x needs two hexadecimal digits"};
                    }
                    out += static_cast<char>(hi * 16 + lo);
                    pos += 2;
                    break;
                }
                default:
                    throw UnreadableLine{std::string("unknown escape \\") + e};
            }
        }
        throw UnreadableLine{"a quoted text has no closing quote"};
    }

    std::string decoded_;  // the text, when the file was not UTF-8
    std::vector<std::string_view> lines_;
    size_t index_ = 0;
    RegHive hive_;
    RegKeyNode* key_ = nullptr;
    bool sawSection_ = false;
    // While inside a section that cannot be read: where its lines are kept.
    std::vector<std::string>* keptAsWritten_ = nullptr;
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

// Appends text kept as written (continuation lines joined by '\n') with the hive's line end.
void AppendKeptLines(std::string_view text, const std::string& eol, std::string& out) {
    for (size_t pos = 0;;) {
        const size_t end = text.find('\n', pos);
        out += text.substr(pos, end == std::string_view::npos ? end : end - pos);
        out += eol;
        if (end == std::string_view::npos) {
            return;
        }
        pos = end + 1;
    }
}

void AppendEntry(const RegEntry& e, const std::string& eol, std::string& out) {
    if (e.kind == RegEntry::Kind::Comment) {
        AppendKeptLines(e.text, eol, out);
        return;
    }
    if (!e.raw.empty()) {
        AppendKeptLines(e.raw, eol, out);
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
            out += eol;
            break;
        case RegEntry::Kind::Dword: {
            char buf[16];
            std::snprintf(buf, sizeof buf, "dword:%08x", e.dword);
            out += buf;
            out += eol;
            break;
        }
        default:
            AppendKeptLines(e.text, eol, out);
            break;
    }
}

// A key gets a section of its own when it had one, holds values, or is empty (so that it exists).
void AppendSection(const RegKeyNode& key, const std::string& path, bool isRoot, const std::string& eol,
                   std::string& out) {
    if (!key.header.empty() || !key.entries.empty() || (!isRoot && key.subKeys.empty())) {
        out += eol;
        if (key.header.empty()) {
            out += '[';
            out += path;
            out += ']';
            out += eol;
        } else {
            AppendKeptLines(key.header, eol, out);
        }
        for (const RegEntry& e : key.entries) {
            AppendEntry(e, eol, out);
        }
    }
    for (const std::string& line : key.trailer) {
        AppendKeptLines(line, eol, out);
    }
}

}  // namespace

std::vector<std::string> RegKeyNode::TakeTrailers() {
    std::vector<std::string> lines;
    std::vector<RegKeyNode*> pending{this};
    while (!pending.empty()) {
        RegKeyNode* node = pending.back();
        pending.pop_back();
        lines.insert(lines.end(), std::make_move_iterator(node->trailer.begin()),
                     std::make_move_iterator(node->trailer.end()));
        node->trailer.clear();
        for (auto it = node->subKeys.rbegin(); it != node->subKeys.rend(); ++it) {
            pending.push_back(&*it);
        }
    }
    return lines;
}

RegHive ParseHive(std::string_view text, const std::string& rootName) {
    return HiveParser(text, rootName).Parse();
}

std::string SerialiseHive(const RegHive& hive) {
    const std::string& eol = hive.lineEnd;
    std::string out;
    AppendKeptLines(hive.header, eol, out);
    for (const std::string& line : hive.preamble) {
        AppendKeptLines(line, eol, out);
    }
    // Depth first without recursion; `path` holds the path of the key on top of the stack.
    struct Frame {
        const RegKeyNode* node;
        size_t next;
        size_t pathLength;
    };
    std::string path = hive.rootName;
    AppendSection(hive.root, path, true, eol, out);
    std::vector<Frame> stack{{&hive.root, 0, path.size()}};
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next == top.node->subKeys.size()) {
            stack.pop_back();
            continue;
        }
        const RegKeyNode& sub = top.node->subKeys[top.next++];
        path.resize(top.pathLength);
        path += '\\';
        path += sub.name;
        AppendSection(sub, path, false, eol, out);
        stack.push_back({&sub, 0, path.size()});
    }
    out += eol;
    switch (hive.encoding) {
        case RegHive::Encoding::Utf16Le:
            return std::string(kUtf16LeBom) + Utf8ToUtf16Le(out);
        case RegHive::Encoding::Utf8WithBom:
            return std::string(kUtf8Bom) + out;
        case RegHive::Encoding::Utf8:
            break;
    }
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
    : file_(std::move(file)), rootName_(std::move(rootName)), hive_(rootName_) {}

const RegHive& HiveFile::Current() {
    Reload();
    if (error_) {
        std::rethrow_exception(error_);
    }
    return hive_;
}

void HiveFile::Forget() {
    cachedFd_.Reset();
    loaded_ = false;
    hive_ = RegHive(rootName_);
    error_ = nullptr;
}

void HiveFile::Reload() {
    struct stat st {};
    if (::stat(file_.c_str(), &st) != 0) {
        const int err = errno;
        Forget();
        if (err != ENOENT) {
            error_ = std::make_exception_ptr(ERegistryException(ErrnoText("cannot read", file_, err)));
        }
        return;
    }
    if (loaded_ && st.st_dev == cached_.dev && st.st_ino == cached_.ino && st.st_size == cached_.size &&
        st.st_mtim.tv_sec == cached_.mtime.tv_sec && st.st_mtim.tv_nsec == cached_.mtime.tv_nsec) {
        return;
    }
    Fd fd(::open(file_.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd || ::fstat(fd.Get(), &st) != 0) {
        const int err = errno;
        Forget();
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
            const int err = errno;
            Forget();
            error_ = std::make_exception_ptr(ERegistryException(ErrnoText("cannot read", file_, err)));
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
    hive_ = ParseHive(bytes, rootName_);
    error_ = hive_.recognised ? nullptr
                              : std::make_exception_ptr(ERegistryException(
                                    file_.string() + " is no registry hive; it is left as it is"));
}

HiveFile::Fd HiveFile::LockFile() {
    MakeFolder(file_.parent_path());
    const fs::path lockPath = file_.string() + ".lock";
    const fs::path queuePath = file_.string() + ".queue";
    Fd fd(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!fd) {
        throw ERegistryException(ErrnoText("cannot open the lock file", lockPath, errno));
    }
    const Fd queue(::open(queuePath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!queue) {
        throw ERegistryException(ErrnoText("cannot open the lock file", queuePath, errno));
    }
    const int err = LockInTurn(queue.Get(), fd.Get(), kLockTimeout);
    if (err == ETIMEDOUT) {
        throw ERegistryException("timed out waiting for the lock " + lockPath.string());
    }
    if (err != 0) {
        throw ERegistryException(ErrnoText("cannot lock", lockPath, err));
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

void HiveFile::Save() {
    static std::atomic<unsigned> counter{0};
    const std::string text = SerialiseHive(hive_);
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
}

void HiveFile::Modify(const std::function<bool(RegHive&)>& change) {
    const Fd lock = LockFile();
    RemoveStaleTemporaries();
    Reload();
    if (error_) {
        std::rethrow_exception(error_);
    }
    // The change works on the cached hive itself (no copy of a large or deep tree); when it fails, or
    // its save does, the cache is dropped so that the next read sees the file as it is.
    try {
        if (change(hive_)) {
            Save();
        }
    } catch (...) {
        Forget();
        throw;
    }
}

}  // namespace platform
