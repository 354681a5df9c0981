// Faults on a real pseudo-terminal: a simulated target that goes silent,
// echoes wrongly, forgets its prompt, talks too much or hangs up, seen from
// the window (vekctl shares the link; tst_vekctl checks how it reports).
// Every case must give the link's messages in their order, end within its
// time-outs and leave a state from which CloseComm and a new OpenComm work.

#include "comport.h"
#include "frmvekcom.h"
#include "heldcommand.h"
#include "ptytarget.h"
#include "qtserialline.h"
#include "recordingprompts.h"

#include <QtTest>
#include <QtWidgets>
#include <ctime>
#include <memory>

using namespace vek;
using namespace vek::sim;
using namespace Qt::StringLiterals;
Q_DECLARE_METATYPE(vek::sim::TargetOptions)

namespace {

// '?', '?', CR, five key bytes, 'V', CR: the first byte of the first
// command after connecting is number 10.
constexpr int Connected = 10;
constexpr int TimeoutMs = SerialLine::ReadTimeoutMs;

// Processor time of the whole process, all threads.
qint64 cpuMs() { return qint64(std::clock()) * 1000 / CLOCKS_PER_SEC; }

// The window's way of giving a command as vekctl names it, by keys: "read
// 02A" and "write 02A=5C" on row 1, which watches 02A in hex, "test 1" by +
// in the test field.
void run(const TfrmVekComm::Probe &w, const QString &command)
{
    QLineEdit *field = command.startsWith(u't') ? w.edtTest : command.startsWith(u'w') ? w.rows[0].edtData : w.rows[0].edtAddr;
    field->setFocus(Qt::OtherFocusReason);
    QTest::keyClicks(field, command.startsWith(u't') ? "+" : command.startsWith(u'w') ? "5C\r" : "2A\r");
}

} // namespace

class TestFaults : public QObject {
    Q_OBJECT

private slots:
    void faults_data()
    {
        QTest::addColumn<QString>("commands");   // empty: the connection itself
        QTest::addColumn<TargetOptions>("options");
        QTest::addColumn<QStringList>("messages");
        QTest::addColumn<int>("timeouts");
        QTest::addColumn<QByteArray>("ran");     // the line the target ran, if it arrived whole
        QTest::addColumn<int>("idle");           // hung up while Open, then idle: -1 no, 0 idle, 1 with a box up
        const auto row = [](const QString &name, const char *commands, Fault fault, int after, const QStringList &messages,
                            int timeouts, const QByteArray &ran = {}, bool prompt = true, int idle = -1) {
            TargetOptions o;
            o.fault = fault;
            o.faultAfter = after;
            o.longReplyPrompt = prompt;
            QTest::newRow(qPrintable(name)) << commands << o << messages << timeouts << ran << idle;
        };
        const QString noEcho = QStringLiteral("Echo not received"), gone = QStringLiteral("PORT is not responding");
        // Silent from each step the host reads: handshake CR, key bytes, identification query.
        row("silent after the calibration characters", "", Fault::Silent, 2, {gone}, 1);
        row("silent in the key bytes", "", Fault::Silent, 3, {noEcho, gone}, 1);
        row("silent at the identification query", "", Fault::Silent, 8, {noEcho, Link::PartialText("V")}, 1);
        row("identification of 10000 bytes, no prompt", "", Fault::LongReply, 0, {}, 1, {}, false);
        // The middle of "A02A" CR is the '2', of "A02A=5C" CR the second 'A'.
        row("read, wrong echo", "read 02A", Fault::WrongEcho, Connected + 2, {"File read failed", Link::PartialText("A02")}, 1);
        row("write, no echo", "write 02A=5C", Fault::NoEcho, Connected + 3, {noEcho, "File write failed", Link::PartialText("A02A")}, 2);
        row("test, no prompt", "test 1", Fault::NoPrompt, Connected, {"File write failed"}, 1, "T01");
        row("read, 10000 bytes and prompt", "read 02A", Fault::LongReply, Connected, {"Invalid reply from target"}, 0,
            "A02A");
        row("read, 10000 bytes, no prompt", "read 02A", Fault::LongReply, Connected, {"File read failed"}, 1, "A02A", false);
        // A lost line: the first box of each command says why, and so does the window until CloseComm.
        const QString why = QStringLiteral("|the line hung up (the adapter was removed or the other end closed)");
        row("write, hang-up", "write 02A=5C", Fault::HangUp, Connected + 3,
            {"Read Failure" + why, noEcho, "Read Failure", "File write failed", Link::PartialText("A02A")}, 0);
        // An adapter pulled out while the window is idle and Open: the window
        // then uses no processor time, idle or with a box up, and every command
        // fails at once. Whether the port's read notifier ends up spinning
        // depends on what the read finds after the hang-up; a few tries make it show.
        const QStringList dead{"Write failed" + why, "Read Failure"};
        for (int attempt = 1; attempt <= 3; ++attempt) {
            for (int idle : {0, 1})
                row(QStringLiteral("hang-up while idle%1, #%2").arg(idle ? ", a box up" : "").arg(attempt),
                    "read 02A,write 02A=5C,test 1", Fault::None, 0,
                    dead + QStringList{"File read failed"} + dead + QStringList{"File write failed"} + dead
                        + QStringList{"File write failed"},
                    0, {}, true, idle);
        }
    }

