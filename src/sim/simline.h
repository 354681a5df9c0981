#pragma once
// A serial line whose far end is a TargetMonitor in the same process: the
// demo port. No pseudo-terminal and no thread; the link's own calls move
// the bytes. Each byte takes ten bit times on the wire in either direction,
// on a clock that is real for the programs and virtual in tests.

#include "serialline.h"
#include "targetmonitor.h"
#include "wire.h"

#include <chrono>

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
// that a first read shows something, and the moving registers on.
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

    void settle(Time now);

    TargetMonitor m_target;
    SteadyLineClock m_steady;
    LineClock *m_clock;
    const bool m_paced;
    bool m_open = false;
    bool m_hungUp = false;
    Wire m_wire;
};

} // namespace vek::sim
