// The RFC 2217 line: against a scripted server in a thread of its own (the
// client blocks), and end to end through a real ser2net in front of the
// simulated target on a pseudo-terminal.

#include "comport.h"
#include "netline.h"
#include "ptytarget.h"
#include "ser2net.h"   // with the Qt network, process and thread classes

#include <QMutex>
#include <QTest>

#include <atomic>
#include <future>
#include <numeric>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using vek::NetLine;
using vek::SerialLine;

namespace {

constexpr char IAC = char(0xFF);

QByteArray telnet(std::initializer_list<int> bytes)
{
    return std::accumulate(bytes.begin(), bytes.end(), QByteArray(), [](QByteArray s, int b) { return s + char(b); });
}
QByteArray comPort(std::initializer_list<int> body)
{
    return telnet({0xFF, 0xFA, 44}) + telnet(body) + telnet({0xFF, 0xF0});
}

// What the client must say first: binary and suppress-go-ahead both ways,
// the COM port option, the bit rate, 8N1, no flow control, DTR and RTS off.
QByteArray hello(int baud)
{
    return telnet({0xFF, 251, 0, 0xFF, 253, 0, 0xFF, 251, 3, 0xFF, 253, 3, 0xFF, 251, 44})
           + comPort({1, (baud >> 24) & 0xFF, (baud >> 16) & 0xFF, (baud >> 8) & 0xFF, baud & 0xFF})
           + comPort({2, 8}) + comPort({3, 1}) + comPort({4, 1}) + comPort({5, 1}) + comPort({5, 9})
           + comPort({5, 12});
}

// A server of the option's needed part, on 127.0.0.1 in a thread of its
// own. It turns the first `turnAway` connections away with its words, greets
// every other one, answers the bit rate (with the rate asked, or `rate`, or
// not at all when -1), answers each data byte from the client with the next
// of `replies` (raw) or else its echo, and on the first connection hangs up
// when the `dropAfter`th data byte arrives. With `split` it sends what it
// says first a byte at a time, each in a segment of its own.
struct Script {
    QByteArray greeting;
    QByteArrayList replies;
    int dropAfter = -1;
    int rate = 0;
    int turnAway = 0;
    bool split = false;
};
class ScriptServer : public Script {
public:

