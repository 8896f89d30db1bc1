// System queries of the maker's utility library, and the application's termination request.
#pragma once

#include <cstdint>

namespace winutils {

// The system's version code of the maker's table: 1..7 for the old systems the table lists, -1 for every
// other system, which includes this one.
int32_t GetOSVersion();
// True when the program runs with the administrator's rights (effective user root).
bool IsUserAdministrator();
// True when the version code is below 4 (so also for -1); otherwise the administrator test decides.
bool HasAdminRights();

// The video acceleration probe, in the version codes the player compares against 0x4FF: 0x800 when the
// X server offers the XVideo extension, 0 when it does not or no X server can be reached.
uint32_t GetDirectXVersion();

// Asks the application to end: sets the flag that waits check and makes a running Qt event loop quit.
void RequestApplicationTerminate();
// True once RequestApplicationTerminate was called.
bool ApplicationTerminated();

namespace testing {
void ResetApplicationTerminated();
}  // namespace testing

}  // namespace winutils
