#include "zeb/DisabledExts.h"

#include <algorithm>

#include "platform/Registry.h"
#include "zeb/TextCase.h"

namespace zeb {

std::string ExtensionValueName(const std::string& extension) {
    return extension.empty() ? kNoExtensionValueName : extension;
}

bool LoadDisabledExtensions(Globals& globals) {
    globals.disabled_exts.clear();
    try {
        // Only read: a reader never writes the store, so zeb starting can never change anyone's settings.
        platform::TRegistry registry(platform::HKEY_CURRENT_USER);
        if (!registry.OpenKeyReadOnly(kDisabledExtsKey)) {
            return true;  // nothing was ever disabled
        }
        for (const std::string& name : registry.GetValueNames()) {
            if (registry.GetDataType(name) == platform::TRegDataType::rdInteger) {
                globals.disabled_exts.push_back(UnicodeLowerCase(name));
            }
        }
        return true;
    } catch (const std::exception&) {
        // A store that cannot be read means every extension prompts, which is the safe side.
        return false;
    }
}

bool IsExtensionDisabled(const Globals& globals, const std::string& extension) {
    const std::string name = ExtensionValueName(extension);
    return std::find(globals.disabled_exts.begin(), globals.disabled_exts.end(), name) !=
           globals.disabled_exts.end();
}

bool DisableExtension(const std::string& extension) {
    try {
        platform::TRegistry registry(platform::HKEY_CURRENT_USER);
        if (!registry.OpenKey(kDisabledExtsKey, true)) {
            return false;
        }
        registry.WriteInteger(ExtensionValueName(extension), 0);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace zeb
