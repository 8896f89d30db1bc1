#include "engine/load/FFAPI.h"

#define STREVIO_DEFINE_REQ(name) decltype(&::name) name = nullptr;
#define STREVIO_DEFINE_OPT(name, type) type name = nullptr;

namespace ff {
STREVIO_AVCODEC_API(STREVIO_DEFINE_REQ, STREVIO_DEFINE_OPT)
STREVIO_AVDEVICE_API(STREVIO_DEFINE_REQ, STREVIO_DEFINE_OPT)
STREVIO_AVFILTER_API(STREVIO_DEFINE_REQ, STREVIO_DEFINE_OPT)
STREVIO_AVFORMAT_API(STREVIO_DEFINE_REQ, STREVIO_DEFINE_OPT)
STREVIO_AVUTIL_API(STREVIO_DEFINE_REQ, STREVIO_DEFINE_OPT)
STREVIO_SWRESAMPLE_API(STREVIO_DEFINE_REQ, STREVIO_DEFINE_OPT)
STREVIO_SWSCALE_API(STREVIO_DEFINE_REQ, STREVIO_DEFINE_OPT)
}  // namespace ff

namespace crt {
STREVIO_CRT_API(STREVIO_DEFINE_REQ, STREVIO_DEFINE_OPT)
}  // namespace crt

namespace {

void CheckMajorVersion(const TPathFileName& AFileName, void* AHandle, const char* AVersionFunction,
                       int AHeaderMajor) {
    unsigned (*version)() = nullptr;
    FixupStub(AFileName, AHandle, AVersionFunction, false, version);
    const int loadedMajor = static_cast<int>(version() >> 16);
    if (loadedMajor != AHeaderMajor) {
        throw ELoadError(Format("Library %s has major version %d, but the engine was built for version %d.",
                                AFileName.c_str(), loadedMajor, AHeaderMajor));
    }
}

}  // namespace

#define STREVIO_BIND_FF_REQ(name) FixupStub(AFileName, AHandle, #name, false, ff::name);
#define STREVIO_BIND_FF_OPT(name, type) FixupStub(AFileName, AHandle, #name, true, ff::name);
#define STREVIO_CLEAR_FF_REQ(name) ff::name = nullptr;
#define STREVIO_CLEAR_FF_OPT(name, type) ff::name = nullptr;

#define STREVIO_FF_FIXUP_PAIR(Suffix, LIST, versionFunction, headerMajor)    \
    void Fixup##Suffix(const TPathFileName& AFileName, void* AHandle) {      \
        CheckMajorVersion(AFileName, AHandle, versionFunction, headerMajor); \
        LIST(STREVIO_BIND_FF_REQ, STREVIO_BIND_FF_OPT)                       \
    }                                                                        \
    void Unfix##Suffix() {                                                   \
        LIST(STREVIO_CLEAR_FF_REQ, STREVIO_CLEAR_FF_OPT)                     \
    }

STREVIO_FF_FIXUP_PAIR(AVCodec, STREVIO_AVCODEC_API, "avcodec_version", LIBAVCODEC_VERSION_MAJOR)
STREVIO_FF_FIXUP_PAIR(AVDevice, STREVIO_AVDEVICE_API, "avdevice_version", LIBAVDEVICE_VERSION_MAJOR)
STREVIO_FF_FIXUP_PAIR(AVFilter, STREVIO_AVFILTER_API, "avfilter_version", LIBAVFILTER_VERSION_MAJOR)
STREVIO_FF_FIXUP_PAIR(AVFormat, STREVIO_AVFORMAT_API, "avformat_version", LIBAVFORMAT_VERSION_MAJOR)
STREVIO_FF_FIXUP_PAIR(AVUtil, STREVIO_AVUTIL_API, "avutil_version", LIBAVUTIL_VERSION_MAJOR)
STREVIO_FF_FIXUP_PAIR(SwResample, STREVIO_SWRESAMPLE_API, "swresample_version", LIBSWRESAMPLE_VERSION_MAJOR)
STREVIO_FF_FIXUP_PAIR(SwScale, STREVIO_SWSCALE_API, "swscale_version", LIBSWSCALE_VERSION_MAJOR)

#define STREVIO_BIND_CRT_REQ(name) FixupStub(AFileName, AHandle, #name, false, crt::name);
#define STREVIO_BIND_CRT_OPT(name, type) FixupStub(AFileName, AHandle, #name, true, crt::name);
#define STREVIO_CLEAR_CRT_REQ(name) crt::name = nullptr;
#define STREVIO_CLEAR_CRT_OPT(name, type) crt::name = nullptr;

void FixupCRT(const TPathFileName& AFileName, void* AHandle) {
    STREVIO_CRT_API(STREVIO_BIND_CRT_REQ, STREVIO_BIND_CRT_OPT)
}

void UnfixCRT() {
    STREVIO_CRT_API(STREVIO_CLEAR_CRT_REQ, STREVIO_CLEAR_CRT_OPT)
}
