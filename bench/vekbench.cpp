// vekbench: how much time the program adds to what the serial line costs.
// Prints tables of figures; asserts nothing. Every figure is the median of
// several runs.

#include "benchsupport.h"
#include "comport.h"
#include "frmvekcom.h"
#include "prompts.h"
#include "ptytarget.h"
#include "qtserialline.h"
#include "referencesort.h"
#include "registertable.h"

#include <QApplication>
#include <QPushButton>
#include <QCommandLineParser>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtGlobal>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <random>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// CPU time of the calling thread, in seconds.
double threadCpu()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// Wall and CPU time of a stretch of work, per item.
struct Span {
    Clock::time_point wall = Clock::now();
    double cpu = threadCpu();
    void end(int items, std::vector<double> &wallOut, std::vector<double> &cpuOut) const
    {
        wallOut.push_back(secondsSince(wall) / items);
        cpuOut.push_back((threadCpu() - cpu) / items);
    }
};

using vekbench::median;

// Runs `body` `runs` times and returns the median of what it returns.
double medianOf(int runs, const std::function<double()> &body)
{
    std::vector<double> values;
    for (int i = 0; i < runs; ++i)
        values.push_back(body());
    return median(values);
}

struct Settings {
    int runs = 5;
    int echoes = 5000;     // echo exchanges per run, host overhead
    int commands = 1000;   // register writes and reads per run, host overhead
    bool slow = true;      // the 300 bit/s line and the connection sequence
    QString vekcomm;
};

class BenchHost final : public vek::Host {
public:
    int messages = 0;
    QString last;
    void showMessage(const QString &text) override
    {
        ++messages;
        last = text;
    }
    void sleepMs(int ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
};

class BenchPrompts final : public vek::Prompts {
public:
    int shown = 0;
    using Prompts::messageBox;
    using Prompts::showMessage;
    void showMessage(const QString &, const QString &) override { ++shown; }
    int messageBox(const QString &, const QString &, int, const QString &) override { return IdOk; }
    void showError(const QString &) override { ++shown; }
    QString openFileName(const QString &) override { return {}; }
    QString saveFileName(const QString &) override { return {}; }
    QString inputText(const QString &, const QString &, const QString &) override { return {}; }
};

void rule() { std::printf("%s\n", std::string(78, '-').c_str()); }

void section(const char *title)
{
    std::printf("\n%s\n", title);
    rule();
}

[[noreturn]] void die(const QString &what) { vekbench::die("vekbench", what); }

// ---------------------------------------------------------------- machine

void printMachine()
{
    QString model;
    QFile cpuinfo(QStringLiteral("/proc/cpuinfo"));
    if (cpuinfo.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> lines = cpuinfo.readAll().split('\n');
        for (const QByteArray &l : lines) {
            if (l.startsWith("model name")) {
                model = QString::fromLatin1(l.mid(l.indexOf(':') + 1).trimmed());
                break;
            }
        }
    }
    utsname u{};
    uname(&u);
    QByteArray load;
    QFile loadavg(QStringLiteral("/proc/loadavg"));
    if (loadavg.open(QIODevice::ReadOnly))
        load = loadavg.readAll().split(' ').mid(0, 3).join(' ');
    std::printf("Machine: %ld cores, %s; %s %s; Qt %s; %s build; load average %s\n",
                sysconf(_SC_NPROCESSORS_ONLN),
                model.isEmpty() ? "unknown CPU" : qPrintable(model), u.sysname, u.release, qVersion(),
#ifdef NDEBUG
                "optimised"
#else
                "debug"
#endif
                ,
                load.isEmpty() ? "unknown" : load.constData());
}

// ------------------------------------------------------- the reference loop

// The least the operating system allows for one echo exchange: one byte
// written, poll() for the answer, one byte read, on a raw descriptor of the
// same pseudo-terminal.
class RawLine {
public:
    explicit RawLine(const QString &path)
    {
        m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_fd < 0)
            die(QStringLiteral("cannot open %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno))));
        termios t{};
        tcgetattr(m_fd, &t);
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        tcsetattr(m_fd, TCSANOW, &t);
    }
    ~RawLine() { ::close(m_fd); }
    RawLine(const RawLine &) = delete;
    RawLine &operator=(const RawLine &) = delete;

    bool read(uint8_t &b)
    {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, vek::SerialLine::ReadTimeoutMs) != 1)
            return false;
        return ::read(m_fd, &b, 1) == 1;
    }
    bool exchange(uint8_t c)
    {
        uint8_t e = 0;
        return ::write(m_fd, &c, 1) == 1 && read(e) && e == c;
    }
    // A command as the link sends it: purge, echoed characters, then the
    // reply up to the prompt.
    bool command(const QByteArray &text)
    {
        tcflush(m_fd, TCIFLUSH);
        for (char c : text) {
            if (!exchange(uint8_t(c)))
                return false;
        }
        uint8_t b = 0;
        while (read(b)) {
            if (b == '>')
                return true;
        }
        return false;
    }

private:
    int m_fd = -1;
};

