// The watch rows of the main window: entries in the address and data
// fields, what reaches the target, the label chooser and label fields, and
// the arrow-key and double-click gestures. Real key and mouse events,
// offscreen, on the scripted line with a simulated target.

#include "frmlabels.h"
#include "textconv.h"
#include "windowfixture.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>

using namespace vek;
using namespace vek::testing;

namespace {

using Lines = QList<QByteArray>;

const QString TooLarge = QStringLiteral("Maximum data memory address is 0xFFF");
const QString InvalidEntry = QStringLiteral("Invalid Entry");
const QString InvalidReply = QStringLiteral("Invalid reply from target");

// Sorted: ALIAS 005, FSR 004, PORTA 005, STATUS 003, lower ff8.
const QByteArray IncText = "; VEK-7 register names\n"
                           ";----- Register Files -----\n"
                           "STATUS\tEQU\tH'0003'\n"
                           "FSR    EQU H'0004'\n"
                           "PORTA  EQU H'0005'\n"
                           "\n"
                           "; aliases\n"
                           "ALIAS  EQU H'0005'\n"
                           "lower  EQU H'0ff8'\n"
                           ";--------\n"
                           "LATE   EQU H'0006'\n";

bool isRed(QLineEdit *field) { return field->palette().color(QPalette::Text) == QColor(255, 0, 0); }
bool isBlack(QLineEdit *field) { return field->palette().color(QPalette::Text) == QColor(0, 0, 0); }

QWidget *focused() { return QApplication::focusWidget(); }

// Gives `field` the keyboard focus the way a click or arrow key would.
void focusOn(TfrmVekComm &w, QWidget *field)
{
    QApplication::setActiveWindow(&w);
    field->setFocus(Qt::OtherFocusReason);
}

// Moves the focus away with Tab's reason; the field's leave handler runs.
void leaveField(TfrmVekComm &w) { focusOn(w, w.rows[7].edtLabel); }

QStringList items(QComboBox *cb)
{
    QStringList out;
    for (int i = 0; i < cb->count(); ++i)
        out << cb->itemText(i);
    return out;
}

} // namespace

class TestRows : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QApplication::setStyle(QStringLiteral("Fusion")); }

    void addressEntry_data();
    void addressEntry();
    void refusedAddressStaysOpenUntilCorrected();
    void emptiedAddressRestoresStored();
    void focusDoesNotSelect();
    void valueEntry_data();
    void valueEntry();
    void readReply_data();
    void readReply();
    void checkBoxRedraws_data();
    void checkBoxRedraws();

    void labelWithoutTable();
    void chooseLabel_data();
    void chooseLabel();
    void chooserKeepsSelectionAndCloseCancels();
    void sectionWithoutEntriesShowsNoChooser();
    void incFileWithoutEndKeepsEntries();
    void chooserWithoutTableAsksForFile();

    void arrowKeys_data();
    void arrowKeys();
    void typedAddressThenDown();
    void doubleClick_data();
    void doubleClick();

private:
    QTemporaryDir m_dir;
    QString writeInc(const QString &name, const QByteArray &text);
    // Double-clicks the label field of row `r`; `inside` runs while the
    // chooser is shown. True when the chooser was shown.
    bool dblClickLabel(TfrmVekComm &w, int r, const std::function<void(TLabels *)> &inside);
};

