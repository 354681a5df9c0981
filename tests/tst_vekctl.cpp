// vekctl as a user runs it: the built program against a simulated target on
// a real pseudo-terminal. Every connection costs 1.5 s of fixed waits, so
// each invocation carries several commands. Faults of the link are in
// tst_faults.

#include "ptytarget.h"
#include "setupfile.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

using namespace vek::sim;
Q_DECLARE_METATYPE(vek::sim::TargetOptions)

namespace {

struct Result {
    int code = -1;
    QString out;
    QString err;
};

Result finish(QProcess &p)
{
    if (!p.waitForFinished(30000))
        p.kill();
    p.waitForFinished();
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

Result runVekctl(const QStringList &args, const QByteArray &input = {})
{
    QProcess p;
    p.start(QStringLiteral(VEKCTL_PATH), args);
    p.write(input);
    p.closeWriteChannel();
    return finish(p);
}

// Waits until the process has printed `n` lines on standard output.
bool waitForLines(QProcess &p, int n)
{
    QDeadlineTimer deadline(20000);
    while (p.peek(1 << 20).count('\n') < n) {
        if (deadline.hasExpired() || p.state() == QProcess::NotRunning)
            return false;
        p.waitForReadyRead(100);
    }
    return true;
}

void writeFile(const QString &path, const QByteArray &content)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(content) == content.size());
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(unreadable)");
}

TargetOptions testTarget()
{
    TargetOptions o;
    o.ident = "VEK test target";
    o.registers[0x2A] = 0x11;
    o.registers[0x21] = 0x07;
    o.registers[0x30] = 0xA5;
    return o;
}

const QByteArray Connection = "??\r\x5A\xC3\x27\xE1\x4B";

} // namespace

class TestVekctl : public QObject {
    Q_OBJECT

private slots:
    void commands_data();
    void commands();
    void openFailures_data();
    void openFailures();
    void watch_data();
    void watch();
    void watchRetriesAFailedRound();
    void stopSignals_data();
    void stopSignals();
    void saveThenApply();
    void interactive();
    void labels();
    void demoPort();
};

