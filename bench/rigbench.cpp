// rigbench: what vekctl costs a test rig. A script of register writes on one
// connection, beside the same writes as arguments of one write command and a
// minimal pyserial client doing the same echo-locked exchange on the same
// simulated target, and the rounds of `watch` against the line time. Prints
// tables of figures; asserts nothing. Every figure is the median of several
// runs.

#include "benchsupport.h"
#include "ptytarget.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

// The client a Python user would write with pyserial: each byte of the
// command written and its echo read back before the next, then the prompt;
// the receive queue emptied before each command, as vekctl does. No
// connection sequence: the simulated target needs none, and the timing
// below counts the commands only.
const char PyClient[] = R"(import sys, serial
port, count, baud = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
line = serial.Serial(port, baud, timeout=0.5, write_timeout=0.11)
for i in range(count):
    line.reset_input_buffer()
    for c in b'A%03X=%02X\r' % (0x100 + i % 256, i & 0xFF):
        line.write(bytes([c]))
        if line.read(1) != bytes([c]):
            sys.exit('no echo')
    if line.read(1) != b'>':
        sys.exit('no prompt')
line.close()
)";

using vekbench::median;

[[noreturn]] void die(const QString &what) { vekbench::die("rigbench", what); }

// Runs a program to its end; returns the wall time in seconds and its
// standard output.
double timed(const QString &program, const QStringList &args, QByteArray *out = nullptr)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::SeparateChannels);
    QElapsedTimer t;
    t.start();
    p.start(program, args);
    if (!p.waitForFinished(600000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        die(QStringLiteral("%1 %2 failed: %3").arg(program, args.join(u' '), QString::fromLocal8Bit(p.readAllStandardError())));
    const double s = double(t.nsecsElapsed()) * 1e-9;
    if (out)
        *out = p.readAllStandardOutput();
    return s;
}


QString writeScript(const QTemporaryDir &dir, int writes)
{
    // The identification first: a script with nothing for the target opens
    // no port, and the run of no writes must still connect.
    QByteArray text = "# rigbench\nversion\n";
    for (int i = 0; i < writes; ++i)
        text += QStringLiteral("write %1=%2\n").arg(0x100 + i % 256, 3, 16, QLatin1Char('0')).arg(i & 0xFF, 2, 16, QLatin1Char('0')).toLatin1();
    const QString path = dir.filePath(QStringLiteral("rig%1.txt").arg(writes));
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(text) != text.size())
        die(QStringLiteral("cannot write %1").arg(path));
    return path;
}

struct PerWrite {
    double empty = 0;   // the whole run with no write [s]
    double each = 0;    // each write [ms]
};

// The time of one write for each program, as the difference of a run with
// `writes` writes and one with none, so that start-up and connection fall
// out. The programs take turns, so that a change in the machine's load
// falls on all of them alike.
std::vector<PerWrite> perWrite(int runs, int writes, const std::vector<std::function<double(int)>> &programs)
{
    std::vector<std::vector<double>> full(programs.size()), empty(programs.size());
    for (int r = 0; r < runs; ++r) {
        for (size_t i = 0; i < programs.size(); ++i) {
            empty[i].push_back(programs[i](0));
            full[i].push_back(programs[i](writes));
        }
    }
    std::vector<PerWrite> result;
    for (size_t i = 0; i < programs.size(); ++i)
        result.push_back({median(empty[i]), (median(full[i]) - median(empty[i])) / writes * 1000});
    return result;
}

// The floor: the same round of reads as a plain termios loop (write a
// byte, poll, read its echo; then the reply up to the prompt), the least the
// operating system allows on this pseudo-terminal.
double floorRound(const QString &path, int rounds)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        die(QStringLiteral("cannot open %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno))));
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    tcsetattr(fd, TCSANOW, &t);
    const auto readByte = [fd](char &b) {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, 500) == 1 && ::read(fd, &b, 1) == 1;
    };
    QElapsedTimer clock;
    clock.start();
    for (int r = 0; r < rounds; ++r) {
        for (int a = 0x20; a < 0x30; ++a) {
            tcflush(fd, TCIFLUSH);
            for (char c : QStringLiteral("A%1\r").arg(a, 3, 16, QLatin1Char('0')).toUpper().toLatin1()) {
                char e = 0;
                if (::write(fd, &c, 1) != 1 || !readByte(e) || e != c)
                    die(QStringLiteral("floor loop: no echo"));
            }
            char b = 0;
            while (readByte(b) && b != '>') {
            }
        }
    }
    const double ms = double(clock.nsecsElapsed()) * 1e-6 / rounds;
    ::close(fd);
    return ms;
}

