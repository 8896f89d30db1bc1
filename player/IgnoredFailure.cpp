#include "player/IgnoredFailure.h"

#include <exception>

#include "winutils/Winutils_debug.h"

namespace player {

void RunIgnoringFailure(const char* step, const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& e) {
        winutils::DebugLog(winutils::DEBUG_GENERAL, "%s: failure ignored: %s", step, e.what());
    }
}

}  // namespace player
