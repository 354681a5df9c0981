// netbench: what the network adds. Register writes and reads over a real
// ser2net on 127.0.0.1 in front of the simulated target on a
// pseudo-terminal, beside the same on the pseudo-terminal itself; the
// connection sequence; four targets at once through vekctl against one; the
// server with and without tcp(nodelay) and chardelay; and pyserial's own
// RFC 2217 client doing the same echo-locked exchange through the same
// server. Paced at 9600 bit/s (what a cable allows) and unpaced (what the
// software adds). Prints tables of figures; asserts nothing. Every figure is
// the median of several runs.

#include "benchsupport.h"
#include "comport.h"
#include "netline.h"
#include "ptytarget.h"
#include "qtserialline.h"
#include "ser2net.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

namespace {

// pyserial's RFC 2217 client, echo-locked as vekctl is: each byte of the
// command written and its echo read back before the next, then the reply
// up to the prompt. ign_set_control: against ser2net on a pseudo-terminal
// the client would wait in vain for a DTR acknowledgement. Without a purge
// before each command: pyserial waits for the server to acknowledge one
// (about 50 ms here), where vekctl sends it and goes on. Prints the
// milliseconds per write and per read.
const char PyClient[] = R"(import sys, time, serial
url, count, baud = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
line = serial.serial_for_url(url + '?ign_set_control', baudrate=baud, timeout=0.5)
def command(text):
    for c in text:
        line.write(bytes([c]))
        if line.read(1) != bytes([c]):
            sys.exit('no echo')
    while True:
        b = line.read(1)
        if b == b'>':
            return
        if not b:
            sys.exit('no prompt')
t = time.perf_counter()
for i in range(count):
    command(b'A%03X=%02X\r' % (0x100 + i % 256, i & 0xFF))
w = time.perf_counter()
for i in range(count):
    command(b'A%03X\r' % (0x100 + i % 256))
r = time.perf_counter()
line.close()
print('%.4f %.4f' % ((w - t) * 1000 / count, (r - w) * 1000 / count))
)";

using vekbench::median;

[[noreturn]] void die(const QString &what) { vekbench::die("netbench", what); }

void rule() { std::printf("%s\n", QByteArray(78, '-').constData()); }

class BenchHost final : public vek::Host {
public:
    void showMessage(const QString &text) override { std::fprintf(stderr, "netbench: link: %s\n", qPrintable(text)); }
    void sleepMs(int ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
};

struct Times {
    double write = 0;     // ms per register write
    double read = 0;      // ms per register read
    double connect = 0;   // ms for the connection sequence (with the opening)
};

// One run of the link on `line`: the opening and connection sequence, then
// `count` writes and `count` reads.
Times linkRun(vek::SerialLine &line, const QString &port, int baud, int count)
{
    BenchHost host;
    vek::Link link(line, host);
    link.BaudRate = baud;
    Times t;
    QElapsedTimer clock;
    clock.start();
    if (!link.OpenPort(port))
        die(QStringLiteral("%1 did not open").arg(port));
    t.connect = double(clock.nsecsElapsed()) * 1e-6;
    clock.restart();
    for (int i = 0; i < count; ++i) {
        if (!link.WriteRegister(uint16_t(0x100 + i % 256), uint8_t(i)))
            die(QStringLiteral("write failed on %1").arg(port));
    }
    t.write = double(clock.nsecsElapsed()) * 1e-6 / count;
    clock.restart();
    for (int i = 0; i < count; ++i) {
        uint8_t v = 0;
        if (!link.ReadRegister(uint16_t(0x100 + i % 256), v))
            die(QStringLiteral("read failed on %1").arg(port));
    }
    t.read = double(clock.nsecsElapsed()) * 1e-6 / count;
    link.ClosePort();
    return t;
}

Times medianOf(int runs, const std::function<Times()> &one)
{
    std::vector<double> w, r, c;
    for (int i = 0; i < runs; ++i) {
        const Times t = one();
        w.push_back(t.write);
        r.push_back(t.read);
        c.push_back(t.connect);
    }
    return {median(w), median(r), median(c)};
}


struct Bench {
    int runs = 3;
    int pacedCount = 30;
    int count = 300;
    int pyCount = 100;   // pyserial is slower; fewer commands keep the run short
    QString vekctl = QStringLiteral(VEK_VEKCTL_PATH);
    QString python;
    QString client;
    QTemporaryDir dir;

