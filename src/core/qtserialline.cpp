#include "qtserialline.h"

#include <QDeadlineTimer>

namespace vek {

QtSerialLine::QtSerialLine() = default;
QtSerialLine::~QtSerialLine() = default;

SerialLine::OpenResult QtSerialLine::open(const QString &name, int32_t baud)
{
    if (m_port.isOpen())
        m_port.close();
    if (name.isEmpty())
        return OpenResult::CannotOpen;
    m_port.setPortName(name);
    if (!m_port.open(QIODevice::ReadWrite))
        return OpenResult::CannotOpen;
    const bool lineOk = m_port.setBaudRate(baud)
                        && m_port.setDataBits(QSerialPort::Data8)
                        && m_port.setParity(QSerialPort::NoParity)
                        && m_port.setStopBits(QSerialPort::OneStop)
                        && m_port.setFlowControl(QSerialPort::NoFlowControl);
    if (!lineOk)
        return OpenResult::SetStateFailed;
    // Best effort: a pseudo-terminal has no modem lines and refuses these.
    m_port.setDataTerminalReady(false);
    m_port.setRequestToSend(false);
    return OpenResult::Ok;
}

bool QtSerialLine::isOpen() const { return m_port.isOpen(); }

bool QtSerialLine::close()
{
    m_port.close();
    return !m_port.isOpen();
}

bool QtSerialLine::writeByte(uint8_t b)
{
    if (!m_port.isOpen())
        return false;
    const char c = char(b);
    if (m_port.write(&c, 1) != 1)
        return false;
    // Bytes that arrive meanwhile are buffered by the port and taken by the
    // next readByte.
    QDeadlineTimer deadline(WriteTimeoutMs);
    while (m_port.bytesToWrite() > 0 && !deadline.hasExpired()) {
        if (!m_port.waitForBytesWritten(int(deadline.remainingTime())))
            break;
    }
    return m_port.bytesToWrite() == 0;
}

SerialLine::ReadResult QtSerialLine::readByte(uint8_t &b)
{
    if (!m_port.isOpen())
        return ReadResult::Error;
    QDeadlineTimer deadline(ReadTimeoutMs);
    for (;;) {
        if (m_port.bytesAvailable() > 0) {
            char c = 0;
            if (!m_port.getChar(&c))
                return ReadResult::Error;
            b = uint8_t(c);
            return ReadResult::Byte;
        }
        const qint64 left = deadline.remainingTime();
        if (left <= 0)
            return ReadResult::Timeout;
        if (!m_port.waitForReadyRead(int(left))) {
            const auto err = m_port.error();
            m_port.clearError();
            // A hung-up line fails every wait at once: report it, never spin.
            // A plain time-out goes round again to the deadline check.
            if (err != QSerialPort::TimeoutError && err != QSerialPort::NoError)
                return ReadResult::Error;
        }
    }
}

void QtSerialLine::purgeRx()
{
    if (m_port.isOpen())
        m_port.clear(QSerialPort::Input);
}

void QtSerialLine::purgeTx()
{
    if (m_port.isOpen())
        m_port.clear(QSerialPort::Output);
}

bool QtSerialLine::setBreak(bool on)
{
    return m_port.isOpen() && m_port.setBreakEnabled(on);
}

} // namespace vek
