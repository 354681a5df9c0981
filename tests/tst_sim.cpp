// The simulated target: the monitor state machine byte for byte, the link
// over the in-process demo line on a virtual clock, and a few exchanges over
// a real pseudo-terminal.

#include "comport.h"
#include "ptytarget.h"
#include "qtserialline.h"
#include "simline.h"
#include "targetmonitor.h"

#include <QElapsedTimer>
#include <QTest>

using namespace vek::sim;
using namespace Qt::StringLiterals;
using vek::SerialLine;

Q_DECLARE_METATYPE(vek::sim::Fault)

namespace {

const QByteArray Key("\x5A\xC3\x27\xE1\x4B", 5);

// Writes `out`, then reads up to `n` bytes; a failed read ends them with '!'.
QByteArray talk(SerialLine &line, const QByteArray &out, qsizetype n)
{
    for (char c : out)
        line.writeByte(uint8_t(c));   // a lost byte shows in what comes back
    QByteArray in;
    for (uint8_t b = 0; in.size() < n; in += char(b)) {
        const auto r = line.readByte(b);
        if (r != SerialLine::ReadResult::Byte)
            return in + (r == SerialLine::ReadResult::Error ? "!" : "");
    }
    return in;
}

// The link's messages recorded, its fixed waits on the line's clock.
class ClockHost final : public vek::Host {
public:
    explicit ClockHost(ManualLineClock &clock) : m_clock(clock) {}
    QStringList messages;
    void showMessage(const QString &text) override { messages << text; }
    void sleepMs(int ms) override { m_clock.advanceMs(ms); }

private:
    ManualLineClock &m_clock;
};

} // namespace

class TstSim : public QObject {
    Q_OBJECT
private slots:
    // The connection sequence, then a register written and read back.
    void monitor_data()
    {
        QTest::addColumn<int>("n");
        QTest::newRow("single echo") << 1;
        QTest::newRow("double echo") << 2;
    }

    void monitor()
    {
        QFETCH(int, n);
        const auto echoes = [n](const QByteArray &bytes) {
            QByteArray out;
            for (char c : bytes)
                out += QByteArray(n, c);
            return out;
        };
        TargetOptions opt;
        opt.doubleEcho = n == 2;
        TargetMonitor m(opt);
        QCOMPARE(m.feed("?\x80\r"_ba), echoes("?\x80\r") + '>');
        QCOMPARE(m.feed(Key), echoes(Key));
        QCOMPARE(m.feed("A021=7f\rA021\r"_ba), echoes("A021=7f\r") + '>' + echoes("A021\r") + "7F>");
        QCOMPARE(m.lines(), (QList<QByteArray>{"A021=7f", "A021"}));
    }

    // Each fault, from the second byte of a register read on.
    void faults_data()
    {
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<QByteArray>("output");
        QTest::newRow("no echo") << Fault::NoEcho << "A3C>"_ba;
        QTest::newRow("wrong echo") << Fault::WrongEcho << "A131\x0C" "3C>"_ba;
        QTest::newRow("silent") << Fault::Silent << "A"_ba;
        QTest::newRow("hang-up") << Fault::HangUp << "A"_ba;
        QTest::newRow("no prompt") << Fault::NoPrompt << "A020\r3C"_ba;
        QTest::newRow("garbage") << Fault::Garbage << "A020\rZ?>"_ba;
        QTest::newRow("long reply") << Fault::LongReply << "A020\r0123456789ABCDEF0123>"_ba;
    }

    void faults()
    {
        QFETCH(Fault, fault);
        QFETCH(QByteArray, output);
        TargetOptions opt;
        opt.registers[0x020] = 0x3C;
        opt.fault = fault;
        opt.faultAfter = 1;
        opt.longReplyBytes = 20;
        TargetMonitor m(opt);
        QCOMPARE(m.feed("A020\r"_ba), output);
        QCOMPARE(m.hungUp(), fault == Fault::HangUp);
    }

    // The link over the demo line: every command costs exactly its bytes'
    // time on the wire (ten bit times each, an echo after each byte sent).
    void demoLine_data()
    {
        QTest::addColumn<int>("baud");
        QTest::addColumn<int>("echoes");
        QTest::newRow("9600, single echo") << 9600 << 1;
        QTest::newRow("9600, double echo") << 9600 << 2;
        QTest::newRow("300, single echo") << 300 << 1;
    }

