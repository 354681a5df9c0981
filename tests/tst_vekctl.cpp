// vekctl as a user runs it: the built program against a simulated target on
// a real pseudo-terminal. Every connection costs 1.5 s of fixed waits, so
// each invocation carries several commands.

#include "ptytarget.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using vek::sim::Fault;
using vek::sim::PtyTarget;
using vek::sim::TargetOptions;

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
    Result r;
    if (!p.waitForFinished(30000)) {
        p.kill();
        p.waitForFinished();
        r.err = QStringLiteral("vekctl did not finish");
        return r;
    }
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

// DEV and DIR in the arguments stand for the target's device and a scratch
// directory.
QStringList expand(QStringList list, const QString &dev, const QString &dir)
{
    for (QString &s : list)
        s.replace(QLatin1String("DEV"), dev).replace(QLatin1String("DIR"), dir);
    return list;
}

void writeFile(const QString &path, const QByteArray &content)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(content);
}

// Row 1 006=FF, row 2 address 0 (never written), row 3 010=3C.
QByteArray goodSetup()
{
    QByteArray s = "006\r\nFF\r\n000\r\n12\r\n010\r\n3c\r\n";
    for (int i = 3; i < 8; ++i)
        s += "000\r\n00\r\n";
    for (int i = 0; i < 8; ++i)
        s += "\r\n";
    return s;
}

const QByteArray KeySequence("\x5A\xC3\x27\xE1\x4B", 5);

} // namespace

class TestVekctl : public QObject {
    Q_OBJECT

private slots:
    void session_data();
    void session();
    void failures_data();
    void failures();
    void labels();
    void help_data();
    void help();
};

void TestVekctl::session_data()
{
    QTest::addColumn<bool>("doubleEcho");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<char>("cal");
    QTest::addColumn<QString>("expected");

    const QString results = QStringLiteral(
        "VEK test target\n"
        "02A 11\n"
        "020: 00 07 00 00 00 00 00 00 00 00 11 00 00 00 00 00\n"
        "030: A5 00\n");
    const QString writes = QStringLiteral("A02A=5C\nA1FF=23\nT2C\nA006=FF\nA010=3C\n");
    const QString reads = QStringLiteral("02A 5C\n006 FF\n");
    QTest::newRow("single echo") << false << QStringList{} << '?' << results + writes + reads;
    QTest::newRow("double echo, 0x80, quiet")
        << true << QStringList{QStringLiteral("--cal"), QStringLiteral("80"), QStringLiteral("-q")}
        << char(0x80) << results + reads;
}

void TestVekctl::session()
{
    QFETCH(bool, doubleEcho);
    QFETCH(QStringList, options);
    QFETCH(char, cal);
    QFETCH(QString, expected);

    QTemporaryDir dir;
    writeFile(dir.filePath(QStringLiteral("rows.vek")), goodSetup());
    TargetOptions opt;
    opt.doubleEcho = doubleEcho;
    opt.ident = "VEK test target";
    opt.registers[0x2A] = 0x11;
    opt.registers[0x21] = 0x07;
    opt.registers[0x30] = 0xA5;
    PtyTarget target(opt);
    QVERIFY(target.start());

    const QStringList args = options + expand(
        {"-p", "DEV", "version", "read", "02a", "20-031", "write", "02A=5C", "1ff=123",
         "test", "44", "apply", "DIR/rows.vek", "read", "2A", "6"},
        target.devicePath(), dir.path());
    const Result r = runVekctl(args);
    QCOMPARE(r.err, QString());
    QCOMPARE(r.out, expected);
    QCOMPARE(r.code, 0);

    // The whole conversation, command by command: the identification query
    // right after the handshake, then every command in order.
    QList<QByteArray> lines{"V", "A02A"};
    for (int a = 0x20; a <= 0x31; ++a)
        lines << "A0" + QByteArray::number(a, 16).toUpper();
    lines << "A02A=5C" << "A1FF=23" << "T2C" << "A006=FF" << "A010=3C" << "A02A" << "A006";
    QCOMPARE(target.lines(), lines);

    // And the bytes: calibration character, CR, key sequence, then exactly
    // the command lines with their CRs.
    const QByteArray rx = target.received();
    const qsizetype key = rx.indexOf(KeySequence);
    QVERIFY(key > 0);
    QCOMPARE(rx.left(key).count(cal), 2);
    QVERIFY(rx.startsWith(cal));
    QVERIFY(rx.left(key).endsWith('\r'));
    QCOMPARE(rx.mid(key + KeySequence.size()), lines.join('\r') + '\r');

    QCOMPARE(target.reg(0x02A), uint8_t(0x5C));
    QCOMPARE(target.reg(0x1FF), uint8_t(0x23));
    QCOMPARE(target.reg(0x006), uint8_t(0xFF));
    QCOMPARE(target.reg(0x010), uint8_t(0x3C));
    QCOMPARE(target.reg(0x000), uint8_t(0));   // row 2 has address 0: never written
}

