#pragma once
// The serial wire between a host and a target, both directions: a byte is
// on the wire for ten bit times, and the next byte in the same direction
// starts once the wire is free. A byte is due at the far end at
// max(its start, wire free) + byte time. The demo line runs it on its own
// clock; the pseudo-terminal target on the steady clock.

#include <QByteArray>
#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>

namespace vek::sim {

class Wire {
public:
    using Time = std::chrono::nanoseconds;   // since some fixed start
    struct Timed {
        uint8_t byte;
        Time due;   // when its last bit has arrived at the far end
    };

    // Ten bit times at `baud`; zero (every byte at once) for 0.
    static Time byteTimeAt(int baud) { return baud > 0 ? Time(10'000'000'000LL / baud) : Time(0); }

    // Empty and idle, at the given byte time.
    void reset(Time byteTime)
    {
        m_byteTime = byteTime;
        clear();
    }
    void clear()
    {
        m_toTarget.clear();
        m_toHost.clear();
        m_toTargetFree = m_toHostFree = Time(0);
    }
    Time byteTime() const { return m_byteTime; }

    // A byte of the host's, starting at `now` or when the wire is free.
    void send(uint8_t b, Time now)
    {
        m_toTargetFree = std::max(now, m_toTargetFree) + m_byteTime;
        m_toTarget.push_back({b, m_toTargetFree});
    }

    // Hands the target each byte that has reached it by `now`; its answer
    // leaves byte by byte once the wire back is free. `answer` gives the
    // target's bytes, or nothing when the target hung up: then both
    // directions are emptied and deliver returns false.
    template <class Answer>
    bool deliver(Time now, Answer &&answer)
    {
        while (!m_toTarget.empty() && m_toTarget.front().due <= now) {
            const Timed in = m_toTarget.front();
            m_toTarget.pop_front();
            const std::optional<QByteArray> out = answer(in.byte);
            if (!out) {
                clear();
                return false;
            }
            for (char c : *out) {
                m_toHostFree = std::max(in.due, m_toHostFree) + m_byteTime;
                m_toHost.push_back({uint8_t(c), m_toHostFree});
            }
        }
        return true;
    }

    // The target's bytes on their way or arrived, oldest first.
    std::deque<Timed> &toHost() { return m_toHost; }
    bool arrived(Time now) const { return !m_toHost.empty() && m_toHost.front().due <= now; }
    uint8_t take()
    {
        const uint8_t b = m_toHost.front().byte;
        m_toHost.pop_front();
        return b;
    }

    // The next moment anything changes (a byte arriving either way, or only
    // at the target without `replies`), or `limit` when that is sooner or
    // nothing is under way.
    Time next(Time limit, bool replies = true) const
    {
        if (replies && !m_toHost.empty())
            limit = std::min(limit, m_toHost.front().due);
        if (!m_toTarget.empty())
            limit = std::min(limit, m_toTarget.front().due);
        return limit;
    }

    // The host's receive queue emptied: what has arrived by `now`.
    void dropArrived(Time now)
    {
        while (arrived(now))
            m_toHost.pop_front();
    }
    // The host's transmit queue emptied: bytes whose first bit has not left.
    void dropUnsent(Time now)
    {
        while (!m_toTarget.empty() && m_toTarget.back().due - m_byteTime > now)
            m_toTarget.pop_back();
        m_toTargetFree = m_toTarget.empty() ? Time(0) : m_toTarget.back().due;
    }

private:
    Time m_byteTime{0};
    std::deque<Timed> m_toTarget;   // host's bytes on their way
    std::deque<Timed> m_toHost;     // target's bytes on their way or arrived
    Time m_toTargetFree{0};         // when the wire in each direction is next idle
    Time m_toHostFree{0};
};

} // namespace vek::sim