QString TestRows::writeInc(const QString &name, const QByteArray &text)
{
    const QString path = m_dir.filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(text) != text.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

bool TestRows::dblClickLabel(TfrmVekComm &w, int r, const std::function<void(TLabels *)> &inside)
{
    bool shown = false;
    QTimer::singleShot(0, w.Labels, [&] {
        shown = w.Labels->isVisible();
        if (!shown)
            return;
        inside(w.Labels);
        // A chooser the step left open is cancelled, so the test ends.
        if (w.Labels->isVisible())
            w.Labels->close();
    });
    QTest::mouseDClick(w.rows[r].edtLabel, Qt::LeftButton);
    // The timer only matters while the chooser runs its own loop.
    QCoreApplication::processEvents();
    return shown;
}

// ------------------------------------------------------------ address entries

void TestRows::addressEntry_data()
{
    QTest::addColumn<bool>("connected");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("key");   // Qt::Key_Return, Qt::Key_Escape or 0 for leaving the field
    QTest::addColumn<QString>("shown");
    QTest::addColumn<int>("addr");
    QTest::addColumn<QString>("data");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<Lines>("lines");

    // The target holds 0x5C at 0x00A and 0xA5 at 0xFFF.
    QTest::newRow("leading zeros, connected") << true << "0000A" << int(Qt::Key_Return) << "00A" << 0x00A
                                              << "01011100" << QStringList() << Lines{"A00A", "A00A"};
    QTest::newRow("lower case, connected, left") << true << "fff" << 0 << "FFF" << 0xFFF << "10100101"
                                                 << QStringList() << Lines{"A00A", "AFFF"};
    QTest::newRow("closed: no read, data kept") << false << "fff" << int(Qt::Key_Return) << "FFF" << 0xFFF
                                                << "" << QStringList() << Lines{};
    QTest::newRow("1000 refused") << true << "1000" << int(Qt::Key_Return) << "1000" << 0x00A << "01011100"
                                  << QStringList{TooLarge} << Lines{"A00A"};
    QTest::newRow("10000 refused on leaving") << true << "10000" << 0 << "10000" << 0x00A << "01011100"
                                              << QStringList{TooLarge} << Lines{"A00A"};
    QTest::newRow("not hex: dropped") << true << "12G" << int(Qt::Key_Return) << "00A" << 0x00A << "01011100"
                                      << QStringList() << Lines{"A00A"};
    QTest::newRow("escape abandons") << true << "7F" << int(Qt::Key_Escape) << "00A" << 0x00A << "01011100"
                                     << QStringList() << Lines{"A00A"};
    QTest::newRow("enter unchanged reads again") << true << "" << int(Qt::Key_Return) << "00A" << 0x00A
                                                 << "01011100" << QStringList() << Lines{"A00A", "A00A"};
}

// Row 2 first commits 00A (with a read when connected), then takes the entry.
void TestRows::addressEntry()
{
    QFETCH(bool, connected);
    QFETCH(QString, typed);
    QFETCH(int, key);
    QFETCH(QString, shown);
    QFETCH(int, addr);
    QFETCH(QString, data);
    QFETCH(QStringList, messages);
    QFETCH(Lines, lines);

    WindowFixture f;
    f.target.setReg(0x00A, 0x5C);
    f.target.setReg(0xFFF, 0xA5);
    if (connected)
        QVERIFY(f.connect());
    TfrmVekComm &w = *f.window;
    QLineEdit *field = w.rows[1].edtAddr;

    focusOn(w, field);
    QCOMPARE(focused(), field);
    QTest::keyClicks(field, "A");
    QTest::keyClick(field, Qt::Key_Return);
    QCOMPARE(field->text(), QStringLiteral("00A"));
    if (!connected)
        QCOMPARE(w.rows[1].edtData->text(), QString());   // never read, never drawn

    QTest::keyClicks(field, typed);
    if (!typed.isEmpty())
        QVERIFY(isRed(field));
    if (key)
        QTest::keyClick(field, Qt::Key(key));
    else
        leaveField(w);

    const bool refused = messages.contains(TooLarge);
    QCOMPARE(field->text(), shown);
    QCOMPARE(int(w.RowAddr[1]), addr);
    QCOMPARE(f.prompts.messages(), messages);
    QCOMPARE(f.takeLines(), lines);
    QCOMPARE(w.Editing, refused);
    QVERIFY(refused ? isRed(field) : isBlack(field));
    QCOMPARE(w.rows[1].edtData->text(), data);
    if (key)
        QCOMPARE(focused(), field);
}

void TestRows::refusedAddressStaysOpenUntilCorrected()
{
    WindowFixture f;
    f.target.setReg(0x100, 0x81);
    QVERIFY(f.connect());
    TfrmVekComm &w = *f.window;
    QLineEdit *field = w.rows[0].edtAddr;
    focusOn(w, field);

    QTest::keyClicks(field, "1000");
    QTest::keyClick(field, Qt::Key_Return);
    QCOMPARE(f.prompts.messages(), QStringList{TooLarge});
    QCOMPARE(field->text(), QStringLiteral("1000"));
    QVERIFY(isRed(field));
    QCOMPARE(focused(), field);

    // Still the same entry: Backspace edits the typed text, it does not start afresh.
    QTest::keyClick(field, Qt::Key_Backspace);
    QCOMPARE(field->text(), QStringLiteral("100"));
    QTest::keyClick(field, Qt::Key_Return);
    QCOMPARE(field->text(), QStringLiteral("100"));
    QVERIFY(isBlack(field));
    QVERIFY(!w.Editing);
    QCOMPARE(int(w.RowAddr[0]), 0x100);
    QCOMPARE(w.rows[0].edtData->text(), QStringLiteral("10000001"));
    QCOMPARE(f.takeLines(), Lines{"A100"});
    QCOMPARE(f.prompts.messages().size(), 1);
}

void TestRows::emptiedAddressRestoresStored()
{
    WindowFixture f;
    QVERIFY(f.connect());
    TfrmVekComm &w = *f.window;
    QLineEdit *field = w.rows[4].edtAddr;
    focusOn(w, field);
    QTest::keyClicks(field, "2A");
    QTest::keyClick(field, Qt::Key_Return);
    f.takeLines();

    for (int i = 0; i < 3; ++i)
        QTest::keyClick(field, Qt::Key_Backspace);
    QCOMPARE(field->text(), QString());
    QVERIFY(isRed(field));
    leaveField(w);
    QCOMPARE(field->text(), QStringLiteral("02A"));
    QVERIFY(isBlack(field));
    QCOMPARE(int(w.RowAddr[4]), 0x02A);
    QVERIFY(f.prompts.log.isEmpty());
    QCOMPARE(f.takeLines(), Lines{});
}

// Tabbing into a field leaves its text unselected, so a first Backspace
// takes one digit, not the whole address.
void TestRows::focusDoesNotSelect()
{
    WindowFixture f;
    TfrmVekComm &w = *f.window;
    QLineEdit *field = w.rows[0].edtAddr;
    focusOn(w, field);
    QTest::keyClicks(field, "2A");
    QTest::keyClick(field, Qt::Key_Return);

    w.rows[0].edtLabel->setFocus(Qt::OtherFocusReason);
    QTest::keyClick(w.rows[0].edtLabel, Qt::Key_Tab);
    QCOMPARE(focused(), field);
    QVERIFY(!field->hasSelectedText());
    QTest::keyClick(field, Qt::Key_Backspace);
    QCOMPARE(field->text(), QStringLiteral("02"));
}

// ------------------------------------------------------------ value entries

void TestRows::valueEntry_data()
{
    QTest::addColumn<bool>("connected");
    QTest::addColumn<bool>("hex");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("afterFirstKey");
    QTest::addColumn<int>("stored");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<Lines>("lines");

    // Row 3 sits at 0x02A and holds 0x3C before the entry.
    QTest::newRow("hex 1FF") << true << true << "1FF" << "1" << 0xFF << QStringList() << Lines{"A02A=FF"};
    QTest::newRow("hex 123") << true << true << "123" << "1" << 0x23 << QStringList() << Lines{"A02A=23"};
    QTest::newRow("hex lower case") << true << true << "c" << "c" << 0x0C << QStringList() << Lines{"A02A=0C"};
    QTest::newRow("hex, closed") << false << true << "5" << "5" << 0x05 << QStringList() << Lines{};
    QTest::newRow("binary 2") << true << false << "2" << "2" << 0x3C << QStringList{InvalidEntry} << Lines{};
    QTest::newRow("binary nine digits") << true << false << "100000001" << "1" << 0x01 << QStringList()
                                        << Lines{"A02A=01"};
    QTest::newRow("binary first key 7") << true << false << "7" << "7" << 0x3C << QStringList{InvalidEntry}
                                        << Lines{};
    QTest::newRow("binary, closed") << false << false << "101" << "1" << 0x05 << QStringList() << Lines{};
    QTest::newRow("hex G refused") << true << true << "G" << "3CG" << 0x3C << QStringList{InvalidEntry}
                                   << Lines{};
    QTest::newRow("enter unchanged writes again") << true << false << "" << "" << 0x3C << QStringList()
                                                  << Lines{"A02A=3C"};
}

void TestRows::valueEntry()
{
    QFETCH(bool, connected);
    QFETCH(bool, hex);
    QFETCH(QString, typed);
    QFETCH(QString, afterFirstKey);
    QFETCH(int, stored);
    QFETCH(QStringList, messages);
    QFETCH(Lines, lines);

    WindowFixture f;
    f.target.setReg(0x02A, 0x3C);
    QVERIFY(f.connect());
    TfrmVekComm &w = *f.window;
    const TfrmVekComm::Row &row = w.rows[2];
    focusOn(w, row.edtAddr);
    QTest::keyClicks(row.edtAddr, "2A");
    QTest::keyClick(row.edtAddr, Qt::Key_Return);
    row.chkHex->setChecked(hex);
    QCOMPARE(row.edtData->text(), hex ? QStringLiteral("3C") : QStringLiteral("00111100"));
    if (!connected)
        QTest::mouseClick(w.btnOpenClose, Qt::LeftButton);
    QCOMPARE(w.CommOpen, connected);
    f.takeLines();

    focusOn(w, row.edtData);
    if (!typed.isEmpty()) {
        QTest::keyClicks(row.edtData, typed.left(1));
        QCOMPARE(row.edtData->text(), afterFirstKey);
        QVERIFY(isRed(row.edtData));
        QTest::keyClicks(row.edtData, typed.mid(1));
    }
    QTest::keyClick(row.edtData, Qt::Key_Return);

    QCOMPARE(f.prompts.messages(), messages);
    QCOMPARE(int(w.RowValue[2]), stored);
    QCOMPARE(row.edtData->text(), ValueDisplay(uint8_t(stored), hex));
    QVERIFY(isBlack(row.edtData));
    QVERIFY(!w.Editing);
    QCOMPARE(focused(), row.edtData);
    QCOMPARE(f.takeLines(), lines);
    if (connected && messages.isEmpty())
        QCOMPARE(int(f.target.reg(0x02A)), stored);
}

// ------------------------------------------------------------ register reads

void TestRows::readReply_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("replyBytes");
    QTest::addColumn<bool>("crs");
    QTest::addColumn<int>("value");
    QTest::addColumn<QStringList>("messages");

    QTest::newRow("two digits") << int(sim::Fault::None) << 0 << false << 0xC3 << QStringList();
    QTest::newRow("CRs dropped") << int(sim::Fault::None) << 0 << true << 0xC3 << QStringList();
    QTest::newRow("garbage") << int(sim::Fault::Garbage) << 0 << false << 0x05 << QStringList{InvalidReply};
    QTest::newRow("one digit") << int(sim::Fault::LongReply) << 1 << false << 0x00 << QStringList();
    QTest::newRow("three digits") << int(sim::Fault::LongReply) << 3 << false << 0x05
                                  << QStringList{InvalidReply};
    QTest::newRow("long reply") << int(sim::Fault::LongReply) << 5000 << false << 0x05
                                << QStringList{InvalidReply};
    QTest::newRow("empty reply") << int(sim::Fault::LongReply) << 0 << false << 0x05
                                 << QStringList{InvalidReply};
    QTest::newRow("no prompt") << int(sim::Fault::NoPrompt) << 0 << false << 0x05
                               << QStringList{QStringLiteral("File read failed")};
}

