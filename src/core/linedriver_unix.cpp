#include "linedriver.h"

#include <cerrno>
#include <cstdlib>
#include <csignal>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#ifdef Q_OS_LINUX
#include <QFile>
#include <dirent.h>
#include <linux/serial.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

namespace vek::linedriver {

void requestLowLatency(qintptr handle)
{
#ifdef Q_OS_LINUX
    serial_struct info{};
    if (::ioctl(int(handle), TIOCGSERIAL, &info) != 0 || (info.flags & ASYNC_LOW_LATENCY))
        return;
    info.flags |= ASYNC_LOW_LATENCY;
    ::ioctl(int(handle), TIOCSSERIAL, &info);
#else
    Q_UNUSED(handle);
#endif
}

// Asked of the line itself: a port may also report its device gone when a
// read merely found nothing yet.
bool hungUp(qintptr handle, bool)
{
    pollfd p{int(handle), POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL));
}

bool lockExclusive(qintptr handle)
{
    int r;
    do
        r = ::flock(int(handle), LOCK_EX | LOCK_NB);
    while (r != 0 && errno == EINTR);
    // A file system without flock (ENOLCK, EINVAL) is no reason to refuse.
    return r == 0 || errno != EWOULDBLOCK;
}

#ifdef Q_OS_LINUX
namespace {

// The numeric entries of a folder under /proc; none where it may not be read.
template<typename F>
void eachNumber(const QByteArray &folder, F f)
{
    DIR *dir = ::opendir(folder.constData());
    if (!dir)
        return;
    while (const dirent *e = ::readdir(dir)) {
        char *end = nullptr;
        const long n = std::strtol(e->d_name, &end, 10);
        if (end != e->d_name && *end == '\0' && !f(n))
            break;
    }
    ::closedir(dir);
}

// The pseudo-terminal whose master the descriptor is, from its fdinfo; -1
// for anything else.
int ptyIndexOf(const QByteArray &fdinfo)
{
    QFile f(QString::fromLocal8Bit(fdinfo));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith("tty-index:"))
            return line.mid(10).trimmed().toInt();
    }
    return -1;
}

} // namespace
#endif

QString otherHolder(const QString &device)
{
#ifdef Q_OS_LINUX
    struct stat dev {};
    if (::stat(QFile::encodeName(device).constData(), &dev) != 0 || !S_ISCHR(dev.st_mode))
        return {};
    // Slaves of the pseudo-terminal multiplexer: majors 136 to 143.
    const unsigned devMajor = major(dev.st_rdev);
    const int ptyIndex = devMajor >= 136 && devMajor <= 143 ? int((devMajor - 136) * 256 + minor(dev.st_rdev)) : -1;
    const long self = long(::getpid());
    QString holder;
    eachNumber("/proc", [&](long pid) {
        if (pid == self)
            return true;
        const QByteArray base = "/proc/" + QByteArray::number(qint64(pid));
        bool holds = false, peer = false;
        eachNumber(base + "/fd", [&](long fd) {
            struct stat st {};
            const QByteArray link = base + "/fd/" + QByteArray::number(qint64(fd));
            if (::stat(link.constData(), &st) != 0 || !S_ISCHR(st.st_mode))
                return true;
            if (st.st_rdev == dev.st_rdev)
                holds = true;
            else if (ptyIndex >= 0 && major(st.st_rdev) == 5 && minor(st.st_rdev) == 2
                     && ptyIndexOf(base + "/fdinfo/" + QByteArray::number(qint64(fd))) == ptyIndex)
                peer = true;
            return true;
        });
        if (!holds || peer)
            return true;
        QFile comm(QString::fromLocal8Bit(base + "/comm"));
        const QString name = comm.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(comm.readAll().trimmed()) : QString();
        holder = QStringLiteral("%1 (PID %2)").arg(name.isEmpty() ? QStringLiteral("a process") : name).arg(pid);
        return false;
    });
    return holder;
#else
    Q_UNUSED(device);
    return {};
#endif
}

bool processRunning(qint64 pid)
{
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno != ESRCH);
}

} // namespace vek::linedriver
