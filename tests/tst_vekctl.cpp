// vekctl as a user runs it: the built program against a simulated target on
// a real pseudo-terminal. Every connection costs 1.5 s of fixed waits, so
// each invocation carries several commands. What is refused before any port
// opens is checked in the process, through the command-line entry. Faults of
// the link are in tst_faults.

#include "ptytarget.h"
#include "qtserialline.h"
#include "comport.h"
#include "heldcommand.h"
#include "linewatch.h"
#include "multi.h"
#include "script.h"
#include "session.h"
#include "targetsession.h"
#include "simline.h"
#include "watch.h"
#include "textconv.h"
#include "vekctl.h"

#include <QSerialPort>
#include <QtTest>

#include <csignal>
#include <functional>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace vek::sim;
using namespace Qt::StringLiterals;

namespace {

// One run of vekctl against a fresh target. DEV: the target's device, DIR: a scratch directory.
struct Run {
    QString args{};
    int code = 0;
    QString out{}, err{};
    QByteArrayList lines{};   // the command lines the target ran
    QByteArray input{};       // standard input, and DIR/rig.txt
    // Standard input is a terminal; a lock file of DEV names a process that
    // has ended; the target echoes twice.
    bool terminal = false, staleLock = false, doubleEcho = false;
    // Another program has DEV open: 1 through QSerialPort, 2 holding a flock
    // on it, 3 a process (sleep, its id HOLDER) with no lock at all.
    int held = 0;
    QString redirect{};       // of standard output, as the shell writes it
    Fault fault = Fault::None;
    int faultAfter = 0;
    QByteArray snap = "an old file, replaced whole";   // DIR/snap.vek afterwards
    // After the first line of output (of a watch, the header and one round):
    // -1 the register 02A becomes 5C, -2 one reply lacks its prompt, -3 the
    // replies go wrong for good, or this signal. `out` is then a pattern
    // (a watch's T: the milliseconds since its start) and the target is to
    // run the command's reads in order, `reads` of them (0: any number).
    int after = 0, reads = 0;
    bool pattern = false;     // `out` is a pattern also without `after`
};

// Runs vekctl as the run says; `during` acts while it runs. Its exit status and output.
Run runVekctl(const QStringList &args, const Run &run = {}, const std::function<void(QProcess &)> &during = [](QProcess &) {})
{
    QProcess p;
    const int master = run.terminal ? ::posix_openpt(O_RDWR | O_NOCTTY) : -1;
    if (run.terminal && master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0)
        p.setStandardInputFile(QString::fromLocal8Bit(::ptsname(master)));
    const auto closeMaster = qScopeGuard([master] { if (master >= 0) ::close(master); });
    // A zone half an hour off the hour, for the wall-clock stamps.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"TZ"_s, u"IST-5:30"_s);
    p.setProcessEnvironment(env);
    p.start(u"/bin/sh"_s, QStringList{"-c", "exec \"$0\" \"$@\" " + run.redirect, QStringLiteral(VEKCTL_PATH)} + args);
    const qint64 written = run.terminal ? ::write(master, run.input.constData(), size_t(run.input.size())) : p.write(run.input);
    Q_UNUSED(written)
    p.closeWriteChannel();
    during(p);
    const bool ended = p.waitForFinished(30000) && p.exitStatus() == QProcess::NormalExit;   // else killed as p goes
    return {.code = ended ? p.exitCode() : -1, .out = QString::fromUtf8(p.readAllStandardOutput()),
            .err = QString::fromUtf8(p.readAllStandardError())};
}

TargetOptions testTarget(Fault fault = Fault::None, int faultAfter = 0, bool doubleEcho = false)
{
    TargetOptions o{.doubleEcho = doubleEcho, .ident = "VEK test target", .fault = fault, .faultAfter = faultAfter};
    for (const auto &[addr, value] : {std::pair{0x2A, 0x11}, {0x21, 0x07}, {0x30, 0xA5}})
        o.registers[addr] = uint8_t(value);
    return o;
}

const QByteArray Key = "\x5A\xC3\x27\xE1\x4B";

// Register names for save (two for 02A: the first in name order counts; a
// lower-case address text never matches; 000 has one) and for labels, in the
// single-byte reading the chooser shows: \xE9 is é, UTF-8's é two characters.
const QByteArray Inc = "; VEK part\n;----- Register Files -----\n;-----Bank0-----\nPORTA EQU H'002A'\nBROKEN\n"
                       "ALIAS EQU H'002A'\n\tTMR0 EQU H'0030'\nlow EQU H'02b'\nINDF EQU H'0000'\nPORTB EQU 0x05\n"
                       " indented by a space: skipped without a word\n; a comment\n\nFSR EQU H'0004\n"
                       "A_NAME_OF_TWENTY_ONE EQU H'0010'\n;----- Bank 1 -----\nR\xE9G EQU H'0081'\n"
                       "R\xC3\xA9G EQU H'0082'\n;----------\nAFTER EQU H'0099'\n";

// Where QSerialPort keeps a device's lock file.
QString lockFileOf(const QString &device) { return QString(device).mid(5).replace(u'/', u'_').prepend(u"/var/lock/LCK.."_s); }

// A lock file as a process killed while it held the port leaves it, naming
// that process; returns its id.
qint64 leaveStaleLock(const QString &lockFile)
{
    QProcess ended;
    ended.start(u"true"_s);
    const qint64 pid = ended.waitForStarted() ? ended.processId() : 0;
    QFile f(lockFile);
    return ended.waitForFinished() && f.open(QIODevice::WriteOnly) && f.write(QByteArray::number(pid) + "\nvekctl\n\n") > 0 ? pid : 0;
}

} // namespace