// ------------------------------------------------------------ host overhead

void hostOverhead(const Settings &s)
{
    section("1. Host overhead (unpaced pseudo-terminal target)");
    std::printf("%d runs of %d echo exchanges and %d writes and reads each; median per item.\n",
                s.runs, s.echoes, s.commands);
    vek::sim::PtyTarget target;
    QString error;
    if (!target.start(&error))
        die(QStringLiteral("cannot start the target: ") + error);
    const QString path = target.devicePath();

    vek::QtSerialLine line;
    BenchHost host;
    vek::Link link(line, host);

    const QByteArray writeCmd = "A010=A5\r";
    const QByteArray readCmd = "A010\r";
    // Wall time and the CPU time of this thread, per item.
    enum { Echo, Write, Read, Kinds };
    std::vector<double> linkWall[Kinds], linkCpu[Kinds], rawWall[Kinds], rawCpu[Kinds];
    int failures = 0;
    for (int run = 0; run < s.runs; ++run) {
        if (line.open(path, 9600) != vek::SerialLine::OpenResult::Ok)
            die(QStringLiteral("cannot open ") + path);
        Span t;
        for (int i = 0; i < s.echoes; ++i)
            failures += !link.WriteEcho(0x01);
        t.end(s.echoes, linkWall[Echo], linkCpu[Echo]);
        t = Span();
        for (int i = 0; i < s.commands; ++i)
            failures += !link.WriteReg("010", "A5");
        t.end(s.commands, linkWall[Write], linkCpu[Write]);
        QByteArray reply;
        t = Span();
        for (int i = 0; i < s.commands; ++i)
            failures += !link.ReadReg("010", reply);
        t.end(s.commands, linkWall[Read], linkCpu[Read]);
        line.close();

        RawLine raw(path);
        t = Span();
        for (int i = 0; i < s.echoes; ++i)
            failures += !raw.exchange(0x01);
        t.end(s.echoes, rawWall[Echo], rawCpu[Echo]);
        t = Span();
        for (int i = 0; i < s.commands; ++i)
            failures += !raw.command(writeCmd);
        t.end(s.commands, rawWall[Write], rawCpu[Write]);
        t = Span();
        for (int i = 0; i < s.commands; ++i)
            failures += !raw.command(readCmd);
        t.end(s.commands, rawWall[Read], rawCpu[Read]);
    }
    target.stop();

    std::printf("%-16s %10s %10s %7s %12s %12s %7s\n", "", "link [us]", "floor [us]", "ratio",
                "link cpu", "floor cpu", "ratio");
    const char *names[Kinds] = {"echo exchange", "register write", "register read"};
    for (int k = 0; k < Kinds; ++k) {
        const double lw = median(linkWall[k]) * 1e6, rw = median(rawWall[k]) * 1e6;
        const double lc = median(linkCpu[k]) * 1e6, rc = median(rawCpu[k]) * 1e6;
        std::printf("%-16s %10.1f %10.1f %7.2f %12.1f %12.1f %7.2f\n", names[k], lw, rw, lw / rw, lc, rc,
                    lc / rc);
    }
    std::printf("Wall time per item, and the CPU time of the calling thread. Floor: plain write/poll/read.\n");
    std::printf("Goal: ratio at most 1.50.%s\n",
                failures ? qPrintable(QStringLiteral(" %1 exchanges FAILED.").arg(failures)) : "");
}

// ---------------------------------------------------------------- line rate

