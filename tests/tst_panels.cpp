// The bit panel and the test field, driven by real key and mouse events
// against the simulated target.

#include "radiogroup.h"
#include "windowfixture.h"

#include <QLineEdit>
#include <QRadioButton>
#include <QtTest>

using namespace vek;
using namespace vek::testing;

namespace {

// The groups' selections read as bits 7..0: index 0 is "1".
QString shownBits(const TfrmVekComm::Probe &w)
{
    QString s;
    for (int bit = 7; bit >= 0; --bit)
        s += w.rgBits[bit]->itemIndex() == 0 ? u'1' : u'0';
    return s;
}

void clickItem(const TfrmVekComm::Probe &w, int bit, int index) { QTest::mouseClick(w.rgBits[bit]->button(index), Qt::LeftButton); }
void toggle(const TfrmVekComm::Probe &w, int bit) { QTest::mouseClick(w.btnToggles[bit], Qt::LeftButton); }

} // namespace

class TestPanels : public QObject {
    Q_OBJECT
private slots:
    void bitsReadClickedAndShown();
    void closedConnectionSendsNothingThenOrLater();
    void testFieldEntries_data();
    void testFieldEntries();
};

void TestPanels::bitsReadClickedAndShown()
{
    sim::TargetOptions opt;
    opt.registers[0x010] = 0xA5;
    WindowFixture fx(opt);
    QVERIFY(fx.connect());
    const TfrmVekComm::Probe w = fx.probe();
    press(w.edtBitAddr, "10\r");
    QCOMPARE(shownBits(w), QStringLiteral("10100101"));

    press(w.edtBitAddr, "6\r");
    clickItem(w, 3, 0);
    toggle(w, 0);
    toggle(w, 0);
    clickItem(w, 3, 0);   // already selected: sends nothing
    QCOMPARE(fx.takeLines(), (Lines{"A010", "A006", "A006=08", "A006=09", "A006=08"}));
    for (int bit = 0; bit < 8; ++bit) {   // each button and group on its own bit, keeping the others
        toggle(w, bit);
        clickItem(w, bit, bit == 3 ? 0 : 1);
        QCOMPARE(fx.takeLines(), (Lines{"A006=" + QByteArray::number(0x08 ^ (1 << bit), 16).toUpper().rightJustified(2, '0'), "A006=08"}));
    }
}

// Closed, the panels keep their copies; connecting sends nothing, and the
// first click afterwards writes the kept bits to the address committed then.
void TestPanels::closedConnectionSendsNothingThenOrLater()
{
    sim::TargetOptions opt;
    opt.registers[0x020] = 0xFF;
    WindowFixture fx(opt);
    const TfrmVekComm::Probe w = fx.probe();
    press(w.edtBitAddr, "20\r");
    clickItem(w, 7, 0);
    toggle(w, 1);
    toggle(w, 2);
    press(w.edtTest, "-");

    w.btnOpenClose->click();
    QVERIFY(w.CommOpen);
    QCOMPARE(fx.takeLines(), Lines{"V"});
    clickItem(w, 0, 0);
    QCOMPARE(fx.takeLines(), Lines{"A020=87"});
}

void TestPanels::testFieldEntries_data()
{
    QTest::addColumn<QString>("keys");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<Lines>("lines");
    QTest::addColumn<bool>("open");   // entry still open, text red
    QTest::addColumn<QStringList>("log");
    // The field holds 010 before each entry.
    QTest::newRow("7") << "7\r" << "007" << Lines{"T07"} << false << QStringList{};
    QTest::newRow("300 wraps") << "300\r" << "044" << Lines{"T2C"} << false << QStringList{};
    QTest::newRow("0 first empties") << "07\r" << "007" << Lines{"T07"} << false << QStringList{};
    QTest::newRow("-1 is 255") << "5\b-1\r" << "255" << Lines{"TFF"} << false << QStringList{};
    QTest::newRow("other character") << "12a\r" << "12a" << Lines{} << true << QStringList{};
    QTest::newRow("lone sign") << "5\b-\r" << "-" << Lines{} << true
                               << QStringList{"error '-' is not a valid integer value"};
    QTest::newRow("leaving drops") << "12\t" << "010" << Lines{} << false << QStringList{};
    QTest::newRow("+ steps") << "+" << "011" << Lines{"T0B"} << false << QStringList{};
    QTest::newRow("- steps, Enter sends again") << "-\r" << "009" << Lines{"T09", "T09"} << false << QStringList{};
    QTest::newRow("Escape, then - steps") << "5\x1b-" << "009" << Lines{"T09"} << false << QStringList{};
}

void TestPanels::testFieldEntries()
{
    QFETCH(QString, keys);
    QFETCH(QString, shown);
    QFETCH(Lines, lines);
    QFETCH(bool, open);
    QFETCH(QStringList, log);
    WindowFixture fx;
    QVERIFY(fx.connect());
    const TfrmVekComm::Probe w = fx.probe();
    press(w.edtTest, "10\r");
    fx.takeLines();

    press(w.edtTest, keys);
    QCOMPARE(w.edtTest->text(), shown);
    QCOMPARE(fx.takeLines(), lines);
    QVERIFY(w.Editing == open && isRed(w.edtTest) == open);
    QCOMPARE(fx.prompts.log, log);
}

QTEST_MAIN(TestPanels)
#include "tst_panels.moc"
