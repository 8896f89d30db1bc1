#include "engine/load/STAPI.h"

#include <type_traits>

#include "engine/load/FFAPI.h"

// The only file that sees SoundTouch's own header: it defines Win32-like macros.
#include <SoundTouchDLL.h>

namespace st {

#define STREVIO_DEFINE_ST(name, type)                                         \
    static_assert(std::is_same_v<type, decltype(&::name)>, "type of " #name); \
    std::type_identity_t<type> name = nullptr;
STREVIO_SOUNDTOUCH_API(STREVIO_DEFINE_ST)
#undef STREVIO_DEFINE_ST

}  // namespace st

void FixupSoundTouch(const TPathFileName& AFileName, void* AHandle) {
#define STREVIO_BIND_ST(name, type) FixupStub(AFileName, AHandle, #name, false, st::name);
    STREVIO_SOUNDTOUCH_API(STREVIO_BIND_ST)
#undef STREVIO_BIND_ST
}

void UnfixSoundTouch() {
#define STREVIO_CLEAR_ST(name, type) st::name = nullptr;
    STREVIO_SOUNDTOUCH_API(STREVIO_CLEAR_ST)
#undef STREVIO_CLEAR_ST
}
