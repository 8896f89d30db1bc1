// What the Configuration classes of the maker's programs share: the preferences lock, the owner text that
// tells who holds it, and the text lookup.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "winutils/Winutils_debug.h"

namespace platform {
class TMutex;
}

namespace winutils {

class ConfigurationBase {
public:
    // Registers prefs as the head the debug log reads; prefs must outlive this object.
    explicit ConfigurationBase(PreferencesHead& prefs);
    virtual ~ConfigurationBase();
    ConfigurationBase(const ConfigurationBase&) = delete;
    ConfigurationBase& operator=(const ConfigurationBase&) = delete;

    // Waits in 500 ms steps until the lock is held (no overall limit; each step is logged with the
    // holder's name); file and line name the caller in the owner text. Always true. The lock is recursive:
    // each Prefs_Lock needs its own Prefs_Unlock.
    bool Prefs_Lock(const char* file, int line);
    // Releases the lock and sets the owner text to "No-one". Always true.
    bool Prefs_Unlock(const char* file, int line);

    // "No-one", or "<file>:<line>, thread: <id>" of the holder.
    std::string prefsLockOwner() const;

    // The text lookup: returns the default text.
    static std::string GetText(const std::string& key, const std::string& defaultText);

protected:
    // Creates the unnamed preferences lock; false when it could not be created.
    bool createPrefsLock();
    bool HasPrefsLock() const { return prefsUpdateLock_ != nullptr; }

private:
    void SetOwner(std::string owner);

    PreferencesHead& head_;
    std::unique_ptr<platform::TMutex> prefsUpdateLock_;
    mutable std::mutex ownerGuard_;  // guards prefsLockOwner_, which waiting threads read
    std::string prefsLockOwner_ = "No-one";
};

}  // namespace winutils
