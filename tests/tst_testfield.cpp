// The test field: stepping with + and -, decimal entries confirmed with
// Enter, and the test command they send.

#include "windowfixture.h"

#include <QLineEdit>
#include <QtTest>

using namespace vek;
using namespace vek::testing;

namespace {

using Lines = QList<QByteArray>;

bool isRed(const QLineEdit *field) { return field->palette().color(QPalette::Text) == QColor(255, 0, 0); }

// Keys as written: letters and digits as typed, '<' Home, '^' Backspace,
// '\n' Enter, '\e' Escape, '\t' Tab.
void press(QLineEdit *field, const QString &keys)
{
    field->setFocus(Qt::OtherFocusReason);
    for (QChar c : keys) {
        switch (c.unicode()) {
        case '<': QTest::keyClick(field, Qt::Key_Home); break;
        case '^': QTest::keyClick(field, Qt::Key_Backspace); break;
        case '\n': QTest::keyClick(field, Qt::Key_Return); break;
        case 27: QTest::keyClick(field, Qt::Key_Escape); break;
        case '\t': QTest::keyClick(field, Qt::Key_Tab); break;
        default: QTest::keyClicks(field, QString(c)); break;
        }
    }
}

} // namespace

class TestTestField : public QObject {
    Q_OBJECT
private slots:
    void stepping();
    void entries_data();
    void entries();
    void enterAsFirstKey();
    void closedConnectionSendsNothingThenOrLater();
};

void TestTestField::stepping()
{
    WindowFixture fx;
    QVERIFY(fx.connect());
    TfrmVekComm &w = *fx.window;

    press(w.edtTest, "-");
    QCOMPARE(w.edtTest->text(), QStringLiteral("255"));
    QCOMPARE(fx.takeLines(), Lines{"TFF"});
    QCOMPARE(fx.line.written.right(4), QByteArray("TFF\r"));
    press(w.edtTest, "+");
    QCOMPARE(w.edtTest->text(), QStringLiteral("000"));
    QCOMPARE(fx.takeLines(), Lines{"T00"});
    QVERIFY(!isRed(w.edtTest));
    QVERIFY(!w.Editing);

    // While an entry is open, + and - are characters of it.
    press(w.edtTest, "5-");
    QCOMPARE(w.edtTest->text(), QStringLiteral("5-"));
    QVERIFY(fx.takeLines().isEmpty());
}

void TestTestField::entries_data()
{
    QTest::addColumn<QString>("keys");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<Lines>("lines");
    QTest::addColumn<bool>("editing");   // entry still open, text red
    QTest::addColumn<QString>("error");  // the conversion error shown, if any

    // The field holds 010 before each entry.
    QTest::newRow("7") << "7\n" << "007" << Lines{"T07"} << false << "";
    QTest::newRow("300 wraps") << "300\n" << "044" << Lines{"T2C"} << false << "";
    QTest::newRow("sign put before") << "1<-\n" << "255" << Lines{"TFF"} << false << "";
    QTest::newRow("plus sign") << "4<+\n" << "004" << Lines{"T04"} << false << "";
    QTest::newRow("other character") << "12a\n" << "12a" << Lines{} << true << "";
    QTest::newRow("emptied") << "1^\n" << "" << Lines{} << true << "";
    QTest::newRow("lone sign") << "5^-\n" << "-" << Lines{} << true << "-";
    QTest::newRow("sign after digit") << "1-\n" << "1-" << Lines{} << true << "1-";
    QTest::newRow("out of range") << "99999999999\n" << "99999999999" << Lines{} << true << "99999999999";
    QTest::newRow("Escape drops") << "12\x1b" << "010" << Lines{} << false << "";
    QTest::newRow("other character, Escape") << "12a\n\x1b" << "010" << Lines{} << false << "";
    QTest::newRow("leaving drops") << "12\t" << "010" << Lines{} << false << "";
}

void TestTestField::entries()
{
    QFETCH(QString, keys);
    QFETCH(QString, shown);
    QFETCH(Lines, lines);
    QFETCH(bool, editing);
    QFETCH(QString, error);
    WindowFixture fx;
    QVERIFY(fx.connect());
    TfrmVekComm &w = *fx.window;
    press(w.edtTest, "10\n");
    fx.takeLines();

    press(w.edtTest, keys);

    QCOMPARE(w.edtTest->text(), shown);
    QCOMPARE(fx.takeLines(), lines);
    QCOMPARE(w.Editing, editing);
    QCOMPARE(isRed(w.edtTest), editing);
    if (lines.isEmpty())
        QCOMPARE(w.TestValue, uint8_t(10));
    QCOMPARE(fx.prompts.log.size(), error.isEmpty() ? 0 : 1);
    if (!error.isEmpty()) {
        QVERIFY(fx.prompts.log.first().startsWith(QLatin1String("error ")));
        QVERIFY2(fx.prompts.log.first().contains(error), qPrintable(fx.prompts.log.first()));
    }
}

void TestTestField::enterAsFirstKey()
{
    WindowFixture fx;
    QVERIFY(fx.connect());
    TfrmVekComm &w = *fx.window;

    // A new window's field is empty: Enter only opens an entry.
    press(w.edtTest, "\n");
    QCOMPARE(w.edtTest->text(), QString());
    QVERIFY(w.Editing);
    QVERIFY(isRed(w.edtTest));
    QVERIFY(fx.takeLines().isEmpty());
    QVERIFY(fx.prompts.log.isEmpty());

    press(w.edtTest, "\x1b+");
    QCOMPARE(fx.takeLines(), Lines{"T01"});
    // Showing the value, Enter sends it again.
    press(w.edtTest, "\n");
    QCOMPARE(fx.takeLines(), Lines{"T01"});
    QCOMPARE(w.edtTest->text(), QStringLiteral("001"));
    QVERIFY(!w.Editing);
}

void TestTestField::closedConnectionSendsNothingThenOrLater()
{
    WindowFixture fx;
    TfrmVekComm &w = *fx.window;

    press(w.edtTest, "-");
    QCOMPARE(w.edtTest->text(), QStringLiteral("255"));
    press(w.edtTest, "300\n");
    QCOMPARE(w.edtTest->text(), QStringLiteral("044"));
    QCOMPARE(w.TestValue, uint8_t(44));

    w.btnOpenClose->click();
    QVERIFY(w.CommOpen);
    QCOMPARE(fx.takeLines(), Lines{"V"});
    QVERIFY(fx.prompts.log.isEmpty());
}

QTEST_MAIN(TestTestField)
#include "tst_testfield.moc"
