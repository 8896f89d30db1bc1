#include "platform/Registry.h"

#include "platform/SpecialFolders.h"

namespace platform {

namespace fs = std::filesystem;

namespace {

fs::path ConfigHome() {
    if (auto folder = SpecialFolderPath(SpecialFolder::ApplicationData)) {
        return *folder;
    }
    throw ERegistryException("cannot find the user's configuration folder");
}

std::vector<std::string> SplitPath(const std::string& key) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= key.size()) {
        size_t end = key.find('\\', start);
        if (end == std::string::npos) {
            end = key.size();
        }
        if (end > start) {
            parts.push_back(key.substr(start, end - start));
        }
        start = end + 1;
    }
    return parts;
}

bool SameContent(const RegEntry& a, const RegEntry& b) {
    return a.kind == b.kind && a.text == b.text && a.dword == b.dword;
}

}  // namespace

std::string RootKeyName(HKEY root) {
    return root == HKEY_CLASSES_ROOT ? "HKEY_CLASSES_ROOT" : "HKEY_CURRENT_USER";
}

fs::path HivePath(HKEY root) {
    return ConfigHome() / "registry" / (RootKeyName(root) + ".reg");
}

TRegistry::TRegistry(HKEY root) : root_(root) {
    SetRootKey(root);
}

TRegistry::~TRegistry() = default;

void TRegistry::SetRootKey(HKEY root) {
    CloseKey();
    root_ = root;
    hive_ = std::make_unique<HiveFile>(HivePath(root), RootKeyName(root));
}

TRegistry::Resolved TRegistry::Resolve(const std::string& key) const {
    Resolved r;
    r.relative = key.empty() || key.front() != '\\';
    if (r.relative) {
        r.path = current_;
    }
    for (std::string& part : SplitPath(key)) {
        r.valid = r.valid && IsValidKeyName(part);
        r.path.push_back(std::move(part));
    }
    return r;
}

bool TRegistry::OpenKey(const std::string& key, bool canCreate) {
    Resolved r = Resolve(key);
    if (!r.valid) {
        return false;
    }
    if (hive_->Current().root.Find(r.path)) {
        // Opening an existing key changes nothing, so it takes no lock.
    } else if (canCreate) {
        hive_->Modify([&](RegHive& hive) {
            bool created = false;
            hive.root.FindOrCreate(r.path, created);
            return created;
        });
    } else {
        return false;
    }
    current_ = std::move(r.path);
    readOnly_ = false;
    return true;
}

bool TRegistry::OpenKeyReadOnly(const std::string& key) {
    Resolved r = Resolve(key);
    if (!r.valid || !hive_->Current().root.Find(r.path)) {
        return false;
    }
    current_ = std::move(r.path);
    readOnly_ = true;
    return true;
}

void TRegistry::CloseKey() {
    current_.clear();
    readOnly_ = false;
}

std::string TRegistry::CurrentPath() const {
    std::string path;
    for (const std::string& part : current_) {
        if (!path.empty()) {
            path += '\\';
        }
        path += part;
    }
    return path;
}

const RegKeyNode* TRegistry::CurrentNode() {
    return hive_->Current().root.Find(current_);
}

bool TRegistry::KeyExists(const std::string& key) {
    const Resolved r = Resolve(key);
    return r.valid && hive_->Current().root.Find(r.path) != nullptr;
}

bool TRegistry::ValueExists(const std::string& name) {
    const RegKeyNode* node = CurrentNode();
    return node && node->FindValue(name);
}

std::int32_t TRegistry::ReadInteger(const std::string& name) {
    const RegKeyNode* node = CurrentNode();
    const RegEntry* value = node ? node->FindValue(name) : nullptr;
    if (!value) {
        throw ERegistryException("Failed to get data for '" + name + "'");
    }
    if (value->kind != RegEntry::Kind::Dword) {
        throw ERegistryException("Invalid data type for '" + name + "'");
    }
    return static_cast<std::int32_t>(value->dword);
}

std::string TRegistry::ReadString(const std::string& name) {
    const RegKeyNode* node = CurrentNode();
    const RegEntry* value = node ? node->FindValue(name) : nullptr;
    if (!value) {
        return {};
    }
    if (value->kind != RegEntry::Kind::String) {
        throw ERegistryException("Invalid data type for '" + name + "'");
    }
    return value->text;
}

