// The serial link and the monitor protocol against a scripted line on a
// virtual clock: exact bytes on the wire, their order, the waits, and the
// messages that failures add up to.

#include "comport.h"
#include "fakeline.h"
#include "heldcommand.h"
#include "textconv.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <memory>
#include <optional>

using vek::Link;
using vek::SerialLine;
using namespace vek::testing;
using namespace Qt::StringLiterals;

namespace {

const QByteArray Keys("\x5A\xC3\x27\xE1\x4B", 5);

QStringList reads(const QByteArray &bytes)
{
    QStringList out;
    for (char c : bytes)
        out << QString::asprintf("r %02X", uint8_t(c));
    return out;
}

// Each byte written followed by its echo (once or twice).
QStringList echoed(const QByteArray &bytes, bool twice)
{
    QStringList out;
    for (char c : bytes)
        out << QString::asprintf("w %02X", uint8_t(c)) << reads(QByteArray(twice ? 2 : 1, c));
    return out;
}

// A command in one echo mode: what follows the echo of the CR, what is kept
// of the reply, whether the last read waits in vain, the failure shown, and
// what answers the third byte in place of its echo.
struct Command {
    bool twice;
    QByteArray sent, afterCr, reply;
    bool timesOut = false;
    QString failure = {};
    std::optional<QByteArray> third = {};
};

} // namespace

Q_DECLARE_METATYPE(Command)

class TestComport : public QObject {
    Q_OBJECT

    std::unique_ptr<VirtualClock> clock;
    std::unique_ptr<FakeLine> line;
    std::unique_ptr<FakeHost> host;
    std::unique_ptr<Link> link;

    // The target echoes every byte once or twice and follows the echo of a CR
    // with `afterCr`; the byte written as number `at` is answered by `odd`.
    void respond(bool twice, const QByteArray &afterCr = ">", int at = -1, const QByteArray &odd = {})
    {
        auto index = std::make_shared<int>(0);
        line->respond = [=](uint8_t b) {
            if ((*index)++ == at)
                return odd;
            return QByteArray(twice ? 2 : 1, char(b)) + (b == Link::CR ? afterCr : QByteArray());
        };
    }

private slots:
    void init()
    {
        clock = std::make_unique<VirtualClock>();
        line = std::make_unique<FakeLine>(*clock);
        host = std::make_unique<FakeHost>(*clock, line.get());
        link = std::make_unique<Link>(*line, *host);
    }

    // The connection sequence, with the answer to its CR deciding the echo
    // mode before the keys are sent; the keys stop at the first bad echo.
    void connectionSequence_data()
    {
        QTest::addColumn<uint8_t>("calChar");
        QTest::addColumn<QByteArray>("reply");   // what answers the CR
        QTest::addColumn<bool>("keysTwice");
        QTest::addColumn<bool>("twice");
        QTest::addColumn<int>("keysSent");       // all five when it succeeds
        QTest::addColumn<int>("stopAt");         // a stop asked at this time (ms); -1 none
        QTest::addColumn<int>("logged");         // then: the steps taken
        QTest::newRow("'?', single echo") << uint8_t(0x3F) << "\r>"_ba << false << false << 5 << -1 << 0;
        QTest::newRow("0x80, double echo") << uint8_t(0x80) << "\r\r>"_ba << true << true << 5 << -1 << 0;
        QTest::newRow("three prompts") << uint8_t(0x3F) << ">>>"_ba << true << true << 5 << -1 << 0;
        QTest::newRow("b1 == b2, no prompt") << uint8_t(0x3F) << "\r\rx"_ba << false << false << 0 << -1 << 0;
        QTest::newRow("b1 != b2, no prompt") << uint8_t(0x3F) << "\rx"_ba << false << false << 0 << -1 << 0;
        QTest::newRow("silent") << uint8_t(0x3F) << QByteArray() << false << false << 0 << -1 << 0;
        QTest::newRow("double, keys echoed once") << uint8_t(0x3F) << "\r\r>"_ba << false << true << 1 << -1 << 0;
        // A stop in each wait ends the sequence there, the break lifted.
        QTest::newRow("stop, first calibration wait") << uint8_t(0x3F) << "\r>"_ba << false << false << 0 << 100 << 4;
        QTest::newRow("stop, break") << uint8_t(0x3F) << "\r>"_ba << false << false << 0 << 600 << 7;
        QTest::newRow("stop, after the break") << uint8_t(0x3F) << "\r>"_ba << false << false << 0 << 1100 << 8;
        QTest::newRow("stop, second calibration wait") << uint8_t(0x3F) << "\r>"_ba << false << false << 0 << 1300 << 11;
        QTest::newRow("stop, silent handshake") << uint8_t(0x3F) << QByteArray() << false << false << 0 << 1700 << 15;
    }

