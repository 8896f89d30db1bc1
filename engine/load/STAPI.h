// The SoundTouch entry points that the engine calls, bound by name at run time into st::name.
// The types are spelled out here so that only one source file sees the library's own header (it
// defines Win32-like macros); that file checks them against the header.
#pragma once

#include <type_traits>

namespace st {

using HANDLE = void*;

// clang-format off
#define STREVIO_SOUNDTOUCH_API(REQ)                                                       \
    REQ(soundtouch_createInstance, HANDLE (*)())                                          \
    REQ(soundtouch_destroyInstance, void (*)(HANDLE))                                     \
    REQ(soundtouch_getVersionString, const char* (*)())                                   \
    REQ(soundtouch_getVersionId, unsigned int (*)())                                      \
    REQ(soundtouch_setRate, void (*)(HANDLE, float))                                      \
    REQ(soundtouch_setTempo, void (*)(HANDLE, float))                                     \
    REQ(soundtouch_setPitch, void (*)(HANDLE, float))                                     \
    REQ(soundtouch_setChannels, int (*)(HANDLE, unsigned int))                            \
    REQ(soundtouch_setSampleRate, int (*)(HANDLE, unsigned int))                          \
    REQ(soundtouch_flush, int (*)(HANDLE))                                                \
    REQ(soundtouch_putSamples_i16, void (*)(HANDLE, const short*, unsigned int))          \
    REQ(soundtouch_receiveSamples_i16, unsigned int (*)(HANDLE, short*, unsigned int))    \
    REQ(soundtouch_clear, void (*)(HANDLE))                                               \
    REQ(soundtouch_setSetting, int (*)(HANDLE, int, int))                                 \
    REQ(soundtouch_numUnprocessedSamples, unsigned int (*)(HANDLE))                       \
    REQ(soundtouch_numSamples, unsigned int (*)(HANDLE))                                  \
    REQ(soundtouch_isEmpty, int (*)(HANDLE))
// clang-format on

#define STREVIO_DECLARE_ST(name, type) extern std::type_identity_t<type> name;
STREVIO_SOUNDTOUCH_API(STREVIO_DECLARE_ST)
#undef STREVIO_DECLARE_ST

}  // namespace st
