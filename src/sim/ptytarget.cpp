#include "ptytarget.h"

#include "wire.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace vek::sim {

namespace {

using Clock = std::chrono::steady_clock;
constexpr Clock::duration SpinBefore = std::chrono::microseconds(150);

QString sysError(const char *what)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(errno)));
}

bool makeRaw(int fd)
{
    termios t{};
    if (tcgetattr(fd, &t) != 0)
        return false;
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

void closeFd(int &fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

} // namespace

struct PtyTarget::Impl {
    explicit Impl(const TargetOptions &options, int baud) : monitor(options), pacingBaud(baud) {}

    mutable std::mutex mutex;
    std::condition_variable changed;
    TargetMonitor monitor;
    const int pacingBaud;
    QString path;

    // The descriptors are opened by start(); while the thread runs only the
    // thread closes them (a descriptor closed under a poll() could be reused).
    int master = -1;
    int slave = -1; // kept open so the host may close and reopen the device
    int wake = -1;  // eventfd: stop or hang-up requested
    std::thread thread;
    bool running = false;
    bool stopRequested = false;
    bool hangUpRequested = false;
    bool hungUp = false;

    void signal()
    {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wake, &one, sizeof one);
    }
    // with `mutex` held
    void closeLine()
    {
        closeFd(master);
        closeFd(slave);
        hungUp = true;
        changed.notify_all();
    }
    void serve();
};

