#include "qtserialline.h"

#include "linedriver.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSysInfo>

#include <cerrno>
#include <cstring>

namespace vek {

namespace {

QString systemText(int errorNumber)
{
    return QString::fromLocal8Bit(std::strerror(errorNumber));
}

// QSerialPort gives the system's words for a failed open, except for a port
// that another process holds through its lock file: that is said here in the
// system's words for a busy device.
SerialLine::OpenFailure describeOpenFailure(const QSerialPort &port)
{
    using Kind = SerialLine::OpenFailure::Kind;
    const QString text = port.errorString();
    switch (port.error()) {
    case QSerialPort::DeviceNotFoundError:
        return {Kind::NotFound, text};
    case QSerialPort::PermissionError:
        if (text == systemText(EBUSY) || text.contains(QLatin1String("locking the device")))
            return {Kind::Busy, systemText(EBUSY)};
        return {Kind::NoPermission, text};
    default:
        break;
    }
    if (text == systemText(ENOTTY))
        return {Kind::NotSerial, text};
    return {Kind::Unknown, text};
}

// Where QSerialPort keeps the lock file of a device: LCK.. and the path
// below /dev with '/' as '_', in the first of these folders that holds it.
QString lockFileOf(const QString &device)
{
    QString name = device;
    if (name.startsWith(QLatin1String("/dev/")))
        name.remove(0, 5);
    name.replace(u'/', u'_').prepend(QLatin1String("/LCK.."));
    for (const char *dir : {"/var/lock", "/etc/locks", "/var/spool/locks", "/var/spool/uucp", "/tmp",
                            "/var/tmp", "/var/lock/lockdev", "/run/lock"}) {
        const QString path = QLatin1String(dir) + name;
        if (QFileInfo::exists(path))
            return path;
    }
    return {};
}

} // namespace

QString QtSerialLine::devicePath(const QString &name)
{
#ifdef Q_OS_UNIX
    // A short name is one below /dev, as QSerialPort takes it.
    const bool path = name.startsWith(u'/') || name.startsWith(QLatin1String("./"))
                      || name.startsWith(QLatin1String("../"));
    const QString resolved = QFileInfo(path ? name : QLatin1String("/dev/") + name).canonicalFilePath();
    return resolved.isEmpty() ? name : resolved;
#else
    return name;
#endif
}

QtSerialLine::QtSerialLine()
    : m_removeLock([](const QString &path) { return QFile::remove(path); })
{
    QObject::connect(&m_port, &QSerialPort::errorOccurred, &m_port,
                     [this](QSerialPort::SerialPortError e) { noteError(e); });
}

QtSerialLine::~QtSerialLine() = default;

// A hung-up line stays readable to the event loop: the port's notifier
// fires on every pass, and each read finds nothing but the error again, so
// an idle window would burn a processor core. The first such error marks
// the line dead, and the descriptor is let go as soon as the port's own
// handler has returned (a pulled adapter then comes back under its name).
void QtSerialLine::noteError(QSerialPort::SerialPortError error)
{
    if (m_dead || !m_port.isOpen() || error == QSerialPort::NoError || error == QSerialPort::TimeoutError)
        return;
    if (!linedriver::hungUp(m_port.handle(), error == QSerialPort::ResourceError))
        return;
    m_dead = true;
    QMetaObject::invokeMethod(&m_port, [this] { alive(); }, Qt::QueuedConnection);
}

// False on a closed or dead line; a dead one's descriptor is released here.
bool QtSerialLine::alive()
{
    if (m_dead && m_port.isOpen())
        m_port.close();
    return !m_dead && m_port.isOpen();
}

SerialLine::OpenResult QtSerialLine::open(const QString &name, int32_t baud)
{
    if (m_port.isOpen())
        m_port.close();
    m_dead = false;
    m_openFailure = {};
    if (name.isEmpty())
        return OpenResult::CannotOpen;
    const QString device = devicePath(name);
    if (const QString stale = removeStaleLock(device); !stale.isEmpty()) {
        m_openFailure = {OpenFailure::Kind::Unknown, stale};
        return OpenResult::CannotOpen;
    }
    // Busy, naming the program that has the port where the system shows it.
    const auto busy = [&] {
        const QString holder = linedriver::otherHolder(device);
        m_openFailure = {OpenFailure::Kind::Busy, holder.isEmpty() ? systemText(EBUSY)
                                                                   : QStringLiteral("%1: %2 has it open")
                                                                         .arg(systemText(EBUSY), holder)};
    };
    m_port.setPortName(device);
    if (!m_port.open(QIODevice::ReadWrite)) {
        m_openFailure = describeOpenFailure(m_port);
        if (m_openFailure.kind == OpenFailure::Kind::Busy)
            busy();
        return OpenResult::CannotOpen;
    }
    // The lock file and TIOCEXCL keep out programs that honour them (and
    // TIOCEXCL does not bind root); a program that locks the device itself
    // with flock is seen here. One that takes neither (a network server
    // serving the same device) still has it open: refused before a byte is
    // sent.
    if (!linedriver::lockExclusive(m_port.handle()) || !linedriver::otherHolder(device).isEmpty()) {
        m_port.close();
        busy();
        return OpenResult::CannotOpen;
    }
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
    linedriver::requestLowLatency(m_port.handle());
    return OpenResult::Ok;
}

// A lock file whose process has gone does not make the port busy. It is
// removed where permitted; else the reason names it, for the user to remove.
QString QtSerialLine::removeStaleLock(const QString &device)
{
    const QString lock = lockFileOf(device);
    qint64 pid = 0;
    QString host, app;
    if (lock.isEmpty() || !QLockFile(lock).getLockInfo(&pid, &host, &app) || pid <= 0)
        return {};
    if ((!host.isEmpty() && host != QSysInfo::machineHostName()) || linedriver::processRunning(pid))
        return {};
    if (m_removeLock(lock))
        return {};
    return QStringLiteral("stale lock %1 of process %2 (no longer running): remove it").arg(lock).arg(pid);
}

bool QtSerialLine::isOpen() const { return m_dead || m_port.isOpen(); }

SerialLine::OpenFailure QtSerialLine::openFailure() const { return m_openFailure; }

QString QtSerialLine::lostReason() const
{
    return m_dead ? QStringLiteral("the line hung up (the adapter was removed or the other end closed)") : QString();
}

bool QtSerialLine::close()
{
    m_dead = false;
    if (m_port.isOpen())
        m_port.close();
    return !m_port.isOpen();
}

bool QtSerialLine::writeByte(uint8_t b)
{
    if (!alive())
        return false;
    const char c = char(b);
    if (m_port.write(&c, 1) != 1)
        return false;
    // Bytes that arrive meanwhile are buffered by the port and taken by the
    // next readByte.
    QDeadlineTimer deadline(WriteTimeoutMs);
    while (m_port.bytesToWrite() > 0 && !deadline.hasExpired() && !m_dead) {
        if (!m_port.waitForBytesWritten(int(deadline.remainingTime())))
            break;
    }
    return !m_dead && m_port.bytesToWrite() == 0;
}

SerialLine::ReadResult QtSerialLine::readByte(uint8_t &b)
{
    if (!alive())
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
        if (left <= 0 || !readGoesOn())
            return ReadResult::Timeout;
        if (!m_port.waitForReadyRead(int(hasReadWaitCheck() ? qMin<qint64>(left, WaitSliceMs) : left))) {
            const auto err = m_port.error();
            m_port.clearError();
            // A hung-up line fails every wait at once: report it, never spin.
            // A plain time-out goes round again to the deadline check.
            if (m_dead || (err != QSerialPort::TimeoutError && err != QSerialPort::NoError))
                return ReadResult::Error;
        }
    }
}

void QtSerialLine::purgeRx()
{
    if (alive())
        m_port.clear(QSerialPort::Input);
}

void QtSerialLine::purgeTx()
{
    if (alive())
        m_port.clear(QSerialPort::Output);
}

bool QtSerialLine::setBreak(bool on)
{
    return alive() && m_port.setBreakEnabled(on);
}

} // namespace vek