void TestVekctl::commands_data()
{
    QTest::addColumn<QString>("args");     // DEV: the target's device, DIR: a scratch directory
    QTest::addColumn<QByteArray>("script");   // DIR/rig.txt, and standard input
    QTest::addColumn<TargetOptions>("options");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");
    QTest::addColumn<QByteArrayList>("lines");   // the command lines the target ran

    const auto row = [](const char *name, const QString &args, int code, const QString &out, const QString &err,
                        const QByteArrayList &lines = {}, Fault fault = Fault::None, bool doubleEcho = false,
                        const QByteArray &script = {}) {
        TargetOptions o = testTarget();
        o.fault = fault;
        o.faultAfter = fault == Fault::WrongEcho ? 10 + 5 + 2 : 0;   // the write's '2' after "A02A" CR
        o.doubleEcho = doubleEcho;
        QTest::newRow(name) << args << script << o << code << out << err << lines;
    };
    // rows.vek: row 1 006=FF, row 2 address 0 (never written), row 3 010=3C.
    const QString all = QStringLiteral(
        "-p DEV version read 02a 20-031 write 02A=5C 1ff=123 test 44 apply DIR/rows.vek read 2A 6");
    const QString results = QStringLiteral("VEK test target\n02A 11\n"
                                           "020: 00 07 00 00 00 00 00 00 00 00 11 00 00 00 00 00\n030: A5 00\n");
    const QString reads = QStringLiteral("02A 5C\n006 FF\n");
    QByteArrayList lines{"V", "A02A"};
    for (int a = 0x20; a <= 0x31; ++a)
        lines << "A0" + QByteArray::number(a, 16).toUpper();
    lines << "A02A=5C" << "A1FF=23" << "T2C" << "A006=FF" << "A010=3C" << "A02A" << "A006";
    row("single echo", all, 0, results + "A02A=5C\nA1FF=23\nT2C\nA006=FF\nA010=3C\n" + reads, "", lines);
    row("double echo, 0x80, quiet", "--cal 80 -q " + all, 0, results + reads, "", lines, Fault::None, true);

    row("silent target", "-p DEV read 02A", 3, "", "vekctl: DEV is not responding\n", {}, Fault::Silent);
    // A failed command ends the run: nothing of 02B=01.
    row("wrong echo in a write", "-p DEV read 02A write 02A=5C 02B=01", 1, "02A 11\n",
        "vekctl: File write failed\nvekctl: write 02A=5C failed\n", {"V", "A02A"}, Fault::WrongEcho);
    // Bad input: refused before the port is opened, even after good commands.
    row("address 1000", "-p DEV read 02A 1000", 2, "", "vekctl: read 1000: Maximum data memory address is 0xFFF\n");
    row("damaged setup file", "-p DEV read 02A apply DIR/bad.vek", 2, "",
        "vekctl: apply DIR/bad.vek: line 3: 'Z\\x00' is not a hexadecimal number\n");

    // A script of every kind of line on one connection; the failing expect
    // ends it, so 02B=01 is never sent.
    const QByteArray rig = "# rig: every kind of line\n"
                           "version\n"
                           "read 02A 030-031   # a comment after a command\n"
                           "\n"
                           "  write 02A=5C\r\n"
                           "test 44\n"
                           "apply DIR/rows.vek\n"
                           "save DIR/snap.vek 02A 006\n"
                           "sleep 20\n"
                           "expect 02A=5C 006=ff\n"
                           "expect 010=3D\n"
                           "write 02B=01\n";
    row("script", "-p DEV run DIR/rig.txt", 1, "VEK test target\n02A 11\n030: A5 00\nA02A=5C\nT2C\nA006=FF\nA010=3C\n",
        "vekctl: DIR/rig.txt:11: expect 010: want 3D, got 3C\n",
        {"V", "A02A", "A030", "A031", "A02A=5C", "T2C", "A006=FF", "A010=3C", "A02A", "A006", "A02A", "A006", "A010"},
        Fault::None, false, rig);
    // A bad line anywhere: nothing is sent, not even the commands before the script.
    row("script with a bad line, from standard input", "-p DEV read 02A run -", 2, "",
        "vekctl: stdin:4: write: 'xyz' is not a hexadecimal address\n", {}, Fault::None, false,
        "read 02A\nwrite 02A=5C\n\nwrite xyz=01\nread 02A\n");
    row("script with a command it cannot hold", "-p DEV run DIR/rig.txt", 2, "",
        "vekctl: DIR/rig.txt:2: watch cannot be used in a script\n", {}, Fault::None, false,
        "read 02A\nwatch 02A\n");
}

void TestVekctl::commands()
{
    QFETCH(QString, args);
    QFETCH(QByteArray, script);
    QFETCH(TargetOptions, options);
    QFETCH(int, code);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QFETCH(QByteArrayList, lines);
    QTemporaryDir dir;
    QByteArray setup = "006\r\nFF\r\n000\r\n12\r\n010\r\n3c\r\n" + QByteArray(5, 'x').replace("x", "000\r\n00\r\n");
    setup += QByteArray(8, 'x').replace("x", "\r\n");
    writeFile(dir.filePath(QStringLiteral("rows.vek")), "\xEF\xBB\xBF" + setup);   // as a Windows editor saves it
    writeFile(dir.filePath(QStringLiteral("bad.vek")), setup.replace("000\r\n12", QByteArray("Z\0\r\n12", 6)));
    PtyTarget target(options);
    QVERIFY(target.start());
    const auto expand = [&](QString s) {
        return s.replace(QLatin1String("DEV"), target.devicePath()).replace(QLatin1String("DIR"), dir.path());
    };
    script.replace("DIR", dir.path().toUtf8());
    writeFile(dir.filePath(QStringLiteral("rig.txt")), script);

    const Result r = runVekctl(expand(args).split(u' '), script);
    QCOMPARE(r.err, expand(err));
    QCOMPARE(r.out, out);
    QCOMPARE(r.code, code);
    QCOMPARE(target.lines(), lines);
    // On the line: calibration character twice, CR, key sequence, then exactly the command lines.
    const char cal = options.doubleEcho ? char(0x80) : '?';
    if (code == 0)
        QCOMPARE(target.received(), QByteArray(2, cal) + "\r\x5A\xC3\x27\xE1\x4B" + lines.join('\r') + '\r');
    if (code == 2)
        QCOMPARE(target.received(), QByteArray());
}

