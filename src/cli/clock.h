#pragma once
// Time as vekctl's waits see it: a steady clock, the wall clock and a sleep
// that a signal cuts short (also the connection sequence's fixed waits). The system's
// clock is the one vekctl runs on; tests put a virtual one in its place, so
// that nothing in them sleeps.

#include <QtGlobal>

namespace vek::cli {

class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds on a steady clock since some fixed start.
    virtual qint64 nowMs() = 0;
    // Milliseconds since 1970, for the wall-clock times printed.
    virtual qint64 wallMs() = 0;
    // Sleeps `ms` milliseconds; false when a stop was asked before or meanwhile.
    virtual bool sleepMs(qint64 ms) = 0;

    static Clock &system();
};

} // namespace vek::cli
