// One registry hive kept as a text file in the REGEDIT4 form, and the locked reload-modify-save of it.
//
// The text form:
//
//   REGEDIT4
//
//   [HKEY_CURRENT_USER\Software\Korvanta]
//   "Volume"=dword:0000007f
//   "Name"="text with \"quotes\" and \\ backslashes"
//   @="the default value"
//
// Section headers carry the hive's name followed by the key path; `@` names the default value. Inside a
// quoted name or text, `\\` and `\"` stand for a backslash and a quote; line feed, carriage return and tab
// are written `\n`, `\r` and `\t`, and every other control character as `\xHH`, so any text survives a
// save and a load unchanged. A key is written as a section of its own when it holds values or nothing at
// all; the keys above it are implied by its path, so the text grows linearly with the depth of nesting.
//
// What hand-edited and exported files commonly hold is read too: the "Windows Registry Editor Version
// 5.00" header, UTF-16LE with a byte-order mark, a UTF-8 byte-order mark, CR LF, CR or LF line ends,
// blanks around '=', `;` comments on their own lines and after a value. Values of other types (`hex:...`,
// `hex(2):...`, with their `\` continuation lines) are kept as written.
//
// Nothing read is ever dropped: every value, section header and comment that no change touches is
// written back exactly as it was read (the encoding, header and line ends too). A line that cannot be read
// is kept as written in its place, and so is a section whose header cannot be read, with every line in
// it; such lines are listed in RegHive::unreadable. A file truncated in the middle of a line thus keeps
// every complete value.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <exception>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Raised for every registry failure that a caller must see: a missing or wrongly typed value read, a write
// that cannot be done, a hive file that cannot be read or saved.
class ERegistryException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Names compare without regard to letter case (ASCII, Latin-1, Latin Extended-A, basic Greek and
// Cyrillic letters); this gives the form in which two names that differ only in case are equal.
std::string FoldName(std::string_view name);
bool SameName(std::string_view a, std::string_view b);

struct RegEntry {
    // Comment: a comment line, or a line that cannot be read; either way kept as written.
    enum class Kind { String, Dword, Other, Comment };
    Kind kind = Kind::String;
    std::string name;  // the value's name as first written, "" for the default value; unused for comments
    std::string text;  // String: the text; Other: everything after '=' as written; Comment: the whole line
    std::uint32_t dword = 0;
    // The line as read (continuation lines joined by '\n'), written back while the value is unchanged;
    // empty for a value made or changed since.
    std::string raw;
};

struct RegKeyNode {
    std::string name;  // as first written
    std::vector<RegEntry> entries;
    std::vector<RegKeyNode> subKeys;
    // The key's own section header as read; empty when the file had none (the key was implied).
    std::string header;
    // Sections whose header cannot be read that followed this key's section, kept as written.
    std::vector<std::string> trailer;

    RegKeyNode() = default;
    explicit RegKeyNode(std::string keyName) : name(std::move(keyName)) {}
    // Copying and destroying walk the tree without recursion, so any depth of nesting is safe.
    RegKeyNode(const RegKeyNode& other);
    RegKeyNode& operator=(const RegKeyNode& other);
    RegKeyNode(RegKeyNode&& other) noexcept = default;
    RegKeyNode& operator=(RegKeyNode&& other) noexcept;
    ~RegKeyNode();

    RegEntry* FindValue(std::string_view valueName);
    const RegEntry* FindValue(std::string_view valueName) const;
    RegKeyNode* FindSubKey(std::string_view keyName);
    const RegKeyNode* FindSubKey(std::string_view keyName) const;
    // Follows the path from this key; null when some key on the way is missing.
    RegKeyNode* Find(const std::vector<std::string>& path);
    const RegKeyNode* Find(const std::vector<std::string>& path) const;
    // Follows the path, creating what is missing; `created` tells whether anything was.
    RegKeyNode& FindOrCreate(const std::vector<std::string>& path, bool& created);
    // Moves out the kept lines of this key and every key below it, in file order (for a key about to go,
    // whose kept lines belong to no key of its own).
    std::vector<std::string> TakeTrailers();

private:
    // Everything but the sub-keys.
    void CopyOwnContent(const RegKeyNode& other);
};

// A line of a hive text that could not be read, and why.
struct RegUnreadableLine {
    int line = 0;  // counted from 1
    std::string reason;
};

struct RegHive {
    enum class Encoding { Utf8, Utf8WithBom, Utf16Le };

    explicit RegHive(std::string root = {}) : rootName(std::move(root)) {}

    std::string rootName;               // "HKEY_CURRENT_USER", the first word of every section header
    std::string header = "REGEDIT4";    // the first line as read
    Encoding encoding = Encoding::Utf8;
    std::string lineEnd = "\n";         // the file's line end, used for every line written
    std::vector<std::string> preamble;  // lines before the first readable section, kept as written
    RegKeyNode root;
    std::vector<RegUnreadableLine> unreadable;  // what the parse could not read (kept as written)
    // False for a text that holds something but neither a header nor one readable section: that is no
    // hive at all, and the file is treated as one that cannot be read.
    bool recognised = true;
};

// A key name that the text form can hold: not empty, no backslash, no control character.
bool IsValidKeyName(std::string_view name);

// Parses a hive text; never fails (see the top of this file for what is kept as written).
RegHive ParseHive(std::string_view text, const std::string& rootName);
// The text form of a hive; parsing it gives the same hive back.
std::string SerialiseHive(const RegHive& hive);

// The hive's file. Reads reload the file when it was replaced or changed since the last read, and never
// write. Modify takes an exclusive lock on a lock file beside the hive ("<file>.lock", which is never
// replaced, unlike the hive itself; see RegistryLock.h for how long it waits), reloads, applies the change
// and, when the change says it changed something, saves through a temporary file that is synced and
// renamed over the hive, then syncs the folder. A process killed at any moment thus leaves either the old
// or the new file.
//
// A hive file that cannot be read (other than missing), or whose text is no hive at all
// (RegHive::recognised), fails every read and every change: it is never replaced.
class HiveFile {
public:
    HiveFile(std::filesystem::path file, std::string rootName);

    const std::filesystem::path& Path() const { return file_; }
    // The hive as the file holds it now.
    const RegHive& Current();
    // Applies `change` to the current hive under the lock; `change` returns whether it changed anything.
    // An exception thrown by `change` leaves the file untouched.
    void Modify(const std::function<bool(RegHive&)>& change);

private:
    // An open file descriptor, closed on destruction.
    class Fd {
    public:
        Fd() = default;
        explicit Fd(int fd) : fd_(fd) {}
        ~Fd() { Reset(); }
        Fd(Fd&& other) noexcept : fd_(other.Release()) {}
        Fd& operator=(Fd&& other) noexcept;
        Fd(const Fd&) = delete;
        Fd& operator=(const Fd&) = delete;

        int Get() const { return fd_; }
        explicit operator bool() const { return fd_ >= 0; }
        int Release();
        void Reset();

    private:
        int fd_ = -1;
    };

    struct Snapshot {
        dev_t dev = 0;
        ino_t ino = 0;
        off_t size = -1;
        timespec mtime{};
    };

    void Reload();
    void LoadFrom(Fd fd, const Snapshot& snap);
    // Forgets the cached hive, so the next read parses the file again.
    void Forget();
    Fd LockFile();
    void Save();
    void RemoveStaleTemporaries();

    std::filesystem::path file_;
    std::string rootName_;
    // The open file behind `hive_`; holding it keeps its inode number from being reused by a later save.
    Fd cachedFd_;
    Snapshot cached_;
    bool loaded_ = false;
    RegHive hive_;
    // Set when the file could not be read; rethrown by every read until the file changes.
    std::exception_ptr error_;
};

}  // namespace platform
