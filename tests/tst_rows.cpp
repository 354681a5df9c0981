// The watch rows of the main window: entries in the address and data
// fields, what reaches the target, the label chooser, and the arrow-key and
// double-click gestures. Real key and mouse events, offscreen, on the
// scripted line with a simulated target.

#include "frmlabels.h"
#include "textconv.h"
#include "windowfixture.h"

#include <QCheckBox>
#include <QComboBox>
#include <QTemporaryFile>
#include <QTimer>
#include <optional>

using namespace vek;
using namespace vek::testing;

namespace {

const QString TooLarge = QStringLiteral("Maximum data memory address is 0xFFF");
const QString InvalidEntry = QStringLiteral("Invalid Entry");

bool isBlack(const QLineEdit *field) { return field->palette().color(QPalette::Text) == QColor(0, 0, 0); }
QWidget *focused() { return QApplication::focusWidget(); }

// Focuses `field` and presses `keys` ('\r' Return, '\x1b' Escape, '\b'
// Backspace, '\n' Down); '\t' clicks into another field, so the field's
// leave handler runs.
void type(QLineEdit *field, const QByteArray &keys)
{
    press(field);
    for (char k : keys)
        if (k == '\t')   // a click into another field, as a person leaves one
            QTest::mouseClick(static_cast<TfrmVekComm *>(field->window())->row(7).edtLabel, Qt::LeftButton);
        else
            k == '\n' ? QTest::keyClick(field, Qt::Key_Down) : QTest::keyClick(field, k);
}

struct AddrCase {
    bool open; QByteArray keys; QString shown; int addr; QString data; QStringList messages; Lines lines;
    sim::Fault fault = sim::Fault::None;   // how the target answers the read
    int replyBytes = 0;
};
struct ValueCase { bool hex; QByteArray keys; QString afterFirstKey; int stored; QStringList messages; Lines lines; };

} // namespace

Q_DECLARE_METATYPE(AddrCase)
Q_DECLARE_METATYPE(ValueCase)

class TestRows : public QObject {
    Q_OBJECT
    // Each test starts with a fresh window, connected to the simulated target.
    std::unique_ptr<WindowFixture> f;
    std::optional<TfrmVekComm::Probe> w;

private slots:
    void initTestCase() { QApplication::setStyle(QStringLiteral("Fusion")); }
    void init()
    {
        f = std::make_unique<WindowFixture>();
        w.emplace(f->probe());
        QVERIFY(f->connect());
    }
    void cleanup() { w.reset(); f.reset(); }

    void addressEntry_data()
    {
        QTest::addColumn<AddrCase>("c");
        const QString was = QStringLiteral("00010001");   // 0x11, read from 07E before the entry
        QTest::newRow("leading zeros") << AddrCase{true, "0000A\r", "00A", 0x00A, "01011100", {}, {"A00A"}};
        QTest::newRow("lower case, left") << AddrCase{true, "fff\t", "FFF", 0xFFF, "10100101", {}, {"AFFF"}};
        QTest::newRow("closed: no read") << AddrCase{false, "fff\r", "FFF", 0xFFF, "", {}, {}};
        QTest::newRow("1000 refused") << AddrCase{true, "1000\r", "1000", 0x07E, was, {TooLarge}, {}};
        QTest::newRow("10000 refused on leaving") << AddrCase{true, "10000\t", "10000", 0x07E, was, {TooLarge}, {}};
        QTest::newRow("refused, Backspace, left") << AddrCase{true, "1000\r\b\t", "100", 0x100, "10000001", {TooLarge}, {"A100"}};
        QTest::newRow("escape abandons") << AddrCase{true, "7F\x1b", "07E", 0x07E, was, {}, {}};
        QTest::newRow("not hex, left: dropped") << AddrCase{true, "x\t", "07E", 0x07E, was, {}, {}};
        QTest::newRow("Backspace first is a key") << AddrCase{true, "\b\t", "007", 0x007, "00000000", {}, {"A007"}};
        QTest::newRow("enter unchanged reads again") << AddrCase{true, "\r", "07E", 0x07E, was, {}, {"A07E"}};
        const QStringList invalid{QStringLiteral("Invalid reply from target")};   // the value is kept
        QTest::newRow("reply not hex") << AddrCase{true, "A\r", "00A", 0x00A, was, invalid, {"A00A"}, sim::Fault::Garbage};
        QTest::newRow("reply of three digits") << AddrCase{true, "A\r", "00A", 0x00A, was, invalid, {"A00A"}, sim::Fault::LongReply, 3};
        QTest::newRow("typed, then Down") << AddrCase{true, "2A\n", "02A", 0x02A, "01011100", {}, {"A02A"}};
    }
    void addressEntry()
    {
        QFETCH(AddrCase, c);
        for (auto [addr, value] : {std::pair{0x07E, 0x11}, {0x00A, 0x5C}, {0xFFF, 0xA5}, {0x100, 0x81}, {0x02A, 0x5C}})
            f->target.setReg(uint16_t(addr), uint8_t(value));
        if (!c.open)
            w->btnOpenClose->click();
        QLineEdit *field = w->rows[1].edtAddr;
        type(field, "7e\r");
        f->takeLines();
        f->setFault(c.fault, 0, c.replyBytes);

        type(field, c.keys);
        const bool refused = c.shown.size() > 3;   // a refused entry stays as typed, still open
        QCOMPARE(std::tuple(field->text(), int(w->RowAddr[1]), w->rows[1].edtData->text(), f->prompts.messages(), f->takeLines()),
                 std::tuple(c.shown, c.addr, c.data, c.messages, c.lines));
        QVERIFY(w->Editing == refused && (refused ? isRed(field) : isBlack(field)));
        if (c.keys.endsWith('\r') || c.keys.endsWith('\n'))
            QCOMPARE(focused(), c.keys.endsWith('\r') ? field : w->rows[2].edtAddr);
    }