Q_DECLARE_METATYPE(Run)

class TestVekctl : public QObject {
    Q_OBJECT

private slots:
    void commands_data();
    void commands();
    void refusals_data();
    void refusals();
    void staleLockKept();
    void watchReconnect_data();
    void watchReconnect();
    void helpWraps();
    void severalStatuses();
};

void TestVekctl::commands_data()
{
    QTest::addColumn<Run>("run");
    const auto row = [](const char *name, const Run &r) { QTest::newRow(name) << r; };
    // rows.vek: row 1 006=FF, row 2 address 0 (never written), row 3 010=3C.
    const QString all = "-p DEV version read 02a 20-031 write 02A=5C 1ff=23 test 44 apply DIR/rows.vek read 2A 6";
    const QString results = "VEK test target\n02A 11\n020: 00 07 00 00 00 00 00 00 00 00 11 00 00 00 00 00\n030: A5 00\n";
    const QString reads = "02A 5C\n006 FF\n";
    QByteArrayList lines{"V", "A02A"};
    for (int a = 0x20; a <= 0x31; ++a)
        lines << "A0" + QByteArray::number(a, 16).toUpper();
    lines << "A02A=5C" << "A1FF=23" << "T2C" << "A006=FF" << "A010=3C" << "A02A" << "A006";
    row("single echo", {.args = all, .out = results + "A02A=5C\nA1FF=23\nT2C\nA006=FF\nA010=3C\n" + reads, .lines = lines});
    row("double echo, 0x80, quiet", {.args = "--cal 80 -q " + all, .out = results + reads, .lines = lines, .doubleEcho = true});
    row("silent target", {.args = "-p DEV read 02A", .code = 3, .err = "vekctl: DEV is not responding\n", .fault = Fault::Silent});
    // A failed command ends the run: nothing of 02B=01. The fault hits the write's '2' after "A02A" CR.
    row("wrong echo in a write", {.args = "-p DEV read 02A write 02A=5C 02B=01", .code = 1, .out = "02A 11\n",
                                  .err = "vekctl: File write failed\nvekctl: The target may hold part of a command, A02; "
                                         "reset the target before the next connection\nvekctl: write 02A=5C failed\n",
                                  .lines = {"V", "A02A"}, .fault = Fault::WrongEcho, .faultAfter = 10 + 5 + 2});
    // A target that falls silent is a lost line (4), not a failed command (1).
    row("target silent in a command", {.args = "-p DEV read 02A 030", .code = 4, .out = "02A 11\n",
                                       .err = "vekctl: Echo not received\nvekctl: File read failed\nvekctl: The target may hold part of a "
                                              "command, A03; reset the target before the next connection\nvekctl: read 030 failed\n",
                                       .lines = {"V", "A02A"}, .fault = Fault::Silent, .faultAfter = 10 + 5 + 2});
    // A mask compares only its bits; a wait that never matches gives up after its time-out.
    row("masked expect and wait", {.args = "-p DEV write 02A=35 expect 02A=05/0F wait 02A=3F/F0 wait 030=00/01 --timeout 0", .code = 1,
                                   .out = "A02A=35\n", .err = "vekctl: wait 030: want 00/01, last A5 after 0 ms\n",
                                   .lines = {"V", "A02A=35", "A02A", "A02A", "A030"}});
    // Output that cannot be written ends the run with its reason, with
    // several targets as with one; a closed standard output is no place for
    // the port to take. DIR/node is a full device of the test's own.
    for (const auto &[redirect, why] : {std::pair{">DIR/node", "No space left on device"}, {">&-", "Bad file descriptor"}})
        row(redirect, {.args = "-p DEV read 02A 030", .code = 1, .err = u"vekctl: standard output: %1\n"_s.arg(why),
                       .lines = {"V", "A02A"}, .redirect = redirect});
    row("several targets, full output", {.args = "-p DEV -p demo read 02A 030", .code = 1,
                                         .err = "DEV\tvekctl: standard output: No space left on device\n"
                                                "demo\tvekctl: standard output: No space left on device\n"
                                                "DEV\texit 1: standard output: No space left on device\n"
                                                "demo\texit 1: standard output: No space left on device\n",
                                         .lines = {"V", "A02A"}, .redirect = ">DIR/node"});
    // A lost line on one board outweighs a port that did not open (4, not 3);
    // each port's end is said on its own line.
    row("several targets, lost and not opened", {.args = "-p DEV -p DIR/none read 02A 030", .code = 4, .out = "DEV\t02A 11\n",
                                                 .err = "DEV\tvekctl: Echo not received\nDEV\tvekctl: File read failed\n"
                                                        "DEV\tvekctl: The target may hold part of a command, A03; reset the target before the next connection\n"
                                                        "DEV\tvekctl: read 030 failed\n"
                                                        "DIR/none\tvekctl: cannot open DIR/none: No such file or directory (vekctl ports lists the ports)\n"
                                                        "DEV\texit 4: read 030 failed\n"
                                                        "DIR/none\texit 3: cannot open DIR/none: No such file or directory (vekctl ports lists the ports)\n",
                                                 .lines = {"V", "A02A"}, .fault = Fault::Silent, .faultAfter = 10 + 5 + 2});

    // A script of every kind of line on one connection; the failing expect
    // ends it, so 02B=01 is never sent.
    const QByteArray unused = QByteArray("000\r\n00\r\n"), noLabel = "\r\n";
    row("script", {.args = "-p DEV run DIR/rig.txt", .code = 1, .out = "VEK test target\n02A 11\n030: A5 00\nA02A=5C\nT2C\nA006=FF\nA010=3C\n",
                   .err = "vekctl: DIR/rig.txt:11: expect 010: want 3D, got 3C\n",
                   .lines = {"V", "A02A", "A030", "A031", "A02A=5C", "T2C", "A006=FF", "A010=3C", "A02A", "A006", "A02A", "A006", "A010"},
                   .input = "# rig: every kind of line\nversion\nread 02A 030-031   # a comment after a command\n\n"
                            "  write 02A=5C\r\ntest 44\napply DIR/rows.vek\nsave DIR/snap.vek 02A 006\nsleep 20\n"
                            "expect 02A=5C 006=ff\nexpect 010=3D\nwrite 02B=01\n",
                   .snap = "02A\r\n5C\r\n006\r\nFF\r\n" + unused.repeated(6) + noLabel.repeated(8)});
    // From a terminal: a prompt, a line at a time; a bad line or a failed
    // command is reported and the session goes on until quit.
    row("typed at a terminal", {.args = "-p DEV run -", .code = 1, .out = "02A 11\nA02A=5C\n",
                                .err = "vekctl> vekctl> vekctl: unknown command 'bogus' (see vekctl --help)\n"
                                       "vekctl> vekctl: expect 02A: want 00, got 11\nvekctl> vekctl> ",
                                .lines = {"V", "A02A", "A02A", "A02A=5C"},
                                .input = "read 02A\nbogus\nexpect 02A=00\nwrite 02A=5C\nquit\nread 030\n", .terminal = true});
    // A snapshot with the window's labels, replacing the old file, loaded
    // back by the same run: every row but the one at address 000 is written.
    row("save with labels, then apply", {.args = "-p DEV --inc DIR/part.inc save DIR/snap.vek 02A 030 02B 000 apply DIR/snap.vek",
                                         .out = "A02A=11\nA030=A5\nA02B=00\n",
                                         .lines = {"V", "A02A", "A030", "A02B", "A000", "A02A=11", "A030=A5", "A02B=00"},
                                         .snap = "02A\r\n11\r\n030\r\nA5\r\n02B\r\n00\r\n000\r\n00\r\n" + unused.repeated(4)
                                                 + "ALIAS\r\nTMR0\r\n\r\nINDF\r\n" + noLabel.repeated(4)});
    // Each skipped line by number, reason and text, then the count.
    row("labels", {.args = "labels DIR/part.inc", .out = "ALIAS 02A\nINDF 000\nPORTA 02A\nR\u00c3\u00a9G 082\nR\u00e9G 081\nTMR0 030\nlow 02b\n",
                   .err = "vekctl: DIR/part.inc:5: skipped, fewer than three words: BROKEN\n"
                          "vekctl: DIR/part.inc:10: skipped, value word without H': PORTB EQU 0x05\n"
                          "vekctl: DIR/part.inc:14: skipped, value word without a closing apostrophe: FSR EQU H'0004\n"
                          "vekctl: DIR/part.inc:15: skipped, name longer than 19 characters: A_NAME_OF_TWENTY_ONE EQU H'0010'\n"
                          "vekctl: DIR/part.inc: 7 entries, 4 lines skipped\n"});
    // The simulated target inside vekctl, starting as the window's demo does.
    row("demo port", {.args = "-p demo -b 4800 version read 006 010-011 write 02A=5C read 02A test 44",
                      .out = "VEK-sim 1.2\n006 3F\n010: A5 00\nA02A=5C\n02A 5C\nT2C\n"});
    // Busy under every name of the port (DIR/link is a symbolic link to DEV),
    // also when the other program holds a flock on it.
    const QString busy = "vekctl: cannot open %1: Device or resource busy (another program has it open)\n";
    row("busy port, another name", {.args = "-p DIR/link read 02A", .code = 3, .err = busy.arg("DIR/link"), .held = 1});
    row("port held by flock", {.args = "-p DEV read 02A", .code = 3, .err = busy.arg("DEV"), .held = 2});
    row("port open in another process", {.args = "-p DIR/link read 02A", .code = 3,
                                         .err = "vekctl: cannot open DIR/link: Device or resource busy: sleep (PID HOLDER) has it open\n",
                                         .held = 3});
    row("stale lock", {.args = "-p DIR/link read 02A", .out = "02A 11\n", .lines = {"V", "A02A"}, .staleLock = true});

    // Rounds of reads as the target changes: a failed round (one that waited
    // the read time-out; the rounds after it keep the beat) counts and shows
    // as a row without values; the same failure again is counted, not
    // printed, and K in a row end the watch.
    row("watch", {.args = "-p DEV watch 02A 030 --count 3 --interval 1000", .out = "T 02A 11 030 A5\nT 02A 11->5C\n", .after = -1, .reads = 6});
    row("watch, csv of a range", {.args = "-p DEV watch 02a 030-031 --csv --count 3 --interval 1000",
                                  .out = "ms,02A,030,031\nT,11,A5,00\nT,5C,A5,00\nT,5C,A5,00\n", .after = -1, .reads = 9});
    row("watch, a failed round", {.args = "-p DEV watch 02A --csv --count 4 --interval 200", .code = 4, .out = "ms,02A\nT,11\nT,\nT,11\nT,11\n",
                                  .err = "vekctl: File read failed\nvekctl: read 02A failed\n", .after = -2, .reads = 4});
    row("watch, failures in a row", {.args = "-p DEV watch 02A --max-failures 3 --interval 0", .code = 1, .out = "T 02A 11\n",
                                     .err = "vekctl: Invalid reply from target\nvekctl: read 02A failed\n"
                                            "vekctl: the same again in 2 more rounds\nvekctl: watch: 3 failed rounds in a row\n", .after = -3});
    // A signal ends the run between two reads (of a watch, a range, a
    // script, also in its sleep; SIGTERM as SIGINT, through one handler): the last line whole, no later command
    // sent, the port let go so that the next vekctl opens it at once.
    row("watch, SIGINT", {.args = "-p DEV watch 02A --csv --interval 0", .code = 130, .out = "ms,02A\n(T,11\n)+", .after = SIGINT});
    row("SIGINT in a range", {.args = "-p DEV read 000-FFF", .code = 130,
                              .out = "(0[0-9A-F]0:( [0-9A-F]{2}){16}\n){0,15}0[0-9A-F]0:( [0-9A-F]{2}){0,15} --\n", .after = SIGINT});
    // Wall-clock stamps: milliseconds and the offset from UTC, also one of
    // hours and minutes.
    row("watch, iso stamps", {.args = "-p DEV watch 02A --csv --count 2 --interval 0 --timestamps iso",
                              .out = "time,02A\n(20\\d\\d-[01]\\d-[0-3]\\dT[0-2]\\d:[0-5]\\d:[0-5]\\d\\.\\d{3}\\+05:30,11\n){2}",
                              .lines = {"V", "A02A", "A02A"}, .pattern = true});
    row("SIGTERM in a script", {.args = "-p DEV run DIR/rig.txt", .code = 143, .out = "(02A 11\n){1,999}",
                                .input = QByteArray("read 02A\n").repeated(1000), .after = SIGTERM});
    row("SIGINT in a script's sleep", {.args = "-p DEV run DIR/rig.txt", .code = 130, .out = "02A 11\n",
                                       .input = "read 02A\nsleep 60000\nread 030\n", .after = SIGINT, .reads = 1});
}

