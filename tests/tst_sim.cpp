// The simulated target: the monitor state machine byte for byte, and a few
// exchanges over a real pseudo-terminal.

#include "ptytarget.h"
#include "qtserialline.h"
#include "targetmonitor.h"

#include <QElapsedTimer>
#include <QTest>

using namespace vek::sim;
using vek::SerialLine;
using vek::QtSerialLine;

Q_DECLARE_METATYPE(vek::sim::Fault)

namespace {

const QByteArray Key("\x5A\xC3\x27\xE1\x4B", 5);

TargetOptions withReg(uint16_t addr, uint8_t value, TargetOptions opt = {})
{
    opt.registers[addr] = value;
    return opt;
}

// The host side of one echo-checked byte.
bool writeEcho(SerialLine &line, uint8_t b, int copies = 1)
{
    if (!line.writeByte(b))
        return false;
    for (int i = 0; i < copies; ++i) {
        uint8_t e = 0;
        if (line.readByte(e) != SerialLine::ReadResult::Byte || e != b)
            return false;
    }
    return true;
}

bool expectByte(SerialLine &line, uint8_t want)
{
    uint8_t b = 0;
    return line.readByte(b) == SerialLine::ReadResult::Byte && b == want;
}

} // namespace

class TstSim : public QObject {
    Q_OBJECT
private slots:
    void connectionSequence_data();
    void connectionSequence();
    void commands_data();
    void commands();
    void faults_data();
    void faults();
    void logsAndOptions();

    void ptyExchange();
    void ptyHangUp();
    void ptyHangUpFault();
    void ptyStopIsPrompt();
    void ptyPacing();
};

void TstSim::connectionSequence_data()
{
    QTest::addColumn<bool>("doubleEcho");
    QTest::addColumn<char>("calChar");
    QTest::newRow("single, ?") << false << '?';
    QTest::newRow("single, 0x80") << false << char(0x80);
    QTest::newRow("double, ?") << true << '?';
    QTest::newRow("double, 0x80") << true << char(0x80);
}

void TstSim::connectionSequence()
{
    QFETCH(bool, doubleEcho);
    QFETCH(char, calChar);
    TargetOptions opt = withReg(0x020, 0x3C);
    opt.doubleEcho = doubleEcho;
    TargetMonitor m(opt);
    const int n = doubleEcho ? 2 : 1;

    QCOMPARE(m.feed(uint8_t(calChar)), QByteArray(n, calChar));
    QCOMPARE(m.feed(uint8_t(calChar)), QByteArray(n, calChar));
    // Handshake: the CR is answered by its echo(es) and the prompt.
    QCOMPARE(m.feed(uint8_t('\r')), QByteArray(n, '\r') + '>');
    for (char k : Key)
        QCOMPARE(m.feed(uint8_t(k)), QByteArray(n, k));

    // Neither the calibration characters nor the key bytes spoil the next line.
    QByteArray expected;
    for (char c : QByteArray("A020\r"))
        expected += QByteArray(n, c);
    QCOMPARE(m.feed(QByteArray("A020\r")), expected + "3C>");
    QCOMPARE(m.lines(), QList<QByteArray>{"A020"});
}

void TstSim::commands_data()
{
    QTest::addColumn<bool>("crInReplies");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("replies"); // output with the echoes taken out

    QTest::newRow("empty line") << false << QByteArray("\r") << QByteArray(">");
    QTest::newRow("read") << false << QByteArray("A020\r") << QByteArray("3C>");
    QTest::newRow("read, lower case") << false << QByteArray("a02a\r") << QByteArray("A5>");
    QTest::newRow("read with CRs") << true << QByteArray("A020\r") << QByteArray("3\rC\r>");
    QTest::newRow("write, read back") << false << QByteArray("A021=7f\rA021\r")
                                      << QByteArray(">7F>");
    QTest::newRow("short address and data") << false << QByteArray("A5=3\rA005\r")
                                            << QByteArray(">03>");
    QTest::newRow("four-digit address kept to 12 bits")
        << false << QByteArray("A1234=55\rA234\r") << QByteArray(">55>");
    QTest::newRow("five-digit address") << false << QByteArray("A12345=55\r") << QByteArray("?>");
    QTest::newRow("bad data") << false << QByteArray("A020=1X\rA020\r") << QByteArray("?>3C>");
    QTest::newRow("three-digit data") << false << QByteArray("A020=123\r") << QByteArray("?>");
    QTest::newRow("no address") << false << QByteArray("A\r") << QByteArray("?>");
    QTest::newRow("ident") << false << QByteArray("V\r") << QByteArray("VEK-sim 1.2>");
    QTest::newRow("ident with CRs") << true << QByteArray("V\r")
                                    << QByteArray("V\rE\rK\r-\rs\ri\rm\r \r1\r.\r2\r>");
    QTest::newRow("test") << false << QByteArray("T2C\r") << QByteArray(">");
    QTest::newRow("unknown") << false << QByteArray("XY\r") << QByteArray("?>");
    QTest::newRow("unknown with CRs") << true << QByteArray("XY\r") << QByteArray("?\r>");
    QTest::newRow("control bytes dropped") << false << QByteArray("A0\x01" "20\n\r")
                                           << QByteArray("3C>");
    QTest::newRow("partial key is no key") << false << QByteArray("Z\xC3\rA020\r")
                                           << QByteArray("?>3C>");
}

