// The serial link and the monitor protocol against a scripted line on a
// virtual clock: exact bytes on the wire, their order, the waits, and the
// messages that failures add up to.

#include "comport.h"
#include "fakeline.h"

#include <QTest>
#include <memory>
#include <numeric>

using vek::SerialLine;
using vek::testing::FakeHost;
using vek::testing::FakeLine;
using vek::testing::VirtualClock;

namespace {

const QByteArray Keys("\x5A\xC3\x27\xE1\x4B", 5);

QString hex(uint8_t b) { return QString::asprintf("%02X", b); }

// The reads and writes of the log, in order, without purges and sleeps.
QStringList wire(const QStringList &log)
{
    QStringList out;
    for (const QString &e : log) {
        if (e.startsWith(QLatin1String("w ")) || e.startsWith(QLatin1String("r "))
            || e == QLatin1String("timeout") || e == QLatin1String("error"))
            out << e;
    }
    return out;
}

// Each byte written followed by its echo (once or twice).
QStringList echoed(const QByteArray &bytes, bool doubleEcho)
{
    QStringList out;
    for (char c : bytes) {
        out << QStringLiteral("w ") + hex(uint8_t(c));
        for (int i = 0; i < (doubleEcho ? 2 : 1); ++i)
            out << QStringLiteral("r ") + hex(uint8_t(c));
    }
    return out;
}

QStringList reads(const QByteArray &bytes)
{
    QStringList out;
    for (char c : bytes)
        out << QStringLiteral("r ") + hex(uint8_t(c));
    return out;
}

enum class Op { WriteReg, ReadReg, Test, Version };

} // namespace

Q_DECLARE_METATYPE(SerialLine::OpenResult)
Q_DECLARE_METATYPE(Op)

class TestComport : public QObject {
    Q_OBJECT

    std::unique_ptr<VirtualClock> clock;
    std::unique_ptr<FakeLine> line;
    std::unique_ptr<FakeHost> host;

    // Echoes every byte in the given mode; the CR of a command line is
    // followed by `afterCr` (the prompt by default).
    void echoing(bool doubleEcho, const QByteArray &afterCr = ">")
    {
        line->respond = [doubleEcho, afterCr](uint8_t b) {
            QByteArray out(doubleEcho ? 2 : 1, char(b));
            if (b == Comport::CR)
                out += afterCr;
            return out;
        };
    }

private slots:
    void init()
    {
        clock = std::make_unique<VirtualClock>();
        line = std::make_unique<FakeLine>(*clock);
        host = std::make_unique<FakeHost>(*clock, line.get());
        Comport::install(line.get(), host.get());
        Comport::ResetState();
    }

    void cleanup() { Comport::install(nullptr, nullptr); }

    // ---- connection sequence ----

    void connectionSequence_data()
    {
        QTest::addColumn<uint8_t>("calChar");
        QTest::addColumn<int>("baud");
        QTest::addColumn<bool>("doubleEcho");
        QTest::newRow("'?' 9600 single echo") << uint8_t(0x3F) << 9600 << false;
        QTest::newRow("0x80 4800 single echo") << uint8_t(0x80) << 4800 << false;
        QTest::newRow("'?' 300 double echo") << uint8_t(0x3F) << 300 << true;
        QTest::newRow("0x80 9600 double echo") << uint8_t(0x80) << 9600 << true;
    }

    void connectionSequence()
    {
        QFETCH(uint8_t, calChar);
        QFETCH(int, baud);
        QFETCH(bool, doubleEcho);
        Comport::CalChar = calChar;
        Comport::BaudRate = baud;
        // The target echoes the calibration characters too; the handshake
        // must purge them before it reads.
        echoing(doubleEcho);

        QVERIFY(Comport::OpenPort(QStringLiteral("ttyS0")));

        const QString cal = QStringLiteral("w ") + hex(calChar);
        QStringList expected{QStringLiteral("open ttyS0 %1").arg(baud),
                             "purge tx", cal, "sleep 250",
                             "break on", "sleep 750", "break off", "sleep 250",
                             "purge tx", cal, "sleep 250",
                             "purge rx", "purge tx", "w 0D"};
        expected << reads(doubleEcho ? "\r\r>" : "\r>") << echoed(Keys, doubleEcho);
        QCOMPARE(line->log, expected);
        QCOMPARE(line->openedBaud, baud);
        QCOMPARE(Comport::DoubleEcho, doubleEcho);
        QCOMPARE(clock->nowMs, qint64(1500));
        QCOMPARE(std::accumulate(host->sleeps.begin(), host->sleeps.end(), 0), 1500);
        QVERIFY(host->messages.isEmpty());
        QCOMPARE(line->pending(), 0);   // nothing awaited after the key sequence
    }

