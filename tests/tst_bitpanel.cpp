// The bit panel: its address field, the eight bit groups and the toggle
// buttons, driven by real key and mouse events against the simulated target.

#include "frmlabels.h"
#include "radiogroup.h"
#include "windowfixture.h"

#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QtTest>

using namespace vek;
using namespace vek::testing;

namespace {

using Lines = QList<QByteArray>;

bool isRed(const QLineEdit *field) { return field->palette().color(QPalette::Text) == QColor(255, 0, 0); }

// The groups' selections read as bits 7..0: index 0 is "1".
QString shownBits(const TfrmVekComm &w)
{
    QString s;
    for (int bit = 7; bit >= 0; --bit)
        s += w.rgBits[bit]->itemIndex() == 0 ? QLatin1Char('1') : QLatin1Char('0');
    return s;
}

void typeAddress(TfrmVekComm &w, const QString &text, Qt::Key commit = Qt::Key_Return)
{
    w.edtBitAddr->setFocus(Qt::OtherFocusReason);
    QTest::keyClicks(w.edtBitAddr, text);
    if (commit != Qt::Key_unknown)
        QTest::keyClick(w.edtBitAddr, commit);
}

void clickItem(TfrmVekComm &w, int bit, int index)
{
    QTest::mouseClick(w.rgBits[bit]->button(index), Qt::LeftButton);
}

} // namespace

class TestBitPanel : public QObject {
    Q_OBJECT
private slots:
    void readShowsTheRegisterAsBits();
    void clickAndToggleWriteTheWholeRegister_data();
    void clickAndToggleWriteTheWholeRegister();
    void clickToggleSequence();
    void addressEntry_data();
    void addressEntry();
    void refusedAddressStaysOpenUntilEscape_data();
    void refusedAddressStaysOpenUntilEscape();
    void showBitsSendsNothing();
    void closedConnectionSendsNothingThenOrLater();
    void sameAddressReadsAgainButLabelOnlyOnChange();
};

void TestBitPanel::readShowsTheRegisterAsBits()
{
    sim::TargetOptions opt;
    opt.registers[0x010] = 0xA5;
    WindowFixture fx(opt);
    QVERIFY(fx.connect());
    TfrmVekComm &w = *fx.window;

    typeAddress(w, "10");

    QCOMPARE(fx.takeLines(), Lines{"A010"});
    QCOMPARE(shownBits(w), QStringLiteral("10100101"));
    QCOMPARE(w.BitValue, uint8_t(0xA5));
    QCOMPARE(w.edtBitAddr->text(), QStringLiteral("010"));
    QVERIFY(!isRed(w.edtBitAddr));
    QVERIFY(!w.Editing);
    QVERIFY(fx.prompts.log.isEmpty());
}

void TestBitPanel::clickAndToggleWriteTheWholeRegister_data()
{
    QTest::addColumn<int>("bit");
    for (int bit = 0; bit < 8; ++bit)
        QTest::addRow("bit %d", bit) << bit;
}

// Every group and every toggle button works on its own bit of the register
// at the panel's address, keeping the other seven bits.
void TestBitPanel::clickAndToggleWriteTheWholeRegister()
{
    QFETCH(int, bit);
    sim::TargetOptions opt;
    opt.registers[0x123] = 0x00;
    WindowFixture fx(opt);
    QVERIFY(fx.connect());
    TfrmVekComm &w = *fx.window;
    typeAddress(w, "123");
    fx.takeLines();

    const auto line = [](int value) { return QByteArray("A123=") + QByteArray::number(value, 16).toUpper().rightJustified(2, '0'); };
    clickItem(w, bit, 0);
    QCOMPARE(fx.takeLines(), Lines{line(1 << bit)});
    QCOMPARE(w.rgBits[bit]->itemIndex(), 0);

    QTest::mouseClick(w.btnToggles[bit], Qt::LeftButton);
    QCOMPARE(fx.takeLines(), Lines{line(0)});
    QCOMPARE(w.rgBits[bit]->itemIndex(), 1);

    QTest::mouseClick(w.btnToggles[bit], Qt::LeftButton);
    QCOMPARE(fx.takeLines(), Lines{line(1 << bit)});
    QCOMPARE(fx.target.reg(0x123), uint8_t(1 << bit));
    QCOMPARE(w.BitValue, uint8_t(1 << bit));
}

void TestBitPanel::clickToggleSequence()
{
    WindowFixture fx;
    QVERIFY(fx.connect());
    TfrmVekComm &w = *fx.window;
    typeAddress(w, "6");
    QCOMPARE(fx.takeLines(), Lines{"A006"});

    clickItem(w, 3, 0);
    QTest::mouseClick(w.btnToggles[0], Qt::LeftButton);
    QTest::mouseClick(w.btnToggles[0], Qt::LeftButton);
    // Clicking the item already selected changes nothing and sends nothing.
    clickItem(w, 3, 0);

    QCOMPARE(fx.takeLines(), (Lines{"A006=08", "A006=09", "A006=08"}));
    QCOMPARE(shownBits(w), QStringLiteral("00001000"));
    QVERIFY(fx.prompts.log.isEmpty());
}

void TestBitPanel::addressEntry_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("commitKey");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<Lines>("lines");

    // The panel starts on 5 (register 005) before each entry.
    QTest::newRow("leading zeros") << "0000C" << int(Qt::Key_Return) << "00C" << Lines{"A00C"};
    QTest::newRow("lower case, left with Tab") << "fff" << int(Qt::Key_Tab) << "FFF" << Lines{"AFFF"};
    QTest::newRow("not hex, left") << "x" << int(Qt::Key_Tab) << "005" << Lines{};
    QTest::newRow("not hex, Enter") << "1g" << int(Qt::Key_Return) << "005" << Lines{};
    QTest::newRow("same address again") << "5" << int(Qt::Key_Return) << "005" << Lines{"A005"};
}

