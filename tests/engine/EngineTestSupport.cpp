#include "tests/engine/EngineTestSupport.h"

#include <gtest/gtest.h>

#include "engine/load/FFLoad.h"

namespace enginetest {

void LoadPlayerLibraries() {
    if (!FFLoader().Loaded(CPlayerLibraries)) {
        ASSERT_TRUE(FFLoader().Load(CPlayerLibraries)) << FFLoader().LastErrMsg();
    }
}

std::filesystem::path SystemLibraryPath(const std::string& AFile) {
    // Looked up in the usual folders rather than by loading it: a library loaded and freed here would
    // leave its dependencies' allocations behind.
    for (const char* folder :
         {"/usr/lib/x86_64-linux-gnu", "/lib/x86_64-linux-gnu", "/usr/lib64", "/usr/lib"}) {
        const std::filesystem::path candidate = std::filesystem::path(folder) / AFile;
        std::error_code error;
        if (std::filesystem::exists(candidate, error)) {
            return std::filesystem::canonical(candidate);
        }
    }
    return {};
}

}  // namespace enginetest