// A port that does not open: the system's reason and what to do, exit 3.
void TestVekctl::openFailures_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("err");   // PATH: the port given
    QTest::newRow("missing") << "missing"
                             << "vekctl: cannot open PATH: No such file or directory (vekctl ports lists the ports)\n";
    QTest::newRow("busy") << "busy" << "vekctl: cannot open PATH: Device or resource busy (another program has it open)\n";
    QTest::newRow("no permission")
        << "no permission"
        << "vekctl: cannot open PATH: Permission denied (add your user to the dialout group, then log in again)\n";
    QTest::newRow("not a serial port") << "file"
                                       << "vekctl: cannot open PATH: Inappropriate ioctl for device (not a serial port)\n";
}

void TestVekctl::openFailures()
{
    QFETCH(QString, kind);
    QFETCH(QString, err);
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("no-such-port"));
    PtyTarget target(testTarget());
    QSerialPort holder;
    if (kind == u"busy") {
        QVERIFY(target.start());
        path = target.devicePath();
        holder.setPortName(path);
        QVERIFY(holder.open(QIODevice::ReadWrite));
    } else if (kind == u"no permission" || kind == u"file") {
        if (kind == u"no permission" && ::geteuid() == 0)
            QSKIP("root may open anything");
        path = dir.filePath(QStringLiteral("port"));
        writeFile(path, "x");
        QFile::setPermissions(path, kind == u"file" ? QFile::ReadOwner | QFile::WriteOwner : QFile::Permissions());
    }
    const Result r = runVekctl({QStringLiteral("-p"), path, QStringLiteral("read"), QStringLiteral("02A")});
    QCOMPARE(r.err, QString(err).replace(QLatin1String("PATH"), path));
    QCOMPARE(r.code, 3);
    QCOMPARE(target.received(), QByteArray());
}

// Rounds of reads, with the target's register changed after the first.
void TestVekctl::watch_data()
{
    QTest::addColumn<QString>("args");
    QTest::addColumn<QString>("out");   // T: the milliseconds since the start of the watch
    QTest::newRow("changes") << "watch 02A 030 --count 3 --interval 1000" << "T 02A 11 030 A5\nT 02A 11->5C\n";
    QTest::newRow("csv") << "watch 02A 030 --csv --count 3 --interval 1000" << "ms,02A,030\nT,11,A5\nT,5C,A5\nT,5C,A5\n";
}

void TestVekctl::watch()
{
    QFETCH(QString, args);
    QFETCH(QString, out);
    const int interval = 1000;
    PtyTarget target(testTarget());
    QVERIFY(target.start());
    QProcess p;
    p.start(QStringLiteral(VEKCTL_PATH), QStringList{QStringLiteral("-p"), target.devicePath()} + args.split(u' '));
    const bool csv = args.contains(QLatin1String("--csv"));
    QVERIFY(waitForLines(p, csv ? 2 : 1));
    target.setReg(0x2A, 0x5C);
    const Result r = finish(p);
    QCOMPARE(r.err, QString());
    QCOMPARE(r.code, 0);

    // Each round starts a whole interval after the one before; the first at 0.
    QStringList lines = r.out.split(u'\n');
    const QRegularExpression stamp(csv ? QStringLiteral("^(\\d+)(,.*)$") : QStringLiteral("^ *(\\d+)( .*)$"));
    qint64 last = -interval;
    for (QString &line : lines) {
        const auto m = stamp.match(line);
        if (!m.hasMatch())
            continue;
        const qint64 ms = m.captured(1).toLongLong();
        QVERIFY2(ms >= last + interval && (last >= 0 || ms == 0), qPrintable(r.out));
        last = ms;
        line = u'T' + m.captured(2);
    }
    QCOMPARE(lines.join(u'\n'), out);
    QCOMPARE(target.lines(), (QByteArrayList{"V", "A02A", "A030", "A02A", "A030", "A02A", "A030"}));
}

