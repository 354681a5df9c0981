#pragma once
// A serial line whose far end is a TargetMonitor in the same process: the
// demo port. No pseudo-terminal and no thread; the link's own calls move
// the bytes. Each byte takes ten bit times on the wire in either direction,
// on a clock that is real for the programs and virtual in tests.

#include "serialline.h"
#include "targetmonitor.h"

#include <chrono>
#include <deque>

namespace vek::sim {

class LineClock {
public:
    using Time = std::chrono::nanoseconds;   // since some fixed start
    virtual ~LineClock() = default;
    virtual Time now() const = 0;
    virtual void sleepUntil(Time t) = 0;
};

// Real time on the steady clock; sleeping blocks the calling thread.
class SteadyLineClock final : public LineClock {
public:
    Time now() const override;
    void sleepUntil(Time t) override;
};

// Virtual time: sleeping jumps there at once.
class ManualLineClock final : public LineClock {
public:
    Time t{0};
    Time now() const override { return t; }
    void sleepUntil(Time until) override { t = std::max(t, until); }
    void advanceMs(int ms) { t += std::chrono::milliseconds(ms); }
};

// The port name under which the programs offer the simulated target.
inline constexpr char DemoPortName[] = "demo";

// What the demo target starts with: a few registers that are not zero, so
// that a first read shows something.
TargetOptions demoTarget();

class SimLine final : public SerialLine {
public:
    // `clock` is not owned; nullptr uses the real steady clock. With
    // `paced` false every byte arrives at once.
    explicit SimLine(const TargetOptions &options = demoTarget(), LineClock *clock = nullptr, bool paced = true);

    TargetMonitor &target() { return m_target; }

    // Any name opens the simulated target; the bit rate sets the pacing.
    OpenResult open(const QString &name, int32_t baud) override;
    bool isOpen() const override { return m_open; }
    bool close() override;
    bool writeByte(uint8_t b) override;
    ReadResult readByte(uint8_t &b) override;
    void purgeRx() override;
    void purgeTx() override;
    bool setBreak(bool on) override;

private:
    using Time = LineClock::Time;
    struct Timed {
        uint8_t byte;
        Time due;   // when its last bit has arrived at the far end
    };

    void settle(Time now);

    TargetMonitor m_target;
    SteadyLineClock m_steady;
    LineClock *m_clock;
    const bool m_paced;
    Time m_byteTime{0};
    bool m_open = false;
    bool m_hungUp = false;
    std::deque<Timed> m_toTarget;     // host's bytes on their way
    std::deque<Timed> m_toHost;       // target's bytes on their way or arrived
    Time m_toTargetFree{0};           // when the wire in each direction is next idle
    Time m_toHostFree{0};
};

} // namespace vek::sim