void TestVekctl::commands()
{
    QFETCH(Run, run);
    if ((run.args + run.redirect).contains(u"DIR/node"_s) && ::geteuid() != 0)
        QSKIP("only root makes device nodes");
    QTemporaryDir dir;
    const auto path = [&](const char *name) { return dir.filePath(QLatin1String(name)); };
    // rows.vek with a byte order mark, as a Windows editor saves it.
    const QByteArray rows = "\xEF\xBB\xBF" "006\r\nFF\r\n000\r\n12\r\n010\r\n3c\r\n" + QByteArray("000\r\n00\r\n").repeated(5)
                            + QByteArray("\r\n").repeated(8);
    for (const auto &[name, text] : {std::pair{"rows.vek", rows}, {"snap.vek", Run().snap}, {"part.inc", Inc},
                                     {"rig.txt", QByteArray(run.input).replace("DIR", dir.path().toUtf8())}}) {
        QFile f(path(name));
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(text) == text.size());
    }
    if (::geteuid() == 0)   // a full device (1, 7) of the test's own
        QVERIFY(::mknod(QFile::encodeName(path("node")).constData(), S_IFCHR | 0600, makedev(1, 7)) == 0);
    PtyTarget target(testTarget(run.fault, run.faultAfter, run.doubleEcho));
    QVERIFY(target.start());
    QVERIFY(QFile::link(target.devicePath(), path("link")));
    QSerialPort holder(target.devicePath());
    QVERIFY(run.held != 1 || holder.open(QIODevice::ReadWrite));
    const int flockHolder = run.held == 2 ? ::open(QFile::encodeName(target.devicePath()).constData(), O_RDWR | O_NOCTTY) : -1;
    QVERIFY(run.held != 2 || ::flock(flockHolder, LOCK_EX | LOCK_NB) == 0);
    const auto closeHolder = qScopeGuard([flockHolder] { if (flockHolder >= 0) ::close(flockHolder); });
    QProcess sleeper;
    const auto stopSleeper = qScopeGuard([&sleeper] { sleeper.kill(), sleeper.waitForFinished(); });
    if (run.held == 3) {
        sleeper.setStandardInputFile(target.devicePath());
        sleeper.start(u"sleep"_s, {u"60"_s});
        QVERIFY(sleeper.waitForStarted());
    }
    const QString lockFile = lockFileOf(target.devicePath());
    QVERIFY(!run.staleLock || leaveStaleLock(lockFile) > 0);
    const auto expand = [&](QString s) {
        return s.replace(u"DEV"_s, target.devicePath()).replace(u"DIR"_s, dir.path()).replace(u"HOLDER"_s, QString::number(sleeper.processId()));
    };

    const bool csv = run.args.contains(u"--csv"_s);
    Run how = run;
    how.redirect = expand(run.redirect);
    Run r = runVekctl(expand(run.args).split(u' '), how, [&](QProcess &p) {
        if (run.after == 0)
            return;
        // Until the process has printed its first line (with --csv, the header too).
        for (QDeadlineTimer deadline(20000); p.peek(1 << 20).count('\n') < (csv ? 2 : 1); p.waitForReadyRead(100))
            QVERIFY(!deadline.hasExpired() && p.state() != QProcess::NotRunning);
        if (run.after == -1) {
            target.setReg(0x2A, 0x5C);
        } else if (run.after == -3) {
            target.setOptions(testTarget(Fault::Garbage));
        } else if (run.after == -2) {
            target.setOptions(testTarget(Fault::NoPrompt));
            for (QDeadlineTimer deadline(20000); target.lines().size() < 3 && !deadline.hasExpired();)
                QThread::msleep(1);
            target.setOptions(testTarget());
        } else {
            ::kill(pid_t(p.processId()), run.after);
        }
    });
    // Several targets write their messages as they come; the lines of how
    // each port ended come last, in order.
    QString err = expand(run.err);
    if (const qsizetype ports = run.args.count(u"-p "_s); ports > 1) {
        QStringList got = r.err.split(u'\n'), want = err.split(u'\n');
        const auto sortMessages = [ports](QStringList &l) { std::sort(l.begin(), l.end() - qMin(l.size(), ports + 1)); };
        sortMessages(got), sortMessages(want);
        r.err = got.join(u'\n'), err = want.join(u'\n');
    }
    QCOMPARE(QString::number(r.code) + u' ' + r.err, QString::number(run.code) + u' ' + err);
    QByteArrayList lines = run.lines;
    if (run.pattern) {
        QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(run.out)).match(r.out).hasMatch(), qPrintable(r.out));
    } else if (run.after == 0) {
        QCOMPARE(r.out, expand(run.out));
    } else {
        // Rounds keep the interval's beat: round k starts no sooner than k
        // intervals after the start, the first at 0. A late round does not
        // push the next one back, nor do the rounds after it run back to
        // back to catch up: two stand at least half an interval apart.
        QStringList outLines = r.out.split(u'\n');
        const int interval = run.args.section(u"--interval "_s, 1).toInt();
        const QRegularExpression stamp(csv ? u"^(\\d+)(,.*)$"_s : u"^ *(\\d+)( .*)$"_s);
        qint64 round = 0, before = 0;
        for (QString &line : outLines) {
            if (const auto m = stamp.match(line); m.hasMatch() && run.args.contains(u"watch"_s)) {
                const qint64 ms = m.captured(1).toLongLong();
                QVERIFY2(ms >= round * interval && (round > 0 ? ms - before >= interval / 2 : ms == 0), qPrintable(r.out));
                ++round, before = ms;
                line = u'T' + m.captured(2);
            }
        }
        QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(run.out)).match(outLines.join(u'\n')).hasMatch(),
                 qPrintable(r.out));
        // Whole commands only: the identification, then the reads in order.
        const vek::cli::Command cmd = vek::cli::checkInvocation(("vekctl " + expand(run.args)).split(u' ')).commands.first();
        QList<uint16_t> addrs;
        for (const vek::cli::Command &c : cmd.script ? cmd.script->commands : QList{cmd})
            addrs += vek::cli::expandItems(c.reads);
        lines = {"V"};
        for (qsizetype i = 0; i < (run.reads ? run.reads : qMax(1, target.lines().size() - 1)); ++i)
            lines << "A" + vek::AddrDisplay(addrs[i % addrs.size()]).toLatin1();
    }
    QCOMPARE(target.lines(), lines);
    QVERIFY(run.held == 1 || !QFile::exists(lockFile));   // none left behind
    // On the line: calibration character twice, CR, key sequence, then exactly the command lines.
    const char cal = run.args.contains(u"--cal 80"_s) ? char(0x80) : '?';
    if (run.fault == Fault::None)
        QCOMPARE(target.received(), lines.isEmpty() ? QByteArray() : QByteArray(2, cal) + '\r' + Key + lines.join('\r') + '\r');
    if (run.code > 128)
        QCOMPARE(runVekctl({"-p", target.devicePath(), "read", "02A"}).out, u"02A 11\n"_s);
    // A cut command stays the port's: the next run sends nothing until told
    // that the target was reset.
    if (const qsizetype cut = run.err.indexOf(u"command, "_s); cut >= 0) {
        const QString held = run.err.mid(cut + 9).section(u';', 0, 0), dev = target.devicePath();
        target.setOptions(testTarget());
        const QByteArray before = target.received();
        QCOMPARE(runVekctl({"-p", dev, "read", "02A"}).err + target.received().mid(before.size()),
                 u"vekctl: The target on %1 may hold part of a command, %2, cut by an earlier connection; the connection "
                 "sequence would complete it: reset the target, then run again with --target-reset\n"_s.arg(dev, held));
        target.reset();
        const QString afterReset = runVekctl({"-p", dev, "--target-reset", "read", "02A"}).out;
        QCOMPARE(afterReset + runVekctl({"-p", dev, "read", "030"}).out, u"02A 11\n030 A5\n"_s);
    }
    QFile snap(path("snap.vek"));
    QCOMPARE(snap.open(QIODevice::ReadOnly) ? snap.readAll() : "cannot be read", run.snap);
}