    void handshake_data()
    {
        QTest::addColumn<QByteArray>("afterCr");
        QTest::addColumn<bool>("keyDoubleEcho");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<bool>("doubleEcho");
        QTest::addColumn<QStringList>("messages");
        QTest::addColumn<int>("keysSent");
        const QStringList none;
        QTest::newRow("echo then prompt") << QByteArray("\r>") << false << true << false << none << 5;
        QTest::newRow("first byte not examined") << QByteArray("x>") << false << true << false << none << 5;
        QTest::newRow("two echoes then prompt") << QByteArray("\r\r>") << true << true << true << none << 5;
        QTest::newRow("three prompts") << QByteArray(">>>") << true << true << true << none << 5;
        QTest::newRow("equal then not prompt") << QByteArray("\r\rx") << false << false << false << none << 0;
        QTest::newRow("equal then silent") << QByteArray("\r\r") << false << false << false << none << 0;
        QTest::newRow("different, second not prompt") << QByteArray("\rx") << false << false << false << none << 0;
        QTest::newRow("one byte only") << QByteArray("\r") << false << false << false << none << 0;
        QTest::newRow("silent") << QByteArray() << false << false << false << none << 0;
        // The mode is decided before the key sequence, even if it then fails.
        QTest::newRow("double found, keys echoed once") << QByteArray("\r\r>") << false << false << true
                                                        << QStringList{"Echo not received"} << 1;
        QTest::newRow("single found, keys echoed twice") << QByteArray("\r>") << true << false << false
                                                         << none << 2;
    }

    void handshake()
    {
        QFETCH(QByteArray, afterCr);
        QFETCH(bool, keyDoubleEcho);
        QFETCH(bool, ok);
        QFETCH(bool, doubleEcho);
        QFETCH(QStringList, messages);
        QFETCH(int, keysSent);
        line->queue("stale");
        line->respond = [afterCr, keyDoubleEcho](uint8_t b) {
            if (b == Comport::CR)
                return afterCr;
            return QByteArray(keyDoubleEcho ? 2 : 1, char(b));
        };

        QCOMPARE(Comport::Handshake(), ok);
        QCOMPARE(Comport::DoubleEcho, doubleEcho);
        QCOMPARE(host->messages, messages);
        QCOMPARE(line->log.mid(0, 3), (QStringList{"purge rx", "purge tx", "w 0D"}));
        // Keys go out only after a complete handshake reply, and stop at
        // the first bad echo.
        QCOMPARE(line->written, "\r" + Keys.left(keysSent));
    }

    void handshakeKeepsModeWhenItFails()
    {
        Comport::DoubleEcho = true;
        line->respond = [](uint8_t) { return QByteArray("\rx"); };
        QVERIFY(!Comport::Handshake());
        QVERIFY(Comport::DoubleEcho);
    }

    void openOnSilentLine()
    {
        QVERIFY(!Comport::OpenPort(QStringLiteral("ttyS0")));
        QVERIFY(host->messages.isEmpty());
        QCOMPARE(line->written, QByteArray("??\r"));
        QCOMPARE(clock->nowMs, qint64(1500 + SerialLine::ReadTimeoutMs));
        QVERIFY(Comport::IsOpen());   // the caller closes it
    }

    // ---- commands ----

    void commands_data()
    {
        QTest::addColumn<bool>("doubleEcho");
        QTest::addColumn<Op>("op");
        QTest::addColumn<QByteArray>("afterCr");
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<QByteArray>("reply");
        for (bool d : {false, true}) {
            const char *mode = d ? "double" : "single";
            QTest::addRow("%s: write register", mode)
                << d << Op::WriteReg << QByteArray(">") << QByteArray("A020=3C\r") << QByteArray();
            QTest::addRow("%s: read register", mode)
                << d << Op::ReadReg << QByteArray("3\rC\r>") << QByteArray("A020\r") << QByteArray("3C");
            QTest::addRow("%s: read register, line feed kept", mode)
                << d << Op::ReadReg << QByteArray("\n3C>") << QByteArray("A020\r") << QByteArray("\n3");
            QTest::addRow("%s: test command", mode)
                << d << Op::Test << QByteArray(">") << QByteArray("T2C\r") << QByteArray();
            QTest::addRow("%s: version", mode)
                << d << Op::Version << QByteArray("\rVEK mon\r 2.1\r>") << QByteArray("V\r")
                << QByteArray("VEK mon 2.1");
        }
    }