// Row 1 holds 0x05 (written), then reads 0x07E.
void TestRows::readReply()
{
    QFETCH(int, fault);
    QFETCH(int, replyBytes);
    QFETCH(bool, crs);
    QFETCH(int, value);
    QFETCH(QStringList, messages);

    WindowFixture f;
    f.target.setReg(0x07E, 0xC3);
    QVERIFY(f.connect());
    TfrmVekComm &w = *f.window;
    const TfrmVekComm::Row &row = w.rows[0];
    focusOn(w, row.edtData);
    QTest::keyClicks(row.edtData, "101");
    QTest::keyClick(row.edtData, Qt::Key_Return);
    QCOMPARE(f.takeLines(), Lines{"A000=05"});

    sim::TargetOptions options = f.target.options();
    options.fault = sim::Fault(fault);
    options.longReplyBytes = replyBytes;
    options.crInReplies = crs;
    f.target.setOptions(options);

    focusOn(w, row.edtAddr);
    QTest::keyClicks(row.edtAddr, "7e");
    QTest::keyClick(row.edtAddr, Qt::Key_Return);
    QCOMPARE(f.prompts.messages(), messages);
    QCOMPARE(row.edtAddr->text(), QStringLiteral("07E"));
    QCOMPARE(int(w.RowAddr[0]), 0x07E);
    QCOMPARE(int(w.RowValue[0]), value);
    QCOMPARE(row.edtData->text(), ValueDisplay(uint8_t(value), false));
    QVERIFY(!w.Editing);
}

