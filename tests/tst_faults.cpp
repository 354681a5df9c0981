// Faults on a real pseudo-terminal: a simulated target that goes silent,
// echoes wrongly, forgets its prompt, talks too much or hangs up, seen from
// the window and from vekctl. Every case must give the link's messages in
// their order, end within its time-outs and leave a state from which
// CloseComm and a new OpenComm work.

#include "comport.h"
#include "frmvekcom.h"
#include "ptytarget.h"
#include "qtserialline.h"
#include "recordingprompts.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QThread>
#include <QtTest>
#include <memory>
#include <sys/resource.h>

using namespace vek;
using vek::sim::Fault;
using vek::sim::PtyTarget;
using vek::sim::TargetOptions;
using vek::testing::RecordingPrompts;

namespace {

// '?', '?', CR, five key bytes, 'V', CR: the first byte of the first
// command after connecting is number 10.
constexpr int Connected = 10;
constexpr int TimeoutMs = SerialLine::ReadTimeoutMs;

qint64 cpuMs()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return qint64(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000;
}

// Wall and processor time around one action.
struct Cost {
    qint64 wallMs = 0;
    qint64 cpuMs = 0;
};
template<typename F>
Cost measure(F &&f)
{
    QElapsedTimer t;
    const qint64 c0 = cpuMs();
    t.start();
    f();
    return {t.elapsed(), cpuMs() - c0};
}

// A window on a QtSerialLine, with a tenth of each fixed wait.
struct Rig {
    std::unique_ptr<PtyTarget> target;
    QtSerialLine line;
    RecordingPrompts prompts;
    std::unique_ptr<TfrmVekComm> window;

    explicit Rig(const TargetOptions &options)
    {
        Comport::ResetState();
        startTarget(options);
        WindowDeps deps;
        deps.line = &line;
        deps.prompts = &prompts;
        deps.sleepMs = [](int ms) { QThread::msleep(ulong(ms / 10)); };
        deps.extraPorts = {target->devicePath()};
        deps.platformPorts = QStringList{};
        window = std::make_unique<TfrmVekComm>(deps);
        window->show();
        QApplication::setActiveWindow(window.get());
    }
    ~Rig()
    {
        if (window->CommOpen)
            window->btnOpenClose->click();
        window.reset();
        target->stop();
    }
    // A target that is back: a new one on a new device, chosen in the list.
    void startTarget(const TargetOptions &options)
    {
        if (target)
            target->stop();
        target = std::make_unique<PtyTarget>(options);
        QVERIFY(target->start());
        if (window) {
            window->cbPorts->insertItem(0, target->devicePath());
            window->cbPorts->setCurrentIndex(0);
        }
    }
    void click() { window->btnOpenClose->click(); }