void TestVekctl::failures_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("faultAfter");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("err");
    QTest::addColumn<QString>("out");

    const int none = int(Fault::None);
    // '?', '?', CR, five key bytes, 'V', CR: the first byte of the first
    // command is the eleventh.
    const int connected = 10;

    QTest::newRow("no such port")
        << QStringList{"-p", "/dev/vek-no-such-port", "read", "02A"} << none << 0 << 3
        << "vekctl: Cannot open /dev/vek-no-such-port\n"
           "vekctl: /dev/vek-no-such-port is not responding\n"
        << "";
    QTest::newRow("silent target") << QStringList{"-p", "DEV", "read", "02A"} << int(Fault::Silent)
                                   << 0 << 3 << "vekctl: DEV is not responding\n" << "";
    QTest::newRow("wrong echo in handshake")
        << QStringList{"-p", "DEV", "version"} << int(Fault::WrongEcho) << 0 << 3
        << "vekctl: DEV is not responding\n" << "";
    QTest::newRow("wrong echo in a write")
        << QStringList{"-p", "DEV", "read", "02A", "write", "02A=5C", "02B=01"} << int(Fault::WrongEcho)
        << connected + 5 + 2 << 1
        << "vekctl: File write failed\nvekctl: write 02A=5C failed\n" << "02A 00\n";
    QTest::newRow("reply not hexadecimal")
        << QStringList{"-p", "DEV", "read", "020-021", "write", "02A=5C"} << int(Fault::Garbage) << 0 << 1
        << "vekctl: Invalid reply from target\nvekctl: read 020 failed\n" << "";
    QTest::newRow("no prompt after test")
        << QStringList{"-p", "DEV", "test", "255", "version"} << int(Fault::NoPrompt) << connected << 1
        << "vekctl: File write failed\nvekctl: test 255 failed\n" << "";

    // Bad input: refused before the port is opened, even after good commands.
    QTest::newRow("address 1000") << QStringList{"-p", "DEV", "read", "02A", "1000"} << none << 0 << 2
                                  << "vekctl: read 1000: Maximum data memory address is 0xFFF\n" << "";
    QTest::newRow("address xyz") << QStringList{"-p", "DEV", "read", "02A", "write", "xyz=01"} << none
                                 << 0 << 2 << "vekctl: write: 'xyz' is not a hexadecimal address\n" << "";
    QTest::newRow("value not hex") << QStringList{"-p", "DEV", "write", "02A=01", "02B=5G"} << none << 0
                                   << 2 << "vekctl: write 02B=5G: Invalid Entry\n" << "";
    QTest::newRow("empty value") << QStringList{"-p", "DEV", "write", "02A="} << none << 0 << 2
                                 << "vekctl: write 02A=: Invalid Entry\n" << "";
    QTest::newRow("range backwards") << QStringList{"-p", "DEV", "read", "030-020"} << none << 0 << 2
                                     << "vekctl: read 030-020: the range runs backwards\n" << "";
    QTest::newRow("test 256") << QStringList{"-p", "DEV", "test", "256"} << none << 0 << 2
                              << "vekctl: test: '256' is not a decimal value from 0 to 255\n" << "";
    QTest::newRow("damaged setup file")
        << QStringList{"-p", "DEV", "read", "02A", "apply", "DIR/bad.vek"} << none << 0 << 2
        << "vekctl: apply DIR/bad.vek: line 3: 'ZZ' is not a hexadecimal number\n" << "";
    QTest::newRow("bad bit rate") << QStringList{"-p", "DEV", "-b", "1200", "version"} << none << 0 << 2
                                  << "vekctl: '1200' is not a bit rate: 300, 4800 or 9600\n" << "";
    QTest::newRow("no port given") << QStringList{"read", "02A"} << none << 0 << 2
                                   << "vekctl: no port given: use -p NAME ('vekctl ports' lists them)\n"
                                   << "";
}