// ------------------------------------------------------------ check box

void TestRows::checkBoxRedraws_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("mouse") << "mouse";
    QTest::newRow("space key") << "space";
    QTest::newRow("program") << "program";
}

void TestRows::checkBoxRedraws()
{
    QFETCH(QString, how);
    WindowFixture f;
    QVERIFY(f.connect());
    TfrmVekComm &w = *f.window;
    const TfrmVekComm::Row &row = w.rows[5];
    focusOn(w, row.edtData);
    QTest::keyClicks(row.edtData, "00001111");
    QTest::keyClick(row.edtData, Qt::Key_Return);
    QCOMPARE(row.edtData->width(), 73);
    f.takeLines();

    const auto toggle = [&] {
        if (how == QLatin1String("mouse")) {
            QTest::mouseClick(row.chkHex, Qt::LeftButton);
        } else if (how == QLatin1String("space")) {
            focusOn(w, row.chkHex);
            QTest::keyClick(row.chkHex, Qt::Key_Space);
        } else {
            row.chkHex->setChecked(!row.chkHex->isChecked());
        }
    };
    toggle();
    QVERIFY(row.chkHex->isChecked());
    QCOMPARE(row.edtData->text(), QStringLiteral("0F"));
    QCOMPARE(row.edtData->width(), 25);
    QCOMPARE(int(w.RowValue[5]), 0x0F);

    // The field is read in the mode it is drawn in: 0F, never 0x11.
    QTest::mouseDClick(row.edtData, Qt::LeftButton);
    QCOMPARE(int(w.RowValue[5]), 0x0F);
    QCOMPARE(f.takeLines(), Lines{"A000=0F"});
    QVERIFY(f.prompts.log.isEmpty());

    toggle();
    QVERIFY(!row.chkHex->isChecked());
    QCOMPARE(row.edtData->text(), QStringLiteral("00001111"));
    QCOMPARE(row.edtData->width(), 73);
    QCOMPARE(f.takeLines(), Lines{});
}