    // The row, bit-panel-free commands the window sends.
    void read()
    {
        window->rows[0].edtAddr->setText(QStringLiteral("02A"));
        window->Editing = true;
        window->edtAddrExit(0);
    }
    void write()
    {
        window->RowAddr[0] = 0x2A;
        window->rows[0].chkHex->setChecked(true);
        window->rows[0].edtData->setText(QStringLiteral("5C"));
        window->Editing = true;
        window->edtDataExit(0);
    }
    void test()
    {
        window->Editing = false;
        char key = '+';
        window->edtTestKeyPress(key);
    }
    void run(const QString &command)
    {
        if (command == QLatin1String("read"))
            read();
        else if (command == QLatin1String("write"))
            write();
        else
            test();
    }
    QStringList takeMessages()
    {
        const QStringList m = prompts.messages();
        prompts.clear();
        return m;
    }
    // CloseComm works, and so does OpenComm on a healthy target.
    void checkRecovers()
    {
        QVERIFY(window->CommOpen);
        click();
        QVERIFY(!window->CommOpen);
        QCOMPARE(window->btnOpenClose->text(), QStringLiteral("OpenComm"));
        QCOMPARE(takeMessages(), QStringList());
        startTarget({});
        click();
        QVERIFY2(window->CommOpen, qPrintable(prompts.log.join('\n')));
        QCOMPARE(window->lblVekVer->text(), QString::fromLatin1(TargetOptions{}.ident));
        read();
        QCOMPARE(takeMessages(), QStringList());
        QCOMPARE(target->lines().last(), QByteArray("A02A"));
    }
};

struct VekctlResult {
    int code = -1;
    QString err;
    qint64 wallMs = 0;
};

VekctlResult runVekctl(const QStringList &args)
{
    QProcess p;
    QElapsedTimer t;
    t.start();
    p.start(QStringLiteral(VEKCTL_PATH), args);
    VekctlResult r;
    if (!p.waitForFinished(30000)) {
        p.kill();
        p.waitForFinished();
        r.err = QStringLiteral("vekctl did not finish");
        return r;
    }
    r.wallMs = t.elapsed();
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

} // namespace

class TestFaults : public QObject {
    Q_OBJECT

private slots:
    void silentDuringConnection_data();
    void silentDuringConnection();
    void commandFaults_data();
    void commandFaults();
    void longIdentification_data();
    void longIdentification();
    void pulledAdapter();
    void vekctlFaults_data();
    void vekctlFaults();
};

void TestFaults::silentDuringConnection_data()
{
    QTest::addColumn<int>("after");
    QTest::addColumn<bool>("opens");
    QTest::addColumn<QStringList>("linkMessages");
    QTest::addColumn<int>("timeouts");
    QTest::newRow("from the start") << 0 << false << QStringList{} << 1;
    QTest::newRow("after the calibration characters") << 2 << false << QStringList{} << 1;
    QTest::newRow("after the handshake CR") << 3 << false << QStringList{"Echo not received"} << 1;
    QTest::newRow("at the last key byte") << 7 << false << QStringList{"Echo not received"} << 1;
    QTest::newRow("at the identification query") << 8 << true << QStringList{"Echo not received"} << 1;
    QTest::newRow("at the end of the query") << 9 << true << QStringList{"Echo not received"} << 1;
}

void TestFaults::silentDuringConnection()
{
    QFETCH(int, after);
    QFETCH(bool, opens);
    QFETCH(QStringList, linkMessages);
    QFETCH(int, timeouts);
    TargetOptions options;
    options.fault = Fault::Silent;
    options.faultAfter = after;
    Rig rig(options);
    const QString port = rig.window->cbPorts->currentText();

    const Cost cost = measure([&] { rig.click(); });
    QCOMPARE(rig.window->CommOpen, opens);
    QStringList expected = linkMessages;
    if (!opens)
        expected << port + QStringLiteral(" is not responding");
    QCOMPARE(rig.takeMessages(), expected);
    QVERIFY2(cost.wallMs < 150 + timeouts * TimeoutMs + 3000, qPrintable(QString::number(cost.wallMs)));
    if (opens) {
        QCOMPARE(rig.window->lblVekVer->text(), QString());
        rig.checkRecovers();
    } else {
        QCOMPARE(rig.window->btnOpenClose->text(), QStringLiteral("OpenComm"));
        QVERIFY(rig.window->cbPorts->isEnabled());
        // Open again once the target is back.
        rig.startTarget({});
        rig.click();
        QVERIFY2(rig.window->CommOpen, qPrintable(rig.prompts.log.join('\n')));
    }
}

void TestFaults::commandFaults_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("after");
    QTest::addColumn<bool>("longReplyPrompt");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<int>("timeouts");
    QTest::addColumn<QByteArray>("lineRun");

    const int wrong = int(Fault::WrongEcho), none = int(Fault::NoEcho), noPrompt = int(Fault::NoPrompt);
    const int longReply = int(Fault::LongReply), hangUp = int(Fault::HangUp);
    const QStringList readFailure{"Read Failure", "Echo not received", "Read Failure"};

