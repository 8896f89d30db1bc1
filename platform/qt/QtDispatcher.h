// Wires the main-thread dispatcher to the Qt event loop.
#pragma once

namespace platform {

// Call on the GUI thread once the QApplication exists: that thread becomes the main thread, a
// Synchronize from a worker wakes the event loop with a queued call of CheckSynchronize, and
// ProcessMessages processes Qt's pending events.
void InstallQtDispatcher();

// Call on the GUI thread before the QApplication goes away: no wake-up touches the application any more,
// and pending or later Synchronize calls from workers fail at once instead of waiting.
void UninstallQtDispatcher();

}  // namespace platform