    void demoLine()
    {
        QFETCH(int, baud);
        QFETCH(int, echoes);
        ManualLineClock clock;
        TargetOptions opt = demoTarget();
        opt.doubleEcho = echoes == 2;
        SimLine line(opt, &clock);
        ClockHost host(clock);
        Comport::install(&line, &host);
        Comport::ResetState();
        Comport::BaudRate = baud;
        const auto byteTime = std::chrono::nanoseconds(10'000'000'000LL / baud);
        // Each character sent and its echoes, then what the target answers.
        const auto costs = [&](qsizetype sent, qsizetype answered) {
            return (sent * (1 + echoes) + answered) * byteTime;
        };
        auto start = clock.now();
        const auto took = [&] {
            const auto d = clock.now() - start;
            start = clock.now();
            return d;
        };

        QVERIFY(Comport::OpenPort(QStringLiteral("demo")));
        QCOMPARE(Comport::DoubleEcho, echoes == 2);
        // 1.5 s of fixed waits; the calibration characters' echoes arrive
        // during them. Then CR, its echo and '>', and the key sequence.
        QCOMPARE(took(), std::chrono::milliseconds(1500) + costs(1, 1) + costs(5, 0));
        QVERIFY(Comport::GetVersion());
        QCOMPARE(Comport::VerText, "VEK-sim 1.2"_ba);
        QCOMPARE(took(), costs(2, 11 + 1));
        QVERIFY(Comport::WriteReg("02A", "5C"));
        QCOMPARE(took(), costs(8, 1));
        uint8_t value = 0;
        QVERIFY(Comport::ReadRegister(0x006, value));
        QCOMPARE(value, uint8_t(0x3F));
        QCOMPARE(took(), costs(5, 3));
        QVERIFY(Comport::SendCommand("T2C\r"));
        QCOMPARE(took(), costs(4, 1));
        QCOMPARE(line.target().reg(0x02A), uint8_t(0x5C));
        QCOMPARE(line.target().lines(), (QList<QByteArray>{"V", "A02A=5C", "A006", "T2C"}));
        QCOMPARE(host.messages, QStringList());

        // A target that stops answering: the echo and the reply each cost the
        // read time-out, no more.
        opt.fault = Fault::Silent;
        line.target().setOptions(opt);
        QVERIFY(!Comport::ReadRegister(0x006, value));
        QCOMPARE(took().count(), std::chrono::nanoseconds(std::chrono::milliseconds(2 * SerialLine::ReadTimeoutMs)).count());
        QCOMPARE(host.messages, (QStringList{"Echo not received", "File read failed"}));
        QVERIFY(Comport::ClosePort() && !line.isOpen());
        Comport::install(nullptr, nullptr);
    }

    // Two sessions with one paced target, then the line pulled.
    void ptyExchange()
    {
        PtyTarget target({}, 9600);
        QString error;
        QVERIFY2(target.start(&error), qPrintable(error));
        vek::QtSerialLine line;
        QElapsedTimer timer;
        timer.start();
        for (int round = 0; round < 2; ++round) {   // closing and reopening keeps the target
            QCOMPARE(line.open(target.devicePath(), 9600), SerialLine::OpenResult::Ok);
            QCOMPARE(talk(line, "\r" + Key, 7), "\r>" + Key);
            QCOMPARE(talk(line, "A021=5A\rA021\r", 17), "A021=5A\r>A021\r5A>"_ba);
            if (round == 0)
                QVERIFY(line.close());
        }
        const double byteTimes = timer.nsecsElapsed() / (10e9 / 9600);
        qDebug("48 bytes back at 9600 bit/s in %.1f byte times", byteTimes);
        QVERIFY(byteTimes >= 40);   // pacing happened at all
        QCOMPARE(target.reg(0x021), uint8_t(0x5A));
        target.hangUp();
        timer.restart();
        QCOMPARE(talk(line, {}, 1), "!"_ba);
        QVERIFY(timer.elapsed() < SerialLine::ReadTimeoutMs);   // an error, not a time-out
    }

    void ptyStopIsPrompt()
    {
        TargetOptions opt;   // a reply of a minute and more at 300 bit/s
        opt.fault = Fault::LongReply;
        opt.longReplyBytes = 2000;
        PtyTarget target(opt, 300);
        QVERIFY(target.start());
        vek::QtSerialLine line;
        QCOMPARE(line.open(target.devicePath(), 300), SerialLine::OpenResult::Ok);
        QCOMPARE(talk(line, "V\r", 3), "V\r0"_ba);
        QElapsedTimer timer;
        timer.start();
        target.stop();
        qDebug() << "stop() took" << timer.elapsed() << "ms";
        QVERIFY(timer.elapsed() < 2000);
    }
};

QTEST_GUILESS_MAIN(TstSim)
#include "tst_sim.moc"