    void commands()
    {
        QFETCH(bool, doubleEcho);
        QFETCH(Op, op);
        QFETCH(QByteArray, afterCr);
        QFETCH(QByteArray, sent);
        QFETCH(QByteArray, reply);
        Comport::DoubleEcho = doubleEcho;
        echoing(doubleEcho, afterCr);
        // Left-overs from earlier: every command but the version query
        // discards them first.
        if (op != Op::Version)
            line->queue("Z>");

        QByteArray got;
        bool overflow = true;
        bool ok = false;
        switch (op) {
        case Op::WriteReg: ok = Comport::WriteReg("020", "3C"); break;
        case Op::ReadReg: ok = Comport::ReadReg("020", got, 2, &overflow); break;
        case Op::Test: ok = Comport::SendCommand("T2C\r"); break;
        case Op::Version: ok = Comport::GetVersion(); got = Comport::VerText; break;
        }

        QVERIFY(ok);
        QVERIFY(host->messages.isEmpty());
        QCOMPARE(line->written, sent);
        QCOMPARE(got, reply);
        if (op == Op::ReadReg)
            QCOMPARE(overflow, afterCr.count('\n') > 0);   // "\n3C" is one over
        const QStringList expected = echoed(sent, doubleEcho) + reads(afterCr);
        QCOMPARE(wire(line->log), expected);
        QCOMPARE(line->log.first() == QLatin1String("purge rx"), op != Op::Version);
        QCOMPARE(clock->nowMs, qint64(0));
    }

    // A register write broken at one character: what is sent, what is shown,
    // how long it waits.
    void commandFailures_data()
    {
        QTest::addColumn<bool>("doubleEcho");
        QTest::addColumn<int>("at");            // index of the byte answered oddly
        QTest::addColumn<QByteArray>("answer"); // what comes back for it
        QTest::addColumn<int>("failWriteAt");
        QTest::addColumn<bool>("readError");
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<QStringList>("messages");
        QTest::addColumn<int>("ms");
        const QStringList fileWrite{"File write failed"};
        const QStringList noEcho{"Echo not received", "File write failed"};
        QTest::newRow("echo differs") << false << 2 << QByteArray("x") << -1 << false
                                      << QByteArray("A02") << fileWrite << 500;
        QTest::newRow("second echo differs") << true << 2 << QByteArray("2x") << -1 << false
                                             << QByteArray("A02") << fileWrite << 500;
        QTest::newRow("echo missing") << false << 0 << QByteArray() << -1 << false
                                      << QByteArray("A") << noEcho << 1000;
        QTest::newRow("second echo missing") << true << 3 << QByteArray("0") << -1 << false
                                             << QByteArray("A020") << noEcho << 1000;
        QTest::newRow("read error") << false << 0 << QByteArray() << -1 << true << QByteArray("A")
                                    << QStringList{"Read Failure", "Echo not received",
                                                   "Read Failure", "File write failed"}
                                    << 0;
        QTest::newRow("write fails") << false << -1 << QByteArray() << 3 << false << QByteArray("A02")
                                     << QStringList{"Write failed", "File write failed"}
                                     << SerialLine::WriteTimeoutMs + 500;
        QTest::newRow("no prompt") << false << 7 << QByteArray("\r") << -1 << false
                                   << QByteArray("A020=3C\r") << fileWrite << 500;
        QTest::newRow("other byte for prompt") << false << 7 << QByteArray("\rE>") << -1 << false
                                               << QByteArray("A020=3C\r") << fileWrite << 0;
    }

    void commandFailures()
    {
        QFETCH(bool, doubleEcho);
        QFETCH(int, at);
        QFETCH(QByteArray, answer);
        QFETCH(int, failWriteAt);
        QFETCH(bool, readError);
        QFETCH(QByteArray, sent);
        QFETCH(QStringList, messages);
        QFETCH(int, ms);
        Comport::DoubleEcho = doubleEcho;
        line->failWriteAt = failWriteAt;
        line->readErrorWhenEmpty = readError;
        auto index = std::make_shared<int>(0);
        line->respond = [=](uint8_t b) {
            if ((*index)++ == at)
                return answer;
            QByteArray out(doubleEcho ? 2 : 1, char(b));
            if (b == Comport::CR)
                out += '>';
            return out;
        };

        QVERIFY(!Comport::WriteReg("020", "3C"));
        QCOMPARE(line->written, sent);
        QCOMPARE(host->messages, messages);
        QCOMPARE(clock->nowMs, qint64(ms));
        QCOMPARE(line->log.last(), QStringLiteral("msg File write failed"));
    }