    void connectionSequence()
    {
        QFETCH(uint8_t, calChar);
        QFETCH(QByteArray, reply);
        QFETCH(bool, keysTwice);
        QFETCH(int, keysSent);
        QFETCH(int, stopAt);
        QFETCH(int, logged);
        link->CalChar = calChar;
        link->BaudRate = 4800;
        host->stopAtMs = stopAt;
        respond(keysTwice, {}, 2, reply);   // calibration echoes too: the handshake must purge them
        QCOMPARE(link->OpenPort(u"ttyS0"_s), keysSent == 5);
        QTEST(link->DoubleEcho, "twice");
        const QString cal = QString::asprintf("w %02X", calChar);
        const QStringList steps{"open ttyS0 4800", "purge tx", cal, "sleep 250", "break on", "sleep 750", "break off", "sleep 250",
                                "purge tx", cal, "sleep 250", "purge rx", "purge tx", "w 0D", "timeout"};
        if (stopAt >= 0) {
            // Ended within a slice of the stop, with no message.
            QCOMPARE(std::tuple(line->log, clock->nowMs / 20, host->messages), std::tuple(steps.first(logged), stopAt / 20, QStringList()));
            return;
        }
        QCOMPARE(line->log.first(14), steps.first(14));
        if (keysSent == 5)
            QCOMPARE(line->log.mid(14), reads(reply) + echoed(Keys, keysTwice));
        QCOMPARE(line->written, QByteArray(2, char(calChar)) + "\r" + Keys.left(keysSent));
        QCOMPARE(host->messages.size(), keysSent == 1 ? 1 : 0);   // "Echo not received"
    }

    // Each command: the bytes on the wire, where it ends (the prompt, a
    // time-out, or the one byte after a write's echoes), what is kept of the
    // reply (no CRs, bounded, the identification up to a zero byte) and the
    // messages in their place. An echo that differs or is missing stops the
    // sending; the reply is still read for, and the command fails even when
    // a prompt follows.
    void commands_data()
    {
        QTest::addColumn<Command>("c");
        QTest::newRow("write") << Command{false, "A020=3C\r", ">", ""};
        QTest::newRow("double echo: read, CRs") << Command{true, "A020\r", "3\rC\r>", "3C"};
        QTest::newRow("test") << Command{false, "T2C\r", ">", ""};
        QTest::newRow("double echo: version, CRs") << Command{true, "V\r", "\rV\nE\rK\r>", "V\nEK"};
        QTest::newRow("write, no prompt") << Command{false, "A020=3C\r", "", "", true, "File write failed"};
        QTest::newRow("write, not the prompt") << Command{false, "A020=3C\r", "\r", "", false, "File write failed"};
        QTest::newRow("read, cut off") << Command{false, "A020\r", "3C", "3C", true, "File read failed"};
        QTest::newRow("version, bounded")
            << Command{false, "V\r", QByteArray(10000, 'x') + '>', QByteArray(Link::VerTextMax, 'x')};
        QTest::newRow("version, zero byte") << Command{false, "V\r", "VEK\0 2.1\r>"_ba, "VEK"};
        QTest::newRow("version, no prompt") << Command{false, "V\r", "VEK", "VEK", true};
        const QByteArray write = "A020=3C\r";
        const QString writeFailed = "File write failed";
        QTest::newRow("echo differs") << Command{false, write, "", "", true, writeFailed, "x"};
        QTest::newRow("second echo differs") << Command{true, write, "", "", true, writeFailed, "2x"};
        QTest::newRow("echo missing") << Command{false, write, "", "", true, writeFailed, ""};
        QTest::newRow("echo differs, then a prompt") << Command{false, write, "", "", false, writeFailed, "x>"};
        QTest::newRow("read: echo differs, then a reply")
            << Command{false, "A020\r", "", "3C", false, "File read failed", "x3C>"};
    }