    void valueEntry_data()
    {
        QTest::addColumn<ValueCase>("c");
        // Row 3 sits at 0x02A and holds 0x3C before the entry.
        QTest::newRow("hex 1FF") << ValueCase{true, "1FF", "1", 0xFF, {}, {"A02A=FF"}};
        QTest::newRow("hex 123") << ValueCase{true, "123", "1", 0x23, {}, {"A02A=23"}};
        QTest::newRow("binary 2") << ValueCase{false, "2", "2", 0x3C, {InvalidEntry}, {}};
        QTest::newRow("binary nine digits") << ValueCase{false, "100000001", "1", 0x01, {}, {"A02A=01"}};
        QTest::newRow("binary first key 7") << ValueCase{false, "7", "7", 0x3C, {InvalidEntry}, {}};
    }
    void valueEntry()
    {
        QFETCH(ValueCase, c);
        f->target.setReg(0x02A, 0x3C);
        const TfrmVekComm::Row &row = w->rows[2];
        type(row.edtAddr, "2A\r");
        row.chkHex->setChecked(c.hex);
        QCOMPARE(f->takeLines(), Lines{"A02A"});   // an address commit only reads

        type(row.edtData, c.keys.left(1));
        QVERIFY(row.edtData->text() == c.afterFirstKey && isRed(row.edtData));
        type(row.edtData, c.keys.mid(1) + '\r');
        // a value commit only writes
        QCOMPARE(std::tuple(f->prompts.messages(), f->takeLines(), int(w->RowValue[2]), int(f->target.reg(0x02A)), row.edtData->text()),
                 std::tuple(c.messages, c.lines, c.stored, c.stored, ValueDisplay(uint8_t(c.stored), c.hex)));
        QVERIFY(isBlack(row.edtData) && !w->Editing);
    }