// ------------------------------------------------------------ labels

void TestRows::labelWithoutTable()
{
    WindowFixture f;
    QVERIFY(f.connect());
    TfrmVekComm &w = *f.window;
    const TfrmVekComm::Row &row = w.rows[2];
    focusOn(w, row.edtAddr);
    QTest::keyClicks(row.edtAddr, "2A");
    QTest::keyClick(row.edtAddr, Qt::Key_Return);
    row.edtLabel->setText(QStringLiteral("mine"));
    f.takeLines();
    f.prompts.clear();

    const bool shown = dblClickLabel(w, 2, [](TLabels *) {});
    QVERIFY(!shown);
    QCOMPARE(f.prompts.log, (QStringList{QStringLiteral("open Include files *.inc (*.inc)"),
                                         QStringLiteral("box INC Open|Open file cancelled|0")}));
    QCOMPARE(row.edtAddr->text(), QStringLiteral("02A"));
    QCOMPARE(int(w.RowAddr[2]), 0x02A);
    QCOMPARE(row.edtLabel->text(), QStringLiteral("mine"));
    QCOMPARE(f.takeLines(), Lines{});
    QVERIFY(!w.Editing);
}

void TestRows::chooseLabel_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("addr");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("data");

    QTest::newRow("FSR") << "FSR" << "004" << "FSR" << "10000001";
    QTest::newRow("STATUS") << "STATUS" << "003" << "STATUS" << "00011000";
    QTest::newRow("shared address: first in sort order") << "PORTA" << "005" << "ALIAS" << "00000110";
    QTest::newRow("lower-case address text") << "lower" << "FF8" << "" << "11111111";
}