// One loop handles both directions. A byte read from the master is taken as
// having started on the wire when it was read, and reaches the monitor one
// byte time later; the monitor's answer is queued and each byte leaves one
// byte time after the previous one (or after the byte that caused it, if
// the line was idle). Deadlines are absolute, so late wake-ups do not add up.
void PtyTarget::Impl::serve()
{
    // Default timer slack (50 us) would cost a few percent at 9600 bit/s.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

    Wire wire;
    wire.reset(Wire::byteTimeAt(pacingBaud));
    const bool paced = pacingBaud > 0;
    const auto clockNow = [] {
        return std::chrono::duration_cast<Wire::Time>(Clock::now().time_since_epoch());
    };
    bool txBlocked = false;

    for (;;) {
        {
            std::lock_guard lock(mutex);
            if (stopRequested)
                break;
            if (hangUpRequested && master >= 0)
                closeLine();
            if (master < 0)
                wire.clear();
        }
        // While running, only this thread changes `master`.
        Wire::Time now = clockNow();
        if (master >= 0) {
            wire.deliver(now, [this, now](uint8_t b) -> std::optional<QByteArray> {
                std::lock_guard lock(mutex);
                monitor.setTime(now);
                QByteArray out = monitor.feed(b);
                if (!monitor.hungUp())
                    return out;
                closeLine();
                return std::nullopt;
            });
        }

        auto &tx = wire.toHost();
        if (master >= 0 && !tx.empty()) {
            // Unpaced: everything due at once in one write; paced: byte by byte.
            QByteArray chunk;
            for (const Wire::Timed &t : tx) {
                if (t.due > now || (paced && !chunk.isEmpty()))
                    break;
                chunk += char(t.byte);
            }
            txBlocked = false;
            if (!chunk.isEmpty()) {
                const ssize_t n = ::write(master, chunk.constData(), size_t(chunk.size()));
                if (n > 0)
                    tx.erase(tx.begin(), tx.begin() + n);
                if (n < chunk.size())
                    txBlocked = true; // pty buffer full: wait for POLLOUT
            }
        }

        pollfd fds[2] = {{wake, POLLIN, 0}, {master, short(POLLIN | (txBlocked ? POLLOUT : 0)), 0}};
        const nfds_t nfds = master >= 0 ? 2 : 1;
        // While the pty's buffer is full, only POLLOUT moves the replies on.
        constexpr Wire::Time Never = Wire::Time::max();
        const Wire::Time next = master < 0 ? Never : wire.next(Never, !txBlocked);
        timespec ts{};
        timespec *timeout = nullptr;
        if (next != Never) {
            // A timer wake-up can be late by tens of microseconds, which adds
            // up over a command; sleep to just before the deadline and poll
            // without sleeping for the rest.
            auto left = next - clockNow() - SpinBefore;
            if (left <= Clock::duration::zero())
                left = Clock::duration::zero();
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            ts.tv_sec = time_t(ns / 1'000'000'000);
            ts.tv_nsec = long(ns % 1'000'000'000);
            timeout = &ts;
        }
        if (ppoll(fds, nfds, timeout, nullptr) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[0].revents & POLLIN) {
            uint64_t count = 0;
            [[maybe_unused]] ssize_t n = ::read(wake, &count, sizeof count);
        }
        if (nfds == 2 && (fds[1].revents & POLLIN)) {
            char buf[256];
            const ssize_t n = ::read(master, buf, sizeof buf);
            now = clockNow();
            for (ssize_t i = 0; i < n; ++i)
                wire.send(uint8_t(buf[i]), now);
        }
    }
    std::lock_guard lock(mutex);
    running = false;
    changed.notify_all();
}

PtyTarget::PtyTarget(const TargetOptions &options, int pacingBaud)
    : d(std::make_unique<Impl>(options, pacingBaud))
{
}

PtyTarget::~PtyTarget() { stop(); }

bool PtyTarget::start(QString *error)
{
    auto fail = [&](const QString &message) {
        if (error)
            *error = message;
        closeFd(d->master);
        closeFd(d->slave);
        closeFd(d->wake);
        return false;
    };
    {
        std::lock_guard lock(d->mutex);
        if (d->running || d->thread.joinable())
            return fail(QStringLiteral("already started"));
        d->hungUp = false;
        d->hangUpRequested = false;
        d->stopRequested = false;
    }

    d->master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (d->master < 0)
        return fail(sysError("posix_openpt"));
    if (grantpt(d->master) != 0)
        return fail(sysError("grantpt"));
    if (unlockpt(d->master) != 0)
        return fail(sysError("unlockpt"));
    char name[128] = {};
    if (ptsname_r(d->master, name, sizeof name) != 0)
        return fail(sysError("ptsname"));
    // A fresh slave is in canonical mode with echo and CR to LF translation;
    // make both ends raw before the host can send its first byte.
    if (!makeRaw(d->master))
        return fail(sysError("raw mode on master"));
    d->slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (d->slave < 0)
        return fail(sysError("open slave"));
    if (!makeRaw(d->slave))
        return fail(sysError("raw mode on slave"));
    const int flags = fcntl(d->master, F_GETFL);
    if (flags < 0 || fcntl(d->master, F_SETFL, flags | O_NONBLOCK) != 0)
        return fail(sysError("non-blocking master"));
    d->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (d->wake < 0)
        return fail(sysError("eventfd"));

    std::lock_guard lock(d->mutex);
    d->path = QString::fromLocal8Bit(name);
    d->running = true;
    d->thread = std::thread([this] { d->serve(); });
    return true;
}

void PtyTarget::stop()
{
    {
        std::lock_guard lock(d->mutex);
        if (!d->thread.joinable())
            return;
        d->stopRequested = true;
        d->signal();
    }
    d->thread.join();
    std::lock_guard lock(d->mutex);
    closeFd(d->master);
    closeFd(d->slave);
    closeFd(d->wake);
}

QString PtyTarget::devicePath() const
{
    std::lock_guard lock(d->mutex);
    return d->path;
}

void PtyTarget::hangUp()
{
    std::unique_lock lock(d->mutex);
    if (!d->running) {
        if (d->master >= 0)
            d->closeLine();
        return;
    }
    d->hangUpRequested = true;
    d->signal();
    d->changed.wait(lock, [&] { return d->hungUp || !d->running; });
}

QByteArray PtyTarget::received() const
{
    std::lock_guard lock(d->mutex);
    return d->monitor.received();
}

QList<QByteArray> PtyTarget::lines() const
{
    std::lock_guard lock(d->mutex);
    return d->monitor.lines();
}

void PtyTarget::clearLog()
{
    std::lock_guard lock(d->mutex);
    d->monitor.clearLog();
}

uint8_t PtyTarget::reg(uint16_t addr) const
{
    std::lock_guard lock(d->mutex);
    return d->monitor.reg(addr);
}

void PtyTarget::setReg(uint16_t addr, uint8_t value)
{
    std::lock_guard lock(d->mutex);
    d->monitor.setReg(addr, value);
}

void PtyTarget::setOptions(const TargetOptions &options)
{
    std::lock_guard lock(d->mutex);
    d->monitor.setOptions(options);
}

void PtyTarget::reset()
{
    std::lock_guard lock(d->mutex);
    d->monitor.reset();
}

} // namespace vek::sim