// Every refusal: checked before any port opens (a port name that does not
// open would give 3), nothing printed, the reason on the first line.
void TestVekctl::refusals_data()
{
    QTest::addColumn<QString>("args");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("err");
    const auto row = [](const char *args, const char *err, int code = 2) { QTest::newRow(args) << QString(args) << code << QString(err); };
    row("bogus 02A", "unknown command 'bogus' (see vekctl --help)");
    row("--bogus read 02A", "Unknown option 'bogus'.");
    row("-p N --csv read 02A", "--csv is an option of watch");
    row("-p N -b 1200 read 02A", "'1200' is not a bit rate: 300, 4800 or 9600");
    row("-p N --cal 40 read 02A", "'40' is not a calibration character: 3F or 80");
    row("-p N watch 02A --interval 3600001", "--interval: '3600001' is not a number from 0 to 3600000");
    row("-p N watch 02A --count 0", "--count: '0' is not a number from 1 to 999999999999");
    row("-p N read 02A 031-030", "read 031-030: the range runs backwards");
    row("-p N read 02A 1000", "read 1000: Maximum data memory address is 0xFFF");
    row("-p N save DIR/s.vek 000-007 010", "save DIR/s.vek: a setup file holds at most 8 registers");
    row("-p N test 256", "test: '256' is not a decimal value from 0 to 255");
    row("read 02A", "no port given: use -p NAME ('vekctl ports' lists them)");
    row("-p N write 02A=100", "write 02A=100: 100 does not fit in a register (00 to FF)");
    row("-p N -p M read 02A save DIR/s.vek 02A", "save writes one file: give one port (-p) for it");
    row("-p N -p M watch 02A --csv", "watch --csv prints one table: give one port (-p) for it");
    row("-p DIR/fifo -p DIR/tofifo read 02A", "-p DIR/fifo and -p DIR/tofifo name the same port: give it once");
    row("-p demo -p demo read 02A", "-p demo is given twice: give each port once");
    row("-p rfc2217://127.0.0.1:0 read 02A", "-p rfc2217://127.0.0.1:0: 0 is not a port number (1 to 65535)");
    row("-p rfc2217://127.0.0.1 read 02A", "-p rfc2217://127.0.0.1: a network port is named rfc2217://HOST:PORT: the port number is missing");
    row("-p rfc2217://lab!:3001 read 02A", "-p rfc2217://lab!:3001: 'lab!' is not a host name or address");
    row("-p tcp://lab:3001 read 02A", "-p tcp://lab:3001: not a kind of port vekctl knows; a network port is named rfc2217://HOST:PORT");
    row("-p rfc2217:/lab:3001 read 02A", "-p rfc2217:/lab:3001: a network port is named rfc2217://HOST:PORT");
    // Only an ordinary file is replaced, in a folder that is there to be
    // written; a link is followed. DIR/node is a full device of the test's own.
    row("-p N save DIR/fifo 02A", "save DIR/fifo: a FIFO, not an ordinary file; nothing written");
    row("-p N save DIR/tofifo 02A", "save DIR/tofifo: a FIFO, not an ordinary file; nothing written");
    row("-p N save DIR/node 02A", "save DIR/node: a character device, not an ordinary file; nothing written");
    row("-p N save  02A", "save '': the file name is empty");
    row("-p N save DIR/nodir/x.vek 02A", "save DIR/nodir/x.vek: the folder DIR/nodir does not exist");
    row("-p N save DIR/ro/x.vek 02A", "save DIR/ro/x.vek: the folder DIR/ro may not be written");
    row("-p N read 02A apply DIR/bad.vek", "apply DIR/bad.vek: line 1: 'Z\\x00' is not a hexadecimal number");
    // A bad line anywhere: nothing is sent, not even the commands before the script.
    row("-p N read 02A run DIR/bad.txt", "DIR/bad.txt:3: write: 'xyz' is not a hexadecimal address");
    row("-p N run DIR/watch.txt", "DIR/watch.txt:2: watch cannot be used in a script");
    // Ports that do not open: the system's reason and what to do.
    row("-p DIR/none read 02A", "cannot open DIR/none: No such file or directory (vekctl ports lists the ports)", 3);
    row("-p DIR/locked read 02A", "cannot open DIR/locked: Permission denied (add your user to the dialout group, then log in again)", 3);
    row("-p DIR/bad.txt read 02A", "cannot open DIR/bad.txt: Inappropriate ioctl for device (not a serial port)", 3);
}

