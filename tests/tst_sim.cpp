// The simulated target: the monitor state machine byte for byte, the link
// over the in-process demo line on a virtual clock, and a few exchanges over
// a real pseudo-terminal.

#include "comport.h"
#include "ptytarget.h"
#include "qtserialline.h"
#include "simline.h"
#include "simoptions.h"
#include "targetmonitor.h"

#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTest>

using namespace vek::sim;
using namespace Qt::StringLiterals;
using vek::Link;
using vek::SerialLine;

Q_DECLARE_METATYPE(vek::sim::TargetOptions)

namespace {

const QByteArray Key("\x5A\xC3\x27\xE1\x4B", 5);

// Writes `out`, then reads up to `n` bytes, until a read fails.
QByteArray talk(SerialLine &line, const QByteArray &out, qsizetype n)
{
    for (char c : out)
        line.writeByte(uint8_t(c));   // a lost byte shows in what comes back
    QByteArray in;
    for (uint8_t b = 0; in.size() < n && line.readByte(b) == SerialLine::ReadResult::Byte;)
        in += char(b);
    return in;
}

// The link's messages recorded, its fixed waits on the line's clock.
struct ClockHost final : vek::Host {
    explicit ClockHost(ManualLineClock &c) : clock(c) {}
    ManualLineClock &clock;
    QStringList messages;
    void showMessage(const QString &text) override { messages << text; }
    void sleepMs(int ms) override { clock.advanceMs(ms); }
};

} // namespace

class TstSim : public QObject {
    Q_OBJECT
private slots:
    // The monitor byte for byte: the connection sequence and a register
    // written and read back, then each fault from the second byte of a read on.
    // TMR0 and ADRESH move on the target's clock when asked to; a write sets
    // where they go on from. Each input is "ms bytes", fed at that time.
    void monitor_data()
    {
        QTest::addColumn<TargetOptions>("options");
        QTest::addColumn<QByteArrayList>("in");
        QTest::addColumn<QByteArray>("out");
        const auto twice = [](QByteArray b) { return QString::fromLatin1(b).replace(QRegularExpression(u"(?s)(.)"_s), u"\\1\\1"_s).toLatin1(); };
        const QByteArray session = "0 ?\x80\r" + Key + "A021=7f\rA021\r";
        QTest::newRow("single echo") << TargetOptions{} << QByteArrayList{session} << "?\x80\r>" + Key + "A021=7f\r>A021\r7F>";
        QTest::newRow("double echo") << TargetOptions{.doubleEcho = true} << QByteArrayList{session}
                                     << twice("?\x80\r") + '>' + twice(Key + "A021=7f\r") + '>' + twice("A021\r") + "7F>";
        const auto fault = [](const char *name, Fault f, const QByteArray &out) {
            QTest::newRow(name) << TargetOptions{.fault = f, .faultAfter = 1, .longReplyBytes = 20} << QByteArrayList{"0 A020\r"} << out;
        };
        fault("no echo", Fault::NoEcho, "A3C>");
        fault("wrong echo", Fault::WrongEcho, "A131\x0C" "3C>");
        fault("silent", Fault::Silent, "A");
        fault("hang-up", Fault::HangUp, "A");
        fault("no prompt", Fault::NoPrompt, "A020\r3C");
        fault("garbage", Fault::Garbage, "A020\rZ?>");
        fault("long reply", Fault::LongReply, "A020\r0123456789ABCDEF0123>");
        const auto row = [](const char *name, bool moving, const QByteArrayList &in, const QByteArray &out) {
            QTest::newRow(name) << TargetOptions{.moving = moving} << in << out;
        };
        row("timer ticks every 10 ms and wraps", true, {"0 A001\r", "25 A001\r", "2585 A001\r"}, "A001\r00>A001\r02>A001\r02>");
        row("timer goes on from a write", true, {"1000 A001=F0\r", "1000 A001\r", "1039 A001\r"}, "A001=F0\r>A001\rF0>A001\rF3>");
        row("wave from the middle, a quarter up, three quarters down", true, {"0 A01E\r", "5000 A01E\r", "15000 A01E\r"},
            "A01E\r80>A01E\rFF>A01E\r00>");
        row("wave goes on rising from a write", true, {"1000 A01E=00\r", "1000 A01E\r", "6000 A01E\r", "11000 A01E\r"},
            "A01E=00\r>A01E\r00>A01E\r80>A01E\rFF>");
        row("still without the option", false, {"0 A001=05\r", "5000 A001\r", "5000 A01E\r"}, "A001=05\r>A001\r05>A01E\r80>");
    }

    void monitor()
    {
        QFETCH(TargetOptions, options);
        QFETCH(QByteArrayList, in);
        options.registers[0x020] = 0x3C;
        options.registers[WaveRegister] = 0x80;
        TargetMonitor m(options);
        QByteArray out;
        for (const QByteArray &step : in) {
            m.setTime(std::chrono::milliseconds(step.left(step.indexOf(' ')).toInt()));
            out += m.feed(step.mid(step.indexOf(' ') + 1));
        }
        QTEST(out, "out");
        QCOMPARE(m.hungUp(), options.fault == Fault::HangUp);
    }

