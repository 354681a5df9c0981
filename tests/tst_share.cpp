// The connection server: scripted clients on real local sockets in front of
// a simulated target on a virtual clock (no fixed wait takes real time).
// What goes to the target is read from its log of command lines.

#include "shareclient.h"
#include "shareserver.h"
#include "simline.h"
#include "targetsession.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalSocket>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace vek;

namespace {

class ClockHost final : public Host {
public:
    explicit ClockHost(sim::ManualLineClock &clock) : m_clock(clock) {}
    void showMessage(const QString &) override {}
    void sleepMs(int ms) override { m_clock.advanceMs(ms); }

private:
    sim::ManualLineClock &m_clock;
};

// One scripted client: whole lines out, replies and events in.
struct Client {
    QLocalSocket socket;
    QByteArray buffer;
    QList<QJsonObject> replies, events;

    explicit Client(const QString &path)
    {
        socket.connectToServer(path);
        QVERIFY(socket.waitForConnected(1000));
        QObject::connect(&socket, &QLocalSocket::readyRead, &socket, [this] { take(); });
    }
    void send(const QList<QByteArray> &lines)
    {
        QByteArray all;
        for (const QByteArray &l : lines)
            all += l + '\n';
        socket.write(all);
        socket.flush();
    }
    void take()
    {
        buffer += socket.readAll();
        for (qsizetype nl; (nl = buffer.indexOf('\n')) >= 0; buffer.remove(0, nl + 1)) {
            const QJsonObject o = QJsonDocument::fromJson(buffer.left(nl)).object();
            (o.contains(QStringLiteral("event")) ? events : replies) << o;
        }
    }
    bool awaitReplies(int n) { return QTest::qWaitFor([&] { return replies.size() >= n; }, 5000); }
};

QByteArray write(int id, const char *addr, const char *value)
{
    return QStringLiteral(R"({"id":%1,"cmd":"write","addr":"%2","value":"%3"})").arg(id).arg(addr, value).toLatin1();
}

} // namespace

class TestShare : public QObject {
    Q_OBJECT

    QTemporaryDir m_runtime;
    sim::ManualLineClock m_clock;
    std::unique_ptr<ClockHost> m_host;
    std::unique_ptr<sim::SimLine> m_line;
    std::unique_ptr<vek::Session> m_session;
    std::unique_ptr<ShareServer> m_server;

