#include "engine/base/Deinterlace.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace {

// 5-tap vertical filter of one rebuilt line, clamped to 0..255.
uint8_t Deint(int lum_m4, int lum_m3, int lum_m2, int lum_m1, int lum) {
    const int sum = -lum_m4 + (lum_m3 << 2) + (lum_m2 << 1) + (lum_m1 << 2) - lum;
    return static_cast<uint8_t>(std::clamp((sum + 4) >> 3, 0, 255));
}

void DeinterlacePlane(uint8_t* ADst, int ADstWrap, const uint8_t* ASrc, int ASrcWrap, int AWidth,
                      int AHeight) {
    for (int y = 0; y < AHeight; ++y) {
        uint8_t* dst = ADst + static_cast<ptrdiff_t>(y) * ADstWrap;
        const uint8_t* cur = ASrc + static_cast<ptrdiff_t>(y) * ASrcWrap;
        // Even lines are kept; odd lines are rebuilt from the lines around them.
        if (y % 2 == 0) {
            std::memcpy(dst, cur, static_cast<size_t>(AWidth));
            continue;
        }
        const auto line = [&](int AY) {
            return ASrc + static_cast<ptrdiff_t>(std::clamp(AY, 0, AHeight - 1)) * ASrcWrap;
        };
        const uint8_t* m2 = line(y - 2);
        const uint8_t* m1 = line(y - 1);
        const uint8_t* p1 = line(y + 1);
        const uint8_t* p2 = line(y + 2);
        for (int x = 0; x < AWidth; ++x) {
            dst[x] = Deint(m2[x], m1[x], cur[x], p1[x], p2[x]);
        }
    }
}

}  // namespace

bool deinterlace_yuv420p(uint8_t* const ADst[3], const int ADstLinesize[3], const uint8_t* const ASrc[3],
                         const int ASrcLinesize[3], int AWidth, int AHeight) {
    if (AWidth < 2 || AHeight < 4 || (AHeight & 3) != 0) {
        return false;
    }
    for (int plane = 0; plane < 3; ++plane) {
        const int w = plane == 0 ? AWidth : AWidth / 2;
        const int h = plane == 0 ? AHeight : AHeight / 2;
        DeinterlacePlane(ADst[plane], ADstLinesize[plane], ASrc[plane], ASrcLinesize[plane], w, h);
    }
    return true;
}

