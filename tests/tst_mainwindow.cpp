// The main window's layout and its connection control, offscreen, with the
// scripted line and with a simulated target on a real pseudo-terminal.

#include "comport.h"
#include "forms.h"
#include "ptytarget.h"
#include "qtserialline.h"
#include "radiogroup.h"
#include "windowfixture.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QTest>
#include <QThread>

using namespace vek;
using namespace vek::testing;

class TestMainWindow : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QApplication::setStyle(QStringLiteral("Fusion")); }

    void layout_data();
    void layout();
    void windowFrame();
    void tabOrder();
    void everyCaptionFits();
    void fonts();

    void openAndClose_data();
    void openAndClose();
    void openFailureMessages_data();
    void openFailureMessages();
    void settingsApplyToNextOpen();
    void failedIdentificationStillOpens();
    void closeFailureStillCloses();

    void realPseudoTerminal_data();
    void realPseudoTerminal();
};

void TestMainWindow::layout_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("caption");

    QTest::newRow("label heading") << "Label5" << "QLabel" << QRect(16, 16, -1, -1) << "Label";
    QTest::newRow("addr heading") << "Label1" << "QLabel" << QRect(120, 16, -1, -1) << "Addr";
    QTest::newRow("data heading") << "Label2" << "QLabel" << QRect(168, 16, -1, -1) << "Data";
    QTest::newRow("row 1 label") << "edtLabel1" << "QLineEdit" << QRect(16, 40, 97, 21) << "";
    QTest::newRow("row 8 addr") << "edtAddr8" << "QLineEdit" << QRect(120, 264, 33, 23) << "";
    QTest::newRow("row 5 data") << "edtData5" << "QLineEdit" << QRect(168, 168, 73, 23) << "";
    QTest::newRow("hex group") << "GroupBox1" << "QGroupBox" << QRect(248, 24, 33, 265) << "Hex";
    QTest::newRow("row 3 hex box") << "chkAddr3Hex" << "QCheckBox" << QRect(8, 80, 17, 17) << "";
    QTest::newRow("bit panel") << "GroupBox2" << "QGroupBox" << QRect(8, 296, 361, 97) << "Bit Control";
    QTest::newRow("bit addr") << "edtBitAddr" << "QLineEdit" << QRect(114, 35, 33, 23) << "";
    QTest::newRow("bit label") << "edtBitLabel" << "QLineEdit" << QRect(8, 36, 97, 21) << "";
    QTest::newRow("rg7") << "rg7" << "vek::RadioGroup" << QRect(152, 25, 25, 49) << "";
    QTest::newRow("rg0") << "rg0" << "vek::RadioGroup" << QRect(320, 25, 25, 49) << "";
    QTest::newRow("bit 7 toggle") << "btn7Tog" << "QPushButton" << QRect(152, 73, 25, 17) << "T";
    QTest::newRow("bit 6 toggle") << "btn6tog" << "QPushButton" << QRect(176, 73, 25, 17) << "T";
    QTest::newRow("bit 2 toggle") << "bnt2Tog" << "QPushButton" << QRect(272, 73, 25, 17) << "T";
    QTest::newRow("bit 0 toggle") << "btn0Tog" << "QPushButton" << QRect(320, 73, 25, 17) << "T";
    QTest::newRow("bit 7 heading") << "Label13" << "QLabel" << QRect() << "7";
    QTest::newRow("bit 0 heading") << "Label6" << "QLabel" << QRect() << "0";
    QTest::newRow("item 1 caption") << "Label3" << "QLabel" << QRect() << "1";
    QTest::newRow("item 0 caption") << "Label4" << "QLabel" << QRect() << "0";
    QTest::newRow("test group") << "GroupBox3" << "QGroupBox" << QRect(320, 24, 49, 49) << "Test";
    QTest::newRow("test field") << "edtTest" << "QLineEdit" << QRect(8, 18, 33, 23) << "";
    QTest::newRow("version") << "lblVekVer" << "QLabel" << QRect(288, 80, -1, -1) << "";
    QTest::newRow("open button") << "btnOpenClose" << "QPushButton" << QRect(288, 96, 81, 25) << "OpenComm";
    QTest::newRow("baud rates") << "rgBaudRate" << "vek::RadioGroup" << QRect(288, 128, 81, 89) << "Baud Rate";
    QTest::newRow("ports group") << "gbPorts" << "QGroupBox" << QRect(288, 224, 81, 65) << "Comm Port";
    QTest::newRow("ports") << "cbPorts" << "QComboBox" << QRect(8, -1, 65, -1) << "";
}