// A failed read is reported, and the round is read again on the next beat.
void TestVekctl::watchRetriesAFailedRound()
{
    PtyTarget target(testTarget());
    QVERIFY(target.start());
    QProcess p;
    p.start(QStringLiteral(VEKCTL_PATH), {QStringLiteral("-p"), target.devicePath(), QStringLiteral("watch"),
                                          QStringLiteral("02A"), QStringLiteral("--csv"), QStringLiteral("--count"),
                                          QStringLiteral("2"), QStringLiteral("--interval"), QStringLiteral("1000")});
    QVERIFY(waitForLines(p, 2));
    TargetOptions garbage = testTarget();
    garbage.fault = Fault::Garbage;
    target.setOptions(garbage);
    // Until the failure is reported; its round is read again a second later.
    QDeadlineTimer deadline(20000);
    while (p.state() == QProcess::Running && !deadline.hasExpired()) {
        p.setReadChannel(QProcess::StandardError);
        const bool said = p.canReadLine();
        p.setReadChannel(QProcess::StandardOutput);
        if (said)
            break;
        p.waitForReadyRead(50);
    }
    target.setOptions(testTarget());
    const Result r = finish(p);
    QCOMPARE(r.err, QStringLiteral("vekctl: Invalid reply from target\nvekctl: read 02A failed\n"));
    QCOMPARE(r.out.count(u'\n'), 3);
    QVERIFY(r.out.endsWith(QLatin1String(",11\n")));
    QCOMPARE(r.code, 0);
}

// A signal ends a watch between two reads: the last line whole, the port
// let go, so that the next vekctl opens it at once.
void TestVekctl::stopSignals_data()
{
    QTest::addColumn<int>("sig");
    QTest::addColumn<int>("code");
    QTest::newRow("SIGINT") << int(SIGINT) << 130;
    QTest::newRow("SIGTERM") << int(SIGTERM) << 143;
}

void TestVekctl::stopSignals()
{
    QFETCH(int, sig);
    QFETCH(int, code);
    PtyTarget target(testTarget());
    QVERIFY(target.start());
    QProcess p;
    p.start(QStringLiteral(VEKCTL_PATH), {QStringLiteral("-p"), target.devicePath(), QStringLiteral("watch"),
                                          QStringLiteral("02A"), QStringLiteral("--csv"), QStringLiteral("--interval"),
                                          QStringLiteral("0")});
    QVERIFY(waitForLines(p, 3));
    ::kill(pid_t(p.processId()), sig);
    const Result r = finish(p);
    QCOMPARE(r.code, code);
    QCOMPARE(r.err, QString());
    QVERIFY(r.out.endsWith(QLatin1String(",11\n")));
    // Whole commands only: the connection, the identification, then reads.
    QByteArray rest = target.received();
    QVERIFY(rest.startsWith(Connection + "V\r"));
    rest = rest.mid(Connection.size() + 2);
    QVERIFY(!rest.isEmpty());
    QCOMPARE(rest.replace("A02A\r", ""), QByteArray());

    const Result again = runVekctl({QStringLiteral("-p"), target.devicePath(), QStringLiteral("read"), QStringLiteral("02A")});
    QCOMPARE(again.err, QString());
    QCOMPARE(again.out, QStringLiteral("02A 11\n"));
}

// A snapshot in the setup-file format with the window's labels, loaded back.
void TestVekctl::saveThenApply()
{
    QTemporaryDir dir;
    const QString inc = dir.filePath(QStringLiteral("part.inc"));
    const QString snap = dir.filePath(QStringLiteral("snap.vek"));
    // Two names for 02A: the first in name order counts. A lower-case address
    // text never matches; 000 has a name.
    writeFile(inc, ";-- Register Files\nPORTA EQU H'002A'\nALIAS EQU H'002A'\nTMR0 EQU H'0030'\nlow EQU H'02b'\n"
                   "INDF EQU H'0000'\n;--\n");
    writeFile(snap, "an old file, replaced whole");
    PtyTarget target(testTarget());
    QVERIFY(target.start());
    const QString dev = target.devicePath();
    Result r = runVekctl({"-p", dev, "--inc", inc, "save", snap, "02A", "030", "02B", "000"});
    QCOMPARE(r.err, QString());
    QCOMPARE(r.out, QString());
    QCOMPARE(r.code, 0);
    const QByteArray unused = "000\r\n00\r\n";
    QCOMPARE(readFile(snap), "02A\r\n11\r\n030\r\nA5\r\n02B\r\n00\r\n000\r\n00\r\n" + unused.repeated(4)
                                 + "ALIAS\r\nTMR0\r\n\r\nINDF\r\n" + QByteArray("\r\n").repeated(4));
    vek::Setup setup;
    QString error;
    QCOMPARE(vek::ReadSetupFile(snap, setup, error), vek::SetupRead::Ok);

    // Loaded back: every row but the one at address 000 is written.
    target.setReg(0x2A, 0);
    target.setReg(0x30, 0);
    target.clearLog();
    r = runVekctl({"-p", dev, "apply", snap});
    QCOMPARE(r.err, QString());
    QCOMPARE(r.out, QStringLiteral("A02A=11\nA030=A5\nA02B=00\n"));
    QCOMPARE(target.lines(), (QByteArrayList{"V", "A02A=11", "A030=A5", "A02B=00"}));
    QCOMPARE(target.reg(0x2A), uint8_t(0x11));
}