    void chooseLabel_data()
    {
        QTest::addColumn<QStringList>("c");   // the name chosen (none: no table, the dialog cancelled), address, label
        QTest::newRow("FSR") << QStringList{"FSR", "004", "FSR"};
        QTest::newRow("shared address: first in sort order") << QStringList{"PORTA", "005", "ALIAS"};
        QTest::newRow("lower-case address text") << QStringList{"lower", "FF8", ""};
        QTest::newRow("no table, none opened: nothing changes") << QStringList{"", "02A", "mine"};
    }
    void chooseLabel()
    {
        QFETCH(QStringList, c);
        const QString name = c[0], addr = c[1], label = c[2];
        f->target.setReg(0x005, 0x06);
        type(w->rows[3].edtAddr, "2A\r");
        press(w->rows[3].edtLabel, QStringLiteral("mine"));
        f->takeLines();
        QTemporaryFile inc(QDir::tempPath() + QStringLiteral("/XXXXXX.inc"));
        QVERIFY(inc.open() && inc.write("Register Files\nFSR EQU H'0004'\nPORTA EQU H'0005'\nALIAS EQU H'0005'\nlower EQU H'0ff8'\n;--\n") > 0);
        inc.close();
        if (!name.isEmpty())
            f->prompts.fileAnswers.enqueue(inc.fileName());

        // A double click on the label field; while the chooser is shown, `name`
        // is picked in it, and a chooser left open is cancelled.
        bool shown = false;
        QTimer::singleShot(0, w->Labels, [&] {
            if ((shown = w->Labels->isVisible()))
                w->Labels->cbLabels->setCurrentIndex(w->Labels->cbLabels->findText(name));
            if (w->Labels->isVisible())
                w->Labels->close();
        });
        QTest::mouseDClick(w->rows[3].edtLabel, Qt::LeftButton);
        QCoreApplication::processEvents();
        const QStringList log{"open Include files *.inc (*.inc)", "box INC Open|Open file cancelled|0"};
        const TfrmVekComm::Row &row = w->rows[3];
        QCOMPARE(std::tuple(shown, w->Editing, f->takeLines(), f->prompts.log,
                            QStringList{row.edtAddr->text(), AddrDisplay(w->RowAddr[3]), row.edtLabel->text(), row.edtData->text()}),
                 std::tuple(!name.isEmpty(), false, name.isEmpty() ? Lines{} : Lines{"A" + addr.toLatin1()}, log.mid(0, name.isEmpty() ? 2 : 1),
                            QStringList{addr, addr, label, ValueDisplay(f->target.reg(w->RowAddr[3]), false)}));
    }

    // Gestures on fields, each on a row of its own.
    void gestures()
    {
        // Down from row 8 and Up from row 1 wrap, in each kind of field; a field
        // left without an entry is only drawn: no command, no message.
        for (int kind = 0; kind < 3; ++kind) {
            const auto field = [&](int n) {
                const TfrmVekComm::Row &row = w->rows[n - 1];
                return kind == 0 ? row.edtLabel : kind == 1 ? row.edtAddr : row.edtData;
            };
            press(field(8));
            QTest::keyClick(field(8), Qt::Key_Down);
            QWidget *down = focused();
            QTest::keyClick(field(1), Qt::Key_Up);
            QCOMPARE(std::tuple(down, focused(), field(1)->text()), std::tuple(field(1), field(8), QStringList{"", "000", "00000000"}.at(kind)));
        }
        QVERIFY(f->takeLines().isEmpty() && f->prompts.log.isEmpty());

        // A double click on a field never filled draws its default: the address
        // reads nothing, the empty value is refused and not written.
        const TfrmVekComm::Row &r7 = w->rows[6];
        QTest::mouseDClick(r7.edtAddr, Qt::LeftButton);
        QCOMPARE(std::pair(r7.edtAddr->text(), f->prompts.log.size()), std::pair(QStringLiteral("000"), qsizetype(0)));
        QTest::mouseDClick(r7.edtData, Qt::LeftButton);
        QCOMPARE(std::tuple(r7.edtData->text(), f->prompts.messages(), f->takeLines()), std::tuple(QStringLiteral("00000000"), QStringList{InvalidEntry}, Lines{}));
        QVERIFY(focused() == r7.edtData && !w->Editing);

        // Space on the hex box redraws the value, and the field is then read in
        // the mode it is drawn in: a double click writes 0F, never 0x11.
        const TfrmVekComm::Row &r6 = w->rows[5];
        type(r6.edtData, "00001111\r");
        f->takeLines();
        press(r6.chkHex, QStringLiteral(" "));
        const QString hex = r6.edtData->text();
        QTest::mouseDClick(r6.edtData, Qt::LeftButton);
        QCOMPARE(std::tuple(hex, int(w->RowValue[5]), f->takeLines()), std::tuple(QStringLiteral("0F"), 0x0F, Lines{"A000=0F"}));
        press(r6.chkHex, QStringLiteral(" "));
        QCOMPARE(r6.edtData->text(), QStringLiteral("00001111"));

        // Tabbing into a field leaves its text unselected, so a first Backspace
        // takes one digit, not the whole address.
        type(w->rows[0].edtAddr, "2A\r");
        press(w->rows[0].edtLabel, QStringLiteral("\t"));
        QTest::keyClick(w->rows[0].edtAddr, Qt::Key_Backspace);
        QCOMPARE(w->rows[0].edtAddr->text(), QStringLiteral("02"));
    }
};

QTEST_MAIN(TestRows)
#include "tst_rows.moc"
