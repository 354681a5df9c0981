// Signals on POSIX systems: the handler writes to a pipe, so that a wait in
// poll() ends at once.

#include "interrupt.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

namespace vek::interrupt {

namespace {

std::atomic<int> g_signal{0};
int g_pipe[2] = {-1, -1};
struct sigaction g_oldInt {};
struct sigaction g_oldTerm {};
struct sigaction g_oldHup {};
struct sigaction g_oldPipe {};
bool g_installed = false;

void onSignal(int sig)
{
    const int saved = errno;
    int none = 0;
    g_signal.compare_exchange_strong(none, sig);
    const char c = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &c, 1);
    errno = saved;
}

long long nowMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Polls `fd` (or nothing, when -1) and the signal pipe. Returns 1 when `fd`
// is ready, 0 on time-out, -1 when a stop was asked.
int waitFor(int fd, int timeoutMs)
{
    const long long deadline = timeoutMs < 0 ? -1 : nowMs() + timeoutMs;
    for (;;) {
        if (g_signal.load() != 0)
            return -1;
        pollfd fds[2] = {{g_pipe[0], POLLIN, 0}, {fd, POLLIN, 0}};
        int left = -1;
        if (deadline >= 0) {
            const long long l = deadline - nowMs();
            if (l <= 0)
                return 0;
            left = int(l);
        }
        const int n = ::poll(fds, fd >= 0 ? 2 : 1, left);
        if (n < 0 && errno != EINTR)
            return fd >= 0 ? 1 : 0;   // let the caller's read find the fault
        if (g_signal.load() != 0)
            return -1;
        if (n > 0 && fd >= 0 && fds[1].revents != 0)
            return 1;
    }
}

} // namespace

bool install()
{
    if (g_installed)
        return true;
    if (g_pipe[0] < 0) {
        if (::pipe(g_pipe) != 0)
            return false;
        for (int fd : g_pipe) {
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        }
    }
    g_signal = 0;
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sigaction(SIGINT, &sa, &g_oldInt);
    sigaction(SIGTERM, &sa, &g_oldTerm);
    sigaction(SIGHUP, &sa, &g_oldHup);
    // Output into a pipe whose reader has gone (watch | head) ends the run
    // the same way, with the port closed.
    sigaction(SIGPIPE, &sa, &g_oldPipe);
    g_installed = true;
    return true;
}

void restore()
{
    if (!g_installed)
        return;
    sigaction(SIGINT, &g_oldInt, nullptr);
    sigaction(SIGTERM, &g_oldTerm, nullptr);
    sigaction(SIGHUP, &g_oldHup, nullptr);
    sigaction(SIGPIPE, &g_oldPipe, nullptr);
    g_installed = false;
    g_signal = 0;
    char buf[16];
    while (::read(g_pipe[0], buf, sizeof buf) > 0) {
    }
}

int pending() { return g_signal.load(); }

int wakeFd() { return g_pipe[0]; }

bool sleepMs(int ms)
{
    if (!g_installed) {
        timespec ts{ms / 1000, (ms % 1000) * 1000000L};
        timespec rest{};
        while (nanosleep(&ts, &rest) != 0 && errno == EINTR)
            ts = rest;
        return true;
    }
    return waitFor(-1, ms) == 0;
}

bool waitForInput(int fd)
{
    if (!g_installed)
        return true;
    return waitFor(fd, -1) == 1;
}

bool isTerminal(int fd) { return ::isatty(fd) == 1; }

bool outputGone()
{
    pollfd p{1, 0, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLERR);
}

} // namespace vek::interrupt
