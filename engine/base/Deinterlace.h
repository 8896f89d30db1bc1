// The engine's own deinterlacer, a picture rule shared by the player's video decoder and the frame
// decoder (FFmpeg 5.1 no longer has one outside its filters).
#pragma once

#include <cstdint>

// Rebuilds each field line of a YUV420P picture (and of the other planar 8-bit formats with even
// heights) from its neighbours with the (-1 4 2 4 -1) / 8 filter. False when the format is not supported.
bool deinterlace_yuv420p(uint8_t* const ADst[3], const int ADstLinesize[3], const uint8_t* const ASrc[3],
                         const int ASrcLinesize[3], int AWidth, int AHeight);
