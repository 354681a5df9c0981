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

class VirtualClock {
public:
    qint64 nowMs = 0;
};

class FakeLine final : public SerialLine {
public:
    explicit FakeLine(VirtualClock &clock) : m_clock(clock) {}

    // What the target sends back for each byte written; the default answers
    // nothing. Bytes returned are queued for reading.
    std::function<QByteArray(uint8_t)> respond;

    // Bytes waiting to be read.
    void queue(const QByteArray &bytes);

    // Faults.
    OpenResult openResult = OpenResult::Ok;
    bool failClose = false;

    // Everything the host wrote, in order.
    QByteArray written;
    // The whole conversation: "open ttyS0 9600", "w 41", "r 41", "timeout",
    // "purge rx", "purge tx", "break on", "break off", "close",
    // plus whatever the host adds ("sleep 250", "msg Write failed").
    QStringList log;
    QString openedName;
    int32_t openedBaud = 0;

    OpenResult open(const QString &name, int32_t baud) override;
    bool isOpen() const override { return m_open; }
    bool close() override;
    bool writeByte(uint8_t b) override;
    ReadResult readByte(uint8_t &b) override;
    void purgeRx() override;
    void purgeTx() override;
    bool setBreak(bool on) override;

private:
    VirtualClock &m_clock;
    std::deque<uint8_t> m_rx;
    bool m_open = false;
};

class FakeHost final : public Host {
public:
    FakeHost(VirtualClock &clock, FakeLine *line = nullptr) : m_clock(clock), m_line(line) {}
    QStringList messages;
    void showMessage(const QString &text) override;
    void sleepMs(int ms) override;

private:
    VirtualClock &m_clock;
    FakeLine *m_line;
};

} // namespace vek::testing
