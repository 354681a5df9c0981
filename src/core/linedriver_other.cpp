#include "linedriver.h"

namespace vek::linedriver {

void requestLowLatency(qintptr) {}

// QSerialPort reports a device that went away as a resource error; that is
// all there is to go on here.
bool hungUp(qintptr) { return false; }

} // namespace vek::linedriver