    sim::TargetMonitor &target() { return m_line->target(); }
    QList<QByteArray> linesSinceConnect() { return target().lines().mid(1); }   // after "V"

private slots:
    void initTestCase()
    {
        QVERIFY(m_runtime.isValid());
        QFile::setPermissions(m_runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_runtime.path()));
    }

    void init()
    {
        m_host = std::make_unique<ClockHost>(m_clock);
        sim::TargetOptions opt;
        opt.moving = false;
        m_line = std::make_unique<sim::SimLine>(opt, &m_clock, true);
        m_session = std::make_unique<vek::Session>(*m_line, *m_host);
        QVERIFY(m_session->connect(QStringLiteral("demo"), 9600, 0x3F).ok());
        m_server = std::make_unique<ShareServer>(*m_session);
        QString why;
        QVERIFY2(m_server->listen(QStringLiteral("demo"), &why), qPrintable(why));
    }

    void cleanup()
    {
        m_server.reset();
        m_session.reset();
        m_line.reset();
    }

    // Two clients' commands alternate, whole, each once, each client's in its
    // order; the owner's own command (hold) is never cut by them.
    void clientsTakeTurns()
    {
        Client a(m_server->socketPath()), b(m_server->socketPath());
        m_server->hold();
        a.send({write(1, "020", "01"), write(2, "021", "02"), write(3, "022", "03")});
        b.send({write(1, "030", "11"), write(2, "031", "12")});
        QVERIFY(QTest::qWaitFor([&] { return m_server->queued() == 5; }, 5000));
        QCOMPARE(m_session->write(0x40, 0x99).status, 0);   // the owner's, while held
        QCOMPARE(linesSinceConnect(), QList<QByteArray>{"A040=99"});
        m_server->release();
        QVERIFY(a.awaitReplies(3) && b.awaitReplies(2));
        QCOMPARE(linesSinceConnect(),
                 (QList<QByteArray>{"A040=99", "A020=01", "A030=11", "A021=02", "A031=12", "A022=03"}));
        for (const QJsonObject &r : a.replies + b.replies)
            QVERIFY(r.value(QStringLiteral("ok")).toBool());
        QCOMPARE(a.replies.at(2).value(QStringLiteral("id")).toInt(), 3);
    }

    // A client that holds the link (run --exclusive) has its commands run
    // without another's between them until it lets go.
    void lockKeepsOthersOut()
    {
        Client a(m_server->socketPath()), b(m_server->socketPath());
        m_server->hold();
        a.send({R"({"id":1,"cmd":"lock","ms":60000})", write(2, "020", "01")});
        b.send({write(1, "030", "11")});
        QVERIFY(QTest::qWaitFor([&] { return m_server->queued() == 3; }, 5000));
        a.send({write(3, "021", "02"), R"({"id":4,"cmd":"unlock"})"});
        QVERIFY(QTest::qWaitFor([&] { return m_server->queued() == 5; }, 5000));
        m_server->release();
        QVERIFY(a.awaitReplies(4) && b.awaitReplies(1));
        QCOMPARE(linesSinceConnect(), (QList<QByteArray>{"A020=01", "A021=02", "A030=11"}));
    }

    // A client gone with commands queued loses them; the others keep theirs.
    void clientGoneMidQueue()
    {
        auto a = std::make_unique<Client>(m_server->socketPath());
        Client b(m_server->socketPath());
        m_server->hold();
        a->send({write(1, "020", "01"), write(2, "021", "02"), write(3, "022", "03")});
        b.send({write(1, "030", "11"), write(2, "031", "12")});
        QVERIFY(QTest::qWaitFor([&] { return m_server->queued() == 5; }, 5000));
        a.reset();
        QVERIFY(QTest::qWaitFor([&] { return m_server->clientCount() == 1; }, 5000));
        m_server->release();
        QVERIFY(b.awaitReplies(2));
        QCOMPARE(linesSinceConnect(), (QList<QByteArray>{"A030=11", "A031=12"}));
    }

    void badRequests_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("message");
        QTest::newRow("not JSON") << QByteArray("read 02A") << "not a JSON request";
        QTest::newRow("not an object") << QByteArray(R"([1,2])") << "not a JSON request: not an object";
        QTest::newRow("too long") << QByteArray(R"({"cmd":"hello","x":")") + QByteArray(5000, 'x') + "\"}"
                                  << "request longer than 4096 bytes";
        QTest::newRow("no command") << QByteArray(R"({"id":7})") << "\"cmd\" missing";
        QTest::newRow("unknown command") << QByteArray(R"({"id":7,"cmd":"erase"})") << "unknown command \"erase\"";
        QTest::newRow("address above FFF") << write(7, "1000", "01") << "\"addr\" is not a register address (000 to FFF)";
        QTest::newRow("address not hex") << write(7, "02G", "01") << "\"addr\" is not a register address (000 to FFF)";
        QTest::newRow("value above FF") << write(7, "02A", "100") << "\"value\" is not a value (00 to FF)";
        QTest::newRow("value negative") << QByteArray(R"({"cmd":"write","addr":"02A","value":-1})")
                                        << "\"value\" is not a value (00 to FF)";
        QTest::newRow("value missing") << QByteArray(R"({"cmd":"write","addr":"02A"})") << "\"value\" missing";
        QTest::newRow("range backwards") << QByteArray(R"({"cmd":"read","addr":"030","to":"020"})")
                                         << "\"to\" is below \"addr\"";
        QTest::newRow("apply nothing") << QByteArray(R"({"cmd":"apply","writes":[]})")
                                       << "\"writes\" must list 1 to 4096 writes";
        QTest::newRow("apply, one bad row") << QByteArray(R"({"cmd":"apply","writes":[{"addr":"020","value":"01"},{"addr":"021"}]})")
                                            << "\"value\" missing";
        QTest::newRow("lock too long") << QByteArray(R"({"cmd":"lock","ms":3600001})") << "\"ms\" must be 1 to 3600000";
    }

    // An error reply with status 2, nothing sent, the connection kept.
    void badRequests()
    {
        QFETCH(QByteArray, line);
        QFETCH(QString, message);
        Client c(m_server->socketPath());
        const QByteArray sent = target().received();
        c.send({line, R"({"id":"after","cmd":"hello"})"});
        QVERIFY(c.awaitReplies(2));
        const QJsonObject error = c.replies.at(0).value(QStringLiteral("error")).toObject();
        QCOMPARE(error.value(QStringLiteral("status")).toInt(), 2);
        QVERIFY2(error.value(QStringLiteral("message")).toString().startsWith(message),
                 qPrintable(error.value(QStringLiteral("message")).toString()));
        QCOMPARE(target().received(), sent);
        QCOMPARE(c.replies.at(1).value(QStringLiteral("id")).toString(), QStringLiteral("after"));
        QCOMPARE(c.replies.at(1).value(QStringLiteral("protocol")).toInt(), share::ProtocolVersion);
        QCOMPARE(c.replies.at(1).value(QStringLiteral("identification")).toString(), QStringLiteral("VEK-sim 1.2"));
    }

    // A subscriber hears of another client's write and read; the owner's
    // display is told of the write.
    void subscriberSeesWrite()
    {
        Client a(m_server->socketPath()), watcher(m_server->socketPath());
        QSignalSpy written(m_server.get(), &ShareServer::written);
        watcher.send({R"({"id":1,"cmd":"subscribe"})"});
        QVERIFY(watcher.awaitReplies(1));
        a.send({write(1, "02A", "5C"), R"({"id":2,"cmd":"read","addr":"02A","to":"02B"})"});
        QVERIFY(a.awaitReplies(2));
        QVERIFY(QTest::qWaitFor([&] { return watcher.events.size() == 2; }, 5000));
        QCOMPARE(watcher.events.at(0).value(QStringLiteral("event")).toString(), QStringLiteral("write"));
        QCOMPARE(watcher.events.at(0).value(QStringLiteral("addr")).toString(), QStringLiteral("02A"));
        QCOMPARE(watcher.events.at(0).value(QStringLiteral("value")).toString(), QStringLiteral("5C"));
        QCOMPARE(watcher.events.at(1).value(QStringLiteral("values")).toArray(), (QJsonArray{"5C", "00"}));
        QCOMPARE(a.events.size(), 0);   // not told of its own
        QCOMPARE(written.size(), 1);
        QCOMPARE(written.at(0).at(0).value<uint16_t>(), uint16_t(0x2A));
        QCOMPARE(written.at(0).at(1).value<uint8_t>(), uint8_t(0x5C));
    }

    // vekctl watch through the served connection: its rounds, and a line
    // for each write by another client to a register it watches, as it comes.
    void watchShowsWritesOfOthers_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("written02A");
        QTest::addColumn<QString>("written02B");
        QTest::newRow("text") << QStringList{} << R"(^ *\d+ 02A 5C written by client \d+$)"
                              << R"(^ *\d+ 02B 07 written by client \d+$)";
        QTest::newRow("csv") << QStringList{QStringLiteral("--csv")} << R"(^\d+,5C,$)" << R"(^\d+,,07$)";
    }
    void watchShowsWritesOfOthers()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, written02A);
        QFETCH(QString, written02B);
        QProcess watch;
        watch.start(QStringLiteral(VEKCTL_PATH), QStringList{QStringLiteral("-p"), QStringLiteral("demo"), QStringLiteral("watch"),
                                                             QStringLiteral("--interval"), QStringLiteral("100")}
                                                     + args + QStringList{QStringLiteral("02A"), QStringLiteral("02B")});
        QByteArray out;
        const auto lines = [&] {
            out += watch.readAllStandardOutput();
            return QString::fromLatin1(out).split(u'\n', Qt::SkipEmptyParts);
        };
        // Subscribed before the first round.
        QVERIFY(QTest::qWaitFor([&] { return lines().size() >= (args.isEmpty() ? 1 : 2); }, 10000));
        Client a(m_server->socketPath());
        a.send({write(1, "02A", "5C"), write(2, "02C", "11"), write(3, "02B", "07")});
        QVERIFY(a.awaitReplies(3));
        QVERIFY(QTest::qWaitFor([&] { return lines().filter(QRegularExpression(written02B)).size() == 1; }, 10000));
        watch.terminate();
        QVERIFY(watch.waitForFinished(10000));
        QCOMPARE(watch.exitCode(), 143);
        const QStringList all = lines();
        const qsizetype at02A = all.indexOf(QRegularExpression(written02A));
        QVERIFY2(at02A > 0 && all.indexOf(QRegularExpression(written02B)) > at02A, qPrintable(all.join(u'\n')));
        QVERIFY(!all.join(u'\n').contains(QStringLiteral("02C")));   // not watched
    }

    // After a command cut on the line, every client is refused and nothing
    // more is sent.
    void cutCommandRefusesEveryone()
    {
        Client a(m_server->socketPath()), b(m_server->socketPath());
        sim::TargetOptions opt = target().options();
        opt.fault = sim::Fault::WrongEcho;
        opt.faultAfter = 3;   // "A02" echoed, then a wrong echo
        target().setOptions(opt);
        a.send({write(1, "02A", "5C")});
        QVERIFY(a.awaitReplies(1));
        const QJsonObject cut = a.replies.at(0).value(QStringLiteral("error")).toObject();
        QCOMPARE(cut.value(QStringLiteral("status")).toInt(), 1);
        QVERIFY(cut.value(QStringLiteral("cut")).toBool());
        const QByteArray sent = target().received();
        b.send({R"({"id":1,"cmd":"read","addr":"006"})"});
        QVERIFY(b.awaitReplies(1));
        const QJsonObject refused = b.replies.at(0).value(QStringLiteral("error")).toObject();
        QVERIFY(refused.value(QStringLiteral("message")).toString().startsWith(
            QStringLiteral("The target may hold part of a command")));
        QCOMPARE(target().received(), sent);
    }

    // A socket left by a server that ended is replaced; a live one never.
    void staleSocketReplaced()
    {
        const QString path = m_server->socketPath();
        QCOMPARE(QFile::permissions(path) & 0x7077, QFile::ReadOwner | QFile::WriteOwner);
        QCOMPARE(QFile::permissions(share::socketFolder()) & 0x7077,
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        ShareServer second(*m_session);
        QString why;
        QVERIFY(!second.listen(QStringLiteral("demo"), &why));
        QVERIFY2(why.startsWith(QStringLiteral("demo is served already by another process")), qPrintable(why));
        QVERIFY(QFile::exists(path));   // the live one's socket is left alone
        m_server.reset();
        QVERIFY(!QFile::exists(path));
        // What a server killed with SIGKILL leaves: a bound socket nobody listens on.
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        qstrncpy(addr.sun_path, QFile::encodeName(path).constData(), sizeof addr.sun_path);
        QCOMPARE(::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        ::close(fd);
        QVERIFY(QFile::exists(path));
        QVERIFY2(second.listen(QStringLiteral("demo"), &why), qPrintable(why));
        Client c(second.socketPath());
        c.send({R"({"id":1,"cmd":"hello"})"});
        QVERIFY(c.awaitReplies(1));
    }

    // The Python example against vekctl serve, which ends on SIGTERM with
    // its socket removed.
    void pythonExampleAgainstServe()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("python3")).isEmpty())
            QSKIP("python3 is not installed");
        m_server.reset();   // the port is served by vekctl here
        QProcess serve;
        serve.start(QStringLiteral(VEKCTL_PATH), {QStringLiteral("-p"), QStringLiteral("demo"), QStringLiteral("serve")});
        QVERIFY(serve.waitForStarted());
        QVERIFY(QTest::qWaitFor([&] { return serve.readAllStandardError().contains("serving demo"); }, 10000));
        QProcess py;
        py.start(QStringLiteral("python3"), {QStringLiteral(EXAMPLES_DIR "/vekclient.py"), QStringLiteral("demo"),
                                            QStringLiteral("write"), QStringLiteral("02A"), QStringLiteral("5C")});
        QVERIFY(py.waitForFinished(10000));
        QCOMPARE(py.readAllStandardError(), QByteArray());
        QCOMPARE(py.exitCode(), 0);
        py.start(QStringLiteral("python3"), {QStringLiteral(EXAMPLES_DIR "/vekclient.py"), QStringLiteral("demo"),
                                            QStringLiteral("read"), QStringLiteral("02A")});
        QVERIFY(py.waitForFinished(10000));
        QCOMPARE(py.readAllStandardOutput(), QByteArray("02A 5C\n"));
        py.start(QStringLiteral("python3"), {QStringLiteral(EXAMPLES_DIR "/vekclient.py"), QStringLiteral("demo"),
                                            QStringLiteral("write"), QStringLiteral("1000"), QStringLiteral("5C")});
        QVERIFY(py.waitForFinished(10000));
        QCOMPARE(py.exitCode(), 2);
        // vekctl joins the served connection: the same output, no connection sequence.
        QProcess ctl;
        ctl.start(QStringLiteral(VEKCTL_PATH), {QStringLiteral("-v"), QStringLiteral("-p"), QStringLiteral("demo"),
                                                QStringLiteral("read"), QStringLiteral("02A")});
        QVERIFY(ctl.waitForFinished(10000));
        QCOMPARE(ctl.readAllStandardOutput(), QByteArray("02A 5C\n"));
        QCOMPARE(ctl.readAllStandardError(), QByteArray("vekctl: demo is served by another program: using its connection\n"));
        QCOMPARE(ctl.exitCode(), 0);
        const QString path = share::socketPath(QStringLiteral("demo"));
        QVERIFY(QFile::exists(path));
        serve.terminate();
        QVERIFY(serve.waitForFinished(10000));
        QCOMPARE(serve.exitCode(), 143);
        QVERIFY(!QFile::exists(path));
    }
};

QTEST_GUILESS_MAIN(TestShare)
#include "tst_share.moc"