void TstSim::commands()
{
    QFETCH(bool, crInReplies);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, replies);
    TargetOptions opt = withReg(0x020, 0x3C, withReg(0x02A, 0xA5));
    opt.crInReplies = crInReplies;
    TargetMonitor m(opt);

    // Every byte is echoed first; what follows the echo is the reply.
    QByteArray got;
    for (char c : input) {
        const QByteArray out = m.feed(uint8_t(c));
        QVERIFY(!out.isEmpty());
        QCOMPARE(out.at(0), c);
        got += out.mid(1);
    }
    QCOMPARE(got, replies);
}

void TstSim::faults_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<int>("after");
    QTest::addColumn<bool>("prompt"); // longReplyPrompt
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<bool>("hungUp");

    QTest::newRow("no echo") << Fault::NoEcho << 2 << true << QByteArray("A020\r")
                             << QByteArray("A03C>") << false;
    QTest::newRow("wrong echo") << Fault::WrongEcho << 1 << true << QByteArray("A020\r")
                                << QByteArray("A131\x0C" "3C>") << false;
    QTest::newRow("silent") << Fault::Silent << 3 << true << QByteArray("A020\r")
                            << QByteArray("A02") << false;
    QTest::newRow("hang-up") << Fault::HangUp << 3 << true << QByteArray("A020\r")
                             << QByteArray("A02") << true;
    QTest::newRow("hang-up at once") << Fault::HangUp << 0 << true << QByteArray("?")
                                     << QByteArray() << true;
    QTest::newRow("no prompt, write") << Fault::NoPrompt << 0 << true << QByteArray("A020=11\r")
                                      << QByteArray("A020=11\r") << false;
    QTest::newRow("no prompt, read") << Fault::NoPrompt << 0 << true << QByteArray("A020\r")
                                     << QByteArray("A020\r3C") << false;
    QTest::newRow("no prompt after the handshake only") << Fault::NoPrompt << 1 << true
                                                        << QByteArray("\r\r") << QByteArray("\r>\r")
                                                        << false;
    QTest::newRow("garbage") << Fault::Garbage << 0 << true << QByteArray("A020\r")
                             << QByteArray("A020\rZ?>") << false;
    QTest::newRow("garbage spares writes") << Fault::Garbage << 0 << true << QByteArray("A020=11\r")
                                           << QByteArray("A020=11\r>") << false;
    QTest::newRow("long reply") << Fault::LongReply << 0 << true << QByteArray("V\r")
                                << QByteArray("V\r0123456789ABCDEF0123>") << false;
    QTest::newRow("long reply, no prompt") << Fault::LongReply << 0 << false << QByteArray("A020\r")
                                           << QByteArray("A020\r0123456789ABCDEF0123") << false;
}

void TstSim::faults()
{
    QFETCH(Fault, fault);
    QFETCH(int, after);
    QFETCH(bool, prompt);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, output);
    QFETCH(bool, hungUp);
    TargetOptions opt = withReg(0x020, 0x3C);
    opt.fault = fault;
    opt.faultAfter = after;
    opt.longReplyBytes = 20;
    opt.longReplyPrompt = prompt;
    TargetMonitor m(opt);

    QCOMPARE(m.feed(input), output);
    QCOMPARE(m.hungUp(), hungUp);
    if (hungUp)
        QCOMPARE(m.feed(QByteArray("\r")), QByteArray());
}

void TstSim::logsAndOptions()
{
    TargetMonitor m;
    const QByteArray session = "??\r" + Key + "V\rA020=11\rT2C\r\r";
    m.feed(session);
    QCOMPARE(m.received(), session);
    QCOMPARE(m.lines(), (QList<QByteArray>{"V", "A020=11", "T2C"}));

    // New options keep the registers and count the fault from now on.
    TargetOptions opt;
    opt.fault = Fault::Silent;
    opt.faultAfter = 1;
    m.setOptions(opt);
    QCOMPARE(m.reg(0x020), uint8_t(0x11));
    QCOMPARE(m.feed(QByteArray("A020\r")), QByteArray("A"));

    m.clearLog();
    QVERIFY(m.received().isEmpty());
    QVERIFY(m.lines().isEmpty());
}