void TestRows::chooseLabel()
{
    QFETCH(QString, name);
    QFETCH(QString, addr);
    QFETCH(QString, label);
    QFETCH(QString, data);

    WindowFixture f;
    f.target.setReg(0x003, 0x18);
    f.target.setReg(0x004, 0x81);
    f.target.setReg(0x005, 0x06);
    f.target.setReg(0xFF8, 0xFF);
    QVERIFY(f.connect());
    TfrmVekComm &w = *f.window;
    const TfrmVekComm::Row &row = w.rows[3];
    row.edtLabel->setText(QStringLiteral("typed"));
    f.prompts.fileAnswers.enqueue(writeInc("regs.inc", IncText));

    const bool shown = dblClickLabel(w, 3, [&](TLabels *labels) {
        QCOMPARE(items(labels->cbLabels),
                 (QStringList{"ALIAS", "FSR", "PORTA", "STATUS", "lower"}));
        labels->cbLabels->setCurrentIndex(labels->cbLabels->findText(name));
    });
    QVERIFY(shown);
    QVERIFY(!w.Labels->isVisible());
    QCOMPARE(row.edtAddr->text(), addr);
    QCOMPARE(AddrDisplay(w.RowAddr[3]), addr);
    QCOMPARE(row.edtLabel->text(), label);
    QCOMPARE(row.edtData->text(), data);
    QCOMPARE(f.takeLines(), Lines{"A" + addr.toLatin1()});
    QVERIFY(isBlack(row.edtAddr));
    QVERIFY(!w.Editing);
    QCOMPARE(f.prompts.log, QStringList{QStringLiteral("open Include files *.inc (*.inc)")});

    // Choosing again with the same address reads again and leaves the label alone.
    row.edtLabel->setText(QStringLiteral("kept"));
    const QString other = name == QLatin1String("PORTA") ? QStringLiteral("ALIAS") : QString();
    if (!other.isEmpty()) {
        QVERIFY(dblClickLabel(w, 3, [&](TLabels *labels) {
            labels->cbLabels->setCurrentIndex(labels->cbLabels->findText(other));
        }));
        QCOMPARE(row.edtAddr->text(), addr);
        QCOMPARE(row.edtLabel->text(), QStringLiteral("kept"));
        QCOMPARE(f.takeLines(), Lines{"A" + addr.toLatin1()});
    }
}

void TestRows::chooserKeepsSelectionAndCloseCancels()
{
    WindowFixture f;
    QVERIFY(f.connect());
    TfrmVekComm &w = *f.window;
    f.prompts.fileAnswers.enqueue(writeInc("keep.inc", IncText));
    QVERIFY(dblClickLabel(w, 2, [](TLabels *labels) { labels->cbLabels->setCurrentIndex(1); }));
    QCOMPARE(w.rows[2].edtLabel->text(), QStringLiteral("FSR"));
    f.takeLines();

    QString current;
    QVERIFY(dblClickLabel(w, 4, [&](TLabels *labels) {
        current = labels->cbLabels->currentText();
        labels->close();   // the window's close button
    }));
    QCOMPARE(current, QStringLiteral("FSR"));
    QCOMPARE(w.rows[4].edtAddr->text(), QStringLiteral("000"));
    QCOMPARE(int(w.RowAddr[4]), 0);
    QCOMPARE(w.rows[4].edtLabel->text(), QString());
    QCOMPARE(f.takeLines(), Lines{});
    QCOMPARE(f.prompts.log.size(), 1);   // the one open dialog of the first choice
}