void lineRate(const Settings &s)
{
    section("2. Line rate (target paced at the bit rate)");
    std::printf("%-6s %-15s %5s %10s %10s %10s %8s %8s\n", "bit/s", "command", "bytes", "line [ms]",
                "link [ms]", "floor [ms]", "link/ln", "floor/ln");
    const vek::sim::TargetOptions options;
    const qsizetype identBytes = options.ident.size();
    struct Cmd {
        const char *name;
        int sent;      // characters sent, each echoed once
        qsizetype after; // bytes after the last echo: reply and prompt
        QByteArray text;
        std::function<bool(vek::Link &)> run;
    };
    QByteArray reply;
    const std::vector<Cmd> cmds = {
        {"register write", 8, 1, "A010=A5\r", [](vek::Link &l) { return l.WriteReg("010", "A5"); }},
        {"register read", 5, 3, "A010\r", [&](vek::Link &l) { return l.ReadReg("010", reply); }},
        {"identification", 2, identBytes + 1, "V\r", [](vek::Link &l) { return l.GetVersion(); }},
    };
    const std::vector<int> rates = s.slow ? std::vector<int>{9600, 4800, 300} : std::vector<int>{9600, 4800};
    int failures = 0;
    for (int baud : rates) {
        vek::sim::PtyTarget target(options, baud);
        QString error;
        if (!target.start(&error))
            die(QStringLiteral("cannot start the target: ") + error);
        vek::QtSerialLine line;
        BenchHost host;
        vek::Link vlink(line, host);
        vlink.BaudRate = baud;
        const double byteTime = 10.0 / baud;
        // About half a second of line time per run and command, at least 2.
        for (const Cmd &c : cmds) {
            const qsizetype bytes = 2 * c.sent + c.after;
            const double theory = bytes * byteTime;
            const int n = std::max(2, int(0.5 / theory));
            const int runs = baud < 1200 ? std::min(s.runs, 3) : s.runs;
            std::vector<double> link, floor;
            for (int run = 0; run < runs; ++run) {
                if (line.open(target.devicePath(), baud) != vek::SerialLine::OpenResult::Ok)
                    die(QStringLiteral("cannot open ") + target.devicePath());
                auto t = Clock::now();
                for (int i = 0; i < n; ++i)
                    failures += !c.run(vlink);
                link.push_back(secondsSince(t) / n);
                line.close();
                RawLine raw(target.devicePath());
                t = Clock::now();
                for (int i = 0; i < n; ++i)
                    failures += !raw.command(c.text);
                floor.push_back(secondsSince(t) / n);
            }
            const double l = median(link), f = median(floor);
            std::printf("%-6d %-15s %5lld %10.2f %10.2f %10.2f %8.3f %8.3f\n", baud, c.name, (long long)bytes,
                        theory * 1e3, l * 1e3, f * 1e3, l / theory, f / theory);
        }
        target.stop();
    }
    std::printf("bytes: characters sent and their echoes, then the reply and the prompt, 10 bit times\n"
                "each. floor: the same bytes by plain write/poll/read. Goal: link/line at most 1.02.%s\n",
                failures ? qPrintable(QStringLiteral(" %1 commands FAILED.").arg(failures)) : "");
}

// ------------------------------------------------------ connection sequence

void connection(const Settings &s)
{
    section("3. Connection sequence (OpenComm clicked until the window shows CloseComm)");
    std::printf("%-10s %12s %12s %12s %14s\n", "target", "total [ms]", "waits [ms]", "excess [ms]",
                "of it line [ms]");
    const int waitsMs = 2 * vek::Link::CalWaitMs + vek::Link::BreakMs + vek::Link::AfterBreakMs;
    const vek::sim::TargetOptions options;
    // After the waits: the handshake CR with its echo and the prompt, the
    // five echoed key bytes, then the identification query. The calibration
    // characters cross the line during the waits.
    const qsizetype lineBytes = 3 + 2 * 5 + (4 + options.ident.size() + 1);
    const int runs = std::min(s.runs, 3);
    for (int baud : {0, 9600}) {
        vek::sim::PtyTarget target(options, baud);
        QString error;
        if (!target.start(&error))
            die(QStringLiteral("cannot start the target: ") + error);
        vek::QtSerialLine line;
        BenchPrompts prompts;
        vek::WindowDeps deps;
        deps.line = &line;
        deps.prompts = &prompts;
        deps.extraPorts = {target.devicePath()};
        deps.platformPorts = QStringList{};
        vek::TfrmVekComm window(deps);
        const vek::TfrmVekComm::Probe probe(window);
        probe.cbPorts->setCurrentIndex(0); // the extra port comes first
        int failed = 0;
        const double total = medianOf(runs, [&] {
            const auto t = Clock::now();
            probe.btnOpenClose->click();
            const double took = secondsSince(t);
            failed += !probe.CommOpen;
            if (probe.CommOpen)
                probe.btnOpenClose->click();
            return took;
        });
        const double lineMs = baud ? lineBytes * 10.0 / baud * 1e3 : 0.0;
        std::printf("%-10s %12.1f %12d %12.1f %14.1f%s\n",
                    baud ? qPrintable(QStringLiteral("%1 bit/s").arg(baud)) : "unpaced", total * 1e3,
                    waitsMs, total * 1e3 - waitsMs, lineMs, failed ? "  FAILED" : "");
        target.stop();
    }
    std::printf("waits: calibration 2 x %d ms, break %d ms, after the break %d ms. %d runs.\n",
                vek::Link::CalWaitMs, vek::Link::BreakMs, vek::Link::AfterBreakMs, runs);
}

