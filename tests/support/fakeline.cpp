#include "fakeline.h"

namespace vek::testing {

namespace {
QString hex(uint8_t b) { return QString::asprintf("%02X", b); }
}

void FakeLine::queue(const QByteArray &bytes)
{
    for (char c : bytes)
        m_rx.push_back(uint8_t(c));
}

SerialLine::OpenResult FakeLine::open(const QString &name, int32_t baud)
{
    log << QStringLiteral("open %1 %2").arg(name).arg(baud);
    openedName = name;
    openedBaud = baud;
    if (openResult != OpenResult::CannotOpen)
        m_open = true;
    return openResult;
}

bool FakeLine::close()
{
    log << QStringLiteral("close");
    if (failClose)
        return false;
    m_open = false;
    return true;
}

bool FakeLine::writeByte(uint8_t b)
{
    written.append(char(b));
    log << QStringLiteral("w %1").arg(hex(b));
    if (respond)
        queue(respond(b));
    return true;
}

SerialLine::ReadResult FakeLine::readByte(uint8_t &b)
{
    if (m_rx.empty()) {
        m_clock.nowMs += ReadTimeoutMs;
        log << QStringLiteral("timeout");
        return ReadResult::Timeout;
    }
    b = m_rx.front();
    m_rx.pop_front();
    log << QStringLiteral("r %1").arg(hex(b));
    return ReadResult::Byte;
}

void FakeLine::purgeRx()
{
    m_rx.clear();
    log << QStringLiteral("purge rx");
}

void FakeLine::purgeTx() { log << QStringLiteral("purge tx"); }

bool FakeLine::setBreak(bool on)
{
    log << (on ? QStringLiteral("break on") : QStringLiteral("break off"));
    return true;
}

void FakeHost::showMessage(const QString &text)
{
    messages << text;
    if (m_line)
        m_line->log << QStringLiteral("msg ") + text;
}

void FakeHost::sleepMs(int ms)
{
    m_clock.nowMs += ms;
    if (m_line)
        m_line->log << QStringLiteral("sleep %1").arg(ms);
}

} // namespace vek::testing