TRegDataType TRegistry::GetDataType(const std::string& name) {
    const RegKeyNode* node = CurrentNode();
    const RegEntry* value = node ? node->FindValue(name) : nullptr;
    if (!value) {
        return TRegDataType::rdUnknown;
    }
    switch (value->kind) {
        case RegEntry::Kind::String:
            return TRegDataType::rdString;
        case RegEntry::Kind::Dword:
            return TRegDataType::rdInteger;
        default:
            break;
    }
    const std::string type = FoldName(value->text.substr(0, value->text.find(':')));
    if (type == "hex") {
        return TRegDataType::rdBinary;
    }
    return type == "hex(2)" ? TRegDataType::rdExpandString : TRegDataType::rdUnknown;
}

void TRegistry::WriteValue(const std::string& name, RegEntry entry) {
    const std::string failure = "Failed to set data for '" + name + "'";
    if (readOnly_) {
        throw ERegistryException(failure);
    }
    hive_->Modify([&](RegHive& hive) {
        // A key deleted meanwhile is not brought back by a write to it.
        RegKeyNode* node = hive.root.Find(current_);
        if (!node) {
            throw ERegistryException(failure);
        }
        if (RegEntry* existing = node->FindValue(name)) {
            if (SameContent(*existing, entry)) {
                return false;
            }
            entry.name = existing->name;
            *existing = std::move(entry);
        } else {
            entry.name = name;
            node->entries.push_back(std::move(entry));
        }
        return true;
    });
}

void TRegistry::WriteInteger(const std::string& name, std::int32_t value) {
    WriteValue(name, RegEntry{RegEntry::Kind::Dword, {}, {}, static_cast<std::uint32_t>(value), {}});
}

void TRegistry::WriteString(const std::string& name, const std::string& value) {
    WriteValue(name, RegEntry{RegEntry::Kind::String, {}, value, 0, {}});
}

std::vector<std::string> TRegistry::GetValueNames() {
    std::vector<std::string> names;
    if (const RegKeyNode* node = CurrentNode()) {
        for (const RegEntry& e : node->entries) {
            if (e.kind != RegEntry::Kind::Comment) {
                names.push_back(e.name);
            }
        }
    }
    return names;
}

std::vector<std::string> TRegistry::GetKeyNames() {
    std::vector<std::string> names;
    if (const RegKeyNode* node = CurrentNode()) {
        for (const RegKeyNode& sub : node->subKeys) {
            names.push_back(sub.name);
        }
    }
    return names;
}

bool TRegistry::HasSubKeys() {
    const RegKeyNode* node = CurrentNode();
    return node && !node->subKeys.empty();
}

bool TRegistry::DeleteValue(const std::string& name) {
    if (readOnly_) {
        return false;
    }
    bool deleted = false;
    hive_->Modify([&](RegHive& hive) {
        RegKeyNode* node = hive.root.Find(current_);
        if (!node) {
            return false;
        }
        const std::string folded = FoldName(name);
        for (auto it = node->entries.begin(); it != node->entries.end(); ++it) {
            if (it->kind != RegEntry::Kind::Comment && FoldName(it->name) == folded) {
                node->entries.erase(it);
                deleted = true;
                break;
            }
        }
        return deleted;
    });
    return deleted;
}

bool TRegistry::DeleteKey(const std::string& key) {
    Resolved r = Resolve(key);
    if (!r.valid || r.path.empty() || (r.relative && readOnly_)) {
        return false;
    }
    const std::string leaf = r.path.back();
    r.path.pop_back();
    bool deleted = false;
    hive_->Modify([&](RegHive& hive) {
        RegKeyNode* parent = hive.root.Find(r.path);
        if (!parent) {
            return false;
        }
        const std::string folded = FoldName(leaf);
        for (auto it = parent->subKeys.begin(); it != parent->subKeys.end(); ++it) {
            if (FoldName(it->name) == folded) {
                // Lines kept as written after the key's sections are no part of it: they stay.
                for (std::string& line : it->TakeTrailers()) {
                    parent->trailer.push_back(std::move(line));
                }
                parent->subKeys.erase(it);
                deleted = true;
                break;
            }
        }
        return deleted;
    });
    return deleted;
}

std::vector<std::string> ReadValueNames(HKEY root, const std::string& key) {
    TRegistry registry(root);
    return registry.OpenKeyReadOnly(key) ? registry.GetValueNames() : std::vector<std::string>{};
}

}  // namespace platform
