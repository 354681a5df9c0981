#pragma once
// A scripted serial line and host on a virtual clock: nothing sleeps, every
// time-out and fixed wait moves the clock, and every action is logged in
// order so tests can assert the exact conversation.

#include "host.h"
#include "serialline.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <deque>
#include <functional>

namespace vek::testing {

struct VirtualClock {
    qint64 nowMs = 0;
};

class FakeLine final : public SerialLine {
public:
    explicit FakeLine(VirtualClock &clock) : m_clock(clock) {}

    // What the target sends back for each byte written; the default answers
    // nothing. Bytes returned are queued for reading.
    std::function<QByteArray(uint8_t)> respond;
    // Faults.
    OpenResult openResult = OpenResult::Ok;
    OpenFailure failure;   // why, when openResult is CannotOpen
    bool failClose = false;
    // Set: the line is lost for this reason, every write and read fails.
    QString lost;
    // Everything the host wrote, in order.
    QByteArray written;
    // The whole conversation: "open ttyS0 9600", "w 41", "r 41", "timeout",
    // "purge rx", "purge tx", "break on", "break off", "close",
    // plus whatever the host adds ("sleep 250", "msg Write failed").
    QStringList log;

    // Bytes waiting to be read.
    void queue(const QByteArray &bytes) { m_rx.insert(m_rx.end(), bytes.begin(), bytes.end()); }

    OpenResult open(const QString &name, int32_t baud) override
    {
        log << QStringLiteral("open %1 %2").arg(name).arg(baud);
        m_open = openResult != OpenResult::CannotOpen;
        return openResult;
    }
    bool isOpen() const override { return m_open; }
    OpenFailure openFailure() const override { return failure; }
    QString lostReason() const override { return m_open ? lost : QString(); }
    bool close() override
    {
        log << QStringLiteral("close");
        m_open = m_open && failClose;
        return !failClose;
    }
    bool writeByte(uint8_t b) override
    {
        if (!lost.isEmpty()) {
            log << QString::asprintf("w %02X failed", b);
            return false;
        }
        written.append(char(b));
        log << QString::asprintf("w %02X", b);
        if (respond)
            queue(respond(b));
        return true;
    }
    ReadResult readByte(uint8_t &b) override
    {
        if (!lost.isEmpty()) {
            log << QStringLiteral("read failed");
            return ReadResult::Error;
        }
        if (m_rx.empty()) {
            // A stop asked meanwhile ends the wait within a slice.
            for (int waited = 0; waited < ReadTimeoutMs && readGoesOn(); waited += WaitSliceMs)
                m_clock.nowMs += hasReadWaitCheck() ? WaitSliceMs : ReadTimeoutMs - waited;
            log << QStringLiteral("timeout");
            return ReadResult::Timeout;
        }
        b = m_rx.front();
        m_rx.pop_front();
        log << QString::asprintf("r %02X", b);
        return ReadResult::Byte;
    }
    void purgeRx() override
    {
        m_rx.clear();
        log << QStringLiteral("purge rx");
    }
    void purgeTx() override { log << QStringLiteral("purge tx"); }
    bool setBreak(bool on) override
    {
        log << (on ? QStringLiteral("break on") : QStringLiteral("break off"));
        return true;
    }

private:
    VirtualClock &m_clock;
    std::deque<uint8_t> m_rx;
    bool m_open = false;
};

class FakeHost final : public Host {
public:
    FakeHost(VirtualClock &clock, FakeLine *line = nullptr) : m_clock(clock), m_line(line) {}
    QStringList messages;
    qint64 stopAtMs = -1;   // a stop is asked from this virtual time on
    void showMessage(const QString &text) override
    {
        messages << text;
        if (m_line)
            m_line->log << QStringLiteral("msg ") + text;
    }
    bool stopAsked() override { return stopAtMs >= 0 && m_clock.nowMs >= stopAtMs; }
    // Ends at the stop, as a sleep that watches for one does.
    void sleepMs(int ms) override
    {
        m_clock.nowMs += stopAtMs >= m_clock.nowMs ? qMin<qint64>(ms, stopAtMs - m_clock.nowMs) : ms;
        if (m_line)
            m_line->log << QStringLiteral("sleep %1").arg(ms);
    }

private:
    VirtualClock &m_clock;
    FakeLine *m_line;
};

} // namespace vek::testing