// ------------------------------------------------------------- include files

QByteArray includeFile(int entries)
{
    std::mt19937 rng(20240611u + unsigned(entries));
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_";
    QByteArray text = "; generated include file\n        LIST\n\n;----- Register Files ------\n\n";
    text.reserve(text.size() + qsizetype(entries) * 40);
    for (int i = 0; i < entries; ++i) {
        QByteArray name;
        const int len = 2 + int(rng() % 12);
        name += letters[rng() % 26];
        for (int k = 1; k < len; ++k)
            name += letters[rng() % (sizeof letters - 1)];
        const QByteArray line = name.leftJustified(21, ' ') + "EQU     H'" +
                                QByteArray::number(int(rng() % 0x1000), 16).toUpper().rightJustified(4, '0') +
                                "'\n";
        text += line;
        if (i % 40 == 39)
            text += "\n; bank\n"; // comments and blank lines, as a real file has
    }
    text += "\n;----- STATUS Bits -----\n\nZ                    EQU     H'0002'\n";
    return text;
}

void includeFiles(const Settings &s)
{
    section("4. Include files (File > Open *.inc...: read and sort)");
    std::printf("%-10s %10s %12s %12s %16s %10s\n", "entries", "size [kB]", "load [ms]", "of it sort",
                "plain sort [ms]", "same order");
    QTemporaryDir dir;
    for (int entries : {300, 3000, 30000}) {
        const QByteArray text = includeFile(entries);
        const QString path = dir.filePath(QStringLiteral("regs%1.inc").arg(entries));
        {
            QFile f(path);
            if (!f.open(QIODevice::WriteOnly) || f.write(text) != text.size())
                die(QStringLiteral("cannot write ") + path);
        }
        qsizetype count = 0;
        const double load = medianOf(s.runs, [&] {
            const auto t = Clock::now();
            QFile f(path);
            if (!f.open(QIODevice::ReadOnly))
                die(QStringLiteral("cannot read ") + path);
            vek::RegisterTable table;
            table.read(f);
            count = table.count();
            return secondsSince(t);
        });
        // The same entries unsorted, to time the sort alone.
        vek::RegisterTable unsorted;
        {
            bool inSection = false;
            for (const QByteArray &ln : text.split('\n')) {
                if (ln.contains("Register Files")) {
                    inSection = true;
                    continue;
                }
                if (inSection && ln.contains(";--"))
                    break;
                if (inSection && !ln.isEmpty() && ln[0] != ';' && ln[0] != ' ')
                    unsorted.addIncLine(ln + '\n');
            }
        }
        vek::RegisterTable fast;
        const double sort = medianOf(s.runs, [&] {
            fast = unsorted;
            const auto t = Clock::now();
            fast.sortLabels();
            return secondsSince(t);
        });
        // The plain selection sort is quadratic: once, and not at all for
        // the largest file in a quick run.
        double plain = -1;
        vek::RegisterTable reference = unsorted;
        if (entries <= 3000 || s.slow) {
            const auto t = Clock::now();
            vek::test::sortLabelsReference(reference);
            plain = secondsSince(t);
        }
        const bool same = plain < 0 || (reference.names() == fast.names() && reference.addrs() == fast.addrs());
        std::printf("%-10lld %10.0f %12.2f %12.2f %16s %10s\n", (long long)count, text.size() / 1024.0,
                    load * 1e3, sort * 1e3,
                    plain < 0 ? "-" : qPrintable(QString::number(plain * 1e3, 'f', 1)),
                    plain < 0 ? "-" : same ? "yes" : "NO");
    }
    std::printf("plain sort: the selection sort the table's order is defined by, timed once.\n");
}

// ------------------------------------------------------------------ start-up