void TestVekctl::refusals()
{
    QFETCH(QString, args);
    QFETCH(int, code);
    QFETCH(QString, err);
    if ((args.contains(u"locked"_s) || args.contains(u"DIR/ro/"_s)) && ::geteuid() == 0)
        QSKIP("root may open anything");
    if (args.contains(u"DIR/node"_s) && ::geteuid() != 0)
        QSKIP("only root makes device nodes");
    QTemporaryDir dir;
    const auto path = [&](const char *name) { return QFile::encodeName(dir.filePath(QLatin1String(name))); };
    QVERIFY(::mkfifo(path("fifo").constData(), 0600) == 0 && ::symlink(path("fifo").constData(), path("tofifo").constData()) == 0);
    QVERIFY(::mkdir(path("ro").constData(), 0500) == 0);
    QVERIFY(::geteuid() != 0 || ::mknod(path("node").constData(), S_IFCHR | 0600, makedev(1, 7)) == 0);
    for (const auto &[name, text] : {std::pair{"bad.vek", QByteArray("Z\0\r\n00\r\n", 7)}, {"bad.txt", "read 02A\n\nwrite xyz=01\n"},
                                     {"watch.txt", "read 02A\nwatch 02A\n"}, {"locked", ""}}) {
        QFile f(dir.filePath(QLatin1String(name)));
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(text) == text.size());
    }
    QVERIFY(QFile::setPermissions(dir.filePath(u"locked"_s), {}));
    QString out, errText;
    QTextStream o(&out), e(&errText);
    const int status = vek::cli::runVekctl(("vekctl " + args.replace(u"DIR"_s, dir.path())).split(u' '), o, e);
    QCOMPARE(u"%1 "_s.arg(status) + errText.section(u'\n', 0, 0) + out, u"%1 vekctl: "_s.arg(code) + err.replace(u"DIR"_s, dir.path()));
}

