// Faults on a real pseudo-terminal: a simulated target that goes silent,
// echoes wrongly, forgets its prompt, talks too much or hangs up, seen from
// the window (vekctl shares the link; tst_vekctl checks how it reports).
// Every case must give the link's messages in their order, end within its
// time-outs and leave a state from which CloseComm and a new OpenComm work.

#include "comport.h"
#include "frmvekcom.h"
#include "ptytarget.h"
#include "qtserialline.h"
#include "recordingprompts.h"

#include <QtTest>
#include <QtWidgets>
#include <ctime>
#include <memory>

using namespace vek;
using namespace vek::sim;
Q_DECLARE_METATYPE(vek::sim::TargetOptions)

namespace {

// '?', '?', CR, five key bytes, 'V', CR: the first byte of the first
// command after connecting is number 10.
constexpr int Connected = 10;
constexpr int TimeoutMs = SerialLine::ReadTimeoutMs;

// Processor time of the whole process, all threads.
qint64 cpuMs() { return qint64(std::clock()) * 1000 / CLOCKS_PER_SEC; }

// The window's way of giving a command as vekctl names it (row 1, test field).
void run(TfrmVekComm &w, const QString &command)
{
    w.Editing = !command.startsWith(u't');
    if (command == QLatin1String("read 02A")) {
        w.rows[0].edtAddr->setText(QStringLiteral("02A"));
        w.edtAddrExit(0);
    } else if (command == QLatin1String("write 02A=5C")) {
        w.RowAddr[0] = 0x2A;
        w.rows[0].chkHex->setChecked(true);
        w.rows[0].edtData->setText(QStringLiteral("5C"));
        w.edtDataExit(0);
    } else {   // "test 1"
        char key = '+';
        w.edtTestKeyPress(key);
    }
}

// The window on a QtSerialLine, with a tenth of each fixed wait.
struct Window {
    QtSerialLine line;
    testing::RecordingPrompts prompts;
    TfrmVekComm w;
    explicit Window(const QStringList &ports)
        : w((Comport::ResetState(), WindowDeps{&line, &prompts, [](int ms) { QThread::msleep(ulong(ms / 10)); }, ports,
                                               QStringList{}}))
    {
        w.show();
        QApplication::setActiveWindow(&w);
    }
    // OpenComm on a healthy target, and a read through it.
    bool openHealthy(PtyTarget &target)
    {
        w.cbPorts->insertItem(0, target.devicePath());
        w.cbPorts->setCurrentIndex(0);
        w.btnOpenClose->click();
        if (!w.CommOpen)
            return false;
        run(w, QStringLiteral("read 02A"));
        return prompts.messages().isEmpty() && target.lines().endsWith("A02A");
    }
};

} // namespace

class TestFaults : public QObject {
    Q_OBJECT

private slots:
    void faults_data()
    {
        QTest::addColumn<QString>("command");   // empty: the connection itself
        QTest::addColumn<TargetOptions>("options");
        QTest::addColumn<QStringList>("messages");
        QTest::addColumn<int>("timeouts");
        QTest::addColumn<QByteArray>("ran");    // the line the target ran, if it arrived whole
        const auto row = [](const char *name, const char *command, Fault fault, int after, const QStringList &messages,
                            int timeouts, const QByteArray &ran = {}, bool prompt = true) {
            TargetOptions o;
            o.fault = fault;
            o.faultAfter = after;
            o.longReplyPrompt = prompt;
            QTest::newRow(name) << command << o << messages << timeouts << ran;
        };
        const QString noEcho = QStringLiteral("Echo not received"), gone = QStringLiteral("PORT is not responding");
        // Silent from each step the host reads: handshake CR, key bytes, identification query.
        row("silent after the calibration characters", "", Fault::Silent, 2, {gone}, 1);
        row("silent in the key bytes", "", Fault::Silent, 3, {noEcho, gone}, 1);
        row("silent at the identification query", "", Fault::Silent, 8, {noEcho}, 1);
        row("identification of 10000 bytes, no prompt", "", Fault::LongReply, 0, {}, 1, {}, false);
        // The middle of "A02A" CR is the '2', of "A02A=5C" CR the second 'A'.
        row("read, wrong echo", "read 02A", Fault::WrongEcho, Connected + 2, {"File read failed"}, 1);
        row("write, no echo", "write 02A=5C", Fault::NoEcho, Connected + 3, {noEcho, "File write failed"}, 2);
        row("test, no prompt", "test 1", Fault::NoPrompt, Connected, {"File write failed"}, 1, "T01");
        row("read, 10000 bytes and prompt", "read 02A", Fault::LongReply, Connected, {"Invalid reply from target"}, 0,
            "A02A");
        row("read, 10000 bytes, no prompt", "read 02A", Fault::LongReply, Connected, {"File read failed"}, 1, "A02A", false);
        row("write, hang-up", "write 02A=5C", Fault::HangUp, Connected + 3,
            {"Read Failure", noEcho, "Read Failure", "File write failed"}, 0);
    }

