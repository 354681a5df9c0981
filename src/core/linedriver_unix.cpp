#include "linedriver.h"

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#ifdef Q_OS_LINUX
#include <linux/serial.h>
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

bool processRunning(qint64 pid)
{
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno != ESRCH);
}

} // namespace vek::linedriver
