#include "linedriver.h"

#include <poll.h>
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

} // namespace vek::linedriver