    void readRegCutOff()
    {
        echoing(false, "3C");
        QByteArray reply = "old";
        QVERIFY(!Comport::ReadReg("020", reply));
        QCOMPARE(reply, QByteArray("3C"));
        QCOMPARE(host->messages, QStringList{"File read failed"});
    }

    void readRegReadError()
    {
        echoing(false, "3");
        line->readErrorWhenEmpty = true;
        QByteArray reply;
        QVERIFY(!Comport::ReadReg("020", reply));
        QCOMPARE(reply, QByteArray("3"));
        QCOMPARE(host->messages, (QStringList{"Read Failure", "File read failed"}));
    }

    void readRegBoundedByCapacity_data()
    {
        QTest::addColumn<QByteArray>("afterCr");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<bool>("overflow");
        QTest::newRow("fits") << QByteArray("3C\r>") << true << false;
        QTest::newRow("longer, prompt") << QByteArray("3C4D5E\r>") << true << true;
        QTest::newRow("longer, no prompt") << QByteArray("3C4D5E") << false << true;
    }

    void readRegBoundedByCapacity()
    {
        QFETCH(QByteArray, afterCr);
        QFETCH(bool, ok);
        QFETCH(bool, overflow);
        echoing(false, afterCr);
        QByteArray reply;
        bool dropped = !overflow;
        QCOMPARE(Comport::ReadReg("020", reply, 2, &dropped), ok);
        QCOMPARE(reply, QByteArray("3C"));
        QCOMPARE(dropped, overflow);
        QCOMPARE(line->pending(), 0);   // read on to the prompt or the time-out
    }

    void versionBounded()
    {
        echoing(false, QByteArray(10000, 'x') + '>');
        QVERIFY(Comport::GetVersion());
        QCOMPARE(Comport::VerText, QByteArray(Comport::VerTextMax, 'x'));
        QCOMPARE(line->pending(), 0);
    }

    void versionFailures_data()
    {
        QTest::addColumn<int>("at");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QStringList>("messages");
        QTest::addColumn<QByteArray>("verText");
        QTest::newRow("no echo of V") << 0 << QByteArray() << QStringList{"Echo not received"}
                                      << QByteArray("old");
        QTest::newRow("wrong echo of CR") << 1 << QByteArray("x>") << QStringList() << QByteArray("old");
        QTest::newRow("no prompt") << 1 << QByteArray("\rVEK") << QStringList() << QByteArray("VEK");
    }

    void versionFailures()
    {
        QFETCH(int, at);
        QFETCH(QByteArray, answer);
        QFETCH(QStringList, messages);
        QFETCH(QByteArray, verText);
        Comport::VerText = "old";
        auto index = std::make_shared<int>(0);
        line->respond = [=](uint8_t b) {
            return (*index)++ == at ? answer : QByteArray(1, char(b));
        };
        QVERIFY(!Comport::GetVersion());
        QCOMPARE(Comport::VerText, verText);
        QCOMPARE(host->messages, messages);
    }

    // ---- hexadecimal text ----