void TestVekctl::failures()
{
    QFETCH(QStringList, args);
    QFETCH(int, fault);
    QFETCH(int, faultAfter);
    QFETCH(int, code);
    QFETCH(QString, err);
    QFETCH(QString, out);

    QTemporaryDir dir;
    QByteArray bad = goodSetup();
    bad.replace("000\r\n12", "ZZ\r\n12");
    writeFile(dir.filePath(QStringLiteral("bad.vek")), bad);

    TargetOptions opt;
    opt.fault = Fault(fault);
    opt.faultAfter = faultAfter;
    PtyTarget target(opt);
    QVERIFY(target.start());
    const QString dev = target.devicePath();

    const Result r = runVekctl(expand(args, dev, dir.path()));
    QCOMPARE(r.err, expand({err}, dev, dir.path()).first());
    QCOMPARE(r.out, out);
    QCOMPARE(r.code, code);
    if (code == 2)
        QCOMPARE(target.received(), QByteArray());
    // A failed command ends the run: nothing of the commands after it.
    if (code == 1) {
        QVERIFY(!target.received().contains("A02B"));
        QVERIFY(!target.received().contains("A02A="));
    }
}

void TestVekctl::labels()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("part.inc"));
    writeFile(path,
              "; VEK part\n"                                    // 1
              ";----- Register Files -----\n"                   // 2
              "STATUS EQU H'0003'\n"                            // 3
              "BROKEN\n"                                        // 4
              "INDF EQU H'0000'\n"                              // 5
              "PORTA EQU 0x05\n"                                // 6
              " indented by a space: skipped without a word\n"  // 7
              "; a comment\n"                                   // 8
              "\n"                                              // 9
              "\tTMR0 EQU H'0001'\n"                            // 10
              "FSR EQU H'0004\n"                                // 11
              "A_NAME_OF_TWENTY_ONE EQU H'0010'\n"              // 12
              ";----------\n"                                   // 13
              "AFTER EQU H'0099'\n");
    const Result r = runVekctl({QStringLiteral("labels"), path});
    QCOMPARE(r.code, 0);
    QCOMPARE(r.out, QStringLiteral("INDF 000\nSTATUS 003\nTMR0 001\n"));

    QStringList err = r.err.split(u'\n');
    QCOMPARE(err.takeLast(), QString());
    QCOMPARE(err.size(), 5);
    const QString at = QStringLiteral("vekctl: ") + path + u':';
    const QList<QPair<int, QString>> skipped{{4, "BROKEN"},
                                             {6, "PORTA EQU 0x05"},
                                             {11, "FSR EQU H'0004"},
                                             {12, "A_NAME_OF_TWENTY_ONE EQU H'0010'"}};
    for (int i = 0; i < skipped.size(); ++i) {
        QVERIFY2(err[i].startsWith(at + QString::number(skipped[i].first) + u':'), qPrintable(err[i]));
        QVERIFY2(err[i].endsWith(QStringLiteral(": ") + skipped[i].second), qPrintable(err[i]));
    }
    QCOMPARE(err.last(), at + QStringLiteral(" 3 entries, 4 lines skipped"));
}

void TestVekctl::help_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("start");
    QTest::newRow("top") << QStringList{"--help"} << "Usage: vekctl [options] COMMAND";
    QTest::newRow("write") << QStringList{"-p", "x", "write", "--help"}
                           << "Usage: vekctl [options] write ADDR=VALUE...\n";
    QTest::newRow("labels") << QStringList{"labels", "-h"} << "Usage: vekctl [options] labels FILE.inc\n";
    QTest::newRow("version") << QStringList{"--version"} << "vekctl 2.1.0.1\n";
}

void TestVekctl::help()
{
    QFETCH(QStringList, args);
    QFETCH(QString, start);
    const Result r = runVekctl(args);
    QCOMPARE(r.code, 0);
    QCOMPARE(r.err, QString());
    QVERIFY2(r.out.startsWith(start), qPrintable(r.out));
}

QTEST_GUILESS_MAIN(TestVekctl)
#include "tst_vekctl.moc"
