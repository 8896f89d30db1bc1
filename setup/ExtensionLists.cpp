#include "setup/ExtensionLists.h"

#include <algorithm>

#include "platform/Registry.h"
#include "platform/RegistryFile.h"
#include "setup/TextSplit.h"

namespace setup {

void RewriteListKey(const std::string& key, const std::vector<std::string>& extensions) {
    platform::HiveFile hive(platform::HivePath(platform::HKEY_CURRENT_USER),
                            platform::RootKeyName(platform::HKEY_CURRENT_USER));
    (void)hive.Current();
    const std::vector<std::string> path = SplitAt(key, '\\');
    hive.Modify([&](platform::RegHive& h) {
        bool created = false;
        platform::RegKeyNode& node = h.root.FindOrCreate(path, created);
        std::vector<platform::RegEntry> entries;
        for (const std::string& ext : extensions) {
            if (std::any_of(entries.begin(), entries.end(),
                            [&](const platform::RegEntry& e) { return platform::SameName(e.name, ext); })) {
                continue;
            }
            platform::RegEntry entry;
            entry.kind = platform::RegEntry::Kind::Dword;
            entry.name = ext;
            entry.dword = 1;
            entries.push_back(std::move(entry));
        }
        node.entries = std::move(entries);
        return true;
    });
}

}  // namespace setup
