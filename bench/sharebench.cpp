// sharebench: a command through the connection server's socket beside the
// same command on the owner's own link, on the simulated target unpaced (the
// cost of the socket) and paced at 9600 bit/s (the cost beside the line);
// then 8 clients writing 1,000 registers each at once, checked on the
// target's log: every write once, each client's in its order.

#include "benchsupport.h"
#include "shareclient.h"
#include "shareserver.h"
#include "simline.h"
#include "targetsession.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

using namespace vek;

namespace {

// The fixed waits of the connection sequence slept only on a paced line,
// whose break must last.
class Waits final : public Host {
public:
    explicit Waits(bool real) : m_real(real) {}
    void showMessage(const QString &) override {}
    void sleepMs(int ms) override
    {
        if (m_real)
            QThread::msleep(ulong(ms));
    }

private:
    bool m_real;
};

// The owner: a session and its server on a thread with an event loop.
class Owner final : public QThread {
public:
    explicit Owner(bool paced) : m_paced(paced) {}
    std::atomic<bool> ready{false};
    QList<QByteArray> lines;   // the target's log, when the loop has ended

    void run() override
    {
        sim::TargetOptions opt;
        opt.moving = false;
        sim::SimLine line(opt, nullptr, m_paced);
        Waits host(m_paced);
        vek::Session session(line, host);
        if (!session.connect(QStringLiteral("demo"), 9600, 0x3F).ok())
            vekbench::die("sharebench", QStringLiteral("the simulated target did not connect"));
        ShareServer server(session);
        QString why;
        if (!server.listen(QStringLiteral("demo"), &why))
            vekbench::die("sharebench", why);
        ready = true;
        exec();
        server.close();
        lines = line.target().lines();
    }

private:
    bool m_paced;
};

double perCommandUs(Target &t, int n)
{
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < n; ++i) {
        const Result r = t.write(uint16_t(0x100 + i % 256), uint8_t(i));
        if (!r.ok())
            vekbench::die("sharebench", QStringLiteral("a write failed: %1 (%2)").arg(r.messages.join(u' ')).arg(r.status));
    }
    return double(clock.nsecsElapsed()) / 1000.0 / n;
}

double direct(bool paced, int n)
{
    sim::TargetOptions opt;
    opt.moving = false;
    sim::SimLine line(opt, nullptr, paced);
    Waits host(paced);
    vek::Session s(line, host);
    s.connect(QStringLiteral("demo"), 9600, 0x3F);
    return perCommandUs(s, n);
}

std::unique_ptr<Owner> startOwner(bool paced)
{
    auto owner = std::make_unique<Owner>(paced);
    owner->start();
    while (!owner->ready)
        QThread::msleep(1);
    return owner;
}

double shared(bool paced, int n)
{
    auto owner = startOwner(paced);
    double us = 0;
    {
        SharedTarget t;
        QString why;
        if (!t.connect(QStringLiteral("demo"), &why))
            vekbench::die("sharebench", why);
        us = perCommandUs(t, n);
    }
    owner->quit();
    owner->wait();
    return us;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir runtime;
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));

    std::printf("One write (A1xx=dd), median of 5 runs, microseconds a command:\n");
    double pacedDirectUs = 0;
    for (const bool paced : {false, true}) {
        const int n = paced ? 100 : 5000;
        std::vector<double> d, s;
        for (int run = 0; run < 5; ++run) {
            d.push_back(direct(paced, n));
            s.push_back(shared(paced, n));
        }
        const double dm = vekbench::median(d), sm = vekbench::median(s);
        if (paced)
            pacedDirectUs = dm;
        std::printf("  %-22s direct %9.1f   socket %9.1f   +%.1f us (%.3fx)\n",
                    paced ? "paced, 9600 bit/s:" : "unpaced:", dm, sm, sm - dm, sm / dm);
    }

    for (const bool paced : {false, true}) {
        const int clients = 8, writes = paced ? 50 : 1000;
        auto owner = startOwner(paced);
        QElapsedTimer clock;
        clock.start();
        std::vector<std::thread> threads;
        std::atomic<int> failed{0};
        for (int c = 0; c < clients; ++c) {
            threads.emplace_back([c, writes, &failed] {
                SharedTarget t;
                QString why;
                if (!t.connect(QStringLiteral("demo"), &why)) {
                    ++failed;
                    return;
                }
                for (int i = 0; i < writes; ++i)
                    failed += t.write(uint16_t(c * 0x200 + i % 0x200), uint8_t(i)).ok() ? 0 : 1;
            });
        }
        for (auto &t : threads)
            t.join();
        const double ms = double(clock.nsecsElapsed()) / 1e6;
        owner->quit();
        owner->wait();
        // Every write once and in each client's order.
        std::vector<int> next(clients, 0);
        int wrong = 0, total = 0;
        for (const QByteArray &l : std::as_const(owner->lines)) {
            if (!l.startsWith('A') || !l.contains('='))
                continue;
            ++total;
            const int addr = l.mid(1, 3).toInt(nullptr, 16), value = l.mid(5, 2).toInt(nullptr, 16);
            const int c = addr / 0x200, i = next[size_t(c)]++;
            if (addr != c * 0x200 + i % 0x200 || value != (i & 0xFF))
                ++wrong;
        }
        const double lineMs = clients * writes * (2 * 8 + 1) * 10.0 / 9600 * 1000;
        std::printf("%d clients x %d writes, %s: %.0f ms, %.0f writes/s; %d on the target, %d out of order, "
                    "%d failed",
                    clients, writes, paced ? "paced 9600" : "unpaced", ms, total / ms * 1000, total, wrong,
                    failed.load());
        if (paced)
            std::printf("; the line alone %.0f ms (%.3fx), the same writes direct %.0f ms (%.3fx)", lineMs,
                        ms / lineMs, pacedDirectUs * clients * writes / 1000, ms * 1000 / (pacedDirectUs * clients * writes));
        std::printf("\n");
    }
    return 0;
}