    // The middle of "A02A" CR is the '2', of "A02A=5C" CR the second 'A'.
    QTest::newRow("read, wrong echo") << "read" << wrong << Connected + 2 << true
                                      << QStringList{"File read failed"} << 1 << QByteArray();
    QTest::newRow("read, no echo") << "read" << none << Connected + 2 << true
                                   << QStringList{"Echo not received", "File read failed"} << 2 << QByteArray();
    QTest::newRow("write, wrong echo") << "write" << wrong << Connected + 3 << true
                                       << QStringList{"File write failed"} << 1 << QByteArray();
    QTest::newRow("write, no echo") << "write" << none << Connected + 3 << true
                                    << QStringList{"Echo not received", "File write failed"} << 2 << QByteArray();
    QTest::newRow("test, no echo") << "test" << none << Connected + 1 << true
                                   << QStringList{"Echo not received", "File write failed"} << 2 << QByteArray();
    QTest::newRow("read, no prompt") << "read" << noPrompt << Connected << true
                                     << QStringList{"File read failed"} << 1 << QByteArray("A02A");
    QTest::newRow("write, no prompt") << "write" << noPrompt << Connected << true
                                      << QStringList{"File write failed"} << 1 << QByteArray("A02A=5C");
    QTest::newRow("test, no prompt") << "test" << noPrompt << Connected << true
                                     << QStringList{"File write failed"} << 1 << QByteArray("T01");
    QTest::newRow("read, 10000 bytes and prompt") << "read" << longReply << Connected << true
                                                  << QStringList{"Invalid reply from target"} << 0
                                                  << QByteArray("A02A");
    QTest::newRow("read, 10000 bytes, no prompt") << "read" << longReply << Connected << false
                                                  << QStringList{"File read failed"} << 1 << QByteArray("A02A");
    QTest::newRow("read, hang-up") << "read" << hangUp << Connected + 2 << true
                                   << (readFailure + QStringList{"File read failed"}) << 0 << QByteArray();
    QTest::newRow("write, hang-up") << "write" << hangUp << Connected + 3 << true
                                    << (readFailure + QStringList{"File write failed"}) << 0 << QByteArray();
    QTest::newRow("test, hang-up") << "test" << hangUp << Connected + 1 << true
                                   << (readFailure + QStringList{"File write failed"}) << 0 << QByteArray();
}

void TestFaults::commandFaults()
{
    QFETCH(QString, command);
    QFETCH(int, fault);
    QFETCH(int, after);
    QFETCH(bool, longReplyPrompt);
    QFETCH(QStringList, messages);
    QFETCH(int, timeouts);
    QFETCH(QByteArray, lineRun);
    TargetOptions options;
    options.fault = Fault(fault);
    options.faultAfter = after;
    options.longReplyPrompt = longReplyPrompt;
    Rig rig(options);
    rig.click();
    QVERIFY2(rig.window->CommOpen, qPrintable(rig.prompts.log.join('\n')));
    QCOMPARE(rig.takeMessages(), QStringList());
    rig.target->clearLog();

    const Cost cost = measure([&] { rig.run(command); });
    QCOMPARE(rig.takeMessages(), messages);
    // The command never ran unless it arrived whole.
    QCOMPARE(rig.target->lines(), lineRun.isEmpty() ? QList<QByteArray>{} : QList<QByteArray>{lineRun});
    const QString costs = QStringLiteral("%1 ms, %2 ms processor").arg(cost.wallMs).arg(cost.cpuMs);
    if (Fault(fault) == Fault::HangUp) {
        // A hung-up line fails at once: nothing may wait for a time-out, nor
        // spin in its place.
        QVERIFY2(cost.wallMs < TimeoutMs, qPrintable(costs));
        QVERIFY2(cost.cpuMs < TimeoutMs, qPrintable(costs));
    } else {
        QVERIFY2(cost.wallMs < timeouts * TimeoutMs + 3000, qPrintable(costs));
    }
    rig.checkRecovers();
}

void TestFaults::longIdentification_data()
{
    QTest::addColumn<bool>("prompt");
    QTest::newRow("10000 bytes and prompt") << true;
    QTest::newRow("10000 bytes, no prompt") << false;
}

