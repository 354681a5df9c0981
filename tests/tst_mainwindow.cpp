// The main window's layout and its connection control, offscreen, with the
// scripted line and with the demo line. On a real pseudo-terminal the window
// is in tst_faults, and vekctl takes the link through both echo modes there.

#include "frmlabels.h"
#include "lineswitch.h"
#include "portbox.h"
#include "radiogroup.h"
#include "simline.h"
#include "shareclient.h"
#include "shareserver.h"
#include "targetsession.h"
#include "trend.h"
#include "windowfixture.h"

#include <QtTest>
#include <QtWidgets>
#include <QLocalSocket>

using namespace vek;
using namespace vek::testing;

namespace {

struct Connect {
    bool doubleEcho = false;
    QStringList ports{"ttyS0", "ttyS1"};
    SerialLine::OpenResult result = SerialLine::OpenResult::Ok;
    // silent: the target never answers; settings: 4800 bit/s, 0x80 and the
    // second port chosen before OpenComm.
    bool silent = false, failClose = false, settings = false;
    QString opened = "ttyS0 9600";
    // The messages shown, and the ports given with --port.
    QStringList messages{}, extra{};
    QStringList typed{};       // the answers to "Network port...", chosen before OpenComm
    QStringList box{};         // the port box's entries, when given
    QString why{};             // the line's reason: why it did not open, or (with result Ok) why it was lost
};

// `vekctl -p demo serve` in a thread of the test: a simulated target on a
// virtual clock, connected once and served until the thread is told to quit.
class ServeThread : public QThread {
public:
    std::atomic<bool> ready = false;
    QString identification;

    void run() override
    {
        struct ClockHost final : Host {
            explicit ClockHost(sim::ManualLineClock &c) : clock(c) {}
            void showMessage(const QString &) override {}
            void sleepMs(int ms) override { clock.advanceMs(ms); }
            sim::ManualLineClock &clock;
        };
        sim::ManualLineClock clock;
        ClockHost host(clock);
        sim::SimLine line({.ident = "VEK-9 2.0", .moving = false}, &clock, true);
        Session session(line, host);
        QString why;
        ShareServer server(session);
        if (!session.connect(QStringLiteral("demo"), 9600, 0x3F).ok() || !server.listen(QStringLiteral("demo"), &why))
            return;
        identification = session.identification();
        ready = true;
        exec();
    }
};

} // namespace

Q_DECLARE_METATYPE(Connect)

