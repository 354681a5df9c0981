// The serial link and the monitor protocol against a scripted line on a
// virtual clock: exact bytes on the wire, their order, the waits, and the
// messages that failures add up to.

#include "comport.h"
#include "fakeline.h"

#include <QRegularExpression>
#include <QTest>
#include <memory>

using vek::SerialLine;
using namespace vek::testing;
using namespace Qt::StringLiterals;

namespace {

const QByteArray Keys("\x5A\xC3\x27\xE1\x4B", 5);

QString hex(uint8_t b) { return QString::asprintf("%02X", b); }

QStringList reads(const QByteArray &bytes)
{
    QStringList out;
    for (char c : bytes)
        out << u"r "_s + hex(uint8_t(c));
    return out;
}

// Each byte written followed by its echo (once or twice).
QStringList echoed(const QByteArray &bytes, bool twice)
{
    QStringList out;
    for (char c : bytes)
        out << u"w "_s + hex(uint8_t(c)) << reads(QByteArray(twice ? 2 : 1, c));
    return out;
}

} // namespace

Q_DECLARE_METATYPE(SerialLine::OpenResult)

class TestComport : public QObject {
    Q_OBJECT

    std::unique_ptr<VirtualClock> clock;
    std::unique_ptr<FakeLine> line;
    std::unique_ptr<FakeHost> host;