void TestMainWindow::layout()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QRect, geometry);
    QFETCH(QString, caption);

    WindowFixture f;
    QWidget *w = f.window->control(name);
    QVERIFY2(w, qPrintable(name));
    QCOMPARE(w->objectName(), name);
    QCOMPARE(QString::fromLatin1(w->metaObject()->className()), className);
    if (geometry.isValid() || geometry.x() != 0 || geometry.y() != 0) {
        QCOMPARE(w->x(), geometry.x());
        if (geometry.y() >= 0)
            QCOMPARE(w->y(), geometry.y());
        if (geometry.width() > 0) {
            QCOMPARE(w->width(), geometry.width());
        }
        if (geometry.height() > 0)
            QCOMPARE(w->height(), geometry.height());
    }
    QString text;
    if (auto *l = qobject_cast<QLabel *>(w))
        text = l->text();
    else if (auto *b = qobject_cast<QPushButton *>(w))
        text = b->text();
    else if (auto *g = qobject_cast<QGroupBox *>(w))
        text = g->title();
    else if (auto *e = qobject_cast<QLineEdit *>(w))
        text = e->text();
    QCOMPARE(text, caption);
}

void TestMainWindow::windowFrame()
{
    WindowFixture f;
    TfrmVekComm &w = *f.window;
    QCOMPARE(w.windowTitle(), QStringLiteral("VEK MCU Communicator, Ver 2.1.0.1"));
    QCOMPARE(w.centralWidget()->size(), QSize(376, 401));
    QCOMPARE(w.minimumSize(), w.maximumSize());
    QCOMPARE(w.pos(), QPoint(217, 132));

    // Defaults of the controls.
    QCOMPARE(w.rgBaudRate->items(), (QStringList{"300", "4800", "9600"}));
    QCOMPARE(w.rgBaudRate->itemIndex(), 2);
    QCOMPARE(Comport::BaudRate, 9600);
    QCOMPARE(Comport::CalChar, uint8_t(0x3F));
    for (int bit = 0; bit < 8; ++bit) {
        QCOMPARE(w.rgBits[bit]->items(), (QStringList{"1", "0"}));
        QCOMPARE(w.rgBits[bit]->itemIndex(), 1);
    }
    for (const auto &row : w.rows) {
        QCOMPARE(row.edtLabel->toolTip(), QStringLiteral("Double click for list"));
        QVERIFY(row.edtAddr->text().isEmpty());
        QVERIFY(!row.chkHex->isChecked());
        QCOMPARE(row.edtData->width(), 73);
    }
    QCOMPARE(w.edtBitLabel->toolTip(), QStringLiteral("Double click for list"));
    QCOMPARE(w.cbPorts->count(), 2);
    QCOMPARE(w.cbPorts->currentText(), QStringLiteral("ttyS0"));
    QVERIFY(!w.cbPorts->isEditable());

    // The File menu.
    QMenu *file = w.menuBar()->findChild<QMenu *>("mnuFile");
    QVERIFY(file);
    QStringList captions;
    for (QAction *a : file->actions())
        captions << (a->isSeparator() ? QStringLiteral("-") : a->text());
    QCOMPARE(captions, (QStringList{"Open...", "Save...", "Open *.inc...", "-", "Cal Char", "-", "Exit"}));
    QCOMPARE(w.mnuCal0->text(), QStringLiteral("\"?\""));
    QCOMPARE(w.mnuCal1->text(), QStringLiteral("0x80"));
    QVERIFY(w.mnuCal0->isChecked());
    QVERIFY(!w.mnuCal1->isChecked());
}

