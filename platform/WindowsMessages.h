// The numbers of the window messages that the programs send to each other's hidden windows.
#pragma once

#include <cstdint>

namespace platform {

inline constexpr std::uint32_t WM_CLOSE = 0x0010;
inline constexpr std::uint32_t WM_QUERYENDSESSION = 0x0011;
inline constexpr std::uint32_t WM_QUIT = 0x0012;
inline constexpr std::uint32_t WM_ENDSESSION = 0x0016;
inline constexpr std::uint32_t WM_USER = 0x0400;

}  // namespace platform
