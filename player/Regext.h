// Whether an extension's file type belongs to the player: looks at the extension's key in the
// HKEY_CLASSES_ROOT hive of the registry store.
#pragma once

#include <string>

#include "platform/Registry.h"

namespace player {

class TRegExt {
public:
    TRegExt(std::string ext, std::string fileGroup);
    ~TRegExt();
    TRegExt(const TRegExt&) = delete;
    TRegExt& operator=(const TRegExt&) = delete;

    // 0: the extension's key names the expected file group (FFileGroup, or the bare extension followed by
    // "file" when that is empty); 1: the extension is empty, has no key, or its default value is not a
    // text; 2: the key names another file group, or none.
    int CheckExtension();

    std::string FExt;
    std::string FFileGroup;

private:
    platform::TRegistry reg_;
};

}  // namespace player