void TestMainWindow::tabOrder()
{
    WindowFixture f;
    TfrmVekComm &w = *f.window;
    QStringList expected;
    for (int n = 1; n <= 8; ++n)
        expected << QStringLiteral("edtLabel%1").arg(n) << QStringLiteral("edtAddr%1").arg(n)
                 << QStringLiteral("edtData%1").arg(n);
    // rg7 ... rg0 stand for their items here.
    for (int bit = 7; bit >= 0; --bit)
        expected << QStringLiteral("rg%1").arg(bit) << QStringLiteral("rg%1").arg(bit);
    expected << "edtBitAddr" << "btn0Tog" << "btn1Tog" << "bnt2Tog" << "btn3Tog" << "btn4Tog" << "btn5Tog"
             << "btn6tog" << "btn7Tog" << "edtBitLabel";
    for (int n = 1; n <= 8; ++n)
        expected << QStringLiteral("chkAddr%1Hex").arg(n);
    expected << "edtTest" << "btnOpenClose" << "rgBaudRate" << "rgBaudRate" << "rgBaudRate" << "cbPorts";

    QStringList chain;
    QWidget *x = w.rows[0].edtLabel;
    for (int i = 0; i < expected.size(); ++i) {
        QString name = x->objectName();
        if (qobject_cast<QRadioButton *>(x))
            name = x->parentWidget()->objectName();
        chain << name;
        x = x->nextInFocusChain();
        while (x->focusPolicy() == Qt::NoFocus)   // labels, group boxes
            x = x->nextInFocusChain();
    }
    QCOMPARE(chain, expected);
}

// Every caption and every number must show whole in its control.
void TestMainWindow::everyCaptionFits()
{
    WindowFixture f;
    TfrmVekComm &w = *f.window;
    auto textRoom = [](QLineEdit *e) {
        const int frame = e->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, e);
        return e->width() - 2 * frame - 4;   // the field's own side margins
    };
    for (const auto &row : w.rows) {
        QVERIFY(row.edtData->fontMetrics().horizontalAdvance("00000000") <= textRoom(row.edtData));
        QVERIFY(row.edtAddr->fontMetrics().horizontalAdvance("FFF") <= textRoom(row.edtAddr));
        row.chkHex->setChecked(true);
        QVERIFY(row.edtData->fontMetrics().horizontalAdvance("FF") <= textRoom(row.edtData));
    }
    QVERIFY(w.edtTest->fontMetrics().horizontalAdvance("255") <= textRoom(w.edtTest));
    QVERIFY(w.edtBitAddr->fontMetrics().horizontalAdvance("FFF") <= textRoom(w.edtBitAddr));
    for (const QString &caption : {QStringLiteral("OpenComm"), QStringLiteral("CloseComm")})
        QVERIFY(w.btnOpenClose->fontMetrics().horizontalAdvance(caption) + 8 <= w.btnOpenClose->width());
    for (QLabel *l : w.findChildren<QLabel *>()) {
        if (l == w.lblVekVer)
            continue;
        QVERIFY2(l->fontMetrics().horizontalAdvance(l->text()) <= l->width(), qPrintable(l->objectName()));
        QVERIFY2(l->geometry().right() < l->parentWidget()->width(), qPrintable(l->objectName()));
    }
    for (QGroupBox *g : w.findChildren<QGroupBox *>()) {
        if (g->title().isEmpty())
            continue;
        QVERIFY2(g->fontMetrics().horizontalAdvance(g->title()) + 8 <= g->width(), qPrintable(g->objectName()));
    }
    for (QRadioButton *b : w.rgBaudRate->buttons())
        QVERIFY(b->sizeHint().width() <= b->width());
    // The simulated target's identification fits the space beside the button column.
    sim::TargetOptions demo;
    QVERIFY(w.lblVekVer->fontMetrics().horizontalAdvance(QString::fromLatin1(demo.ident)) <= 88);
}

void TestMainWindow::fonts()
{
    WindowFixture f;
    TfrmVekComm &w = *f.window;
    for (const auto &row : w.rows) {
        QVERIFY(QFontInfo(row.edtAddr->font()).fixedPitch());
        QVERIFY(QFontInfo(row.edtData->font()).fixedPitch());
        QVERIFY(!QFontInfo(row.edtLabel->font()).fixedPitch());
    }
    QVERIFY(QFontInfo(w.edtBitAddr->font()).fixedPitch());
    QVERIFY(QFontInfo(w.edtTest->font()).fixedPitch());
    QVERIFY(!QFontInfo(w.edtBitLabel->font()).fixedPitch());
}

void TestMainWindow::openAndClose_data()
{
    QTest::addColumn<bool>("doubleEcho");
    QTest::newRow("single echo") << false;
    QTest::newRow("double echo") << true;
}