// A stale lock where it may not be removed (root may remove any file, so
// the refusal is put in): named for the user to remove, not called busy.
void TestVekctl::staleLockKept()
{
    PtyTarget target(testTarget());
    QVERIFY(target.start());
    const QString lock = lockFileOf(target.devicePath());
    const qint64 pid = leaveStaleLock(lock);
    const auto cleanup = qScopeGuard([&] { QFile::remove(lock); });
    vek::QtSerialLine line;
    line.setLockRemover([](const QString &) { return false; });
    QCOMPARE(line.open(target.devicePath(), 9600), vek::SerialLine::OpenResult::CannotOpen);
    QCOMPARE(line.openFailure().text, u"stale lock %1 of process %2 (no longer running): remove it"_s.arg(lock).arg(pid));
}

namespace {

// The simulated target's line, pulled out at `downFrom` and back at
// `downUntil` (ms on the clock): meanwhile the port does not open, and the
// connection open when it went stays dead.
class PulledLine final : public vek::SerialLine {
public:
    PulledLine(vek::SerialLine &line, const ManualLineClock &clock) : m_line(line), m_clock(clock) {}
    qint64 downFrom = 0, downUntil = 0;

    OpenResult open(const QString &name, int32_t baud) override
    {
        if (away())
            return OpenResult::CannotOpen;
        m_dead = false;
        return m_line.open(name, baud);
    }
    OpenFailure openFailure() const override { return {OpenFailure::Kind::NotFound, u"No such file or directory"_s}; }
    bool isOpen() const override { return m_line.isOpen(); }
    bool close() override { return m_line.close(); }
    bool writeByte(uint8_t b) override { return alive() && m_line.writeByte(b); }
    ReadResult readByte(uint8_t &b) override { return alive() ? m_line.readByte(b) : ReadResult::Error; }
    void purgeRx() override { m_line.purgeRx(); }
    void purgeTx() override { m_line.purgeTx(); }
    bool setBreak(bool on) override { return alive() && m_line.setBreak(on); }

private:
    bool away() const
    {
        const qint64 ms = std::chrono::duration_cast<std::chrono::milliseconds>(m_clock.now()).count();
        return ms >= downFrom && ms < downUntil;
    }
    bool alive() { return !(m_dead = m_dead || away()); }