void TestRows::sectionWithoutEntriesShowsNoChooser()
{
    WindowFixture f;
    TfrmVekComm &w = *f.window;
    f.prompts.fileAnswers.enqueue(writeInc("empty.inc", "; nothing\n;-- Register Files --\n; only a comment\n;--\n"));
    f.prompts.fileAnswers.enqueue(writeInc("nostart.inc", "FSR EQU H'0004'\n"));
    QVERIFY(!dblClickLabel(w, 0, [](TLabels *) {}));
    QVERIFY(!dblClickLabel(w, 0, [](TLabels *) {}));
    QCOMPARE(f.prompts.log, (QStringList{QStringLiteral("open Include files *.inc (*.inc)"),
                                         QStringLiteral("open Include files *.inc (*.inc)")}));
    QCOMPARE(w.rows[0].edtAddr->text(), QStringLiteral("000"));
    QCOMPARE(w.Labels->count(), 0);
}

// A file that ends inside the register section keeps what it defined, and a
// line without the entry form does not disturb the others.
void TestRows::incFileWithoutEndKeepsEntries()
{
    WindowFixture f;
    TfrmVekComm &w = *f.window;
    f.prompts.fileAnswers.enqueue(writeInc("cut.inc", "Register Files\n"
                                                      "ZETA EQU H'0010'\n"
                                                      "BROKEN EQU 0010\n"
                                                      "ALPHA EQU H'0011'\n"
                                                      "LONELY\n"));
    w.mnuOpenInc->trigger();
    QCOMPARE(items(w.Labels->cbLabels), (QStringList{"ALPHA", "ZETA"}));
    QCOMPARE(w.Labels->cbLabels->currentIndex(), -1);
    QVERIFY(f.prompts.log.size() == 1);

    // The label of row 2 follows a typed address from the table.
    focusOn(w, w.rows[1].edtAddr);
    QTest::keyClicks(w.rows[1].edtAddr, "11");
    QTest::keyClick(w.rows[1].edtAddr, Qt::Key_Return);
    QCOMPARE(w.rows[1].edtLabel->text(), QStringLiteral("ALPHA"));
}

// A chooser shown while no table is loaded asks for a file first and,
// without one, closes as cancelled.
void TestRows::chooserWithoutTableAsksForFile()
{
    WindowFixture f;
    TfrmVekComm &w = *f.window;
    bool leftOpen = false;
    QTimer::singleShot(0, w.Labels, [&] {
        QCoreApplication::processEvents();
        leftOpen = w.Labels->isVisible();
        if (leftOpen)
            w.Labels->close();
    });
    QCOMPARE(w.Labels->exec(), int(TLabels::ResultCancel));
    QVERIFY(!leftOpen);
    QCOMPARE(f.prompts.log, (QStringList{QStringLiteral("open Include files *.inc (*.inc)"),
                                         QStringLiteral("box INC Open|Open file cancelled|0")}));
}

// ------------------------------------------------------------ gestures

void TestRows::arrowKeys_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<int>("to");

    const int up = Qt::Key_Up, down = Qt::Key_Down;
    for (const char *kind : {"addr", "data", "label"}) {
        QTest::addRow("%s 8 down", kind) << kind << 8 << down << 0 << 1;
        QTest::addRow("%s 1 up", kind) << kind << 1 << up << 0 << 8;
        QTest::addRow("%s 4 down", kind) << kind << 4 << down << 0 << 5;
    }
    QTest::newRow("addr shift up") << "addr" << 5 << up << int(Qt::ShiftModifier) << 4;
    QTest::newRow("label shift up") << "label" << 1 << up << int(Qt::ShiftModifier) << 8;
    QTest::newRow("data left stays") << "data" << 3 << int(Qt::Key_Left) << 0 << 3;
}