void startUp(const Settings &s)
{
    section("5. Start-up (vekcomm, offscreen, until the main window is shown)");
    if (s.vekcomm.isEmpty() || !QFile::exists(s.vekcomm)) {
        std::printf("vekcomm not found (--vekcomm PATH); skipped.\n");
        return;
    }
    std::printf("%s\n", qPrintable(QDir::cleanPath(s.vekcomm)));
    std::vector<double> shown, exited, rss;
    const QByteArray program = QFile::encodeName(s.vekcomm);
    for (int run = 0; run < s.runs + 1; ++run) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0)
            die(QStringLiteral("pipe failed"));
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        std::vector<std::string> env;
        for (char **e = environ; *e; ++e) {
            if (std::strncmp(*e, "QT_QPA_PLATFORM=", 16) != 0 && std::strncmp(*e, "VEK_EXIT_AFTER_SHOW=", 20) != 0)
                env.emplace_back(*e);
        }
        env.emplace_back("QT_QPA_PLATFORM=offscreen");
        env.emplace_back("VEK_EXIT_AFTER_SHOW=1");
        std::vector<char *> envp;
        for (std::string &e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        char *argv[] = {const_cast<char *>(program.constData()), nullptr};

        const auto t = Clock::now();
        pid_t pid = 0;
        const int rc = posix_spawn(&pid, program.constData(), &actions, nullptr, argv, envp.data());
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        if (rc != 0) {
            ::close(out[0]);
            die(QStringLiteral("cannot start vekcomm: ") + QString::fromLocal8Bit(std::strerror(rc)));
        }
        // The child writes one line once the window is on screen.
        double shownAt = -1;
        QByteArray got;
        char buf[256];
        for (;;) {
            const ssize_t n = ::read(out[0], buf, sizeof buf);
            if (n <= 0)
                break;
            got.append(buf, n);
            if (shownAt < 0 && got.contains('\n'))
                shownAt = secondsSince(t);
        }
        ::close(out[0]);
        int status = 0;
        rusage ru{};
        wait4(pid, &status, 0, &ru);
        const double exitAt = secondsSince(t);
        if (shownAt < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::printf("vekcomm did not report its window (status %d); skipped.\n", status);
            return;
        }
        if (run == 0)
            continue; // the first start warms the page cache
        shown.push_back(shownAt);
        exited.push_back(exitAt);
        rss.push_back(double(ru.ru_maxrss) / 1024.0);
    }
    std::printf("%-34s %10.1f ms\n", "start to window shown", median(shown) * 1e3);
    std::printf("%-34s %10.1f ms\n", "start to exit", median(exited) * 1e3);
    std::printf("%-34s %10.1f MB\n", "peak resident memory", median(rss));
    std::printf("Goal: under 300 ms and under 60 MB. %d runs after one warm-up start.\n", s.runs);
}

} // namespace

int main(int argc, char *argv[])
{
    // The window of the connection test needs no screen.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("vekbench"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Times the serial link, the line, the connection, "
                                                    "include files and start-up; prints a table."));
    parser.addHelpOption();
    const QCommandLineOption runs(QStringLiteral("runs"), QStringLiteral("Runs per figure (median)."),
                                  QStringLiteral("N"), QStringLiteral("5"));
    const QCommandLineOption echoes(QStringLiteral("echoes"), QStringLiteral("Echo exchanges per run."),
                                    QStringLiteral("N"), QStringLiteral("5000"));
    const QCommandLineOption commands(QStringLiteral("commands"),
                                      QStringLiteral("Register writes and reads per run."),
                                      QStringLiteral("N"), QStringLiteral("1000"));
    const QCommandLineOption quick(QStringLiteral("quick"),
                                   QStringLiteral("Skip the 300 bit/s line, the connection sequence and "
                                                  "the plain sort of the largest file."));
    const QCommandLineOption only(QStringLiteral("only"), QStringLiteral("Only these parts (1-5), e.g. 1,2."),
                                  QStringLiteral("LIST"));
#ifdef VEK_VEKCOMM_PATH
    const QString defaultVekcomm = QStringLiteral(VEK_VEKCOMM_PATH);
#else
    const QString defaultVekcomm;
#endif
    const QCommandLineOption vekcomm(QStringLiteral("vekcomm"), QStringLiteral("The vekcomm program to start."),
                                     QStringLiteral("PATH"), defaultVekcomm);
    parser.addOptions({runs, echoes, commands, quick, only, vekcomm});
    parser.process(app);

    Settings s;
    s.runs = std::max(1, parser.value(runs).toInt());
    s.echoes = std::max(1, parser.value(echoes).toInt());
    s.commands = std::max(1, parser.value(commands).toInt());
    s.slow = !parser.isSet(quick);
    s.vekcomm = parser.value(vekcomm);
    const QString parts = parser.isSet(only) ? parser.value(only) : QStringLiteral("12345");
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    printMachine();
    if (parts.contains(QLatin1Char('1')))
        hostOverhead(s);
    if (parts.contains(QLatin1Char('2')))
        lineRate(s);
    if (parts.contains(QLatin1Char('3')) && s.slow)
        connection(s);
    if (parts.contains(QLatin1Char('4')))
        includeFiles(s);
    if (parts.contains(QLatin1Char('5')))
        startUp(s);
    return 0;
}