    // The link over the demo line: every command costs exactly its bytes'
    // time on the wire (ten bit times each, an echo after each byte sent).
    void demoLine_data()
    {
        QTest::addColumn<int>("baud");
        QTest::addColumn<int>("echoes");
        for (const auto &[baud, echoes] : {std::pair{9600, 1}, {9600, 2}, {300, 1}})
            QTest::addRow("%d, %d echo", baud, echoes) << baud << echoes;
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
        Link link(line, host);
        link.BaudRate = baud;
        // The time since the last call, less that of each character sent with
        // its echoes and of what the target answers (so the command ran): 0
        // when paced exactly.
        auto start = clock.now();
        const auto took = [&](qsizetype sent, qsizetype answered) {
            const auto d = clock.now() - start;
            start = clock.now();
            return (d - (sent * (1 + echoes) + answered) * std::chrono::nanoseconds(10'000'000'000LL / baud)).count();
        };

        // Each step's lateness, -1 where it failed. 1.5 s of fixed waits; the
        // calibration characters' echoes arrive during them. Then CR, its echo
        // and '>', and the key sequence.
        const auto paced = [&](bool ok, qsizetype sent, qsizetype answered) { return ok ? took(sent, answered) : -1; };
        start += std::chrono::milliseconds(1500);
        uint8_t value = 0;
        QCOMPARE((QList<qint64>{paced(link.OpenPort(u"demo"_s), 1 + 5, 1), paced(link.GetVersion(), 2, 11 + 1),
                                paced(link.WriteReg("02A", "5C"), 8, 1), paced(link.ReadRegister(0x006, value), 5, 3),
                                paced(link.SendCommand("T2C\r"), 4, 1)}),
                 QList<qint64>(5, 0));
        QCOMPARE((QList<QByteArray>{link.VerText, QByteArray::number(value, 16), QByteArray::number(link.DoubleEcho)}),
                 (QList<QByteArray>{"VEK-sim 1.2", "3f", QByteArray::number(echoes == 2)}));
        QCOMPARE(host.messages, QStringList());

        // A target that stops answering: the echo and the reply each cost the
        // read time-out, no more.
        opt.fault = Fault::Silent;
        line.target().setOptions(opt);
        QVERIFY(!link.ReadRegister(0x006, value));
        QCOMPARE(took(0, 0), std::chrono::nanoseconds(std::chrono::milliseconds(2 * SerialLine::ReadTimeoutMs)).count());
        QCOMPARE(host.messages, (QStringList{"Echo not received", "File read failed", Link::PartialText("A")}));
        QVERIFY(link.ClosePort() && !line.isOpen());
    }

    // vek-sim's options: what each sets, and the refusals.
    void simOptions_data()
    {
        QTest::addColumn<QString>("args");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QList<int>>("set");   // fault, faultAfter, longReplyBytes, prompt, pacing, 02A, FFF, double echo
        const QList<int> none{0, 0, 10000, 1, 0, 0, 0, 0};
        QTest::newRow("all") << "--reg 2a=5c --reg FFF=01 --fault Wrong-Echo:7 --baud 300 --double-echo" << ""
                             << QList<int>{int(Fault::WrongEcho), 7, 10000, 1, 300, 0x5C, 1, 1};
        QTest::newRow("long reply") << "--fault long-reply-no-prompt:20" << "" << QList<int>{int(Fault::LongReply), 0, 20, 0, 0, 0, 0, 0};
        QTest::newRow("address") << "--reg 1000=1" << "bad --reg 1000=1 (want ADDR=VAL in hex, ADDR up to FFF)" << none;
        QTest::newRow("value") << "--reg 2A=100" << "bad --reg 2A=100 (want ADDR=VAL in hex, ADDR up to FFF)" << none;
        QTest::newRow("fault") << "--fault nope" << "unknown fault nope" << none;
        QTest::newRow("count") << "--fault silent:-1" << "bad count in --fault silent:-1" << none;
        QTest::newRow("baud") << "--baud fast" << "bad --baud fast" << none;
    }
    void simOptions()
    {
        QFETCH(QString, args);
        QFETCH(QString, error);
        QCommandLineParser p;
        addSimOptions(p);
        QVERIFY(p.parse(("vek-sim " + args).split(u' ')));
        SimSettings s;
        QString why;
        QCOMPARE(u"%1 "_s.arg(readSimOptions(p, s, why)) + why, u"%1 "_s.arg(error.isEmpty()) + error);
        // A refused option leaves the settings as they were.
        const TargetOptions &t = s.target;
        QTEST((QList<int>{int(t.fault), t.faultAfter, t.longReplyBytes, t.longReplyPrompt, s.pacing, t.registers[0x2A],
                             t.registers[0xFFF], t.doubleEcho}), "set");
    }

    // An exchange paced at 9600 bit/s; and stop() ends a paced reply of a
    // minute and more at once. (A pulled line: tst_faults, on the window.)
    void ptyExchange()
    {
        PtyTarget target({}, 9600);
        QVERIFY(target.start());
        vek::QtSerialLine line;
        QCOMPARE(line.open(target.devicePath(), 9600), SerialLine::OpenResult::Ok);
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(talk(line, "\r" + Key + "A021=5A\rA021\r", 24), "\r>" + Key + "A021=5A\r>A021\r5A>");
        QVERIFY(timer.nsecsElapsed() >= 20 * 10e9 / 9600);   // 24 bytes back: pacing happened at all

        PtyTarget chatty({.fault = Fault::LongReply, .longReplyBytes = 2000}, 300);
        QVERIFY(chatty.start());
        vek::QtSerialLine slow;
        QCOMPARE(slow.open(chatty.devicePath(), 300), SerialLine::OpenResult::Ok);
        QCOMPARE(talk(slow, "V\r", 3), "V\r0"_ba);
        timer.restart();
        chatty.stop();
        QVERIFY2(timer.elapsed() < 2000, qPrintable(QString::number(timer.elapsed())));
    }
};

QTEST_GUILESS_MAIN(TstSim)
#include "tst_sim.moc"
