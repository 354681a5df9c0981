// Platforms without POSIX signals: nothing stops vekctl early; the waits
// are plain.

#include "interrupt.h"

#include <chrono>
#include <thread>

namespace vek::interrupt {

bool install() { return true; }
void restore() {}
int wakeFd() { return -1; }

int pending() { return 0; }

bool sleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return true;
}

bool waitForInput(int) { return true; }
bool isTerminal(int) { return false; }
bool outputGone() { return false; }

} // namespace vek::interrupt