void rule() { std::printf("%s\n", QByteArray(78, '-').constData()); }

struct Bench {
    int runs = 5;
    int writes = 2000;
    QString vekctl = QStringLiteral(VEK_VEKCTL_PATH);
    QString python;        // empty: no pyserial
    QString client;        // the pyserial client's file
    QTemporaryDir dir;

    std::function<double(int)> vekctlRun(const QString &dev, int baud)
    {
        return [this, dev, baud](int n) {
            return timed(vekctl, {QStringLiteral("-q"), QStringLiteral("-p"), dev, QStringLiteral("-b"),
                                  QString::number(baud), QStringLiteral("run"), writeScript(dir, n)});
        };
    }
    // The same writes as arguments of one write command.
    std::function<double(int)> vekctlArgs(const QString &dev, int baud)
    {
        return [this, dev, baud](int n) {
            QStringList args{QStringLiteral("-q"), QStringLiteral("-p"), dev, QStringLiteral("-b"), QString::number(baud)};
            args << QStringLiteral("version");
            if (n)
                args << QStringLiteral("write");
            for (int i = 0; i < n; ++i)
                args << QStringLiteral("%1=%2").arg(0x100 + i % 256, 3, 16, QLatin1Char('0')).arg(i & 0xFF, 2, 16, QLatin1Char('0'));
            return timed(vekctl, args);
        };
    }
    std::function<double(int)> pyRun(const QString &dev, int baud)
    {
        return [this, dev, baud](int n) { return timed(python, {client, dev, QString::number(n), QString::number(baud)}); };
    }
};

// 1. Scripts of writes, per write. The line time of a write is its 17 bytes
// (8 characters, 8 echoes, the prompt) at 10 bit times each.
void scripts(Bench &b)
{
    std::printf("\n1. A script of register writes on one connection (time per write)\n");
    rule();
    std::printf("target       writes   line [ms]  run [ms]  arguments [ms]  pyserial [ms]  run/arguments  run/pyserial  run of 0 writes [s]\n");
    struct Case {
        int pacing;
        int writes;
    };
    for (const Case c : {Case{0, b.writes}, Case{9600, std::max(1, b.writes / 10)}}) {
        vek::sim::PtyTarget target({}, c.pacing);
        if (!target.start())
            die(QStringLiteral("no pseudo-terminal"));
        const int baud = c.pacing ? c.pacing : 9600;
        std::vector<std::function<double(int)>> programs{b.vekctlRun(target.devicePath(), baud),
                                                         b.vekctlArgs(target.devicePath(), baud)};
        if (!b.python.isEmpty())
            programs.push_back(b.pyRun(target.devicePath(), baud));
        const std::vector<PerWrite> each = perWrite(b.runs, c.writes, programs);
        const PerWrite v = each[0], args = each[1];
        const PerWrite py = each.size() > 2 ? each[2] : PerWrite{};
        const double line = c.pacing ? 17 * 10.0 / c.pacing * 1000 : 0;
        std::printf("%-12s %6d   %9.2f  %8.3f  %14.3f  %13.3f  %13.2f  %12.2f  %19.3f\n",
                    c.pacing ? qPrintable(QStringLiteral("%1 bit/s").arg(c.pacing)) : "unpaced", c.writes, line,
                    v.each, args.each, py.each, v.each / args.each, py.each > 0 ? v.each / py.each : 0.0, v.empty);
        std::fflush(stdout);
    }
}