void TestRows::arrowKeys()
{
    QFETCH(QString, kind);
    QFETCH(int, from);
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(int, to);

    WindowFixture f;
    QVERIFY(f.connect());
    TfrmVekComm &w = *f.window;
    const auto field = [&](int n) -> QLineEdit * {
        const TfrmVekComm::Row &row = w.rows[n - 1];
        return kind == QLatin1String("addr") ? row.edtAddr : kind == QLatin1String("data") ? row.edtData : row.edtLabel;
    };
    focusOn(w, field(from));
    QCOMPARE(focused(), field(from));
    QTest::keyClick(field(from), Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    QCOMPARE(focused(), field(to));
    // A field left without an entry is only drawn: no command, no message.
    QCOMPARE(f.takeLines(), Lines{});
    QVERIFY(f.prompts.log.isEmpty());
    if (from != to && kind == QLatin1String("addr"))
        QCOMPARE(field(from)->text(), QStringLiteral("000"));
    if (from != to && kind == QLatin1String("data"))
        QCOMPARE(field(from)->text(), QStringLiteral("00000000"));
}

void TestRows::typedAddressThenDown()
{
    WindowFixture f;
    f.target.setReg(0x02A, 0x5C);
    QVERIFY(f.connect());
    TfrmVekComm &w = *f.window;
    f.prompts.fileAnswers.enqueue(writeInc("down.inc", "Register Files\nTMR EQU H'002A'\n;--\n"));
    w.mnuOpenInc->trigger();

    focusOn(w, w.rows[2].edtAddr);
    QTest::keyClicks(w.rows[2].edtAddr, "2A");
    QTest::keyClick(w.rows[2].edtAddr, Qt::Key_Down);
    QCOMPARE(focused(), w.rows[3].edtAddr);
    QCOMPARE(w.rows[2].edtAddr->text(), QStringLiteral("02A"));
    QVERIFY(isBlack(w.rows[2].edtAddr));
    QCOMPARE(w.rows[2].edtData->text(), QStringLiteral("01011100"));
    QCOMPARE(w.rows[2].edtLabel->text(), QStringLiteral("TMR"));
    QCOMPARE(f.takeLines(), Lines{"A02A"});
    QVERIFY(!w.Editing);

    // A refused value moving up is not written.
    focusOn(w, w.rows[2].edtData);
    QTest::keyClicks(w.rows[2].edtData, "5");
    QTest::keyClick(w.rows[2].edtData, Qt::Key_Up);
    QCOMPARE(focused(), w.rows[1].edtData);
    QCOMPARE(f.prompts.messages(), QStringList{InvalidEntry});
    QCOMPARE(w.rows[2].edtData->text(), QStringLiteral("01011100"));
    QCOMPARE(f.takeLines(), Lines{});
}

void TestRows::doubleClick_data()
{
    QTest::addColumn<bool>("addrField");
    QTest::addColumn<QString>("committed");   // committed with Enter first; empty: never filled
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<Lines>("lines");

    QTest::newRow("never filled address") << true << "" << "000" << QStringList() << Lines{};
    QTest::newRow("never filled data") << false << "" << "00000000" << QStringList{InvalidEntry} << Lines{};
    QTest::newRow("address reads again") << true << "2a" << "02A" << QStringList() << Lines{"A02A"};
    QTest::newRow("data writes again") << false << "00001111" << "00001111" << QStringList()
                                       << Lines{"A000=0F"};
}

void TestRows::doubleClick()
{
    QFETCH(bool, addrField);
    QFETCH(QString, committed);
    QFETCH(QString, shown);
    QFETCH(QStringList, messages);
    QFETCH(Lines, lines);

    WindowFixture f;
    QVERIFY(f.connect());
    TfrmVekComm &w = *f.window;
    QLineEdit *field = addrField ? w.rows[6].edtAddr : w.rows[6].edtData;
    w.rows[6].edtLabel->setText(QStringLiteral("free text"));
    if (!committed.isEmpty()) {
        focusOn(w, field);
        QTest::keyClicks(field, committed);
        QTest::keyClick(field, Qt::Key_Return);
        f.takeLines();
    }
    QTest::mouseDClick(field, Qt::LeftButton);
    QCOMPARE(field->text(), shown);
    QCOMPARE(f.prompts.messages(), messages);
    QCOMPARE(f.takeLines(), lines);
    QCOMPARE(focused(), field);
    QVERIFY(!w.Editing);
    QCOMPARE(w.rows[6].edtLabel->text(), QStringLiteral("free text"));
}

QTEST_MAIN(TestRows)
#include "tst_rows.moc"