void TstSim::ptyExchange()
{
    PtyTarget target(withReg(0x020, 0x3C));
    QString error;
    QVERIFY2(target.start(&error), qPrintable(error));
    QVERIFY(target.devicePath().startsWith("/dev/"));

    for (int round = 0; round < 2; ++round) { // closing and reopening keeps the target
        QtSerialLine line;
        QCOMPARE(line.open(target.devicePath(), 9600), SerialLine::OpenResult::Ok);
        line.purgeRx();
        QVERIFY(line.writeByte('\r'));
        QVERIFY(expectByte(line, '\r'));
        QVERIFY(expectByte(line, '>'));
        for (char k : Key)
            QVERIFY(writeEcho(line, uint8_t(k)));
        for (char c : QByteArray("A021=5A\r"))
            QVERIFY(writeEcho(line, uint8_t(c)));
        QVERIFY(expectByte(line, '>'));
        for (char c : QByteArray("A020\r"))
            QVERIFY(writeEcho(line, uint8_t(c)));
        QVERIFY(expectByte(line, '3'));
        QVERIFY(expectByte(line, 'C'));
        QVERIFY(expectByte(line, '>'));
        uint8_t b = 0;
        QCOMPARE(line.readByte(b), SerialLine::ReadResult::Timeout);
        QVERIFY(line.close());
    }
    QCOMPARE(target.reg(0x021), uint8_t(0x5A));
    QCOMPARE(target.lines(), (QList<QByteArray>{"A021=5A", "A020", "A021=5A", "A020"}));
}

void TstSim::ptyHangUp()
{
    PtyTarget target;
    QVERIFY(target.start());
    QtSerialLine line;
    QCOMPARE(line.open(target.devicePath(), 9600), SerialLine::OpenResult::Ok);
    QVERIFY(writeEcho(line, 'A'));

    target.hangUp();
    QVERIFY(target.isHungUp());
    uint8_t b = 0;
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(line.readByte(b), SerialLine::ReadResult::Error);
    QVERIFY(timer.elapsed() < SerialLine::ReadTimeoutMs);
}

void TstSim::ptyHangUpFault()
{
    TargetOptions opt;
    opt.fault = Fault::HangUp;
    opt.faultAfter = 1;
    PtyTarget target(opt);
    QVERIFY(target.start());
    QtSerialLine line;
    QCOMPARE(line.open(target.devicePath(), 9600), SerialLine::OpenResult::Ok);
    QVERIFY(writeEcho(line, 'A'));
    QVERIFY(line.writeByte('0'));
    uint8_t b = 0;
    QCOMPARE(line.readByte(b), SerialLine::ReadResult::Error);
    QVERIFY(target.isHungUp());
    QCOMPARE(target.received(), QByteArray("A0"));
}

void TstSim::ptyStopIsPrompt()
{
    // A reply of a minute and more at 300 bit/s is still being sent.
    TargetOptions opt;
    opt.fault = Fault::LongReply;
    opt.longReplyBytes = 2000;
    PtyTarget target(opt, 300);
    QVERIFY(target.start());
    QtSerialLine line;
    QCOMPARE(line.open(target.devicePath(), 300), SerialLine::OpenResult::Ok);
    QVERIFY(writeEcho(line, 'V'));
    QVERIFY(writeEcho(line, '\r'));
    QVERIFY(expectByte(line, '0'));

    QElapsedTimer timer;
    timer.start();
    target.stop();
    qDebug() << "stop() took" << timer.elapsed() << "ms";
    QVERIFY(timer.elapsed() < 2000);
}

void TstSim::ptyPacing()
{
    const int baud = 9600;
    PtyTarget target({}, baud);
    QVERIFY(target.start());
    QtSerialLine line;
    QCOMPARE(line.open(target.devicePath(), baud), SerialLine::OpenResult::Ok);
    // Warm up with the handshake, then time one register write: 8 bytes out,
    // 8 echoes and the prompt, 17 byte times on a cable.
    QVERIFY(line.writeByte('\r'));
    QVERIFY(expectByte(line, '\r'));
    QVERIFY(expectByte(line, '>'));

    QElapsedTimer timer;
    timer.start();
    for (char c : QByteArray("A020=3C\r"))
        QVERIFY(writeEcho(line, uint8_t(c)));
    QVERIFY(expectByte(line, '>'));
    const qint64 ns = timer.nsecsElapsed();
    const double byteNs = 10e9 / baud;
    qDebug("register write at %d bit/s: %.3f ms, %.3f of 17 byte times", baud, ns / 1e6,
           ns / (17 * byteNs));
    QVERIFY(ns >= qint64(16 * byteNs)); // pacing happened at all
}

QTEST_GUILESS_MAIN(TstSim)
#include "tst_sim.moc"
