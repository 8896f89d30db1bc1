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
// save and a load unchanged. Values of other types (`hex:...`, `hex(2):...`, with their `\` continuation
// lines) and `;` comment lines are kept exactly as written. Lines may end in CR LF; a UTF-8 byte-order mark
// is skipped. An empty file is an empty hive.
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

// A hive text that does not follow the form; what() reads "<source>:<line>: <reason>".
class ERegistryFormatError : public ERegistryException {
public:
    ERegistryFormatError(const std::string& source, int line, const std::string& reason);
    int Line() const { return line_; }

private:
    int line_;
};

// Names compare without regard to letter case (ASCII, Latin-1, Latin Extended-A, basic Greek and
// Cyrillic letters); this gives the form in which two names that differ only in case are equal.
std::string FoldName(std::string_view name);
bool SameName(std::string_view a, std::string_view b);

struct RegEntry {
    enum class Kind { String, Dword, Other, Comment };
    Kind kind = Kind::String;
    std::string name;  // the value's name as first written, "" for the default value; unused for comments
    std::string text;  // String: the text; Other: everything after '=' as written; Comment: the whole line
    std::uint32_t dword = 0;
};

struct RegKeyNode {
    std::string name;  // as first written
    std::vector<RegEntry> entries;
    std::vector<RegKeyNode> subKeys;

    RegEntry* FindValue(std::string_view valueName);
    const RegEntry* FindValue(std::string_view valueName) const;
    RegKeyNode* FindSubKey(std::string_view keyName);
    const RegKeyNode* FindSubKey(std::string_view keyName) const;
    // Follows the path from this key; null when some key on the way is missing.
    RegKeyNode* Find(const std::vector<std::string>& path);
    const RegKeyNode* Find(const std::vector<std::string>& path) const;
    // Follows the path, creating what is missing; `created` tells whether anything was.
    RegKeyNode& FindOrCreate(const std::vector<std::string>& path, bool& created);
};

struct RegHive {
    std::string rootName;               // "HKEY_CURRENT_USER", the first word of every section header
    std::vector<std::string> preamble;  // comment lines before the first section
    RegKeyNode root;
};

// A key name that the text form can hold: not empty, no backslash, no control character.
bool IsValidKeyName(std::string_view name);

// Parses a hive text. Throws ERegistryFormatError naming `source` and the line of the first fault.
RegHive ParseHive(std::string_view text, const std::string& rootName, const std::string& source);
// The text form of a hive; parsing it gives the same hive back.
std::string SerialiseHive(const RegHive& hive);

// The hive's file. Reads reload the file when it was replaced or changed since the last read. Modify
// takes an exclusive lock on a lock file beside the hive ("<file>.lock", which is never replaced, unlike
// the hive itself), reloads, applies the change and, when the change says it changed something, saves
// through a temporary file that is synced and renamed over the hive, then syncs the folder. A process
// killed at any moment thus leaves either the old or the new file.
//
// A hive file that cannot be read (other than missing) fails every read and every change: it is never
// replaced. A hive file that can be read but is malformed fails every read with its path and line; the
// first change copies it to "<file>.bad-<UTC time>" (synced before anything else happens), tells stderr
// so, and goes on from an empty hive; a change that changes nothing or fails reports the fault instead.
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
    Fd LockFile();
    void SetAside(const std::string& bytes);
    void Save(const RegHive& hive);
    void RemoveStaleTemporaries();

    std::filesystem::path file_;
    std::string rootName_;
    // The open file behind `hive_`; holding it keeps its inode number from being reused by a later save.
    Fd cachedFd_;
    Snapshot cached_;
    bool loaded_ = false;
    RegHive hive_;
    // Set when the file could not be read or parsed; rethrown by every read until the file changes.
    std::exception_ptr error_;
    bool malformed_ = false;
    std::string badBytes_;
};

}  // namespace platform