// Standard input from a terminal: a prompt, a line at a time; a bad line or a
// failed command is reported and the session goes on until quit.
void TestVekctl::interactive()
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    QVERIFY(master >= 0);
    QVERIFY(::grantpt(master) == 0 && ::unlockpt(master) == 0);
    const QString terminal = QString::fromLocal8Bit(::ptsname(master));
    PtyTarget target(testTarget());
    QVERIFY(target.start());
    QProcess p;
    p.setStandardInputFile(terminal);
    p.start(QStringLiteral(VEKCTL_PATH), {QStringLiteral("-p"), target.devicePath(), QStringLiteral("run"), QStringLiteral("-")});
    const QByteArray typed = "read 02A\nbogus\nexpect 02A=00\nwrite 02A=5C\nquit\nread 030\n";
    QVERIFY(::write(master, typed.constData(), size_t(typed.size())) == typed.size());
    const Result r = finish(p);
    ::close(master);
    QCOMPARE(r.out, QStringLiteral("02A 11\nA02A=5C\n"));
    QCOMPARE(r.err, QStringLiteral("vekctl> vekctl> vekctl: unknown command 'bogus' (see vekctl --help)\n"
                                   "vekctl> vekctl: expect 02A: want 00, got 11\nvekctl> vekctl> "));
    QCOMPARE(r.code, 0);
    QCOMPARE(target.lines(), (QByteArrayList{"V", "A02A", "A02A", "A02A=5C"}));
}

void TestVekctl::labels()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("part.inc"));
    // Names in the single-byte reading the chooser shows: \xE9 is é, and
    // UTF-8's two bytes for é are two characters.
    const QByteArray text = "; VEK part\n;----- Register Files -----\n;-----Bank0-----\nSTATUS EQU H'0003'\nBROKEN\n"
                            "INDF EQU H'0000'\nPORTA EQU 0x05\n indented by a space: skipped without a word\n"
                            "; a comment\n\n\tTMR0 EQU H'0001'\nFSR EQU H'0004\nA_NAME_OF_TWENTY_ONE EQU H'0010'\n"
                            ";----- Bank 1 -----\nR\xE9G EQU H'0081'\nR\xC3\xA9G EQU H'0082'\n"
                            ";----------\nAFTER EQU H'0099'\n";
    writeFile(path, text);
    const Result r = runVekctl({QStringLiteral("labels"), path});
    QCOMPARE(r.code, 0);
    QCOMPARE(r.out, QStringLiteral("INDF 000\nR\u00c3\u00a9G 082\nR\u00e9G 081\nSTATUS 003\nTMR0 001\n"));

    // Each skipped line by number, reason and text, then the count.
    const QString err = QStringLiteral("@:5: skipped, fewer than three words: BROKEN\n"
                                       "@:7: skipped, value word without H': PORTA EQU 0x05\n"
                                       "@:12: skipped, value word without a closing apostrophe: FSR EQU H'0004\n"
                                       "@:13: skipped, name longer than 19 characters: A_NAME_OF_TWENTY_ONE EQU H'0010'\n"
                                       "@: 5 entries, 4 lines skipped\n");
    QCOMPARE(r.err, QString(err).replace(u'@', QStringLiteral("vekctl: ") + path));
}

// The simulated target inside vekctl, starting as the window's demo does.
void TestVekctl::demoPort()
{
    const Result r = runVekctl(QStringLiteral("-p demo -b 4800 version read 006 010-011 write 02A=5C read 02A test 44")
                                   .split(u' '));
    QCOMPARE(r.err, QString());
    QCOMPARE(r.out, QStringLiteral("VEK-sim 1.2\n006 3F\n010: A5 00\nA02A=5C\n02A 5C\nT2C\n"));
    QCOMPARE(r.code, 0);
}

QTEST_GUILESS_MAIN(TestVekctl)
#include "tst_vekctl.moc"