    Times pty(const QString &device, int baud, int n)
    {
        return medianOf(runs, [&] {
            vek::QtSerialLine line;
            return linkRun(line, device, baud, n);
        });
    }
    Times net(const QString &name, int baud, int n)
    {
        return medianOf(runs, [&] {
            vek::NetLine line;
            return linkRun(line, name, baud, n);
        });
    }
    Times py(const QString &name, int baud, int n)
    {
        return medianOf(runs, [&] {
            QProcess p;
            p.start(python, {client, name, QString::number(n), QString::number(baud)});
            if (!p.waitForFinished(600000) || p.exitCode() != 0)
                die(QStringLiteral("pyserial client: %1").arg(QString::fromLocal8Bit(p.readAllStandardError())));
            const QList<QByteArray> f = p.readAllStandardOutput().trimmed().split(' ');
            return Times{f.value(0).toDouble(), f.value(1).toDouble(), 0};
        });
    }
    // vekctl writing `n` registers on every port at once; wall seconds.
    double vekctlOn(const QStringList &ports, int n)
    {
        QByteArray script;
        for (int i = 0; i < n; ++i)
            script += QStringLiteral("write %1=%2\n").arg(0x100 + i % 256, 3, 16, QLatin1Char('0')).arg(i & 0xFF, 2, 16, QLatin1Char('0')).toLatin1();
        std::vector<double> wall;
        for (int r = 0; r < runs; ++r) {
            QStringList args{QStringLiteral("-q")};
            for (const QString &p : ports)
                args << QStringLiteral("-p") << p;
            args << QStringLiteral("run") << QStringLiteral("-");
            QProcess p;
            QElapsedTimer t;
            t.start();
            p.start(vekctl, args);
            p.write(script);
            p.closeWriteChannel();
            if (!p.waitForFinished(600000) || p.exitCode() != 0)
                die(QStringLiteral("vekctl: %1").arg(QString::fromLocal8Bit(p.readAllStandardError())));
            wall.push_back(double(t.nsecsElapsed()) * 1e-9);
        }
        return median(wall);
    }
};

struct Server {
    const char *label;
    vek::testing::Ser2net::Options options;
};

const Server Servers[] = {
    {"tcp(nodelay), chardelay false", {.noDelay = true, .charDelay = false}},
    {"without tcp(nodelay)", {.noDelay = false, .charDelay = false}},
    {"chardelay (ser2net's default)", {.noDelay = true, .charDelay = true}},
    {"neither (ser2net's defaults)", {.noDelay = false, .charDelay = true}},
};

void startServer(vek::testing::Ser2net &server, const QStringList &devices, const Server &s)
{
    QString error;
    if (!server.start(devices, s.options, &error))
        die(QStringLiteral("ser2net: %1").arg(error));
}

void row(const char *what, const Times &t, const Times &base, bool connect)
{
    if (connect)
        std::printf("%-44s %8.2f %6.2fx %8.2f %6.2fx %8.0f %6.3fx\n", what, t.write, t.write / base.write, t.read,
                    t.read / base.read, t.connect, t.connect / base.connect);
    else
        std::printf("%-44s %8.2f %6.2fx %8.2f %6.2fx\n", what, t.write, t.write / base.write, t.read,
                    t.read / base.read);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Register writes and reads through ser2net beside the local "
                                                    "pseudo-terminal and pyserial's RFC 2217 client."));
    parser.addHelpOption();
    const QCommandLineOption runsOpt(QStringLiteral("runs"), QStringLiteral("Runs per figure (default 3)."),
                                     QStringLiteral("N"), QStringLiteral("3"));
    const QCommandLineOption quickOpt(QStringLiteral("quick"), QStringLiteral("Fewer commands and one run."));
    parser.addOption(runsOpt);
    parser.addOption(quickOpt);
    parser.process(app);

    if (vek::testing::Ser2net::program().isEmpty())
        die(QStringLiteral("ser2net is not installed (scripts/deps installs it)"));
    Bench b;
    b.runs = qMax(1, parser.value(runsOpt).toInt());
    if (parser.isSet(quickOpt)) {
        b.runs = 1;
        b.pacedCount = 10;
        b.count = 100;
        b.pyCount = 30;
    }
    b.python = vekbench::findPython(QStringLiteral("serial.rfc2217"));
    if (!b.python.isEmpty()) {
        b.client = b.dir.filePath(QStringLiteral("client.py"));
        QFile f(b.client);
        if (!f.open(QIODevice::WriteOnly) || f.write(PyClient) < 0)
            die(QStringLiteral("cannot write %1").arg(b.client));
    }

    std::printf("netbench: %d runs a figure, median; ser2net %s on 127.0.0.1\n", b.runs,
                qPrintable(vek::testing::Ser2net::program()));

    // 1. Paced at 9600 bit/s: the line dominates, the network should not.
    {
        vek::sim::PtyTarget target({}, 9600);
        QString error;
        if (!target.start(&error))
            die(error);
        std::printf("\n1. Paced at 9600 bit/s, %d writes and %d reads a run\n", b.pacedCount, b.pacedCount);
        rule();
        std::printf("%-44s %8s %7s %8s %7s %8s %7s\n", "", "write ms", "", "read ms", "", "conn ms", "");
        const Times local = b.pty(target.devicePath(), 9600, b.pacedCount);
        row("local pseudo-terminal", local, local, true);
        for (const Server &s : Servers) {
            vek::testing::Ser2net server;
            startServer(server, {target.devicePath()}, s);
            const QString label = QStringLiteral("ser2net, ") + QLatin1String(s.label);
            row(qPrintable(label), b.net(server.portName(0), 9600, b.pacedCount), local, true);
        }
    }

    // 2. Unpaced: what the software and the network add.
    {
        vek::sim::PtyTarget target;
        QString error;
        if (!target.start(&error))
            die(error);
        std::printf("\n2. Unpaced, %d writes and %d reads a run (pyserial: %d of each)\n", b.count, b.count, b.pyCount);
        rule();
        std::printf("%-44s %8s %7s %8s %7s\n", "", "write ms", "", "read ms", "");
        const Times local = b.pty(target.devicePath(), 9600, b.count);
        row("local pseudo-terminal", local, local, false);
        for (const Server &s : Servers) {
            vek::testing::Ser2net server;
            startServer(server, {target.devicePath()}, s);
            const QString label = QStringLiteral("ser2net, ") + QLatin1String(s.label);
            const Times net = b.net(server.portName(0), 9600, b.count);
            row(qPrintable(label), net, local, false);
            if (b.python.isEmpty())
                continue;
            const QString pyLabel = QStringLiteral("  pyserial rfc2217 client, same server");
            row(qPrintable(pyLabel), b.py(server.portName(0), 9600, b.pyCount), local, false);
        }
        if (b.python.isEmpty())
            std::printf("(pyserial not installed: apt-get install python3-serial for its rows)\n");
        std::printf("factors: against the local pseudo-terminal\n");
    }

    // 3. Four targets at once through one vekctl against one target alone.
    {
        std::vector<std::unique_ptr<vek::sim::PtyTarget>> targets;
        QStringList devices;
        for (int i = 0; i < 4; ++i) {
            targets.push_back(std::make_unique<vek::sim::PtyTarget>(vek::sim::TargetOptions{}, 9600));
            QString error;
            if (!targets.back()->start(&error))
                die(error);
            devices << targets.back()->devicePath();
        }
        vek::testing::Ser2net server;
        startServer(server, devices, Servers[0]);
        QStringList ports;
        for (int i = 0; i < 4; ++i)
            ports << server.portName(i);
        const int n = b.pacedCount * 2;
        std::printf("\n3. vekctl run of %d writes, paced at 9600 bit/s, through ser2net; wall time with start-up and\n"
                    "   connection sequence\n", n);
        rule();
        const double one = b.vekctlOn(ports.mid(0, 1), n);
        const double four = b.vekctlOn(ports, n);
        const double localOne = b.vekctlOn(devices.mid(0, 1), n);
        const double localFour = b.vekctlOn(devices, n);
        std::printf("%-44s %8.3f s\n", "one target (network)", one);
        std::printf("%-44s %8.3f s %6.3fx\n", "four targets at once (network)", four, four / one);
        std::printf("%-44s %8.3f s\n", "one target (local pseudo-terminal)", localOne);
        std::printf("%-44s %8.3f s %6.3fx\n", "four targets at once (local)", localFour, localFour / localOne);
    }
    return 0;
}