    vek::SerialLine &m_line;
    const ManualLineClock &m_clock;
    bool m_dead = false;
};

// vekctl's waits on the simulated target's virtual clock.
class VirtualClock final : public vek::cli::Clock {
public:
    explicit VirtualClock(ManualLineClock &clock) : m_clock(clock) {}
    qint64 nowMs() override { return std::chrono::duration_cast<std::chrono::milliseconds>(m_clock.now()).count(); }
    qint64 wallMs() override { return Q_INT64_C(1765000000000) + nowMs(); }
    bool sleepMs(qint64 ms) override { return m_clock.advanceMs(int(ms)), true; }

private:
    ManualLineClock &m_clock;
};

} // namespace

// A watch that loses its line opens the port again with a growing back-off
// (1 s, 2 s, 4 s), says each attempt once with its time, writes a row for
// each round missed and goes on once the target answers; the rounds missed
// count as failed; a command that another program cut meanwhile (A03) ends
// it. All in virtual time: the line is pulled 2.5 s into the watch, back at
// 9 s.
void TestVekctl::watchReconnect_data()
{
    QTest::addColumn<QString>("options");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");
    QTest::addColumn<QByteArray>("held");
    const QString lost = u"vekctl: Write failed\nvekctl: Read Failure\nvekctl: File read failed\nvekctl: read 02A failed\n"_s;
    const QString attempt = u"vekctl: 2025-12-06T11:16:%1.500+05:30 watch: opening demo again (attempt %2): %3\n"_s;
    const QString refused = u"cannot open demo: No such file or directory (vekctl ports lists the ports)"_s;
    const QString before = u"ms,02A\n0,11\n1000,11\n2000,11\n3000,\n4000,\n5000,\n6000,\n7000,\n"_s;
    QTest::newRow("back") << u"--count 15 --max-failures 100"_s << 4
                          << before + u"8000,\n9000,\n10000,\n11500,11\n12000,11\n13000,11\n14000,11\n"_s
                          << lost + attempt.arg(45).arg(1).arg(refused) + attempt.arg(47).arg(2).arg(refused)
                                 + attempt.arg(51).arg(3).arg(u"connected"_s) << QByteArray();
    QTest::newRow("a command cut meanwhile")
        << u"--count 15 --max-failures 100"_s << 4 << before + u"8000,\n9000,\n10000,\n"_s
        << lost + attempt.arg(45).arg(1).arg(refused) + attempt.arg(47).arg(2).arg(refused)
               + attempt.arg(51).arg(3).arg(u"The target on demo may hold part of a command, A03, cut by an earlier connection; the "
                                            "connection sequence would complete it: reset the target, then run again with --target-reset"_s)
        << QByteArray("A03");
    QTest::newRow("too many missed") << u"--max-failures 5"_s << 4 << before
                                     << lost + attempt.arg(45).arg(1).arg(refused) + attempt.arg(47).arg(2).arg(refused)
                                            + u"vekctl: watch: 5 failed rounds in a row\n"_s << QByteArray();
}