// 2. watch: the period of its rounds against the line time of a round (each
// read is 13 bytes: 5 characters, 5 echoes, two digits, the prompt), beside
// the same reads in one read command and the floor loop.
void watches(Bench &b)
{
    std::printf("\n2. watch of 16 registers, rounds back to back (--interval 0) and at the default 100 ms\n");
    rule();
    std::printf("bit/s  interval  rounds  line [ms/round]  watch [ms/round]  watch/line  reads alone  floor  floor/line\n");
    struct Watch {
        int baud;
        int interval;
        int rounds;
    };
    const int runs = std::max(1, b.runs / 2);
    for (const Watch w : {Watch{9600, 0, 21}, Watch{9600, 100, 21}, Watch{4800, 0, 11}}) {
        vek::sim::PtyTarget target({}, w.baud);
        if (!target.start())
            die(QStringLiteral("no pseudo-terminal"));
        const QStringList connect{QStringLiteral("-p"), target.devicePath(), QStringLiteral("-b"),
                                  QString::number(w.baud)};
        QStringList reads = connect + QStringList{QStringLiteral("version"), QStringLiteral("read")};
        for (int i = 0; i < w.rounds - 1; ++i)
            reads << QStringLiteral("020-02F");
        std::vector<double> periods, alone, connecting, floors;
        for (int r = 0; r < runs; ++r) {
            QByteArray out;
            timed(b.vekctl,
                  connect + QStringList{QStringLiteral("watch"), QStringLiteral("020-02F"), QStringLiteral("--csv"),
                                        QStringLiteral("--interval"), QString::number(w.interval),
                                        QStringLiteral("--count"), QString::number(w.rounds)},
                  &out);
            const QList<QByteArray> lines = out.trimmed().split('\n');
            const double first = lines.value(1).split(',').value(0).toDouble();
            const double last = lines.last().split(',').value(0).toDouble();
            periods.push_back((last - first) / (w.rounds - 1));
            // The same reads as one read command, less a run that only
            // connects: what the rounds cost without watch's loop.
            connecting.push_back(timed(b.vekctl, connect + QStringList{QStringLiteral("version")}));
            alone.push_back(timed(b.vekctl, reads));
            floors.push_back(floorRound(target.devicePath(), w.rounds - 1));
        }
        const double readsAlone = (median(alone) - median(connecting)) / (w.rounds - 1) * 1000;
        const double line = 16 * 13 * 10.0 / w.baud * 1000;
        const double period = median(periods);
        const double floor = median(floors);
        std::printf("%5d  %8d  %6d  %15.2f  %16.2f  %10.4f  %11.2f  %5.1f  %10.4f\n", w.baud, w.interval, w.rounds,
                    line, period, period / line, readsAlone, floor, floor / line);
        std::fflush(stdout);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Times vekctl scripts and watch on the simulated target."));
    parser.addHelpOption();
    parser.addOption({QStringLiteral("runs"), QStringLiteral("Runs of each measurement (default 5)."),
                      QStringLiteral("N"), QStringLiteral("5")});
    parser.addOption({QStringLiteral("writes"), QStringLiteral("Writes of the unpaced script (default 2000)."),
                      QStringLiteral("N"), QStringLiteral("2000")});
    parser.addOption({QStringLiteral("only"), QStringLiteral("Only this section: 1 (scripts) or 2 (watch)."),
                      QStringLiteral("N")});
    parser.process(app);
    const QString only = parser.value(QStringLiteral("only"));

    Bench b;
    b.runs = std::max(1, parser.value(QStringLiteral("runs")).toInt());
    b.writes = std::max(1, parser.value(QStringLiteral("writes")).toInt());
    b.python = vekbench::findPython(QStringLiteral("serial"));
    b.client = b.dir.filePath(QStringLiteral("client.py"));
    QFile f(b.client);
    if (!f.open(QIODevice::WriteOnly) || f.write(PyClient) < 0)
        die(QStringLiteral("cannot write %1").arg(b.client));
    f.close();

    std::printf("rigbench: %d runs, median of each\n", b.runs);
    if (b.python.isEmpty())
        std::printf("(no Python 3 with pyserial found: the pyserial column stays empty; apt-get install python3-serial)\n");
    if (only.isEmpty() || only == u"1")
        scripts(b);
    if (only.isEmpty() || only == u"2")
        watches(b);
    return 0;
}