    void commands()
    {
        QFETCH(Command, c);
        link->DoubleEcho = c.twice;
        respond(c.twice, c.afterCr, c.third ? 2 : -1, c.third.value_or(""));
        const bool version = c.sent == "V\r";
        if (!version)
            line->queue("Z>");   // left-overs the command discards first
        QByteArray got;
        const bool ok = version ? link->GetVersion()
                        : c.sent[0] == 'T' ? link->SendCommand(c.sent)
                        : c.sent.contains('=') ? link->WriteReg("020", "3C")
                                               : link->ReadReg("020", got);
        QCOMPARE(ok, c.failure.isEmpty() && !c.timesOut);
        QCOMPARE(version ? link->VerText : got, c.reply);
        QStringList wire = c.third ? echoed(c.sent.left(2), c.twice) << "w 32" << reads(*c.third)
                                   : echoed(c.sent, c.twice) + reads(c.afterCr);
        if (c.third && c.third->isEmpty())
            wire << "timeout" << "msg Echo not received";
        if (c.timesOut)
            wire << "timeout";
        if (!c.failure.isEmpty())
            wire << "msg " + c.failure;
        if (c.third)   // cut after "A02": the monitor may hold it
            wire << "msg " + Link::PartialText(c.sent.left(3));
        QCOMPARE(line->log.filter(QRegularExpression("^([wr] |timeout|msg )")), wire);
        QCOMPARE(line->log.contains("purge rx"), !version);
    }

    // A command cut after some of its characters reached the line, not its
    // CR, is never completed by the next: every later command is refused with
    // one message and sends nothing, until a new connection, and the port's
    // record keeps it for the next connection until the target was reset. A
    // broken echo of the CR itself leaves nothing behind: the monitor ran the line.
    void partialCommand()
    {
        struct : vek::HeldCommands {
            QHash<QString, QByteArray> held;
            QByteArray find(const QString &port) override { return held.value(port); }
            void note(const QString &port, const QByteArray &partial) override { held[port] = partial; }
        } record;
        for (const auto &[at, held] : {std::pair{0, "A"_ba}, {4, "A020="_ba}, {7, QByteArray()}}) {
            init();
            record.held.clear();
            link->setHeldCommands(&record);
            QVERIFY(link->OpenLine(u"ttyS0"_s) == SerialLine::OpenResult::Ok);
            respond(false, ">", at, "x>");
            QVERIFY(!link->WriteReg("020", "3C") && link->PartialLine() == held);
            host->messages.clear();
            line->written.clear();
            uint8_t value = 0;
            QCOMPARE(link->WriteReg("006", "01") || link->ReadRegister(0x006, value) || link->GetVersion(), held.isEmpty());
            QCOMPARE(std::pair(line->written.isEmpty(), host->messages),
                     std::pair(!held.isEmpty(), held.isEmpty() ? QStringList() : QStringList(3, Link::PartialText(held))));
            QVERIFY(link->OpenLine(u"ttyS0"_s) == SerialLine::OpenResult::Ok && !link->HoldsPartial());
            QCOMPARE(std::pair(link->HeldOn(u"ttyS0"_s), link->HeldOn(u"ttyS1"_s)), std::pair(held, QByteArray()));
            link->TargetWasReset(u"ttyS0"_s);
            QCOMPARE(link->HeldOn(u"ttyS0"_s), QByteArray());
        }
    }