void TestMainWindow::openAndClose()
{
    QFETCH(bool, doubleEcho);
    sim::TargetOptions options;
    options.doubleEcho = doubleEcho;
    options.ident = "VEK-7 1.0";
    WindowFixture f(options);
    TfrmVekComm &w = *f.window;

    QTest::mouseClick(w.btnOpenClose, Qt::LeftButton);
    QVERIFY2(w.CommOpen, qPrintable(f.line.log.join(' ')));
    QCOMPARE(f.line.openedName, QStringLiteral("ttyS0"));
    QCOMPARE(w.btnOpenClose->text(), QStringLiteral("CloseComm"));
    QVERIFY(!w.rgBaudRate->isEnabled());
    QVERIFY(!w.cbPorts->isEnabled());
    QCOMPARE(w.lblVekVer->text(), QStringLiteral("VEK-7 1.0"));
    QCOMPARE(Comport::DoubleEcho, doubleEcho);
    QCOMPARE(f.target.lines(), (QList<QByteArray>{"V"}));
    QVERIFY(f.prompts.log.isEmpty());

    QTest::mouseClick(w.btnOpenClose, Qt::LeftButton);
    QVERIFY(!w.CommOpen);
    QVERIFY(!f.line.isOpen());
    QCOMPARE(w.btnOpenClose->text(), QStringLiteral("OpenComm"));
    QVERIFY(w.rgBaudRate->isEnabled());
    QVERIFY(w.cbPorts->isEnabled());
    QVERIFY(w.lblVekVer->text().isEmpty());
    QVERIFY(Comport::VerText.isEmpty());
}

void TestMainWindow::openFailureMessages_data()
{
    QTest::addColumn<QStringList>("ports");
    QTest::addColumn<int>("openResult");
    QTest::addColumn<bool>("silent");
    QTest::addColumn<QStringList>("messages");

    using R = SerialLine::OpenResult;
    QTest::newRow("missing port") << QStringList{"ttyS9"} << int(R::CannotOpen) << false
                                  << QStringList{"Cannot open ttyS9", "ttyS9 is not responding"};
    QTest::newRow("no ports at all") << QStringList{} << int(R::CannotOpen) << false
                                     << QStringList{"Cannot open ", " is not responding"};
    QTest::newRow("line settings refused") << QStringList{"ttyS0"} << int(R::SetStateFailed) << false
                                           << QStringList{"Set comm state failed", "ttyS0 is not responding"};
    QTest::newRow("silent target") << QStringList{"ttyS0"} << int(R::Ok) << true
                                   << QStringList{"ttyS0 is not responding"};
    const QString longName = QString(120, QLatin1Char('x'));
    QTest::newRow("long name") << QStringList{longName} << int(R::CannotOpen) << false
                               << QStringList{"Cannot open " + longName, longName + " is not responding"};
}

void TestMainWindow::openFailureMessages()
{
    QFETCH(QStringList, ports);
    QFETCH(int, openResult);
    QFETCH(bool, silent);
    QFETCH(QStringList, messages);

    WindowFixture f({}, ports);
    f.line.openResult = SerialLine::OpenResult(openResult);
    if (silent)
        f.line.respond = nullptr;
    QTest::mouseClick(f.window->btnOpenClose, Qt::LeftButton);
    QCOMPARE(f.prompts.messages(), messages);
    QVERIFY(!f.window->CommOpen);
    QVERIFY(!f.line.isOpen());
    QCOMPARE(f.window->btnOpenClose->text(), QStringLiteral("OpenComm"));
    QVERIFY(f.window->cbPorts->isEnabled());
}

void TestMainWindow::settingsApplyToNextOpen()
{
    WindowFixture f;
    TfrmVekComm &w = *f.window;
    QTest::mouseClick(w.rgBaudRate->button(1), Qt::LeftButton);
    QCOMPARE(Comport::BaudRate, 4800);
    w.mnuCal1->trigger();
    QVERIFY(w.mnuCal1->isChecked() && !w.mnuCal0->isChecked());
    w.cbPorts->setCurrentIndex(1);

    QTest::mouseClick(w.btnOpenClose, Qt::LeftButton);
    QVERIFY(w.CommOpen);
    QCOMPARE(f.line.openedName, QStringLiteral("ttyS1"));
    QCOMPARE(f.line.openedBaud, 4800);
    QCOMPARE(uint8_t(f.line.written.at(0)), uint8_t(0x80));

    // While Open the menu still changes the character, for the next connection only.
    w.mnuCal0->trigger();
    QTest::mouseClick(w.btnOpenClose, Qt::LeftButton);
    f.line.written.clear();
    QTest::mouseClick(w.btnOpenClose, Qt::LeftButton);
    QVERIFY(w.CommOpen);
    QCOMPARE(f.line.written.at(0), '?');
}

