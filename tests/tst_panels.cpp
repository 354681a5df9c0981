// The bit panel and the test field, driven by real key and mouse events
// against the simulated target.

#include "radiogroup.h"
#include "windowfixture.h"

#include <QRadioButton>

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

// An entry in the test field, which holds 010 before it; `open`: the entry
// is still open, its text red.
struct TestEntry { QString keys, shown; Lines lines; bool open = false; QStringList log = {}; };

} // namespace

Q_DECLARE_METATYPE(TestEntry)

class TestPanels : public QObject {
    Q_OBJECT
private slots:
    // Closed, the panels keep their copies; connecting sends nothing, and the
    // first click afterwards writes the kept bits to the address committed then.
    // Then bits read, clicked and shown.
    void bitPanel()
    {
        WindowFixture fx;
        fx.target.setReg(0x020, 0xFF);
        fx.target.setReg(0x010, 0xA5);
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

    void testFieldEntries_data()
    {
        QTest::addColumn<TestEntry>("c");
        QTest::newRow("7") << TestEntry{"7\r", "007", {"T07"}};
        QTest::newRow("300 wraps") << TestEntry{"300\r", "044", {"T2C"}};
        QTest::newRow("0 first empties") << TestEntry{"07\r", "007", {"T07"}};
        QTest::newRow("-1 is 255") << TestEntry{"5\b-1\r", "255", {"TFF"}};
        QTest::newRow("other character") << TestEntry{"12a\r", "12a", {}, true};
        QTest::newRow("lone sign") << TestEntry{"5\b-\r", "-", {}, true, {"error '-' is not a valid integer value"}};
        QTest::newRow("leaving drops") << TestEntry{"12\t", "010", {}};
        QTest::newRow("+ steps") << TestEntry{"+", "011", {"T0B"}};
        QTest::newRow("- steps, Enter sends again") << TestEntry{"-\r", "009", {"T09", "T09"}};
        QTest::newRow("Escape, then - steps") << TestEntry{"5\x1b-", "009", {"T09"}};
    }
    void testFieldEntries()
    {
        QFETCH(TestEntry, c);
        WindowFixture fx;
        QVERIFY(fx.connect());
        const TfrmVekComm::Probe w = fx.probe();
        press(w.edtTest, "10\r");
        fx.takeLines();
        press(w.edtTest, c.keys);
        QCOMPARE(w.edtTest->text(), c.shown);
        QCOMPARE(fx.takeLines(), c.lines);
        QVERIFY(w.Editing == c.open && isRed(w.edtTest) == c.open);
        QCOMPARE(fx.prompts.log, c.log);
    }
};

QTEST_MAIN(TestPanels)
#include "tst_panels.moc"