class TestMainWindow : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QApplication::setStyle(QStringLiteral("Fusion")); }

    // The layout's place where the window fits, else inside the screen's
    // available area, frame and all: 1280x1024 at a scale factor of 2 is a
    // screen of 640x512; on a screen smaller than the window, its title bar
    // stays on the screen. A window of fixed size without a maximize button,
    // the chooser without minimize or maximize.
    void placedOnScreen_data()
    {
        QTest::addColumn<QRect>("available");
        QTest::addColumn<QPoint>("at");   // (-1, -1): anywhere inside
        QTest::newRow("fits") << QRect(0, 0, 1280, 1024) << QPoint(217, 132);
        QTest::newRow("scale factor 2") << QRect(0, 0, 640, 512) << QPoint(-1, -1);
        QTest::newRow("panel at the top") << QRect(0, 150, 1024, 618) << QPoint(-1, -1);
        QTest::newRow("smaller than the window") << QRect(0, 24, 320, 240) << QPoint(0, 24);
    }
    void placedOnScreen()
    {
        QFETCH(QRect, available);
        QFETCH(QPoint, at);
        WindowFixture f;
        TfrmVekComm &w = *f.window;
        const Qt::WindowFlags flags = w.windowFlags(), chooser = f.probe().Labels->windowFlags();
        QVERIFY(w.minimumSize() == w.maximumSize() && !(flags & Qt::WindowMaximizeButtonHint));
        QVERIFY(!(chooser & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
        w.placeWithin(available);
        const QRect outer(w.pos(), w.size() + QSize(2 * w.FrameBorder, w.FrameTitle + w.FrameBorder));
        QVERIFY2(at == QPoint(-1, -1) ? available.contains(outer) : w.pos() == at,
                 qPrintable(QStringLiteral("%1,%2").arg(outer.x()).arg(outer.y())));
    }

    // OpenComm, and CloseComm if it opened. A failed OpenComm leaves the port
    // closed: one that cannot be opened (no ports at all, a missing one, a
    // refused network port, marked in the list), and one that opens but
    // refuses its settings, never answers or is lost. The line's reason stands
    // below the first box. Ports given with --port come first, the first
    // chosen; "Network port..." asks again, from the text typed, after a mistake.
    void connection_data()
    {
        QTest::addColumn<Connect>("c");
        const auto row = [](const char *name, const Connect &c) { QTest::newRow(name) << c; };
        using R = SerialLine::OpenResult;
        const QString input = "input Network port|Host and port of an RFC 2217 server (HOST:PORT):";
        row("single echo", {});
        row("double echo", {.doubleEcho = true});
        row("bit rate, calibration character and port chosen", {.settings = true, .opened = "ttyS1 4800"});
        row("port fails to close", {.failClose = true, .messages = {"Failed to close Com Port"}});
        row("no ports", {.ports = {}, .result = R::CannotOpen, .opened = " 9600", .messages = {"Cannot open ", " is not responding"}});
        row("missing", {.ports = {"ttyS9"}, .result = R::CannotOpen, .opened = "ttyS9 9600",
                        .messages = {"Cannot open ttyS9|No such file or directory", "ttyS9 is not responding"}, .why = "No such file or directory"});
        row("settings refused", {.result = R::SetStateFailed, .messages = {"Set comm state failed", "ttyS0 is not responding"}});
        row("never answers", {.silent = true, .messages = {"ttyS0 is not responding"}});
        row("lost while connecting", {.messages = {"Calibration write failed|the server closed the connection", "ttyS0 is not responding"},
                                      .why = "the server closed the connection"});
        row("network port given", {.opened = "rfc2217://rack:3002 9600", .extra = {"rfc2217://rack:3002"},
                                   .box = {"rfc2217://rack:3002", "ttyS0", "ttyS1", "Network port..."}});
        row("network port refused", {.result = R::CannotOpen, .opened = "rfc2217://rack:3002 9600",
                                     .messages = {"Cannot open rfc2217://rack:3002|Connection refused (is ser2net running there?)",
                                                  "rfc2217://rack:3002 is not responding"},
                                     .extra = {"rfc2217://rack:3002"}, .why = "Connection refused (is ser2net running there?)"});
        row("network port typed", {.ports = {"ttyS0"}, .opened = "rfc2217://lab1:3001 9600",
                                   .extra = {"rfc2217://rack:3002", "/dev/ttyX"}, .typed = {"lab1:3001"},
                                   .box = {"rfc2217://rack:3002", "ttyX", "ttyS0", "rfc2217://lab1:3001", "Network port..."}});
        row("network port mistyped", {.opened = "rfc2217://lab1:3001 9600",
                                      .messages = {"a network port is named rfc2217://HOST:PORT: the port number is missing",
                                                   input + "|lab1"},
                                      .typed = {"lab1", "lab1:3001"}, .box = {"ttyS0", "ttyS1", "rfc2217://lab1:3001", "Network port..."}});
    }
    void connection()
    {
        QFETCH(Connect, c);
        WindowFixture f({.doubleEcho = c.doubleEcho, .ident = "VEK-7 1.0", .fault = c.silent ? sim::Fault::Silent : sim::Fault::None},
                        c.ports, c.extra);
        const TfrmVekComm::Probe w = f.probe();
        // The button's text, whether the bit rate and the port may be changed, the target's version.
        const auto state = [&w] {
            return QStringList{w.btnOpenClose->text(), w.rgBaudRate->isEnabled() ? "1" : "0", w.cbPorts->isEnabled() ? "1" : "0",
                               w.lblVekVer->text()}.join(u'|');
        };
        f.line.openResult = c.result;
        f.line.failClose = c.failClose;
        (c.result == SerialLine::OpenResult::Ok ? f.line.lost : f.line.failure.text) = c.why;
        if (c.settings) {
            QTest::mouseClick(w.rgBaudRate->button(1), Qt::LeftButton);
            w.mnuCal1->trigger();
            w.cbPorts->setCurrentIndex(1);
        }
        if (!c.typed.isEmpty()) {
            f.prompts.inputAnswers.append(c.typed);
            w.cbPorts->setFocus();
            QTest::keyClick(w.cbPorts, Qt::Key_End);
        }
        QStringList box;
        for (int i = 0; !c.box.isEmpty() && i < w.cbPorts->count(); ++i)
            box << w.cbPorts->itemText(i);
        QCOMPARE(box, c.box);
        QTest::mouseClick(w.btnOpenClose, Qt::LeftButton);
        QCOMPARE(f.line.log.value(0), "open " + c.opened);
        QCOMPARE(w.CommOpen, !c.messages.join(u'|').contains(QLatin1String("not responding")));
        if (w.CommOpen) {
            QCOMPARE(f.line.written.left(2), QByteArray(2, c.settings ? char(0x80) : '?'));
            QCOMPARE(state(), QStringLiteral("CloseComm|0|0|VEK-7 1.0"));
            QVERIFY(w.window.link().DoubleEcho == c.doubleEcho && f.target.lines() == QList<QByteArray>{"V"});
            QTest::mouseClick(w.btnOpenClose, Qt::LeftButton);
        }
        if (!c.typed.isEmpty())
            f.prompts.log.removeFirst();   // the first question
        QCOMPARE(f.prompts.log, QStringList(c.messages).replaceInStrings(QRegularExpression("^(?!input )"), "msg "));
        QVERIFY(!w.CommOpen && f.line.isOpen() == c.failClose);
        QCOMPARE(state(), QStringLiteral("OpenComm|1|1|"));
        // A network port that did not open is marked in the list.
        const bool refused = c.opened.startsWith(u"rfc") && c.result == SerialLine::OpenResult::CannotOpen;
        QCOMPARE(qobject_cast<PortBox *>(w.cbPorts)->isMarkedFailed(w.cbPorts->currentIndex()), refused);
    }

    // A line lost while Open, as when ser2net is killed: the first box of the
    // command says why, and the window says so where the identification
    // stands until CloseComm.
    void lostLine()
    {
        WindowFixture f({.ident = "VEK-7 1.0"}, {"ttyS0"}, {"rfc2217://rack:3002"});
        const TfrmVekComm::Probe w = f.probe();
        QVERIFY(f.connect());
        f.line.lost = "the server closed the connection";
        QTest::mouseClick(w.rows[0].edtAddr, Qt::LeftButton);
        QTest::keyClicks(w.rows[0].edtAddr, "2A\r");
        const QString shown = w.lblVekVer->toolTip() + (isRed(w.lblVekVer) ? " (red)" : "");
        QTest::keyClicks(w.rows[0].edtAddr, "\r");   // the next command is told the reason once more
        QTest::mouseClick(w.btnOpenClose, Qt::LeftButton);
        const QStringList once{"Write failed|the server closed the connection", "Read Failure", "File read failed"};
        QCOMPARE(std::tuple(f.prompts.messages(), shown, w.lblVekVer->text()),
                 std::tuple(once + once, QStringLiteral("line lost: the server closed the connection (red)"), QString()));
    }

    // The window serves its connection: vekctl on the same port joins it, its
    // write shows in the row of that register without a read, and a client's
    // command waits while a window command's box is up.
    void sharedWithVekctl()
    {
        QTemporaryDir runtime;
        QFile::setPermissions(runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
        const QString port = runtime.path() + QStringLiteral("/board");   // no device of the machine
        WindowFixture f({}, {port});
        const TfrmVekComm::Probe w = f.probe();
        QVERIFY(f.connect() && w.window.server());
        QTest::mouseClick(w.rows[0].edtAddr, Qt::LeftButton);
        QTest::keyClicks(w.rows[0].edtAddr, "2A\r");
        QProcess ctl;
        ctl.start(QStringLiteral(VEKCTL_PATH), {QStringLiteral("-p"), port, QStringLiteral("write"),
                                                QStringLiteral("02A=5C"), QStringLiteral("read"), QStringLiteral("02A")});
        QVERIFY(QTest::qWaitFor([&] { return ctl.state() == QProcess::NotRunning; }, 20000));
        QCOMPARE(ctl.readAllStandardOutput(), QByteArray("A02A=5C\n02A 5C\n"));
        QCOMPARE(w.rows[0].edtData->text(), QStringLiteral("01011100"));   // in the row's own form
        QCOMPARE(f.takeLines(), (Lines{"A02A", "A02A=5C", "A02A"}));

        // A window write whose prompt does not come: a client's write sent
        // while its box is up runs after it.
        QLocalSocket client;
        client.connectToServer(w.window.server()->socketPath());
        QVERIFY(client.waitForConnected(1000));
        f.setFault(sim::Fault::NoPrompt);
        Lines duringBox;
        f.prompts.whileShown = [&] {
            if (!duringBox.isEmpty() || client.bytesToWrite() || client.bytesAvailable())
                return;
            client.write(R"({"id":1,"cmd":"write","addr":"030","value":"11"})" "\n");
            client.flush();
            f.setFault(sim::Fault::None);
            QVERIFY(QTest::qWaitFor([&] { return w.window.server()->queued() == 1; }, 5000));
            QCoreApplication::processEvents();
            duringBox = f.target.lines();
        };
        QTest::mouseClick(w.rows[0].edtData, Qt::LeftButton);
        QTest::keyClicks(w.rows[0].edtData, "01110111\r");
        QCOMPARE(duringBox, Lines{"A02A=77"});
        QVERIFY(QTest::qWaitFor([&] { return client.canReadLine(); }, 5000));
        QVERIFY(client.readLine().contains(R"("ok":true)"));
        QCOMPARE(f.takeLines(), (Lines{"A02A=77", "A030=11"}));
        f.prompts.whileShown = {};
    }

    // A port that vekctl serves shows as shared and OpenComm joins it, with
    // no connection sequence: the rows read and write through the server,
    // a write by another client shows in the row, CloseComm leaves the
    // server serving, and a server that goes away is a lost line.
    void joinsServedPort()
    {
        QTemporaryDir runtime;
        QFile::setPermissions(runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
        ServeThread server;
        server.start();
        QVERIFY(QTest::qWaitFor([&] { return server.ready.load() || server.isFinished(); }, 5000) && server.ready);
        WindowFixture f({}, {"ttyS0"}, {"demo"});
        const TfrmVekComm::Probe w = f.probe();
        QCOMPARE(w.cbPorts->currentText(), QStringLiteral("demo (shared)"));
        QTest::mouseClick(w.btnOpenClose, Qt::LeftButton);
        QVERIFY(w.CommOpen && w.window.joined() && !w.window.server());
        QCOMPARE(std::tuple(w.lblVekVer->text(), f.line.log, f.prompts.log), std::tuple(server.identification, QStringList{}, QStringList{}));

        SharedTarget other;
        QString why;
        QVERIFY2(other.connect(QStringLiteral("demo"), &why), qPrintable(why));
        QVERIFY(other.write(0x2A, 0x33).ok());
        QTest::mouseClick(w.rows[0].edtAddr, Qt::LeftButton);
        QTest::keyClicks(w.rows[0].edtAddr, "2A\r");
        QCOMPARE(w.rows[0].edtData->text(), QStringLiteral("00110011"));
        QTest::mouseClick(w.rows[0].edtData, Qt::LeftButton);
        QTest::keyClicks(w.rows[0].edtData, "01110111\r");
        QCOMPARE(other.read(0x2A).value(), uint8_t(0x77));
        QTest::mouseClick(w.edtBitAddr, Qt::LeftButton);
        QTest::keyClicks(w.edtBitAddr, "2A\r");
        QCOMPARE(w.BitValue, uint8_t(0x77));
        QVERIFY(other.write(0x2A, 0x5C).ok());
        QVERIFY(QTest::qWaitFor([&] { return w.rows[0].edtData->text() == QStringLiteral("01011100"); }, 5000));
        QCOMPARE(w.BitValue, uint8_t(0x5C));
        // The trend reads through the server as well, nothing on a line of its own.
        w.mnuTrend->trigger();
        TrendWindow *trend = w.trend();
        QTest::mouseClick(trend->chkRows[0], Qt::LeftButton, {}, QPoint(8, trend->chkRows[0]->height() / 2));
        QTest::mouseClick(trend->btnStart, Qt::LeftButton);
        QVERIFY(QTest::qWaitFor([&] { return trend->scheduler().history().size() >= 2; }, 5000));
        QTest::mouseClick(trend->btnStart, Qt::LeftButton);
        const TrendRound &round = trend->scheduler().history().at(0);
        QCOMPARE(std::tuple(int(round.count), round.samples[0].addr, round.samples[0].value, f.line.log, f.prompts.log),
                 std::tuple(1, uint16_t(0x2A), uint8_t(0x5C), QStringList{}, QStringList{}));
        trend->close();

        QTest::mouseClick(w.btnOpenClose, Qt::LeftButton);
        QVERIFY(!w.CommOpen && !w.window.joined() && share::isServed(QStringLiteral("demo")));
        QCOMPARE(w.cbPorts->currentText(), QStringLiteral("demo (shared)"));

        QTest::mouseClick(w.btnOpenClose, Qt::LeftButton);
        QVERIFY(w.window.joined());
        other.socket().abort();
        server.quit();
        QVERIFY(server.wait(5000));
        QVERIFY(QTest::qWaitFor([&] { return w.lblVekVer->toolTip() == QStringLiteral("line lost: the server of this port went away"); }, 5000));
        QTest::keyClicks(w.rows[0].edtAddr, "\r");
        QCOMPARE(f.prompts.messages(), QStringList{"the server of this port went away"});
        QTest::mouseClick(w.btnOpenClose, Qt::LeftButton);
        QVERIFY(!w.CommOpen && w.lblVekVer->text().isEmpty());
        QCOMPARE(w.cbPorts->currentText(), QStringLiteral("demo"));
    }

    // OpenComm to a target that does not answer shows its progress box after
    // a second; Escape or the box's Cancel ends the wait at once: the break
    // under way is ended, nothing more is sent, the port is closed, and no
    // box follows.
    void cancelSlowOpen_data()
    {
        QTest::addColumn<bool>("escape");
        QTest::newRow("Escape") << true;
        QTest::newRow("Cancel") << false;
    }
    void cancelSlowOpen()
    {
        QFETCH(bool, escape);
        VirtualClock clock;
        FakeLine line(clock);
        RecordingPrompts prompts;
        TfrmVekComm window(WindowDeps{&line, &prompts, [&clock](int ms) { clock.nowMs += ms; }, {}, QStringList{"ttyS0"},
                                      [&clock] { return clock.nowMs; }});
        window.show();
        QApplication::setActiveWindow(&window);
        const TfrmVekComm::Probe w(window);
        qint64 shownAt = -1;
        QTimer user;
        connect(&user, &QTimer::timeout, this, [&] {
            QProgressDialog *box = w.progress();
            if (!box || !box->isVisible())
                return;
            user.stop();
            shownAt = clock.nowMs;
            if (escape)
                QTest::keyClick(box, Qt::Key_Escape);
            else
                QTest::mouseClick(box->findChild<QPushButton *>(), Qt::LeftButton);
        });
        user.start(0);
        QTest::mouseClick(w.btnOpenClose, Qt::LeftButton);
        QCOMPARE(std::tuple(shownAt, line.log.join(u'|'), prompts.log, w.CommOpen, line.isOpen(), w.progress() == nullptr),
                 std::tuple(qint64(TfrmVekComm::ProgressAfterMs), QStringLiteral("open ttyS0 9600|purge tx|w 3F|break on|break off|close"),
                            QStringList{}, false, false, true));
    }
    // The demo line in the process beside the platform's ports: listed
    // first, connected (the identification goes both ways through the
    // switch, as any command would); the platform's ports are still the
    // platform's.
    void demoLine()
    {
        sim::ManualLineClock clock;
        sim::SimLine demo({.ident = "VEK-7 1.0"}, &clock);
        VirtualClock platformClock;
        FakeLine platformLine(platformClock);
        LineSwitch line(platformLine);
        line.add(QStringLiteral("demo"), demo);
        RecordingPrompts prompts;
        TfrmVekComm window(WindowDeps{&line, &prompts, [&clock](int ms) { clock.advanceMs(ms); }, {"demo"}, QStringList{"ttyS0", "demo"}, {}});
        window.show();
        QApplication::setActiveWindow(&window);
        const TfrmVekComm::Probe w(window);
        // Listed first, then the platform's port and "Network port...".
        QVERIFY(w.cbPorts->count() == 3 && w.cbPorts->currentText() == QStringLiteral("demo"));
        QTest::mouseClick(w.btnOpenClose, Qt::LeftButton);
        QCOMPARE(w.lblVekVer->text() + prompts.log.join('\n'), QStringLiteral("VEK-7 1.0"));
        QCOMPARE(demo.target().lines(), QList<QByteArray>{"V"});
        QTest::mouseClick(w.btnOpenClose, Qt::LeftButton);
        w.cbPorts->setCurrentIndex(1);
        QTest::mouseClick(w.btnOpenClose, Qt::LeftButton);
        QCOMPARE(std::pair(platformLine.log.value(0), demo.isOpen()), std::pair(QStringLiteral("open ttyS0 9600"), false));
    }

    // Help needs no display (tst_install checks --version's text).
    void helpWithoutDisplay()
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *display : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
            env.remove(QLatin1String(display));
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(VEKCOMM_PATH), {QStringLiteral("--help")});
        QVERIFY(p.waitForFinished(30000));
        QVERIFY2(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0, p.readAllStandardError().constData());
        QVERIFY(p.readAllStandardOutput().contains("--demo"));
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