void TestBitPanel::addressEntry()
{
    QFETCH(QString, typed);
    QFETCH(int, commitKey);
    QFETCH(QString, shown);
    QFETCH(Lines, lines);
    WindowFixture fx;
    QVERIFY(fx.connect());
    TfrmVekComm &w = *fx.window;
    typeAddress(w, "5");
    fx.takeLines();

    typeAddress(w, typed, Qt::Key(commitKey));

    QCOMPARE(w.edtBitAddr->text(), shown);
    QCOMPARE(w.BitAddr, uint16_t(shown.toUInt(nullptr, 16)));
    QCOMPARE(fx.takeLines(), lines);
    QVERIFY(!isRed(w.edtBitAddr));
    QVERIFY(!w.Editing);
    QVERIFY(fx.prompts.log.isEmpty());
}

void TestBitPanel::refusedAddressStaysOpenUntilEscape_data()
{
    QTest::addColumn<QString>("typed");
    QTest::newRow("four digits") << "1FFF";
    QTest::newRow("low digits in range") << "10005";
    QTest::newRow("leading zeros") << "0001000";
}

void TestBitPanel::refusedAddressStaysOpenUntilEscape()
{
    QFETCH(QString, typed);
    WindowFixture fx;
    QVERIFY(fx.connect());
    TfrmVekComm &w = *fx.window;
    typeAddress(w, "C");
    fx.takeLines();

    typeAddress(w, typed);

    QCOMPARE(fx.prompts.log, QStringList{"msg Maximum data memory address is 0xFFF"});
    QCOMPARE(w.edtBitAddr->text(), typed);
    QVERIFY(isRed(w.edtBitAddr));
    QVERIFY(w.Editing);
    QCOMPARE(w.BitAddr, uint16_t(0x00C));
    QVERIFY(fx.takeLines().isEmpty());

    QTest::keyClick(w.edtBitAddr, Qt::Key_Escape);
    QCOMPARE(w.edtBitAddr->text(), QStringLiteral("00C"));
    QVERIFY(!isRed(w.edtBitAddr));
    QVERIFY(!w.Editing);
    QVERIFY(fx.takeLines().isEmpty());
    QCOMPARE(fx.prompts.log.size(), 1);
}

void TestBitPanel::showBitsSendsNothing()
{
    WindowFixture fx;
    QVERIFY(fx.connect());
    TfrmVekComm &w = *fx.window;
    typeAddress(w, "6");
    fx.takeLines();

    w.BitValue = 0x81;
    w.ShowBits();
    QCOMPARE(shownBits(w), QStringLiteral("10000001"));
    w.BitValue = 0x7E;
    w.ShowBits();
    QCOMPARE(shownBits(w), QStringLiteral("01111110"));
    QVERIFY(fx.takeLines().isEmpty());
    QCOMPARE(w.BitValue, uint8_t(0x7E));
}

// Closed, the panel keeps its copy; connecting sends nothing, and the first
// click afterwards writes the kept bits, with its own bit changed, to the
// address committed while closed.
void TestBitPanel::closedConnectionSendsNothingThenOrLater()
{
    sim::TargetOptions opt;
    opt.registers[0x020] = 0xFF;
    WindowFixture fx(opt);
    TfrmVekComm &w = *fx.window;

    typeAddress(w, "20");
    clickItem(w, 7, 0);
    QTest::mouseClick(w.btnToggles[1], Qt::LeftButton);
    QTest::mouseClick(w.btnToggles[2], Qt::LeftButton);
    QCOMPARE(w.BitValue, uint8_t(0x86));
    QCOMPARE(shownBits(w), QStringLiteral("10000110"));
    QCOMPARE(w.BitAddr, uint16_t(0x020));

    w.btnOpenClose->click();
    QVERIFY(w.CommOpen);
    QCOMPARE(fx.takeLines(), Lines{"V"});

    clickItem(w, 0, 0);
    QCOMPARE(fx.takeLines(), Lines{"A020=87"});
    QVERIFY(fx.prompts.log.isEmpty());
}

void TestBitPanel::sameAddressReadsAgainButLabelOnlyOnChange()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString inc = dir.filePath("part.inc");
    {
        QFile f(inc);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(";----- Register Files -----\r\n"
                "STATUS   EQU  H'0003'\r\n"
                "PORTB    EQU  H'0006'\r\n"
                ";-----\r\n");
    }
    WindowFixture fx;
    TfrmVekComm &w = *fx.window;
    QVERIFY(w.Labels->loadIncFile(inc));
    QVERIFY(fx.connect());

    typeAddress(w, "6");
    QCOMPARE(w.edtBitLabel->text(), QStringLiteral("PORTB"));
    w.edtBitLabel->setText("mine");
    typeAddress(w, "006");
    QCOMPARE(fx.takeLines(), (Lines{"A006", "A006"}));
    QCOMPARE(w.edtBitLabel->text(), QStringLiteral("mine"));

    typeAddress(w, "3");
    QCOMPARE(w.edtBitLabel->text(), QStringLiteral("STATUS"));
    typeAddress(w, "7");
    QCOMPARE(w.edtBitLabel->text(), QString());
}

QTEST_MAIN(TestBitPanel)
#include "tst_bitpanel.moc"