void TestVekctl::watchReconnect()
{
    QFETCH(QString, options);
    QFETCH(int, status);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QFETCH(QByteArray, held);
    qputenv("TZ", "IST-5:30");
    ::tzset();
    const vek::cli::Invocation inv = vek::cli::checkInvocation(
        (u"vekctl -p demo watch 02A --csv --interval 1000 --reconnect "_s + options).split(u' '));
    ManualLineClock time;
    VirtualClock clock(time);
    SimLine sim(testTarget(), &time, false);
    PulledLine pulled(sim, time);
    QString printed, said;
    QTextStream o(&printed), e(&said);
    vek::cli::CliHost host(e, clock);
    vek::Session target(pulled, host);
    struct : vek::HeldCommands {
        QByteArray partial;
        QByteArray find(const QString &) override { return partial; }
        void note(const QString &, const QByteArray &p) override { partial = p; }
    } cut;
    target.setHeldCommands(&cut);
    vek::cli::Session session(inv.options, o, e, host);
    session.target = &target;
    QCOMPARE(vek::cli::connectTarget(inv.options, host, target), 0);
    session.reopen = [&](QString &why) { return vek::cli::reconnectTarget(inv.options, target, why); };
    pulled.downFrom = clock.nowMs() + 2500, pulled.downUntil = clock.nowMs() + 9000;
    cut.partial = held;
    QCOMPARE(vek::cli::runWatch(session, inv.commands.first()), status);
    QCOMPARE(printed, out);
    QCOMPARE(said, err);
}

// The help in lines no wider than the terminal, broken between words only:
// the same words in the same order at every width.
void TestVekctl::helpWraps()
{
    const auto words = [](const QString &text) { return text.simplified().split(u' '); };
    for (const auto *c : {vek::cli::findCommand(u"watch"_s), static_cast<const vek::cli::CommandInfo *>(nullptr)}) {
        const auto help = [c](int width) { return c ? vek::cli::commandHelp(*c, width) : vek::cli::globalHelp(width); };
        for (int width : {40, 80}) {
            const QString text = help(width);
            for (const QString &line : text.split(u'\n'))
                QVERIFY2(line.size() <= width || !line.trimmed().contains(u' '), qPrintable(line));
            QCOMPARE(words(text), words(help(1000)));
        }
    }
}

// With several targets the exit status is the first of 130, 143, 129, 141, 4, 3
// and 1 that any gave, whatever the order of the ports.
void TestVekctl::severalStatuses()
{
    const QList<int> order{130, 143, 129, 141, 4, 3, 1, 0};
    for (qsizetype i = 0; i < order.size(); ++i) {
        for (qsizetype j = i; j < order.size(); ++j) {
            QCOMPARE(vek::cli::combinedStatus({order[j], order[i]}), order[i]);
            QCOMPARE(vek::cli::combinedStatus({order[i], 0, order[j]}), order[i]);
        }
    }
}

QTEST_GUILESS_MAIN(TestVekctl)
#include "tst_vekctl.moc"
