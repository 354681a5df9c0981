// The File menu's setup files: saving the eight rows, opening them again,
// the boxes on the way and what opening sends to the target.

#include "frmlabels.h"
#include "textconv.h"
#include "windowfixture.h"

#include <QLineEdit>
#include <QTemporaryDir>
#include <QtTest>

using namespace vek;
using namespace vek::testing;

namespace {

using Lines = QList<QByteArray>;

const QString Filter = QStringLiteral("VEK Setup (*.vek)");

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size());
}

void setRow(TfrmVekComm &w, int r, uint16_t addr, uint8_t value, const QString &label)
{
    w.RowAddr[r] = addr;
    w.RowValue[r] = value;
    w.rows[r].edtLabel->setText(label);
}

void trigger(WindowFixture &fx, QAction *action, const QString &path)
{
    fx.prompts.fileAnswers.enqueue(path);
    action->trigger();
}

} // namespace

class TestSetupMenu : public QObject {
    Q_OBJECT
private slots:
    void save();
    void roundTrip();
    void saveFailure();
    void open_data();
    void open();

private:
    QTemporaryDir m_dir;
    QString path(const QString &name) const { return m_dir.filePath(name); }
};

void TestSetupMenu::save()
{
    WindowFixture fx;
    setRow(*fx.window, 0, 0x006, 0x3F, "FLAGS");
    fx.window->rows[1].edtAddr->setText("123");   // typed, not committed: not saved
    writeFile(path("ex.vek"), "old contents");
    fx.window->mnuSave->trigger();   // the dialog cancelled
    fx.prompts.boxAnswers.enqueue(Prompts::IdCancel);
    trigger(fx, fx.window->mnuSave, path("ex"));   // the confirmation cancelled
    QCOMPARE(readAll(path("ex.vek")), QByteArray("old contents"));

    trigger(fx, fx.window->mnuSave, path("ex"));
    QCOMPARE(readAll(path("ex.vek")), "006\r\n3F\r\n" + QByteArray("000\r\n00\r\n").repeated(7) + "FLAGS\r\n" + QByteArray("\r\n").repeated(7));
    const QString dialog = "save " + Filter, confirm = "box Save Warning|About to write " + path("ex") + "|1",
                  cancelled = "box VEK Save|Save file cancelled|0";
    QCOMPARE(fx.prompts.log, (QStringList{dialog, cancelled, dialog, confirm, cancelled, dialog, confirm}));
}

void TestSetupMenu::roundTrip()
{
    WindowFixture fx;
    TfrmVekComm &w = *fx.window;
    const auto label = [](int r) { return r == 1 ? QString(59, u'L') + "Z" : r == 2 ? "" : QStringLiteral("Grüße %1").arg(r); };
    for (int r = 0; r < 8; ++r)
        setRow(w, r, uint16_t(0x249 * r + 6), uint8_t(0x25 * r + 0x3F), label(r));
    trigger(fx, w.mnuSave, path("all.vek"));
    for (int r = 0; r < 8; ++r)
        setRow(w, r, 0x111, 0x22, "old");
    trigger(fx, w.mnuOpen, path("all.vek"));

    for (int r = 0; r < 8; ++r) {
        QCOMPARE(w.RowValue[r], uint8_t(0x25 * r + 0x3F));
        QCOMPARE(w.rows[r].edtAddr->text(), AddrDisplay(0x249 * r + 6));
        QCOMPARE(w.rows[r].edtLabel->text(), label(r));
    }
    QCOMPARE(fx.prompts.log.size(), 3);   // save dialog, confirmation, open dialog
}

// A file that cannot be written gives the box. (A read-only folder no
// longer refuses a writable file: see tst_setupfile.)
void TestSetupMenu::saveFailure()
{
    WindowFixture fx;
    trigger(fx, fx.window->mnuSave, path("missing/x.vek"));
    QCOMPARE(fx.prompts.log.mid(2), QStringList{"box Save Error|Could not open selected file.\nMake sure that there "
                                                "is enough disk-space and/orselected file is writeable.|48"});
    QCOMPARE(fx.window->SetupFileName, QString());
}

// Opened while connected, a good file writes the rows' values and, having no
// labels, has them looked up from the addresses; a bad one changes nothing.
void TestSetupMenu::open_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("reason");   // empty: a good file
    const QByteArray values = "006\r\nFF\r\n000\r\n12\r\n" + QByteArray("000\r\n00\r\n").repeated(6);
    QTest::newRow("no label lines") << values << "";
    QTest::newRow("empty label lines") << values + QByteArray("\r\n").repeated(8) << "";
    QTest::newRow("not hex") << QByteArray(values).replace(9, 3, "ZZ") << "line 3: 'ZZ' is not a hexadecimal number";
    QTest::newRow("cut short") << values.chopped(4) << "it ends before the 16th value";
}

void TestSetupMenu::open()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, reason);
    const bool good = reason.isEmpty();
    WindowFixture fx;
    TfrmVekComm &w = *fx.window;
    writeFile(path("part.inc"), ";----- Register Files -----\r\nINDF  EQU  H'0000'\r\nPORTB  EQU  H'0006'\r\n;-----\r\n");
    QVERIFY(w.Labels->loadIncFile(path("part.inc")));
    QVERIFY(fx.connect());
    for (int r = 0; r < 8; ++r)
        setRow(w, r, 0x00A, 0x42, "MINE");
    w.rows[0].edtAddr->setText("00A");
    writeFile(path("x.vek"), content);

    trigger(fx, w.mnuOpen, path("x.vek"));
    QCOMPARE(fx.prompts.log.mid(1), good ? QStringList{} : QStringList{"box Open Error|Invalid setup file: " + reason + "|48"});
    QCOMPARE(fx.takeLines(), good ? Lines{"A006=FF"} : Lines{});
    QCOMPARE(w.rows[0].edtAddr->text(), good ? "006" : "00A");
    QCOMPARE(w.RowValue[7], uint8_t(good ? 0x00 : 0x42));
    QCOMPARE(w.rows[0].edtLabel->text(), good ? "PORTB" : "MINE");
    QCOMPARE(w.rows[7].edtLabel->text(), good ? "INDF" : "MINE");
}

QTEST_MAIN(TestSetupMenu)
#include "tst_setupmenu.moc"