    ~ScriptServer()
    {
        m_stop = true;
        if (m_thread)
            m_thread->wait();
    }
    QString start()   // the name to open
    {
        std::promise<quint16> port;
        auto ready = port.get_future();
        m_thread.reset(QThread::create([this, &port] { serve(port); }));
        m_thread->start();
        return u"rfc2217://127.0.0.1:%1"_s.arg(ready.get());
    }
    // Each connection's bytes, "[" before each, its opening `hello` as "H".
    QByteArray transcript(const QByteArray &hello)
    {
        QMutexLocker lock(&m_mutex);
        QByteArray out;
        for (const QByteArray &c : m_connections)
            out += "[" + (c.startsWith(hello) ? "H" + c.mid(hello.size()) : c);
        return out;
    }

private:
    void serve(std::promise<quint16> &port)
    {
        QTcpServer server;
        server.listen(QHostAddress::LocalHost, 0);
        port.set_value(server.serverPort());
        int replyIndex = 0;
        for (int n = 0, turned = 0; !m_stop;) {
            if (!server.waitForNewConnection(20))
                continue;
            std::unique_ptr<QTcpSocket> s(server.nextPendingConnection());
            s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            const auto say = [&](const QByteArray &bytes) {
                for (qsizetype i = 0; split && i < bytes.size(); ++i, QThread::msleep(2))
                    s->write(bytes.mid(i, 1)), s->flush();
                s->write(split ? QByteArray() : bytes);
            };
            if (turned++ < turnAway) {
                say("Port already in use\r\n");
                s->flush();
                s->waitForBytesWritten(1000);
                s->disconnectFromHost();
                continue;
            }
            say(greeting);
            enum { Data, Iac, Opt, Sub, SubIac } st = Data;
            QByteArray sub;   // the body of the subnegotiation under way
            for (int data = 0, first = n++ == 0, fresh = 1; !m_stop && s->state() == QAbstractSocket::ConnectedState;) {
                s->flush();
                if (!s->waitForReadyRead(20))
                    continue;
                const QByteArray in = s->readAll();
                QMutexLocker lock(&m_mutex);   // a new connection's first bytes start its record
                (std::exchange(fresh, 0) ? m_connections.emplaceBack() : m_connections.last()) += in;
                for (char ch : in) {
                    const uint8_t c = uint8_t(ch);
                    const bool isData = (st == Data && c != 0xFF) || (st == Iac && c == 0xFF), subEnd = st == SubIac && c == 0xF0;
                    switch (st) {
                    case Data: st = isData ? Data : Iac; break;
                    case Iac: st = isData ? Data : c == 0xFA ? Sub : c >= 251 ? Opt : Data; break;
                    case Opt: st = Data; break;
                    case Sub: st = c == 0xFF ? SubIac : (sub += ch, Sub); break;
                    case SubIac: st = c == 0xF0 ? Data : (sub += ch, Sub); break;
                    }
                    if (const QByteArray body = subEnd ? std::exchange(sub, {}) : QByteArray(); body.startsWith("\x2C\x01") && rate >= 0)
                        say(comPort({101}).insert(4, rate ? telnet({rate >> 24, (rate >> 16) & 0xFF, (rate >> 8) & 0xFF, rate & 0xFF}) : body.mid(2)));
                    if (isData && first && ++data == dropAfter) {
                        s->abort();
                        break;
                    } else if (isData) {
                        s->write(replyIndex < replies.size() ? replies[replyIndex++]
                                                             : (c == 0xFF ? "\xFF\xFF"_ba : QByteArray(1, ch)));
                    }
                }
            }
        }
    }

    std::unique_ptr<QThread> m_thread;
    std::atomic<bool> m_stop = false;
    QMutex m_mutex;
    QByteArrayList m_connections;
};

} // namespace

Q_DECLARE_METATYPE(Script)

