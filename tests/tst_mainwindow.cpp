// The main window's layout and its connection control, offscreen, with the
// scripted line, with the demo line and with a simulated target on a real
// pseudo-terminal.

#include "comport.h"
#include "lineswitch.h"
#include "ptytarget.h"
#include "qtserialline.h"
#include "simline.h"
#include "radiogroup.h"
#include "windowfixture.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QRadioButton>
#include <QStyle>
#include <QTest>
#include <QThread>

using namespace vek;
using namespace vek::testing;
Q_DECLARE_METATYPE(vek::SerialLine::OpenResult)

class TestMainWindow : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QApplication::setStyle(QStringLiteral("Fusion")); }

    void layout_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("className");
        QTest::addColumn<QList<int>>("geometry");   // x, y, width, height; -1 is not checked
        QTest::addColumn<QString>("caption");
        QTest::newRow("label") << "Label1" << "QLabel" << QList<int>{120, 16, -1, -1} << "Addr";
        QTest::newRow("field") << "edtAddr8" << "QLineEdit" << QList<int>{120, 264, 33, 23} << "";
        QTest::newRow("check box") << "chkAddr3Hex" << "QCheckBox" << QList<int>{8, 80, 17, 17} << "";
        QTest::newRow("group") << "GroupBox2" << "QGroupBox" << QList<int>{8, 296, 361, 97} << "Bit Control";
        QTest::newRow("radio group") << "rgBaudRate" << "vek::RadioGroup" << QList<int>{288, 128, 81, 89} << "Baud Rate";
        QTest::newRow("button") << "btnOpenClose" << "QPushButton" << QList<int>{288, 96, 81, 25} << "OpenComm";
        QTest::newRow("combo box") << "cbPorts" << "QComboBox" << QList<int>{8, -1, 65, -1} << "";
        QTest::newRow("bit 6 toggle") << "btn6tog" << "QPushButton" << QList<int>{176, 73, 25, 17} << "T";
        QTest::newRow("bit 2 toggle") << "bnt2Tog" << "QPushButton" << QList<int>{272, 73, 25, 17} << "T";
    }
    void layout()
    {
        QFETCH(QString, name);
        QFETCH(QString, className);
        QFETCH(QList<int>, geometry);
        QFETCH(QString, caption);
        WindowFixture f;
        QWidget *c = f.window->control(name);
        QVERIFY2(c, qPrintable(name));
        QVERIFY2(c->inherits(qPrintable(className)), c->metaObject()->className());
        const QList<int> actual{c->x(), c->y(), c->width(), c->height()};
        for (int i = 0; i < 4; ++i) {
            if (geometry[i] >= 0)
                QCOMPARE(actual[i], geometry[i]);
        }
        QCOMPARE(c->property(qobject_cast<QGroupBox *>(c) ? "title" : "text").toString(), caption);
    }

    // Caption, fixed client size, and every caption and number whole in its
    // control: numbers in a fixed-pitch font, names in a proportional one.
    void windowFrame()
    {
        WindowFixture f;
        TfrmVekComm &w = *f.window;
        QCOMPARE(w.windowTitle(), QStringLiteral("VEK MCU Communicator, Ver 2.1.0.1"));
        QCOMPARE(w.centralWidget()->size(), QSize(376, 401));
        QCOMPARE(w.minimumSize(), w.maximumSize());

        const auto fits = [](QLineEdit *e, const char *text) {
            const int frame = e->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, e);
            return QFontInfo(e->font()).fixedPitch() && e->fontMetrics().horizontalAdvance(text) <= e->width() - 2 * frame - 4;
        };
        for (const auto &row : w.rows) {
            QVERIFY(fits(row.edtData, "00000000") && fits(row.edtAddr, "FFF"));
            QVERIFY(!QFontInfo(row.edtLabel->font()).fixedPitch());
            row.chkHex->setChecked(true);
            QVERIFY(fits(row.edtData, "FF"));
        }
        QVERIFY(fits(w.edtTest, "255") && fits(w.edtBitAddr, "FFF"));
        QVERIFY(!QFontInfo(w.edtBitLabel->font()).fixedPitch());
        QVERIFY(w.btnOpenClose->fontMetrics().horizontalAdvance("CloseComm") + 8 <= w.btnOpenClose->width());
        for (QLabel *l : w.findChildren<QLabel *>()) {
            if (l != w.lblVekVer)
                QVERIFY2(l->fontMetrics().horizontalAdvance(l->text()) <= l->width(), qPrintable(l->objectName()));
        }
        for (QGroupBox *g : w.findChildren<QGroupBox *>())
            QVERIFY2(g->fontMetrics().horizontalAdvance(g->title()) + 8 <= g->width(), qPrintable(g->objectName()));
        for (QRadioButton *b : w.rgBaudRate->buttons())
            QVERIFY(b->sizeHint().width() <= b->width());
    }

    void tabOrder()
    {
        WindowFixture f;
        QStringList expected;
        for (int n = 1; n <= 8; ++n)
            expected << QStringLiteral("edtLabel%1").arg(n) << QStringLiteral("edtAddr%1").arg(n) << QStringLiteral("edtData%1").arg(n);
        for (int bit = 7; bit >= 0; --bit)   // a group is one stop
            expected << QStringLiteral("rg%1").arg(bit);
        expected << QStringLiteral("edtBitAddr btn0Tog btn1Tog bnt2Tog btn3Tog btn4Tog btn5Tog btn6tog btn7Tog edtBitLabel").split(' ');
        for (int n = 1; n <= 8; ++n)
            expected << QStringLiteral("chkAddr%1Hex").arg(n);
        expected << QStringLiteral("edtTest btnOpenClose rgBaudRate cbPorts").split(' ');
        QStringList chain;
        for (QWidget *x = f.window->rows[0].edtLabel; chain.size() < expected.size(); x = x->nextInFocusChain()) {
            if (x->focusPolicy() & Qt::TabFocus)   // not labels, group boxes, unselected items
                chain << (qobject_cast<QRadioButton *>(x) ? x->parentWidget() : x)->objectName();
        }
        QCOMPARE(chain, expected);
    }

    void openAndClose_data()
    {
        QTest::addColumn<bool>("doubleEcho");
        QTest::newRow("single echo") << false;
        QTest::newRow("double echo") << true;
    }
    void openAndClose()
    {
        QFETCH(bool, doubleEcho);
        const sim::TargetOptions options{.doubleEcho = doubleEcho, .ident = "VEK-7 1.0"};
        WindowFixture f(options);
        TfrmVekComm &w = *f.window;
        QTest::mouseClick(w.btnOpenClose, Qt::LeftButton);
        QVERIFY2(w.CommOpen, qPrintable(f.line.log.join(' ')));
        QCOMPARE(w.btnOpenClose->text(), QStringLiteral("CloseComm"));
        QVERIFY(!w.rgBaudRate->isEnabled() && !w.cbPorts->isEnabled());
        QCOMPARE(w.lblVekVer->text(), QStringLiteral("VEK-7 1.0"));
        QCOMPARE(Comport::DoubleEcho, doubleEcho);
        QCOMPARE(f.target.lines(), (QList<QByteArray>{"V"}));
        QTest::mouseClick(w.btnOpenClose, Qt::LeftButton);
        QVERIFY(!w.CommOpen && !f.line.isOpen());
        QCOMPARE(w.btnOpenClose->text(), QStringLiteral("OpenComm"));
        QVERIFY(w.rgBaudRate->isEnabled() && w.cbPorts->isEnabled() && w.lblVekVer->text().isEmpty());
        QVERIFY(f.prompts.log.isEmpty());
    }

    // A failed OpenComm leaves the port closed: one that cannot be opened (no
    // ports at all, a missing one, a long name), and one that opens but
    // refuses its settings or never answers.
    void openFailure_data()
    {
        QTest::addColumn<QString>("port");
        QTest::addColumn<SerialLine::OpenResult>("result");
        QTest::addColumn<QString>("message");   // the link's own, before " is not responding"
        using R = SerialLine::OpenResult;
        QTest::newRow("no ports") << QString() << R::CannotOpen << "Cannot open ";
        QTest::newRow("missing") << "ttyS9" << R::CannotOpen << "Cannot open ttyS9";
        QTest::newRow("long name") << QString(120, u'x') << R::CannotOpen << "Cannot open " + QString(120, u'x');
        QTest::newRow("settings refused") << "ttyS0" << R::SetStateFailed << "Set comm state failed";
        QTest::newRow("never answers") << "ttyS0" << R::Ok << "";
    }
    void openFailure()
    {
        QFETCH(QString, port);
        QFETCH(SerialLine::OpenResult, result);
        QFETCH(QString, message);
        WindowFixture f({.fault = sim::Fault::Silent}, port.isEmpty() ? QStringList() : QStringList{port});
        f.line.openResult = result;
        QTest::mouseClick(f.window->btnOpenClose, Qt::LeftButton);
        const QString gone = port + " is not responding";
        QCOMPARE(f.prompts.messages(), (message.isEmpty() ? QStringList{gone} : QStringList{message, gone}));
        QVERIFY(!f.window->CommOpen && !f.line.isOpen());
        QCOMPARE(f.window->btnOpenClose->text(), QStringLiteral("OpenComm"));
        QVERIFY(f.window->rgBaudRate->isEnabled() && f.window->cbPorts->isEnabled());
    }

    // The window's own defaults, over whatever an earlier window left in the
    // link; a port that fails to close still ends in Closed.
    void defaultsAndFailedClose()
    {
        Comport::BaudRate = 300;
        Comport::CalChar = 0x80;
        Comport::DoubleEcho = true;
        VirtualClock clock;
        FakeLine line(clock);
        sim::TargetMonitor target;
        line.respond = [&target](uint8_t b) { return target.feed(b); };
        RecordingPrompts prompts;
        TfrmVekComm w(WindowDeps{&line, &prompts, [&clock](int ms) { clock.nowMs += ms; }, {}, QStringList{"ttyS0"}});
        QVERIFY(!Comport::DoubleEcho);
        w.btnOpenClose->click();
        QVERIFY(w.CommOpen);
        QCOMPARE(line.openedBaud, 9600);
        QCOMPARE(line.written.left(2), "??");
        line.failClose = true;
        w.btnOpenClose->click();
        QCOMPARE(prompts.messages(), QStringList{"Failed to close Com Port"});
        QVERIFY(!w.CommOpen && w.rgBaudRate->isEnabled() && w.cbPorts->isEnabled() && w.lblVekVer->text().isEmpty());
        QCOMPARE(w.btnOpenClose->text(), QStringLiteral("OpenComm"));
    }

    // Bit rate, port and calibration character are used by the next OpenComm.
    void settingsApplyToNextOpen()
    {
        WindowFixture f;
        TfrmVekComm &w = *f.window;
        QTest::mouseClick(w.rgBaudRate->button(1), Qt::LeftButton);
        w.mnuCal1->trigger();
        w.cbPorts->setCurrentIndex(1);
        w.btnOpenClose->click();
        QVERIFY(w.CommOpen);
        QCOMPARE(f.line.openedName, QStringLiteral("ttyS1"));
        QCOMPARE(f.line.openedBaud, 4800);
        QCOMPARE(uint8_t(f.line.written.at(0)), uint8_t(0x80));
    }

    void realLine_data()
    {
        QTest::addColumn<bool>("demo");
        QTest::addColumn<bool>("doubleEcho");
        QTest::newRow("pseudo-terminal, single echo") << false << false;
        QTest::newRow("pseudo-terminal, double echo") << false << true;
        QTest::newRow("demo, single echo") << true << false;
        QTest::newRow("demo, double echo") << true << true;
    }
    // The whole road over a real pseudo-terminal, and over the demo line in
    // the process beside the platform's ports: connect, identify, write a
    // register from a row, read it back into another, send a test value,
    // close and connect again.
    void realLine()
    {
        QFETCH(bool, demo);
        QFETCH(bool, doubleEcho);
        const sim::TargetOptions options{.doubleEcho = doubleEcho, .ident = "VEK-7 1.0"};
        sim::PtyTarget ptyTarget(options);
        sim::ManualLineClock clock;
        sim::SimLine demoLine(options, &clock);
        VirtualClock platformClock;
        FakeLine platformLine(platformClock);
        LineSwitch demoSwitch(platformLine);
        demoSwitch.add(QStringLiteral("demo"), demoLine);
        QtSerialLine ptyLine;
        Comport::ResetState();
        RecordingPrompts prompts;
        WindowDeps deps;
        deps.prompts = &prompts;
        if (demo) {
            deps.line = &demoSwitch;
            deps.sleepMs = [&clock](int ms) { clock.advanceMs(ms); };
            deps.extraPorts = {QStringLiteral("demo")};
            deps.platformPorts = QStringList{QStringLiteral("ttyS0"), QStringLiteral("demo")};
        } else {
            QVERIFY(ptyTarget.start());
            deps.line = &ptyLine;
            // A tenth of each fixed wait: enough for the simulated target's echo of
            // the calibration character to arrive before the handshake purges it.
            deps.sleepMs = [](int ms) { QThread::msleep(ulong(ms / 10)); };
            deps.extraPorts = {ptyTarget.devicePath()};
            deps.platformPorts = QStringList{};
        }
        const auto target = [&]() -> std::pair<uint8_t, QList<QByteArray>> {
            if (demo)
                return {demoLine.target().reg(0x02A), demoLine.target().lines()};
            return {ptyTarget.reg(0x02A), ptyTarget.lines()};
        };
        TfrmVekComm w(deps);
        w.show();
        QApplication::setActiveWindow(&w);
        if (demo) {
            QCOMPARE(w.cbPorts->count(), 2);
            QCOMPARE(w.cbPorts->currentText(), QStringLiteral("demo"));
        }

        QTest::mouseClick(w.btnOpenClose, Qt::LeftButton);
        QVERIFY2(w.CommOpen, qPrintable(prompts.log.join('\n')));
        QCOMPARE(w.lblVekVer->text(), QStringLiteral("VEK-7 1.0"));
        QCOMPARE(Comport::DoubleEcho, doubleEcho);
        w.rows[0].chkHex->setChecked(true);
        w.rows[0].edtAddr->setFocus();
        for (auto [field, text] : {std::pair{w.rows[0].edtAddr, "2a"}, {w.rows[0].edtData, "5c"},
                                   {w.rows[1].edtAddr, "02A"}, {w.edtTest, "44"}}) {
            QTest::keyClicks(field, text);
            QTest::keyClick(field, Qt::Key_Return);
        }
        QCOMPARE(target().first, uint8_t(0x5C));
        QCOMPARE(w.rows[1].edtData->text(), QStringLiteral("01011100"));
        QVERIFY2(prompts.log.isEmpty(), qPrintable(prompts.log.join('\n')));
        QCOMPARE(target().second, (QList<QByteArray>{"V", "A02A", "A02A=5C", "A02A", "T2C"}));

        QTest::mouseClick(w.btnOpenClose, Qt::LeftButton);
        QVERIFY(!w.CommOpen);
        QTest::mouseClick(w.btnOpenClose, Qt::LeftButton);
        QVERIFY(w.CommOpen);
        if (const QByteArray dir = qgetenv("VEK_SHOT_DIR"); !dir.isEmpty())
            w.grab().save(QString::fromLocal8Bit(dir) + (doubleEcho ? "/open-double.png" : "/open-single.png"));
        QTest::mouseClick(w.btnOpenClose, Qt::LeftButton);
        if (demo) {   // the platform's ports are still the platform's
            w.cbPorts->setCurrentIndex(1);
            QTest::mouseClick(w.btnOpenClose, Qt::LeftButton);
            QCOMPARE(platformLine.openedName, QStringLiteral("ttyS0"));
            QVERIFY(!demoLine.isOpen());
        }
        ptyTarget.stop();
    }

    // Help and version need no display.
    void textOnly_data()
    {
        QTest::addColumn<QString>("option");
        QTest::addColumn<QString>("shows");
        QTest::newRow("help") << "--help" << "--demo";
        QTest::newRow("version") << "--version" << "vekcomm 2.1.0.1";
    }
    void textOnly()
    {
        QFETCH(QString, option);
        QFETCH(QString, shows);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *display : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
            env.remove(QLatin1String(display));
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(VEKCOMM_PATH), {option});
        QVERIFY(p.waitForFinished(30000));
        QVERIFY2(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0, p.readAllStandardError().constData());
        QVERIFY(QString::fromLocal8Bit(p.readAllStandardOutput()).contains(shows));
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
