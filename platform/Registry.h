// The user's registry: keys holding typed values, in two hives kept as text files under
// $XDG_CONFIG_HOME/registry/ (see RegistryFile.h for the form and how files are replaced).
//
// TRegistry opens one key at a time. Key paths are relative to the open key (to the hive's root when
// none is open) or absolute when they start with '\'. Key and value names compare regardless of letter
// case and keep the case in which they were first written; "" names a key's default value.
//
// Every member reads the hive file as it is now, so changes made by other objects and other processes
// are seen; every change is made under the hive's lock on its current content, and only members that
// change something write. Any member may raise ERegistryException when the hive file cannot be read or
// saved. Lines of the file that cannot be read are kept as written and never keep a caller from reading
// or storing the rest (HiveFile). An object is for one thread at a time; objects in several threads or
// processes may share a hive.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/RegistryFile.h"

namespace platform {

enum class HKEY { ClassesRoot, CurrentUser };
inline constexpr HKEY HKEY_CLASSES_ROOT = HKEY::ClassesRoot;
inline constexpr HKEY HKEY_CURRENT_USER = HKEY::CurrentUser;

// rdBinary and rdExpandString stand for values of other types kept from the file ("hex:", "hex(2):").
enum class TRegDataType { rdUnknown, rdString, rdExpandString, rdInteger, rdBinary };

// "HKEY_CURRENT_USER" or "HKEY_CLASSES_ROOT".
std::string RootKeyName(HKEY root);
// The file of a hive: $XDG_CONFIG_HOME (else ~/.config) /registry/<root key name>.reg
std::filesystem::path HivePath(HKEY root);

class TRegistry {
public:
    explicit TRegistry(HKEY root = HKEY_CURRENT_USER);
    ~TRegistry();
    TRegistry(const TRegistry&) = delete;
    TRegistry& operator=(const TRegistry&) = delete;

    HKEY RootKey() const { return root_; }
    // Closes the open key and switches to the other hive.
    void SetRootKey(HKEY root);

    // Opens a key for reading and writing; creates it (with the keys above it) when `canCreate`.
    // False when it does not exist and may not be created, or when a name in the path is empty or holds a
    // control character.
    bool OpenKey(const std::string& key, bool canCreate);
    // Opens an existing key for reading only: writes to it raise and deletes under it fail.
    bool OpenKeyReadOnly(const std::string& key);
    void CloseKey();
    // The open key's path without a leading '\', as the caller spelled it; "" when none is open.
    std::string CurrentPath() const;

    bool KeyExists(const std::string& key);
    bool ValueExists(const std::string& name);
    // Raises when the value is missing or is not a dword.
    std::int32_t ReadInteger(const std::string& name);
    // "" when the value is missing; raises when it is not a text.
    std::string ReadString(const std::string& name);
    // rdUnknown when the value is missing.
    TRegDataType GetDataType(const std::string& name);
    // Both raise when the key was opened read-only or no longer exists.
    void WriteInteger(const std::string& name, std::int32_t value);
    void WriteString(const std::string& name, const std::string& value);

    // The open key's value names ("" for a default value that is set), in the order they were added.
    std::vector<std::string> GetValueNames();
    // The open key's direct sub-keys, in the order they were added.
    std::vector<std::string> GetKeyNames();
    bool HasSubKeys();

    // True when the value was there and is now gone.
    bool DeleteValue(const std::string& name);
    // Deletes a key with all keys below it; true when it was there and is now gone. The hive's root
    // cannot be deleted.
    bool DeleteKey(const std::string& key);

private:
    struct Resolved {
        std::vector<std::string> path;
        bool valid = true;
        bool relative = true;
    };

    Resolved Resolve(const std::string& key) const;
    const RegKeyNode* CurrentNode();
    void WriteValue(const std::string& name, RegEntry entry);

    HKEY root_;
    std::unique_ptr<HiveFile> hive_;
    std::vector<std::string> current_;
    bool readOnly_ = false;
};

// The value names of key under root, as GetValueNames gives them; none when the key does not exist. Only
// reads. Raises when the store cannot be read.
std::vector<std::string> ReadValueNames(HKEY root, const std::string& key);

}  // namespace platform