class TstNetLine : public QObject {
    Q_OBJECT
private slots:
    void parseName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("parsed");   // host and port, or the reason
        QTest::newRow("name") << "RFC2217://lab1:3001" << "lab1 3001";
        QTest::newRow("v6") << "rfc2217://[fe80::1]:3001" << "fe80::1 3001";
        QTest::newRow("v6 bare") << "rfc2217://fe80::1:3001" << "an IPv6 address stands in brackets: rfc2217://[fe80::1]:3001";
        QTest::newRow("no port") << "rfc2217://lab1" << "a network port is named rfc2217://HOST:PORT: the port number is missing";
        QTest::newRow("port 0") << "rfc2217://lab1:0" << "0 is not a port number (1 to 65535)";
        QTest::newRow("port text") << "rfc2217://lab1:+3001/x" << "+3001/x is not a port number (1 to 65535)";
        QTest::newRow("no host") << "rfc2217://:3001" << "a network port is named rfc2217://HOST:PORT";
    }
    void parseName()
    {
        QFETCH(QString, name);
        QString why;
        const auto a = NetLine::parseName(name, &why);
        QTEST(a ? QStringLiteral("%1 %2").arg(a->host).arg(a->port) : why, "parsed");
    }

    // Client operations, space-separated: wXX writes a byte (a failed write
    // shows as "x"), r reads one (an error shows as "!", a time-out as "~"),
    // prx and ptx purge, reopen closes and opens again.
    void exchange_data()
    {
        QTest::addColumn<Script>("script");
        QTest::addColumn<QString>("ops");
        QTest::addColumn<QByteArray>("reads");
        QTest::addColumn<QByteArray>("transcript");

        // The client agrees to what it asked for without answering again, and
        // refuses echo and terminal type.
        QTest::newRow("negotiation")
            << Script{telnet({0xFF, 253, 44, 0xFF, 251, 0, 0xFF, 251, 3, 0xFF, 253, 0, 0xFF, 251, 1, 0xFF, 253, 24})
                   + comPort({101, 0, 0, 0x12, 0xC0}), {}, -1}
            << "w41 r w42 r" << "AB"_ba
            << "[H"_ba + telnet({0xFF, 254, 1, 0xFF, 252, 24}) + "AB";
        QTest::newRow("0xFF doubled both ways")
            << Script{{}, {"\xFF\xFF"_ba + comPort({107, 0x60}) + "x"}, -1} << "wFF r r" << "\xFFx"_ba << "[H\xFF\xFF"_ba;
        QTest::newRow("purges")
            << Script{{}, {"Ajunk"}, -1} << "w41 r prx w42 r ptx" << "AB"_ba << "[HA"_ba + comPort({12, 1}) + "B" + comPort({12, 2});
        // Fails at once, nothing sent twice, says why (the lost line's
        // reason, in braces, after "?"), and a new connection works.
        QTest::newRow("dropped mid-command")
            << Script{{}, {}, 1} << "? w41 r w42 r ? reopen w43 r ?" << "{}!x!{the server closed the connection}C{}"_ba
            << "[HA[HC"_ba;
        QTest::newRow("server refuses binary")
            << Script{telnet({0xFF, 254, 0, 0xFF, 252, 0}), {"A", "\r\0>"_ba}, -1} << "w41 r w0D r r"
            << "A\r>"_ba << "[H"_ba + telnet({0xFF, 252, 0, 0xFF, 254, 0}) + "A\r\0"_ba;
    }
    void exchange()
    {
        QFETCH(Script, script);
        QFETCH(QString, ops);
        QFETCH(QByteArray, transcript);

        ScriptServer server;
        static_cast<Script &>(server) = script;
        const QString name = server.start();
        NetLine line;
        QCOMPARE(line.open(name, 4800), SerialLine::OpenResult::Ok);
        QElapsedTimer timer;
        timer.start();
        QByteArray got;
        for (const QString &op : ops.split(u' ')) {
            uint8_t b = 0;
            if (op == u"r") {
                const auto r = line.readByte(b);
                got += r == SerialLine::ReadResult::Byte ? QByteArray(1, char(b))
                                                         : r == SerialLine::ReadResult::Error ? "!" : "~";
            } else if (op.startsWith(u'w')) {
                got += line.writeByte(uint8_t(op.mid(1).toUInt(nullptr, 16))) ? "" : "x";
            } else if (op.startsWith(u'p')) {
                op == u"prx" ? line.purgeRx() : line.purgeTx();
            } else if (op == u"?") {
                got += '{' + line.lostReason().toLatin1() + '}';
            } else if (op == u"reopen") {
                QVERIFY(line.close() && !line.isOpen());
                QCOMPARE(line.open(name, 4800), SerialLine::OpenResult::Ok);
            }
        }
        QTEST(got, "reads");
        QVERIFY2(timer.elapsed() < SerialLine::ReadTimeoutMs, "a read waited for its time-out");
        QTRY_COMPARE(server.transcript(hello(4800)), transcript);
    }

    // The link's break: on, its 750 ms timed by the host, off.
    void breakOnOff()
    {
        ScriptServer server;
        NetLine line;
        QCOMPARE(line.open(server.start(), 9600), SerialLine::OpenResult::Ok);
        // The waits, the first with what the server has when it begins: the
        // break on, and the off only after the 750 ms.
        struct : vek::Host {
            QByteArrayList waits;
            std::function<QByteArray()> seen;
            void showMessage(const QString &) override {}
            void sleepMs(int ms) override { waits << QByteArray::number(ms) + (waits.isEmpty() ? " " + seen() : ""); }
        } host;
        const QByteArray on = "[H"_ba + comPort({5, 5});
        host.seen = [&] {
            (void)QTest::qWaitFor([&] { return server.transcript(hello(9600)).startsWith(on); });
            return server.transcript(hello(9600));
        };
        vek::Link link(line, host);
        QVERIFY(link.SendBreak());
        QCOMPARE(host.waits, (QByteArrayList{"750 " + on, "250"}));
        QTRY_COMPARE(server.transcript(hello(9600)), on + comPort({5, 6}));
    }

    // What the open finds, and how long it took (well before its time-out, or
    // a retry's second). "full": a listener whose queue of connections is
    // full drops every further request unanswered. A stop asked `stopMs`
    // after the start ends every wait of the open at once.
    void open_data()
    {
        QTest::addColumn<QString>("target");   // "script", "full", or a name to open
        QTest::addColumn<Script>("script");
        QTest::addColumn<int>("stopMs");       // -1: none
        QTest::addColumn<QString>("result");
        const QString refused = u"SERVER refuses the RFC 2217 COM port option: is it a telnet (rfc2217) port?"_s;
        QTest::newRow("malformed") << u"rfc2217://127.0.0.1"_s << Script{} << -1
                                   << u"a network port is named rfc2217://HOST:PORT: the port number is missing, at once"_s;
        QTest::newRow("no answer") << u"full"_s << Script{} << -1 << u"no answer within 0.6 s, at once"_s;
        QTest::newRow("refuses COM-PORT") << u"script"_s << Script{telnet({0xFF, 254, 44}), {}, -1, -1} << -1 << refused + u", at once"_s;
        QTest::newRow("won't COM-PORT") << u"script"_s << Script{telnet({0xFF, 252, 44}), {}, -1, -1} << -1 << refused + u", at once"_s;
        QTest::newRow("silent") << u"script"_s << Script{{}, {}, -1, -1} << -1
                                << u"no RFC 2217 answer from SERVER: is it a telnet (rfc2217) port?, at once"_s;
        QTest::newRow("garbage") << u"script"_s << Script{"\xFF\xFA\x2C\x65garbage and no end"_ba, {}, -1, -1} << -1
                                 << u"no RFC 2217 answer from SERVER: is it a telnet (rfc2217) port?, at once"_s;
        QTest::newRow("another rate") << u"script"_s << Script{{}, {}, -1, 4800} << -1 << u"the server set 4800 bit/s, not 9600, at once"_s;
        QTest::newRow("answers split in segments")
            << u"script"_s << Script{telnet({0xFF, 253, 44, 0xFF, 251, 0, 0xFF, 251, 3}), {}, -1, 0, 0, true} << -1 << u"open, at once"_s;
        QTest::newRow("turned away, then let in") << u"script"_s << Script{{}, {}, -1, 0, 2} << -1 << u"open, at once"_s;
        QTest::newRow("turned away") << u"script"_s << Script{{}, {}, -1, 0, 1000} << -1 << u"Port already in use, after 1 s"_s;
        // A stop in each wait: the connection, the negotiation, a retry.
        QTest::newRow("stop in the connect") << u"full"_s << Script{} << 100 << u"cancelled, at once"_s;
        QTest::newRow("stop in the negotiation") << u"script"_s << Script{{}, {}, -1, -1} << 100 << u"cancelled, at once"_s;
        QTest::newRow("stop in a retry") << u"script"_s << Script{{}, {}, -1, 0, 1000} << 150 << u"cancelled, at once"_s;
    }
    void open()
    {
        QFETCH(QString, target);
        QFETCH(Script, script);
        QFETCH(int, stopMs);
        ScriptServer server;
        static_cast<Script &>(server) = script;
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        const auto closeFd = qScopeGuard([fd] { ::close(fd); });
        std::vector<std::unique_ptr<QTcpSocket>> queued;
        QString name = target;
        if (target == u"script") {
            name = server.start();
        } else if (target == u"full") {
            sockaddr_in a{.sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
            socklen_t len = sizeof a;
            QVERIFY(::bind(fd, reinterpret_cast<sockaddr *>(&a), len) == 0 && ::listen(fd, 0) == 0);
            ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
            for (bool full = false; !full && queued.size() < 8;) {
                queued.push_back(std::make_unique<QTcpSocket>());
                queued.back()->connectToHost(QHostAddress::LocalHost, ntohs(a.sin_port));
                full = !queued.back()->waitForConnected(100);
            }
            name = u"rfc2217://127.0.0.1:%1"_s.arg(ntohs(a.sin_port));
        }
        // The time-out of the rows that wait for it; 5 s where nothing may.
        const bool timesOut = stopMs < 0 && (target == u"full" || script.rate < 0);
        NetLine line(timesOut ? 600 : 5000);
        QElapsedTimer timer;
        timer.start();
        if (stopMs >= 0)
            line.setWaitCheck([&] { return timer.elapsed() < stopMs; });
        const auto r = line.open(name, 9600);
        const qint64 ms = timer.elapsed();
        const qint64 due = stopMs >= 0 ? stopMs : timesOut ? 600 : script.turnAway > 2 ? 1000 : script.turnAway * NetLine::RetryMs;
        // "At once": within a tenth of a second of the time-out or the stop.
        const QString when = due == 1000 ? (ms >= 800 && ms < 1200 ? u"after 1 s"_s : u"after %1 ms"_s.arg(ms))
                                         : (ms < due + 100 ? u"at once"_s : u"after %1 ms"_s.arg(ms - due));
        QFETCH(QString, result);
        QCOMPARE((r == SerialLine::OpenResult::Ok ? u"open"_s : line.openFailure().text) + u", "_s + when,
                 result.replace(u"SERVER"_s, name.mid(10)));
    }

    // vekctl through ser2net to two simulated targets at once, one in each
    // echo mode, and a port where nothing listens: connection sequence,
    // identification, a script from standard input with a write and a read on
    // each; the refused port stops neither of the others.
    void ser2netSeveral()
    {
        vek::sim::PtyTarget single({.doubleEcho = false, .ident = "VEK-net 7"});
        vek::sim::PtyTarget twice({.doubleEcho = true, .ident = "VEK-net 8"});
        vek::testing::Ser2net server;
        QString error;
        QVERIFY2(single.start(&error) && twice.start(&error)
                     && server.start({single.devicePath(), twice.devicePath()}, {}, &error), qPrintable(error));
        single.setReg(0x022, 0x3C);
        twice.setReg(0x022, 0xA5);
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        const QString a = server.portName(0), b = server.portName(1), refused = u"rfc2217://127.0.0.1:%1"_s.arg(probe.serverPort());
        probe.close();

        QProcess vekctl;
        vekctl.start(QStringLiteral(VEKCTL_PATH), {u"-p"_s, a, u"-p"_s, b, u"-p"_s, refused, u"version"_s, u"run"_s, u"-"_s});
        vekctl.write("write 021=FF\nread 022\n");
        vekctl.closeWriteChannel();
        QVERIFY(vekctl.waitForFinished(20000));
        // Each port's lines in its order; the three ports in any order.
        QStringList out = QString::fromUtf8(vekctl.readAllStandardOutput()).split(u'\n'),
                    want{u""_s, a + u"\tVEK-net 7"_s, a + u"\tA021=FF"_s, a + u"\t022 3C"_s,
                         b + u"\tVEK-net 8"_s, b + u"\tA021=FF"_s, b + u"\t022 A5"_s};
        const auto byPort = [](const QString &x, const QString &y) { return x.section(u'\t', 0, 0) < y.section(u'\t', 0, 0); };
        std::stable_sort(out.begin(), out.end(), byPort);
        std::stable_sort(want.begin(), want.end(), byPort);
        out << QString::fromUtf8(vekctl.readAllStandardError()) << u"%1 %2 %3"_s.arg(vekctl.exitCode()).arg(single.reg(0x021)).arg(twice.reg(0x021));
        const QString why = u"cannot open "_s + refused + u": Connection refused (is ser2net running there?)"_s;
        want << refused + u"\tvekctl: "_s + why + u'\n' + a + u"\texit 0: ok\n"_s + b + u"\texit 0: ok\n"_s + refused + u"\texit 3: "_s + why
                    + u'\n' << u"3 255 255"_s;
        QCOMPARE(out, want);
    }
};

QTEST_GUILESS_MAIN(TstNetLine)
#include "tst_netline.moc"
