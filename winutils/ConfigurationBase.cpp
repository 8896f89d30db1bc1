#include "winutils/ConfigurationBase.h"

#include <sys/syscall.h>
#include <unistd.h>

#include "platform/Mutex.h"

namespace winutils {
namespace {

constexpr unsigned kLockWaitStepMs = 500;
// The codes the lock's log lines show for the outcome of one wait, as the system reports them.
constexpr long kWaitObject0 = 0;
constexpr long kWaitAbandoned = 0x80;
constexpr long kWaitTimeout = 0x102;
constexpr long kWaitFailed = 0xFFFFFFFFL;
constexpr long kErrorNotOwner = 288;

long WaitCode(platform::TWaitResult result) {
    switch (result) {
        case platform::wrSignaled:
            return kWaitObject0;
        case platform::wrTimeout:
            return kWaitTimeout;
        case platform::wrAbandoned:
            return kWaitAbandoned;
        case platform::wrError:
            break;
    }
    return kWaitFailed;
}

std::string OwnerText(const char* file, int line) {
    return std::string(file) + ":" + std::to_string(line) +
           ", thread: " + std::to_string(syscall(SYS_gettid));
}

}  // namespace

ConfigurationBase::ConfigurationBase(PreferencesHead& prefs) : head_(prefs) {
    SetDebugLogPreferences(&head_);
}

ConfigurationBase::~ConfigurationBase() {
    if (DebugLogPreferences() == &head_) {
        SetDebugLogPreferences(nullptr);
    }
}

bool ConfigurationBase::createPrefsLock() {
    try {
        prefsUpdateLock_ = std::make_unique<platform::TMutex>(false);
    } catch (const std::exception&) {
        prefsUpdateLock_.reset();
    }
    return prefsUpdateLock_ != nullptr;
}

bool ConfigurationBase::Prefs_Lock(const char* file, int line) {
    platform::TMutex* lock = prefsUpdateLock_.get();
    DebugLog(DEBUG_PREFS_LOCK, "Configuration::Prefs_Lock: BEGIN Lock [%p] (%s:%d) Locked by [%s]",
             static_cast<void*>(lock), file, line, prefsLockOwner().c_str());
    if (lock != nullptr) {
        long code;
        do {
            code = WaitCode(lock->WaitFor(kLockWaitStepMs));
            DebugLog(DEBUG_PREFS_LOCK,
                     "Configuration::Prefs_Lock: Lock [%p] (%s:%d) WaitForSingleObject returned %ld. Locked "
                     "by [%s]",
                     static_cast<void*>(lock), file, line, code, prefsLockOwner().c_str());
        } while (code != kWaitObject0);
    }
    SetOwner(OwnerText(file, line));
    DebugLog(DEBUG_PREFS_LOCK, "Configuration::Prefs_Lock: END Lock [%p] (%s:%d)", static_cast<void*>(lock),
             file, line);
    return true;
}

bool ConfigurationBase::Prefs_Unlock(const char* file, int line) {
    platform::TMutex* lock = prefsUpdateLock_.get();
    DebugLog(DEBUG_PREFS_UNLOCK, "Configuration::Prefs_Unlock: BEGIN Lock [%p] (%s:%d)",
             static_cast<void*>(lock), file, line);
    // The owner text is cleared while the lock is still held, so it never overwrites the name of a thread
    // that takes the lock right after the release.
    SetOwner("No-one");
    if (lock == nullptr || !lock->Release()) {
        DebugLog(DEBUG_PREFS_UNLOCK,
                 "Configuration::Prefs_Unlock: Lock [%p] (%s:%d) @@@ FAILED. Error code %ld",
                 static_cast<void*>(lock), file, line, kErrorNotOwner);
    }
    DebugLog(DEBUG_PREFS_UNLOCK, "Configuration::Prefs_Unlock: END Lock [%p] (%s:%d)",
             static_cast<void*>(lock), file, line);
    return true;
}

std::string ConfigurationBase::prefsLockOwner() const {
    std::lock_guard guard(ownerGuard_);
    return prefsLockOwner_;
}

void ConfigurationBase::SetOwner(std::string owner) {
    std::lock_guard guard(ownerGuard_);
    prefsLockOwner_ = std::move(owner);
}

std::string ConfigurationBase::GetText(const std::string& /*key*/, const std::string& defaultText) {
    return defaultText;
}

}  // namespace winutils