    void hexToInt_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("value");
        QTest::newRow("FF") << QByteArray("FF") << 255;
        QTest::newRow("ff") << QByteArray("ff") << 255;
        QTest::newRow("1A") << QByteArray("1A") << 26;
        QTest::newRow("FFF") << QByteArray("FFF") << 4095;
        QTest::newRow("0FF") << QByteArray("0FF") << 255;
        QTest::newRow("1G") << QByteArray("1G") << 32;
        QTest::newRow("1g") << QByteArray("1g") << 32;
        QTest::newRow("empty") << QByteArray() << 0;
        QTest::newRow("space") << QByteArray(" ") << -16;
        QTest::newRow("0x80") << QByteArray("\x80") << -176;
        QTest::newRow("0xFF after 1") << QByteArray("1\xFF") << 16 - 49;
        QTest::newRow("stops at zero") << QByteArray("1\0" "2", 3) << 1;
        QTest::newRow("largest") << QByteArray("7FFFFFFF") << INT32_MAX;
        QTest::newRow("sign bit") << QByteArray("80000000") << INT32_MIN;
        QTest::newRow("all ones") << QByteArray("FFFFFFFF") << -1;
        QTest::newRow("ninth digit wraps") << QByteArray("123456789") << 0x23456789;
        QTest::newRow("wrap to zero") << QByteArray("100000000") << 0;
    }

    void hexToInt()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, value);
        QCOMPARE(Comport::HexToInt(text), value);
    }

    // ---- the link ----

    void openFailures_data()
    {
        using R = SerialLine::OpenResult;
        QTest::addColumn<R>("result");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("staysOpen");
        const QString longName(200, QLatin1Char('n'));
        QTest::newRow("cannot open") << R::CannotOpen << "ttyS9" << "Cannot open ttyS9" << false;
        QTest::newRow("empty name") << R::CannotOpen << "" << "Cannot open " << false;
        QTest::newRow("long name") << R::CannotOpen << longName << "Cannot open " + longName << false;
        QTest::newRow("setup") << R::SetupFailed << "ttyS0" << "Setup comm failed" << true;
        QTest::newRow("get state") << R::GetStateFailed << "ttyS0" << "Get comm state failed" << true;
        QTest::newRow("set state") << R::SetStateFailed << "ttyS0" << "Set comm state failed" << true;
        QTest::newRow("get time-outs") << R::GetTimeoutsFailed << "ttyS0" << "Get Timeout states failed"
                                       << true;
        QTest::newRow("set time-outs") << R::SetTimeoutsFailed << "ttyS0" << "Set Timeouts failed" << true;
    }

    void openFailures()
    {
        QFETCH(SerialLine::OpenResult, result);
        QFETCH(QString, name);
        QFETCH(QString, message);
        QFETCH(bool, staysOpen);
        line->openResult = result;
        echoing(false);

        QVERIFY(!Comport::OpenPort(name));
        QCOMPARE(host->messages, QStringList{message});
        QCOMPARE(line->openedName, name);
        QVERIFY(line->written.isEmpty());
        QCOMPARE(Comport::IsOpen(), staysOpen);

        QVERIFY(Comport::ClosePort());
        QCOMPARE(line->log.contains(QStringLiteral("close")), staysOpen);
        QVERIFY(!Comport::IsOpen());
        QCOMPARE(host->messages.size(), 1);
    }

    void closeNothingOpen()
    {
        QVERIFY(Comport::ClosePort());
        QVERIFY(line->log.isEmpty());
        QVERIFY(host->messages.isEmpty());
    }

    void closeFails()
    {
        echoing(false);
        QVERIFY(Comport::OpenPort(QStringLiteral("ttyS0")));
        line->failClose = true;
        QVERIFY(!Comport::ClosePort());
        QCOMPARE(host->messages, QStringList{"Failed to close Com Port"});
        QVERIFY(Comport::IsOpen());
        line->failClose = false;
        QVERIFY(Comport::ClosePort());
        QVERIFY(!Comport::IsOpen());
    }

    // A write that fails while connecting, by index of the byte written.
    void connectWriteFailures_data()
    {
        QTest::addColumn<int>("failWriteAt");
        QTest::addColumn<QStringList>("messages");
        QTest::addColumn<bool>("breakSent");
        QTest::newRow("first cal char") << 0 << QStringList{"Calibration write failed"} << false;
        QTest::newRow("second cal char") << 1 << QStringList{"Calibration write failed"} << true;
        QTest::newRow("handshake CR") << 2 << QStringList() << true;
        QTest::newRow("first key byte") << 3 << QStringList{"Write failed"} << true;
    }

    void connectWriteFailures()
    {
        QFETCH(int, failWriteAt);
        QFETCH(QStringList, messages);
        QFETCH(bool, breakSent);
        line->failWriteAt = failWriteAt;
        echoing(false);
        QVERIFY(!Comport::OpenPort(QStringLiteral("ttyS0")));
        QCOMPARE(host->messages, messages);
        QCOMPARE(line->written.size(), failWriteAt);
        QCOMPARE(line->log.contains(QStringLiteral("break on")), breakSent);
    }

    void breakFailures_data()
    {
        QTest::addColumn<bool>("failOn");
        QTest::addColumn<QList<int>>("sleeps");
        QTest::newRow("break on") << true << QList<int>{250};
        QTest::newRow("break off") << false << QList<int>{250, 750};
    }

    void breakFailures()
    {
        QFETCH(bool, failOn);
        QFETCH(QList<int>, sleeps);
        line->failBreakOn = failOn;
        line->failBreakOff = !failOn;
        echoing(false);
        QVERIFY(!Comport::OpenPort(QStringLiteral("ttyS0")));
        QVERIFY(host->messages.isEmpty());
        QCOMPARE(line->written, QByteArray("?"));   // stops before the second cal char
        QCOMPARE(host->sleeps, sleeps);
    }

    void readByteTimeoutLeavesByte()
    {
        uint8_t b = 0x55;
        QVERIFY(!Comport::ReadByte(b));
        QCOMPARE(b, uint8_t(0x55));
        QVERIFY(host->messages.isEmpty());
        QCOMPARE(clock->nowMs, qint64(SerialLine::ReadTimeoutMs));
    }
};

QTEST_GUILESS_MAIN(TestComport)
#include "tst_comport.moc"