    void faults()
    {
        QFETCH(QString, command);
        QFETCH(TargetOptions, options);
        QFETCH(QStringList, messages);
        QFETCH(int, timeouts);
        QFETCH(QByteArray, ran);
        auto target = std::make_unique<PtyTarget>(options);
        QVERIFY(target->start());
        const bool opens = !messages.join(u'|').contains(QLatin1String("not responding"));
        Window window({target->devicePath()});
        if (!command.isEmpty()) {
            window.w.btnOpenClose->click();
            QVERIFY2(window.w.CommOpen && window.prompts.messages().isEmpty(), qPrintable(window.prompts.log.join('\n')));
            target->clearLog();
        }

        QElapsedTimer wall;
        const qint64 cpu0 = cpuMs();
        wall.start();
        command.isEmpty() ? window.w.btnOpenClose->click() : run(window.w, command);
        const qint64 wallMs = wall.elapsed(), cpu = cpuMs() - cpu0;
        QCOMPARE(window.prompts.messages(), QStringList(messages).replaceInStrings("PORT", window.w.cbPorts->currentText()));
        window.prompts.clear();
        QCOMPARE(window.w.CommOpen, opens);
        QVERIFY(window.w.lblVekVer->text().size() <= Comport::VerTextMax);
        if (!command.isEmpty())   // the command never ran unless it arrived whole
            QCOMPARE(target->lines(), ran.isEmpty() ? QList<QByteArray>{} : QList<QByteArray>{ran});
        // A hung-up line fails at once: nothing may wait for a time-out, nor spin in its place.
        const bool hangUp = options.fault == Fault::HangUp;
        QVERIFY2(wallMs < (hangUp ? TimeoutMs : 150 + timeouts * TimeoutMs + 3000) && (!hangUp || cpu < TimeoutMs),
                 qPrintable(QStringLiteral("%1 ms, %2 ms processor").arg(wallMs).arg(cpu)));

        // CloseComm works, and OpenComm does once a healthy target is back on a new device.
        if (window.w.CommOpen)
            window.w.btnOpenClose->click();
        QVERIFY(!window.w.CommOpen && window.w.cbPorts->isEnabled());
        QCOMPARE(window.w.btnOpenClose->text(), QStringLiteral("OpenComm"));
        target = std::make_unique<PtyTarget>();
        QVERIFY(target->start());
        QVERIFY(window.openHealthy(*target));
        QCOMPARE(window.w.lblVekVer->text(), QString::fromLatin1(TargetOptions{}.ident));
        window.w.btnOpenClose->click();
    }

    // An adapter pulled out while the window is idle and Open: the window
    // then uses no processor time, idle or with a box up, every command fails
    // at once with the link's messages, CloseComm closes the port, and
    // OpenComm works on a target that is back.
    void hangUpWhileOpen_data()
    {
        QTest::addColumn<bool>("boxUp");   // idle inside the first box of a command
        QTest::newRow("idle") << false;
        QTest::newRow("message box up") << true;
    }

    void hangUpWhileOpen()
    {
        QFETCH(bool, boxUp);
        Window window({});
        // Whether the port's read notifier ends up spinning depends on what the
        // read finds after the hang-up; a few tries make it show.
        for (int attempt = 0; attempt < 3; ++attempt) {
            PtyTarget target;
            QVERIFY(target.start());
            window.w.cbPorts->insertItem(0, target.devicePath());
            window.w.cbPorts->setCurrentIndex(0);
            window.w.btnOpenClose->click();
            QVERIFY2(window.w.CommOpen && window.prompts.log.isEmpty(), qPrintable(window.prompts.log.join('\n')));

            // A fault detector, not a benchmark: a busy event loop takes most of its time.
            constexpr int IdleMs = 333;
            qint64 idleCpu = -1;
            const auto idle = [&] {
                const qint64 cpu0 = cpuMs();
                QEventLoop loop;
                QTimer::singleShot(IdleMs, &loop, &QEventLoop::quit);
                loop.exec();
                idleCpu = cpuMs() - cpu0;
            };
            target.hangUp();
            if (boxUp)
                window.prompts.whileShown = [&] { if (idleCpu < 0) idle(); };
            else
                idle();
            QElapsedTimer wall;
            wall.start();
            for (const char *command : {"read 02A", "write 02A=5C", "test 1"})
                run(window.w, QString::fromLatin1(command));
            const qint64 commandsMs = wall.elapsed() - (boxUp ? IdleMs : 0);
            window.prompts.whileShown = nullptr;
            QVERIFY2(idleCpu >= 0 && idleCpu < IdleMs / 4, qPrintable(QStringLiteral("%1 ms processor").arg(idleCpu)));
            QVERIFY2(commandsMs < TimeoutMs, qPrintable(QStringLiteral("%1 ms").arg(commandsMs)));
            const QStringList dead{"Write failed", "Read Failure"};
            QCOMPARE(window.prompts.messages(), dead + QStringList{"File read failed"} + dead + QStringList{"File write failed"}
                                                    + dead + QStringList{"File write failed"});
            window.prompts.clear();
            QVERIFY(window.w.CommOpen);
            window.w.btnOpenClose->click();
            QVERIFY(!window.w.CommOpen && !Comport::IsOpen());
            QCOMPARE(window.prompts.log, QStringList());
        }
        PtyTarget target;   // OpenComm after a hang-up works
        QVERIFY(target.start());
        QVERIFY(window.openHealthy(target));
        window.w.btnOpenClose->click();
    }
};

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
