#pragma once
// Ends the application's event loop cleanly on SIGINT or SIGTERM (POSIX).

class QCoreApplication;

namespace vek {

// Call before anything that an early signal should not cut short. Returns
// false (with errno set) when the signals could not be caught.
bool catchStopSignals();
// Connects the caught signals to QCoreApplication::quit(); call once the
// application object exists.
void quitOnStopSignals(QCoreApplication &app);

} // namespace vek
