// The File menu's setup files: saving the eight rows, opening them again,
// the boxes on the way and what opening sends to the target.

#include "frmlabels.h"
#include "textconv.h"
#include "windowfixture.h"

#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

using namespace vek;
using namespace vek::testing;

namespace {

using Lines = QList<QByteArray>;

const QString Filter = QStringLiteral("VEK Setup (*.vek)");
const QString SaveErrorBox = QStringLiteral(
    "box Save Error|Could not open selected file.\nMake sure that there is enough disk-space "
    "and/orselected file is writeable.|48");

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QCOMPARE(f.write(bytes), bytes.size());
}

void setRow(TfrmVekComm &w, int r, uint16_t addr, uint8_t value, const QString &label)
{
    w.RowAddr[r] = addr;
    w.RowValue[r] = value;
    w.rows[r].edtLabel->setText(label);
}

void save(WindowFixture &fx, const QString &path)
{
    fx.prompts.fileAnswers.enqueue(path);
    fx.window->mnuSave->trigger();
}

void open(WindowFixture &fx, const QString &path)
{
    fx.prompts.fileAnswers.enqueue(path);
    fx.window->mnuOpen->trigger();
}

// 006/FF, 000/12, the rest 000/00, and eight label lines.
QByteArray exampleFile(const QByteArray &labelLines)
{
    QByteArray b = "006\r\nFF\r\n000\r\n12\r\n";
    for (int i = 0; i < 6; ++i)
        b += "000\r\n00\r\n";
    return b + labelLines;
}

} // namespace

class TestSetupMenu : public QObject {
    Q_OBJECT
private slots:
    void init();
    void savedBytes();
    void roundTrip();
    void extension_data();
    void extension();
    void cancelWritesNothing_data();
    void cancelWritesNothing();
    void saveFailureKeepsOldFile();
    void openWritesLoadedValues();
    void openWhileClosedSendsNothingThenOrLater();
    void labels_data();
    void labels();
    void damagedFileChangesNothing_data();
    void damagedFileChangesNothing();
    void openCancelledOrMissing();

private:
    QTemporaryDir *m_dir = nullptr;
    QString path(const QString &name) const { return m_dir->filePath(name); }

public:
    ~TestSetupMenu() override { delete m_dir; }
};

void TestSetupMenu::init()
{
    delete m_dir;
    m_dir = new QTemporaryDir;
    QVERIFY(m_dir->isValid());
}

void TestSetupMenu::savedBytes()
{
    WindowFixture fx;
    TfrmVekComm &w = *fx.window;
    setRow(w, 0, 0x006, 0x3F, "FLAGS");
    // Only what was committed is saved, not text typed since.
    w.rows[1].edtAddr->setText("123");

    save(fx, path("ex.vek"));

    QByteArray expected = "006\r\n3F\r\n";
    for (int i = 0; i < 7; ++i)
        expected += "000\r\n00\r\n";
    expected += "FLAGS\r\n";
    for (int i = 0; i < 7; ++i)
        expected += "\r\n";
    QCOMPARE(readAll(path("ex.vek")), expected);
    QCOMPARE(fx.prompts.log, (QStringList{"save " + Filter, "box Save Warning|About to write " + path("ex.vek") + "|1"}));
}

void TestSetupMenu::roundTrip()
{
    WindowFixture fx;
    TfrmVekComm &w = *fx.window;
    const QString longLabel = QString("L").repeated(30) + QString("m").repeated(29) + "Z";   // 60 characters
    const uint16_t addrs[8] = {0x006, 0xFFF, 0x000, 0x00A, 0x123, 0x800, 0x07F, 0xABC};
    const uint8_t values[8] = {0x3F, 0xFF, 0x00, 0x01, 0x80, 0x5A, 0xA5, 0x10};
    const QString labels[8] = {"FLAGS", longLabel, "", "with space", "PORTB", "", "x", "Grüße"};
    for (int r = 0; r < 8; ++r)
        setRow(w, r, addrs[r], values[r], labels[r]);
    w.rows[4].chkHex->setChecked(!w.rows[4].chkHex->isChecked());
    save(fx, path("all.vek"));

    for (int r = 0; r < 8; ++r) {
        setRow(w, r, 0x111, 0x22, "old");
        w.rows[r].edtAddr->setText("111");
    }
    open(fx, path("all.vek"));

    for (int r = 0; r < 8; ++r) {
        QCOMPARE(w.RowAddr[r], addrs[r]);
        QCOMPARE(w.RowValue[r], values[r]);
        QCOMPARE(w.rows[r].edtAddr->text(), AddrDisplay(addrs[r]));
        QCOMPARE(w.rows[r].edtData->text(), ValueDisplay(values[r], w.rows[r].chkHex->isChecked()));
        QCOMPARE(w.rows[r].edtLabel->text(), labels[r]);
    }
    QCOMPARE(fx.prompts.log.size(), 3);   // save dialog, confirmation, open dialog
}