void TestMainWindow::failedIdentificationStillOpens()
{
    sim::TargetOptions options;
    options.fault = sim::Fault::Silent;
    options.faultAfter = 8;   // answers the connection sequence, then nothing
    WindowFixture f(options);
    QTest::mouseClick(f.window->btnOpenClose, Qt::LeftButton);
    QVERIFY(f.window->CommOpen);
    QVERIFY(f.window->lblVekVer->text().isEmpty());
    QCOMPARE(f.prompts.messages(), QStringList{"Echo not received"});
}

void TestMainWindow::closeFailureStillCloses()
{
    WindowFixture f;
    QVERIFY(f.connect());
    f.line.failClose = true;
    QTest::mouseClick(f.window->btnOpenClose, Qt::LeftButton);
    QCOMPARE(f.prompts.messages(), QStringList{"Failed to close Com Port"});
    QVERIFY(!f.window->CommOpen);
    QCOMPARE(f.window->btnOpenClose->text(), QStringLiteral("OpenComm"));
}

void TestMainWindow::realPseudoTerminal_data()
{
    QTest::addColumn<bool>("doubleEcho");
    QTest::newRow("single echo") << false;
    QTest::newRow("double echo") << true;
}

// The whole road over a real pseudo-terminal: connect, identify, write a
// register from a row, read it back into another, close and connect again.
void TestMainWindow::realPseudoTerminal()
{
    QFETCH(bool, doubleEcho);
    sim::TargetOptions options;
    options.doubleEcho = doubleEcho;
    options.ident = "VEK-7 1.0";
    sim::PtyTarget target(options);
    QVERIFY(target.start());

    Comport::ResetState();
    QtSerialLine line;
    RecordingPrompts prompts;
    WindowDeps deps;
    deps.line = &line;
    deps.prompts = &prompts;
    // A tenth of each fixed wait: enough for the simulated target's echo of
    // the calibration character to arrive before the handshake purges it.
    deps.sleepMs = [](int ms) { QThread::msleep(ulong(ms / 10)); };
    deps.extraPorts = {target.devicePath()};
    deps.platformPorts = QStringList{};
    TfrmVekComm w(deps);
    w.show();
    QApplication::setActiveWindow(&w);

    QCOMPARE(w.cbPorts->currentIndex(), 0);
    QTest::mouseClick(w.btnOpenClose, Qt::LeftButton);
    QVERIFY2(w.CommOpen, qPrintable(prompts.log.join('\n')));
    QCOMPARE(w.lblVekVer->text(), QStringLiteral("VEK-7 1.0"));
    QCOMPARE(Comport::DoubleEcho, doubleEcho);

    w.rows[0].chkHex->setChecked(true);
    w.rows[0].edtAddr->setFocus();
    QTest::keyClicks(w.rows[0].edtAddr, "2a");
    QTest::keyClick(w.rows[0].edtAddr, Qt::Key_Return);
    QTest::keyClicks(w.rows[0].edtData, "5c");
    QTest::keyClick(w.rows[0].edtData, Qt::Key_Return);
    QTest::keyClicks(w.rows[1].edtAddr, "02A");
    QTest::keyClick(w.rows[1].edtAddr, Qt::Key_Return);
    QCOMPARE(target.reg(0x02A), uint8_t(0x5C));
    QCOMPARE(w.RowValue[1], uint8_t(0x5C));
    QCOMPARE(w.rows[1].edtData->text(), QStringLiteral("01011100"));
    QVERIFY2(prompts.log.isEmpty(), qPrintable(prompts.log.join('\n')));
    QCOMPARE(target.lines(), (QList<QByteArray>{"V", "A02A", "A02A=5C", "A02A"}));

    QTest::mouseClick(w.btnOpenClose, Qt::LeftButton);
    QVERIFY(!w.CommOpen);
    QTest::mouseClick(w.btnOpenClose, Qt::LeftButton);
    QVERIFY(w.CommOpen);

    if (const QByteArray dir = qgetenv("VEK_SHOT_DIR"); !dir.isEmpty())
        w.grab().save(QString::fromLocal8Bit(dir) + (doubleEcho ? "/open-double.png" : "/open-single.png"));
    QTest::mouseClick(w.btnOpenClose, Qt::LeftButton);
    target.stop();
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