    void faults()
    {
        QFETCH(QString, commands);
        QFETCH(TargetOptions, options);
        QFETCH(QStringList, messages);
        QFETCH(int, timeouts);
        QFETCH(int, idle);
        auto target = std::make_unique<PtyTarget>(options);
        QVERIFY(target->start());
        QtSerialLine line;
        testing::RecordingPrompts prompts;
        QTemporaryDir records;
        HeldCommandFiles held(records.path());
        // The window on a QtSerialLine, with a tenth of each fixed wait.
        TfrmVekComm window(WindowDeps{&line, &prompts, [](int ms) { QThread::msleep(ulong(ms / 10)); },
                                      {target->devicePath()}, QStringList{}, {}, &held});
        window.show();
        QApplication::setActiveWindow(&window);
        const TfrmVekComm::Probe w(window);
        w.rows[0].chkHex->setChecked(true);
        run(w, QStringLiteral("read 02A"));   // closed: only the address is set
        if (!commands.isEmpty()) {
            w.btnOpenClose->click();
            QVERIFY2(w.CommOpen && prompts.log.isEmpty(), qPrintable(prompts.log.join('\n')));
            target->clearLog();
        }
        // A fault detector, not a benchmark: a busy event loop takes most of its time.
        constexpr int IdleMs = 333;
        qint64 idleCpu = -1;
        const auto rest = [&] {
            const qint64 cpu0 = cpuMs();
            QEventLoop loop;
            QTimer::singleShot(IdleMs, &loop, &QEventLoop::quit);
            loop.exec();
            idleCpu = cpuMs() - cpu0;
        };
        if (idle >= 0)
            target->hangUp();
        if (idle == 1)
            prompts.whileShown = [&] { if (idleCpu < 0) rest(); };
        else if (idle == 0)
            rest();

        QElapsedTimer wall;
        const qint64 cpu0 = cpuMs();
        wall.start();
        if (commands.isEmpty())
            w.btnOpenClose->click();
        for (const QString &command : commands.split(u',', Qt::SkipEmptyParts))
            run(w, command);
        const qint64 wallMs = wall.elapsed() - (idle == 1 ? IdleMs : 0), cpu = cpuMs() - cpu0;
        prompts.whileShown = nullptr;
        // The messages, and the line open unless the target never answered.
        QCOMPARE(prompts.messages() << u"open %1"_s.arg(w.CommOpen), QStringList(messages).replaceInStrings("PORT", w.cbPorts->currentText())
                                                                 << u"open %1"_s.arg(!messages.join(u'|').contains(u"not responding"_s)));
        prompts.clear();
        QVERIFY(w.lblVekVer->text().size() <= Link::VerTextMax);
        const bool lost = messages.join(u' ').contains(u'|');
        QCOMPARE(w.lblVekVer->toolTip().startsWith(u"line lost: the line hung up"_s), lost && w.CommOpen);
        QFETCH(QByteArray, ran);
        if (!commands.isEmpty())   // the command never ran unless it arrived whole
            QCOMPARE(target->lines(), ran.isEmpty() ? QList<QByteArray>{} : QList<QByteArray>{ran});
        // A hung-up line fails at once: nothing may wait for a time-out, nor spin in its place.
        const bool hangUp = options.fault == Fault::HangUp || idle >= 0;
        QVERIFY2(wallMs < (hangUp ? TimeoutMs : 150 + timeouts * TimeoutMs + 3000) && (!hangUp || cpu < TimeoutMs),
                 qPrintable(QStringLiteral("%1 ms, %2 ms processor").arg(wallMs).arg(cpu)));
        QVERIFY2(idle < 0 || (idleCpu >= 0 && idleCpu < IdleMs / 4), qPrintable(QStringLiteral("idle: %1 ms processor").arg(idleCpu)));

        // CloseComm works, and OpenComm does once a healthy target is back on a new device.
        if (w.CommOpen)
            w.btnOpenClose->click();
        QCOMPARE(u"%1 %2 %3 "_s.arg(w.CommOpen).arg(window.link().IsOpen()).arg(w.cbPorts->isEnabled())
                     + w.btnOpenClose->text() + prompts.log.join(u'|'), u"0 0 1 OpenComm"_s);
        // A command cut on this device, while it is there: OpenComm asks first, and Cancel sends nothing.
        if (const QString cut = messages.filter(u"may hold part"_s).value(0); !cut.isEmpty() && !hangUp) {
            const QByteArray before = target->received();
            prompts.boxAnswers << Prompts::IdCancel;
            w.btnOpenClose->click();
            QCOMPARE(prompts.log.join(u'|') + u" %1 "_s.arg(w.CommOpen) + target->received().mid(before.size()),
                     u"box OpenComm|%1.\n\nReset the target, then press OK to connect.|49 0 "_s
                         .arg(Link::HeldText(w.cbPorts->currentText(), cut.section(u", "_s, 1).section(u';', 0, 0).toLatin1())));
            prompts.clear();
        }
        target = std::make_unique<PtyTarget>();
        QVERIFY(target->start());
        w.cbPorts->insertItem(0, target->devicePath());
        w.cbPorts->setCurrentIndex(0);
        w.btnOpenClose->click();
        run(w, QStringLiteral("read 02A"));
        QCOMPARE(u"%1 "_s.arg(w.CommOpen) + prompts.log.join(u'|') + target->lines().last() + u' ' + w.lblVekVer->text(),
                 u"1 A02A "_s + QString::fromLatin1(TargetOptions{}.ident));
        w.btnOpenClose->click();
    }
};

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