    // The target echoes every byte once or twice and follows the echo of a CR
    // with `afterCr`; the byte written as number `at` is answered by `odd`.
    void respond(bool twice, const QByteArray &afterCr = ">", int at = -1, const QByteArray &odd = {})
    {
        auto index = std::make_shared<int>(0);
        line->respond = [=](uint8_t b) {
            if ((*index)++ == at)
                return odd;
            return QByteArray(twice ? 2 : 1, char(b)) + (b == Comport::CR ? afterCr : QByteArray());
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

    void connectionSequence_data()
    {
        QTest::addColumn<uint8_t>("calChar");
        QTest::addColumn<bool>("twice");
        QTest::newRow("'?', single echo") << uint8_t(0x3F) << false;
        QTest::newRow("0x80, double echo") << uint8_t(0x80) << true;
    }

    void connectionSequence()
    {
        QFETCH(uint8_t, calChar);
        QFETCH(bool, twice);
        Comport::CalChar = calChar;
        Comport::BaudRate = 4800;
        respond(twice);   // calibration echoes too: the handshake must purge them
        QVERIFY(Comport::OpenPort(u"ttyS0"_s));
        const QString cal = u"w "_s + hex(calChar);
        QStringList expected{"open ttyS0 4800", "purge tx", cal, "sleep 250", "break on", "sleep 750",
                             "break off", "sleep 250", "purge tx", cal, "sleep 250",
                             "purge rx", "purge tx", "w 0D"};
        expected << reads(twice ? "\r\r>" : "\r>") << echoed(Keys, twice);
        QCOMPARE(line->log, expected);
        QCOMPARE(Comport::DoubleEcho, twice);
        QVERIFY(host->messages.isEmpty());
    }

    void handshake_data()
    {
        QTest::addColumn<QByteArray>("reply");   // what answers the CR
        QTest::addColumn<bool>("keysTwice");
        QTest::addColumn<bool>("twice");
        QTest::addColumn<int>("keysSent");     // all five when it succeeds
        QTest::newRow("b1 != b2, prompt") << "\r>"_ba << false << false << 5;
        QTest::newRow("b1 == b2, prompt") << "\r\r>"_ba << true << true << 5;
        QTest::newRow("three prompts") << ">>>"_ba << true << true << 5;
        QTest::newRow("b1 == b2, no prompt") << "\r\rx"_ba << false << false << 0;
        QTest::newRow("b1 != b2, no prompt") << "\rx"_ba << false << false << 0;
        QTest::newRow("silent") << QByteArray() << false << false << 0;
        // The mode is decided before the keys, which stop at the first bad echo.
        QTest::newRow("double, keys echoed once") << "\r\r>"_ba << false << true << 1;
    }

    void handshake()
    {
        QFETCH(QByteArray, reply);
        QFETCH(bool, keysTwice);
        QFETCH(bool, twice);
        QFETCH(int, keysSent);
        respond(keysTwice, {}, 0, reply);
        QCOMPARE(Comport::Handshake(), keysSent == 5);
        QCOMPARE(Comport::DoubleEcho, twice);
        QCOMPARE(line->written, "\r" + Keys.left(keysSent));
        QCOMPARE(host->messages.size(), keysSent == 1 ? 1 : 0);   // "Echo not received"
    }

    // Each command in both echo modes: the bytes on the wire, where the
    // command ends (the prompt, a time-out, or the one byte after a write's
    // echoes), what is kept of the reply (no CRs, bounded, the identification
    // up to a zero byte) and the messages in their place.
    void commands_data()
    {
        QTest::addColumn<bool>("twice");
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<QByteArray>("afterCr");   // what follows the echo of the CR
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<bool>("timesOut");        // the last read waits in vain
        QTest::addColumn<QString>("failure");
        for (bool d : {false, true}) {
            const char *mode = d ? "double" : "single";
            QTest::addRow("%s: write", mode) << d << "A020=3C\r"_ba << ">"_ba << ""_ba << false << "";
            QTest::addRow("%s: read, CRs", mode) << d << "A020\r"_ba << "3\rC\r>"_ba << "3C"_ba << false << "";
            QTest::addRow("%s: test", mode) << d << "T2C\r"_ba << ">"_ba << ""_ba << false << "";
            QTest::addRow("%s: version, CRs", mode) << d << "V\r"_ba << "\rV\nE\rK\r>"_ba << "V\nEK"_ba << false << "";
        }
        QTest::newRow("write, no prompt") << false << "A020=3C\r"_ba << ""_ba << ""_ba << true << "File write failed";
        QTest::newRow("write, not the prompt") << false << "A020=3C\r"_ba << "\r"_ba << ""_ba << false
                                               << "File write failed";
        QTest::newRow("read, cut off") << false << "A020\r"_ba << "3C"_ba << "3C"_ba << true << "File read failed";
        QTest::newRow("version, bounded") << false << "V\r"_ba << QByteArray(10000, 'x') + '>'
                                          << QByteArray(Comport::VerTextMax, 'x') << false << "";
        QTest::newRow("version, zero byte") << false << "V\r"_ba << "VEK\0 2.1\r>"_ba << "VEK"_ba << false << "";
        QTest::newRow("version, no prompt") << false << "V\r"_ba << "VEK"_ba << "VEK"_ba << true << "";
    }

    void commands()
    {
        QFETCH(bool, twice);
        QFETCH(QByteArray, sent);
        QFETCH(QByteArray, afterCr);
        QFETCH(QByteArray, reply);
        QFETCH(bool, timesOut);
        QFETCH(QString, failure);
        Comport::DoubleEcho = twice;
        respond(twice, afterCr);
        const bool version = sent == "V\r";
        if (!version)
            line->queue("Z>");   // left-overs the command discards first
        QByteArray got;
        const bool ok = version ? Comport::GetVersion()
                        : sent[0] == 'T' ? Comport::SendCommand(sent)
                        : sent.contains('=') ? Comport::WriteReg("020", "3C")
                                             : Comport::ReadReg("020", got);
        if (version)
            got = Comport::VerText;
        QCOMPARE(ok, failure.isEmpty() && !timesOut);
        QCOMPARE(got, reply);
        QStringList wire = echoed(sent, twice) + reads(afterCr);
        if (timesOut)
            wire << "timeout";
        if (!failure.isEmpty())
            wire << "msg " + failure;
        QCOMPARE(line->log.filter(QRegularExpression("^([wr] |timeout|msg )")), wire);
        QCOMPARE(line->log.contains("purge rx"), !version);
    }

    // An echo that differs or is missing at the third byte of a register
    // write or read: sending stops, the reply is still read for, and the
    // command fails even when a prompt follows.
    void echoFailures_data()
    {
        QTest::addColumn<bool>("read");
        QTest::addColumn<bool>("twice");
        QTest::addColumn<QByteArray>("answer");   // what comes back for the '2'
        QTest::addColumn<QStringList>("messages");
        const QStringList fileWrite{"File write failed"};
        QTest::newRow("differs") << false << false << "x"_ba << fileWrite;
        QTest::newRow("second differs") << false << true << "2x"_ba << fileWrite;
        QTest::newRow("missing") << false << false << ""_ba << QStringList{"Echo not received"} + fileWrite;
        QTest::newRow("differs, then a prompt") << false << false << "x>"_ba << fileWrite;
        QTest::newRow("read: differs, then a reply") << true << false << "x3C>"_ba << QStringList{"File read failed"};
    }

    void echoFailures()
    {
        QFETCH(bool, read);
        QFETCH(bool, twice);
        QFETCH(QByteArray, answer);
        QFETCH(QStringList, messages);
        Comport::DoubleEcho = twice;
        respond(twice, ">", 2, answer);
        QByteArray reply;
        QVERIFY(read ? !Comport::ReadReg("020", reply) : !Comport::WriteReg("020", "3C"));
        QCOMPARE(line->written, "A02"_ba);
        QCOMPARE(host->messages, messages);
        const QString last = answer.endsWith('>') ? "r 3E" : "timeout";
        QCOMPARE(line->log.mid(line->log.size() - 2), (QStringList{last, "msg " + messages.last()}));
    }

    void hexToInt()
    {
        const struct { const char *text; int value; } cases[] = {
            {"FF", 255}, {"ff", 255}, {"1A", 26}, {"FFF", 4095}, {"0FF", 255}, {"1G", 32}, {"", 0},
            {"\x80", -176}, {"123456789", 0x23456789}};   // a high byte; a ninth digit wraps
        for (const auto &c : cases)
            QCOMPARE(Comport::HexToInt(c.text), c.value);
    }

    void openFailures_data()
    {
        using R = SerialLine::OpenResult;
        QTest::addColumn<R>("result");
        QTest::addColumn<QString>("message");
        QTest::newRow("cannot open") << R::CannotOpen << "Cannot open ttyS9";
        QTest::newRow("setup") << R::SetupFailed << "Setup comm failed";
        QTest::newRow("get state") << R::GetStateFailed << "Get comm state failed";
        QTest::newRow("set state") << R::SetStateFailed << "Set comm state failed";
        QTest::newRow("get time-outs") << R::GetTimeoutsFailed << "Get Timeout states failed";
        QTest::newRow("set time-outs") << R::SetTimeoutsFailed << "Set Timeouts failed";
    }

    void openFailures()
    {
        QFETCH(SerialLine::OpenResult, result);
        QFETCH(QString, message);
        line->openResult = result;
        QVERIFY(!Comport::OpenPort(u"ttyS9"_s));
        QCOMPARE(host->messages, QStringList{message});
        QVERIFY(line->written.isEmpty());
        QCOMPARE(Comport::IsOpen(), result != SerialLine::OpenResult::CannotOpen);
        QVERIFY(Comport::ClosePort());
        QVERIFY(!Comport::IsOpen());
        QCOMPARE(host->messages.size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestComport)
#include "tst_comport.moc"