    // The record on file is kept for the device, not its name: a node made
    // anew under the same name (a new pseudo-terminal with an old number, an
    // adapter plugged in again) or another device there holds nothing. Every
    // spelling of a network port finds one record.
    void heldCommandFiles()
    {
        if (::geteuid() != 0)
            QSKIP("only root makes device nodes");
        QTemporaryDir dir;
        const QString node = dir.filePath(u"ttyX"_s), link = dir.filePath(u"link"_s);
        const auto makeNode = [&](int minor) {
            QFile::remove(node);
            return ::mknod(QFile::encodeName(node).constData(), S_IFCHR | 0600, makedev(240, minor)) == 0;
        };
        QVERIFY(makeNode(1) && QFile::link(node, link));
        vek::HeldCommandFiles files(dir.path());
        files.note(node, "A030=A");
        files.note(u"rfc2217://Lab1:3001"_s, "A0");
        const auto find = [&](const QString &port) { return vek::HeldCommandFiles(dir.path()).find(port); };
        QByteArrayList got{find(link), find(node), find(u"rfc2217://lab1:3001"_s), find(u"rfc2217://lab1:3002"_s)};
        QVERIFY(makeNode(1));   // the same numbers, made anew
        got << find(node);
        files.note(node, "A1");
        QVERIFY(makeNode(2));
        got << find(node);
        files.note(u"rfc2217://lab1:3001"_s, {});
        got << find(u"rfc2217://LAB1:3001"_s);
        QCOMPARE(got, (QByteArrayList{"A030=A", "A030=A", "A0", "", "", "", ""}));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::System), (QStringList{u"link"_s, u"ttyX"_s}));
    }

    // Number texts: hexadecimal words of any length (wrapping as the target's
    // own conversion does), long address and value texts, the binary forms.
    void numbers()
    {
        const struct { const char *text; int value; } cases[] = {
            {"FF", 255}, {"ff", 255}, {"1A", 26}, {"FFF", 4095}, {"0FF", 255}, {"1G", 32}, {"", 0},
            {"\x80", -176}, {"123456789", 0x23456789}};   // a high byte; a ninth digit wraps
        for (const auto &c : cases)
            QCOMPARE(vek::HexToInt(c.text), c.value);
        uint16_t addr = 0xBEEF;
        QCOMPARE(vek::CheckAddressText("000000000FFF", addr), vek::AddrCheck::Ok);
        QCOMPARE(addr, uint16_t(0xFFF));
        // A 32-bit conversion would wrap these to 0 and 0xFF.
        for (const char *tooLarge : {"100000000", "1000000FF"})
            QCOMPARE(vek::CheckAddressText(tooLarge, addr), vek::AddrCheck::TooLarge);
        QCOMPARE(addr, uint16_t(0xFFF));
        QCOMPARE(vek::AddrDisplay(0x1F80), u"1F80"_s);
        uint8_t value = 0;
        QVERIFY(vek::ParseValue("123456789AB", true, value) && value == 0xAB);
        QVERIFY(vek::ParseValue(QString(33, u'1') + "0000001", false, value) && value == 0x81);
        QCOMPARE(vek::ByteToBin(0x0A), u"00001010"_s);
        for (int v = 0; v < 256; ++v)
            QCOMPARE(vek::BinToInt(vek::ByteToBin(uint8_t(v))), uint32_t(v));
        QCOMPARE(vek::BinToInt("1x1"), 5u);
        QVERIFY(!vek::IsHexText(QString::fromUtf8("\xef\xbc\x91")));   // fullwidth digit one
    }

    void openFailures()
    {
        using R = SerialLine::OpenResult;
        // The two results a line gives: no device, or one that refuses its settings.
        const std::pair<R, QString> cases[] = {{R::CannotOpen, "Cannot open ttyS9"},
                                               {R::SetStateFailed, "Set comm state failed"}};
        for (const auto &[result, message] : cases) {
            init();
            line->openResult = result;
            QVERIFY(!link->OpenPort(u"ttyS9"_s));
            QCOMPARE(link->IsOpen(), result != R::CannotOpen);
            QVERIFY(link->ClosePort() && !link->IsOpen());
            QCOMPARE(line->written, QByteArray());
            QCOMPARE(host->messages, QStringList{message});
        }
    }
};

QTEST_GUILESS_MAIN(TestComport)
#include "tst_comport.moc"
