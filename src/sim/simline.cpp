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
    m_byteTime = m_paced && baud > 0 ? Time(10'000'000'000LL / baud) : Time(0);
    m_toTarget.clear();
    m_toHost.clear();
    m_toTargetFree = m_toHostFree = Time(0);
    m_open = true;
    return OpenResult::Ok;
}

bool SimLine::close()
{
    m_open = false;
    m_toTarget.clear();
    m_toHost.clear();
    return true;
}

// Hands the target every byte that has arrived by `now`; its answer leaves
// byte by byte once the wire back is free.
void SimLine::settle(Time now)
{
    while (!m_hungUp && !m_toTarget.empty() && m_toTarget.front().due <= now) {
        const Timed in = m_toTarget.front();
        m_toTarget.pop_front();
        for (char c : m_target.feed(in.byte)) {
            m_toHostFree = std::max(in.due, m_toHostFree) + m_byteTime;
            m_toHost.push_back({uint8_t(c), m_toHostFree});
        }
        if (m_target.hungUp()) {
            m_hungUp = true;
            m_toTarget.clear();
            m_toHost.clear();
        }
    }
}

bool SimLine::writeByte(uint8_t b)
{
    if (!m_open || m_hungUp)
        return false;
    const Time now = m_clock->now();
    m_toTargetFree = std::max(now, m_toTargetFree) + m_byteTime;
    m_toTarget.push_back({b, m_toTargetFree});
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
        if (!m_toHost.empty() && m_toHost.front().due <= now) {
            b = m_toHost.front().byte;
            m_toHost.pop_front();
            return ReadResult::Byte;
        }
        // The next moment anything can change: a byte of the target's
        // arriving, or one of ours reaching the target.
        Time next = deadline;
        if (!m_toHost.empty())
            next = std::min(next, m_toHost.front().due);
        if (!m_toTarget.empty())
            next = std::min(next, m_toTarget.front().due);
        if (now >= deadline)
            return ReadResult::Timeout;
        m_clock->sleepUntil(next);
    }
}

void SimLine::purgeRx()
{
    const Time now = m_clock->now();
    settle(now);
    while (!m_toHost.empty() && m_toHost.front().due <= now)
        m_toHost.pop_front();
}

void SimLine::purgeTx()
{
    // Bytes whose first bit has not left yet.
    const Time now = m_clock->now();
    settle(now);
    while (!m_toTarget.empty() && m_toTarget.back().due - m_byteTime > now)
        m_toTarget.pop_back();
    m_toTargetFree = m_toTarget.empty() ? Time(0) : m_toTarget.back().due;
}

bool SimLine::setBreak(bool)
{
    return m_open && !m_hungUp;
}

} // namespace vek::sim
