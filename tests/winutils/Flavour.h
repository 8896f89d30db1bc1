// The utility modules' tests run in both flavours; the suite names tell the two apart in ctest.
#pragma once

#ifdef WINUTILS_POLLWICK
#define FLAVOURED(suite) Pollwick##suite
inline constexpr bool kPollwick = true;
#else
#define FLAVOURED(suite) Player##suite
inline constexpr bool kPollwick = false;
#endif
