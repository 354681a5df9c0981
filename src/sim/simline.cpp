#include "simline.h"

#include <thread>

namespace vek::sim {

LineClock::Time SteadyLineClock::now() const
{
    return std::chrono::duration_cast<Time>(std::chrono::steady_clock::now().time_since_epoch());
}

void SteadyLineClock::sleepUntil(Time t)
{
    std::this_thread::sleep_until(std::chrono::steady_clock::time_point(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(t)));
}

TargetOptions demoTarget()
{
    TargetOptions options;
    options.registers[0x006] = 0x3F;
    options.registers[0x010] = 0xA5;
    options.registers[WaveRegister] = 0x80;
    options.moving = true;
    return options;
}

SimLine::SimLine(const TargetOptions &options, LineClock *clock, bool paced)
    : m_target(options), m_clock(clock ? clock : &m_steady), m_paced(paced)
{
}

SerialLine::OpenResult SimLine::open(const QString &, int32_t baud)
{
    if (m_hungUp)
        return OpenResult::CannotOpen;   // as a device that has gone
    m_wire.reset(Wire::byteTimeAt(m_paced ? baud : 0));
    m_open = true;
    return OpenResult::Ok;
}

bool SimLine::close()
{
    m_open = false;
    m_wire.clear();
    return true;
}

// Hands the target every byte that has arrived by `now`.
void SimLine::settle(Time now)
{
    if (m_hungUp)
        return;
    m_hungUp = !m_wire.deliver(now, [this, now](uint8_t b) -> std::optional<QByteArray> {
        m_target.setTime(now);
        QByteArray out = m_target.feed(b);
        if (m_target.hungUp())
            return std::nullopt;
        return out;
    });
}

bool SimLine::writeByte(uint8_t b)
{
    if (!m_open || m_hungUp)
        return false;
    const Time now = m_clock->now();
    m_wire.send(b, now);
    settle(now);
    return true;
}

SerialLine::ReadResult SimLine::readByte(uint8_t &b)
{
    if (!m_open)
        return ReadResult::Error;
    const Time deadline = m_clock->now() + std::chrono::milliseconds(ReadTimeoutMs);
    for (;;) {
        const Time now = m_clock->now();
        settle(now);
        if (m_hungUp)
            return ReadResult::Error;
        if (m_wire.arrived(now)) {
            b = m_wire.take();
            return ReadResult::Byte;
        }
        if (now >= deadline)
            return ReadResult::Timeout;
        m_clock->sleepUntil(m_wire.next(deadline));
    }
}

void SimLine::purgeRx()
{
    const Time now = m_clock->now();
    settle(now);
    m_wire.dropArrived(now);
}

void SimLine::purgeTx()
{
    // Bytes whose first bit has not left yet.
    const Time now = m_clock->now();
    settle(now);
    m_wire.dropUnsent(now);
}

bool SimLine::setBreak(bool)
{
    return m_open && !m_hungUp;
}

} // namespace vek::sim
