// The simulated target: the monitor state machine byte for byte, and a few
// exchanges over a real pseudo-terminal.

#include "ptytarget.h"
#include "qtserialline.h"
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