void TestSetupMenu::extension_data()
{
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QString>("written");
    QTest::newRow("no extension") << "plain" << "plain.vek";
    QTest::newRow("extension") << "plain.vek" << "plain.vek";
    QTest::newRow("capitals") << "plain.VEK" << "plain.VEK.vek";
    QTest::newRow("other extension") << "plain.txt" << "plain.txt.vek";
}

void TestSetupMenu::extension()
{
    QFETCH(QString, chosen);
    QFETCH(QString, written);
    WindowFixture fx;
    save(fx, path(chosen));

    QCOMPARE(fx.prompts.log.value(1), "box Save Warning|About to write " + path(chosen) + "|1");
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files), QStringList{written});
}

void TestSetupMenu::cancelWritesNothing_data()
{
    QTest::addColumn<bool>("dialogCancelled");
    QTest::newRow("dialog") << true;
    QTest::newRow("confirmation") << false;
}

void TestSetupMenu::cancelWritesNothing()
{
    QFETCH(bool, dialogCancelled);
    WindowFixture fx;
    setRow(*fx.window, 0, 0x006, 0x3F, "FLAGS");
    const QString file = path("old.vek");
    writeFile(file, "old contents");

    QStringList expected{"save " + Filter};
    if (!dialogCancelled) {
        fx.prompts.fileAnswers.enqueue(file);
        fx.prompts.boxAnswers.enqueue(Prompts::IdCancel);
        expected << "box Save Warning|About to write " + file + "|1";
    }
    fx.window->mnuSave->trigger();

    expected << "box VEK Save|Save file cancelled|0";
    QCOMPARE(fx.prompts.log, expected);
    QCOMPARE(readAll(file), QByteArray("old contents"));
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files), QStringList{"old.vek"});
}