// An identification of any length keeps to the 49 characters the window
// shows; without its prompt the connection still opens.
void TestFaults::longIdentification()
{
    QFETCH(bool, prompt);
    TargetOptions options;
    options.fault = Fault::LongReply;
    options.longReplyPrompt = prompt;
    Rig rig(options);
    rig.click();
    QVERIFY(rig.window->CommOpen);
    QCOMPARE(rig.takeMessages(), QStringList());
    QCOMPARE(Comport::VerText.size(), Comport::VerTextMax);
    QCOMPARE(rig.window->lblVekVer->text().size(), Comport::VerTextMax);
    rig.checkRecovers();
}

// The adapter pulled while the window is open: the next command fails at
// once, without a time-out.
void TestFaults::pulledAdapter()
{
    Rig rig({});
    rig.click();
    QVERIFY(rig.window->CommOpen);
    rig.target->hangUp();
    QTRY_VERIFY(rig.target->isHungUp());
    const Cost cost = measure([&] { rig.read(); });
    const QStringList messages = rig.takeMessages();
    QVERIFY2(!messages.isEmpty(), "a read on a hung-up line must fail");
    QCOMPARE(messages.last(), QStringLiteral("File read failed"));
    QVERIFY2(cost.wallMs < TimeoutMs && cost.cpuMs < TimeoutMs,
             qPrintable(QStringLiteral("%1 ms, %2 ms processor").arg(cost.wallMs).arg(cost.cpuMs)));
    rig.checkRecovers();
}

void TestFaults::vekctlFaults_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("after");
    QTest::addColumn<bool>("longReplyPrompt");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("err");
    QTest::addColumn<int>("timeouts");

    const QStringList read{"-p", "DEV", "read", "02A"};
    QTest::newRow("silent after the handshake CR") << read << int(Fault::Silent) << 3 << true << 3
        << "vekctl: Echo not received\nvekctl: DEV is not responding\n" << 1;
    QTest::newRow("no echo in a read") << read << int(Fault::NoEcho) << Connected + 2 << true << 1
        << "vekctl: Echo not received\nvekctl: File read failed\nvekctl: read 02A failed\n" << 2;
    QTest::newRow("wrong echo in a test") << QStringList{"-p", "DEV", "test", "1"} << int(Fault::WrongEcho)
        << Connected + 1 << true << 1 << "vekctl: File write failed\nvekctl: test 1 failed\n" << 1;
    QTest::newRow("10000 bytes and prompt") << read << int(Fault::LongReply) << Connected << true << 1
        << "vekctl: Invalid reply from target\nvekctl: read 02A failed\n" << 0;
    QTest::newRow("10000 bytes, no prompt") << read << int(Fault::LongReply) << Connected << false << 1
        << "vekctl: File read failed\nvekctl: read 02A failed\n" << 1;
    QTest::newRow("hang-up in a write") << QStringList{"-p", "DEV", "write", "02A=5C"} << int(Fault::HangUp)
        << Connected + 3 << true << 1
        << "vekctl: Read Failure\nvekctl: Echo not received\nvekctl: Read Failure\n"
           "vekctl: File write failed\nvekctl: write 02A=5C failed\n" << 0;
}

void TestFaults::vekctlFaults()
{
    QFETCH(QStringList, args);
    QFETCH(int, fault);
    QFETCH(int, after);
    QFETCH(bool, longReplyPrompt);
    QFETCH(int, code);
    QFETCH(QString, err);
    QFETCH(int, timeouts);
    TargetOptions options;
    options.fault = Fault(fault);
    options.faultAfter = after;
    options.longReplyPrompt = longReplyPrompt;
    PtyTarget target(options);
    QVERIFY(target.start());
    const QString dev = target.devicePath();
    args.replaceInStrings(QStringLiteral("DEV"), dev);
    const VekctlResult r = runVekctl(args);
    QCOMPARE(r.err, QString(err).replace(QLatin1String("DEV"), dev));
    QCOMPARE(r.code, code);
    // The connection's fixed waits are 1.5 s; the rest is time-outs.
    QVERIFY2(r.wallMs < 1500 + timeouts * TimeoutMs + 5000, qPrintable(QString::number(r.wallMs)));
    target.stop();
}

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
