// vekctl as a user runs it: the built program against a simulated target on
// a real pseudo-terminal. Every connection costs 1.5 s of fixed waits, so
// each invocation carries several commands. Faults of the link are in
// tst_faults.

#include "ptytarget.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using namespace vek::sim;
Q_DECLARE_METATYPE(vek::sim::TargetOptions)

namespace {

struct Result {
    int code = -1;
    QString out;
    QString err;
};

Result runVekctl(const QStringList &args)
{
    QProcess p;
    p.start(QStringLiteral(VEKCTL_PATH), args);
    if (!p.waitForFinished(30000))
        p.kill();
    p.waitForFinished();
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

void writeFile(const QString &path, const QByteArray &content)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(content) == content.size());
}

} // namespace

class TestVekctl : public QObject {
    Q_OBJECT

private slots:
    void commands_data();
    void commands();
    void labels();
    void demoPort();
};

void TestVekctl::commands_data()
{
    QTest::addColumn<QString>("args");   // DEV: the target's device, DIR: a scratch directory
    QTest::addColumn<TargetOptions>("options");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");
    QTest::addColumn<QByteArrayList>("lines");   // the command lines the target ran

    const auto row = [](const char *name, const QString &args, int code, const QString &out, const QString &err,
                        const QByteArrayList &lines = {}, Fault fault = Fault::None, bool doubleEcho = false) {
        TargetOptions o;
        o.ident = "VEK test target";
        o.registers[0x2A] = 0x11;
        o.registers[0x21] = 0x07;
        o.registers[0x30] = 0xA5;
        o.fault = fault;
        o.faultAfter = fault == Fault::WrongEcho ? 10 + 5 + 2 : 0;   // the write's '2' after "A02A" CR
        o.doubleEcho = doubleEcho;
        QTest::newRow(name) << args << o << code << out << err << lines;
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

    row("no such port", "-p /dev/vek-no-such-port read 02A", 3, "",
        "vekctl: Cannot open /dev/vek-no-such-port\nvekctl: /dev/vek-no-such-port is not responding\n");
    row("silent target", "-p DEV read 02A", 3, "", "vekctl: DEV is not responding\n", {}, Fault::Silent);
    // A failed command ends the run: nothing of 02B=01.
    row("wrong echo in a write", "-p DEV read 02A write 02A=5C 02B=01", 1, "02A 11\n",
        "vekctl: File write failed\nvekctl: write 02A=5C failed\n", {"V", "A02A"}, Fault::WrongEcho);
    // Bad input: refused before the port is opened, even after good commands.
    row("address 1000", "-p DEV read 02A 1000", 2, "", "vekctl: read 1000: Maximum data memory address is 0xFFF\n");
    row("address xyz", "-p DEV read 02A write xyz=01", 2, "", "vekctl: write: 'xyz' is not a hexadecimal address\n");
    row("value not hex", "-p DEV write 02A=01 02B=5G", 2, "", "vekctl: write 02B=5G: Invalid Entry\n");
    row("damaged setup file", "-p DEV read 02A apply DIR/bad.vek", 2, "",
        "vekctl: apply DIR/bad.vek: line 3: 'Z\\x00' is not a hexadecimal number\n");
}

void TestVekctl::commands()
{
    QFETCH(QString, args);
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

    const Result r = runVekctl(expand(args).split(u' '));
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