void TestSetupMenu::saveFailureKeepsOldFile()
{
    {
        WindowFixture fx;
        save(fx, path("missing/dir/x.vek"));
        QCOMPARE(fx.prompts.log.value(2), SaveErrorBox);
        QCOMPARE(fx.prompts.log.size(), 3);
        QVERIFY(!QFile::exists(path("missing")));
    }
    if (geteuid() == 0)
        QSKIP("running as root: permissions do not stop a write");

    QVERIFY(QDir(m_dir->path()).mkdir("ro"));
    const QString file = path("ro/old.vek");
    writeFile(file, "old contents");
    QVERIFY(QFile::setPermissions(path("ro"), QFile::ReadOwner | QFile::ExeOwner));
    WindowFixture fx;
    setRow(*fx.window, 0, 0x006, 0x3F, "FLAGS");
    save(fx, file);
    QFile::setPermissions(path("ro"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QCOMPARE(fx.prompts.log.value(2), SaveErrorBox);
    QCOMPARE(readAll(file), QByteArray("old contents"));
}

void TestSetupMenu::openWritesLoadedValues()
{
    WindowFixture fx;
    QVERIFY(fx.connect());
    writeFile(path("ex.vek"), exampleFile(QByteArray("\r\n").repeated(8)));

    open(fx, path("ex.vek"));

    QCOMPARE(fx.takeLines(), Lines{"A006=FF"});
    QCOMPARE(fx.target.reg(0x006), uint8_t(0xFF));
    QCOMPARE(fx.window->RowValue[1], uint8_t(0x12));
    QCOMPARE(fx.prompts.log, QStringList{"open " + Filter});
}

void TestSetupMenu::openWhileClosedSendsNothingThenOrLater()
{
    WindowFixture fx;
    TfrmVekComm &w = *fx.window;
    writeFile(path("ex.vek"), exampleFile(QByteArray("\r\n").repeated(8)));

    open(fx, path("ex.vek"));
    QCOMPARE(w.RowAddr[0], uint16_t(0x006));
    QCOMPARE(w.rows[0].edtAddr->text(), QStringLiteral("006"));

    w.btnOpenClose->click();
    QVERIFY(w.CommOpen);
    QCOMPARE(fx.takeLines(), Lines{"V"});
    QCOMPARE(fx.target.reg(0x006), uint8_t(0));
}

void TestSetupMenu::labels_data()
{
    QTest::addColumn<QByteArray>("labelLines");
    QTest::addColumn<bool>("withTable");
    QTest::addColumn<QStringList>("expected");

    const QStringList looked{"PORTB", "INDF", "INDF", "INDF", "INDF", "INDF", "INDF", "INDF"};
    const QStringList kept{"keep1", "keep2", "keep3", "keep4", "keep5", "keep6", "keep7", "keep8"};
    const QByteArray eightEmpty = QByteArray("\r\n").repeated(8);
    QTest::newRow("sixteen lines, table") << QByteArray() << true << looked;
    QTest::newRow("empty labels, table") << eightEmpty << true << looked;
    QTest::newRow("blank labels, bare LF, table") << QByteArray(" \n\t\n\n") << true << looked;
    QTest::newRow("empty labels, no table") << eightEmpty << false << kept;
    QTest::newRow("second label only") << QByteArray("\r\nCOUNT\r\n\r\n\r\n\r\n\r\n\r\n\r\n") << true
                                       << QStringList{"", "COUNT", "", "", "", "", "", ""};
    QTest::newRow("last line without end") << QByteArray("A\nB\nC\nD\nE\nF\nG\nH") << true
                                           << QStringList{"A", "B", "C", "D", "E", "F", "G", "H"};
}

void TestSetupMenu::labels()
{
    QFETCH(QByteArray, labelLines);
    QFETCH(bool, withTable);
    QFETCH(QStringList, expected);
    WindowFixture fx;
    TfrmVekComm &w = *fx.window;
    if (withTable) {
        writeFile(path("part.inc"), ";----- Register Files -----\r\n"
                                    "INDF     EQU  H'0000'\r\n"
                                    "STATUS   EQU  H'0003'\r\n"
                                    "PORTB    EQU  H'0006'\r\n"
                                    ";-----\r\n");
        QVERIFY(w.Labels->loadIncFile(path("part.inc")));
    }
    for (int r = 0; r < 8; ++r)
        w.rows[r].edtLabel->setText(QStringLiteral("keep%1").arg(r + 1));
    writeFile(path("l.vek"), exampleFile(labelLines));

    open(fx, path("l.vek"));

    QStringList shown;
    for (int r = 0; r < 8; ++r)
        shown << w.rows[r].edtLabel->text();
    QCOMPARE(shown, expected);
    QCOMPARE(fx.prompts.log.size(), 1);
}

void TestSetupMenu::damagedFileChangesNothing_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("reason");
    QByteArray bad = exampleFile("");
    bad.replace(9, 3, "ZZ");   // line 3: row 2's address
    QTest::newRow("not hex") << bad << "line 3: 'ZZ' is not a hexadecimal number";
    QTest::newRow("cut short") << QByteArray("006\r\nFF\r\n000\r\n12\r\n003") << "it ends before the 16th value";
    QTest::newRow("empty") << QByteArray() << "it ends before the 16th value";
}

void TestSetupMenu::damagedFileChangesNothing()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, reason);
    WindowFixture fx;
    TfrmVekComm &w = *fx.window;
    QVERIFY(fx.connect());
    setRow(w, 0, 0x00A, 0x42, "MINE");
    w.rows[0].edtAddr->setText("00A");
    writeFile(path("bad.vek"), content);

    open(fx, path("bad.vek"));

    QCOMPARE(fx.prompts.log, (QStringList{"open " + Filter, "box Open Error|Invalid setup file: " + reason + "|48"}));
    QCOMPARE(w.RowAddr[0], uint16_t(0x00A));
    QCOMPARE(w.RowValue[0], uint8_t(0x42));
    QCOMPARE(w.RowAddr[1], uint16_t(0));
    QCOMPARE(w.rows[0].edtAddr->text(), QStringLiteral("00A"));
    QCOMPARE(w.rows[0].edtLabel->text(), QStringLiteral("MINE"));
    QVERIFY(fx.takeLines().isEmpty());
}

void TestSetupMenu::openCancelledOrMissing()
{
    WindowFixture fx;
    fx.window->mnuOpen->trigger();
    open(fx, path("nothing-here.vek"));
    QCOMPARE(fx.prompts.log, (QStringList{"open " + Filter, "box VEK Open|Open file cancelled|0", "open " + Filter,
                                          "box Open Error|Could not open selected file.\n|48"}));
}

QTEST_MAIN(TestSetupMenu)
#include "tst_setupmenu.moc"
