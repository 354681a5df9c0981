// The File menu's setup files and the include files, through the window:
// saving the eight rows and opening them again, the boxes on the way, what
// opening sends to the target, and files that are damaged, odd or huge. A
// refused file sends nothing and leaves the rows and the register table as
// they were; memory stays bounded whatever the file's size.

#include "frmlabels.h"
#include "textconv.h"
#include "windowfixture.h"

#include <QCheckBox>
#include <QTemporaryDir>
#include <QtTest>
#include <limits>
#include <sys/resource.h>
#include <unistd.h>

using namespace vek;
using namespace vek::testing;

namespace {

// The growth of the peak memory a huge file may cost. AddressSanitizer
// keeps freed memory in quarantine, so there the peak says nothing.
#if defined(__SANITIZE_ADDRESS__)
constexpr qint64 RssGrowthKb = std::numeric_limits<qint64>::max();
#else
constexpr qint64 RssGrowthKb = 64 * 1024;
#endif

qint64 maxRssKb() { rusage u{}; getrusage(RUSAGE_SELF, &u); return u.ru_maxrss; }

QByteArray readAll(const QString &path) { QFile f(path); return f.open(QIODevice::ReadOnly) ? f.readAll() : "<missing>"; }

// A directory, or a file holding `head` and then made `size` bytes long
// without writing the rest: a hole of zero bytes that costs no disk.
QString makePath(const QString &path, const QString &kind, const QByteArray &head, qint64 size = -1)
{
    if (kind == QLatin1String("directory"))
        return QDir().mkpath(path) ? path : QString();
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(head) != head.size() || (size > head.size() && !f.resize(size)))
        return QString();
    if (kind == QLatin1String("unreadable"))
        f.setPermissions(QFileDevice::WriteOwner);
    return path;
}

// Fills row `r` as a person does: the address, the value in hex, then the label.
void setRow(const TfrmVekComm::Probe &w, int r, uint16_t addr, uint8_t value, const QString &label)
{
    const TfrmVekComm::Row &row = w.rows[r];
    row.chkHex->setChecked(true);
    press(row.edtAddr, AddrDisplay(addr) + '\r');
    press(row.edtData, HexByte(value) + '\r');
    press(row.edtLabel, {});
    QTest::keyClick(row.edtLabel, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(row.edtLabel, Qt::Key_Delete);
    for (QChar c : label) {   // any character, as an input method gives it
        QKeyEvent k(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
        QApplication::sendEvent(row.edtLabel, &k);
    }
}

void trigger(WindowFixture &fx, QAction *action, const QString &path) { fx.prompts.fileAnswers.enqueue(path); action->trigger(); }

// kind: include or setup file, a directory, unreadable; box: the start of the
// box shown, empty when the file loads; result: the register names read, or
// the label of row 1.
struct FileCase { QString kind; QByteArray head; QString box, result; qint64 size = -1; };

} // namespace

Q_DECLARE_METATYPE(FileCase)

class TestSetupMenu : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    QString path(const QString &name) const { return m_dir.filePath(name); }

private slots:
    // Cancelled twice, saved with ".vek" added, then a file that cannot be
    // written: the boxes in order, and the exact bytes. Then every row's
    // address, value and label saved and opened again.
    void saveAndOpen()
    {
        WindowFixture fx;
        const TfrmVekComm::Probe w = fx.probe();
        setRow(w, 0, 0x006, 0x3F, "FLAGS");
        press(w.rows[1].edtAddr, "123");   // typed, not committed: not saved
        QVERIFY(!makePath(path("ex.vek"), "file", "old contents").isEmpty());
        w.mnuSave->trigger();   // the dialog cancelled
        fx.prompts.boxAnswers.enqueue(Prompts::IdCancel);
        trigger(fx, w.mnuSave, path("ex"));   // the confirmation cancelled
        QCOMPARE(readAll(path("ex.vek")), QByteArray("old contents"));
        trigger(fx, w.mnuSave, path("ex"));
        QCOMPARE(readAll(path("ex.vek")), "006\r\n3F\r\n" + QByteArray("000\r\n00\r\n").repeated(7) + "FLAGS\r\n"
                                              + QByteArray("\r\n").repeated(7));
        trigger(fx, w.mnuSave, path("missing/x.vek"));
        const QString dialog = "save VEK Setup (*.vek)", confirm = "box Save Warning|About to write " + path("ex") + "|1",
                      cancelled = "box VEK Save|Save file cancelled|0";
        QCOMPARE(fx.prompts.log, (QStringList{dialog, cancelled, dialog, confirm, cancelled, dialog, confirm, dialog,
                                              "box Save Warning|About to write " + path("missing/x.vek") + "|1",
                                              "box Save Error|Could not open selected file.\nMake sure that there "
                                              "is enough disk-space and/orselected file is writeable.|48"}));

        fx.prompts.clear();
        const auto label = [](int r) { return r == 1 ? QString(59, u'L') + "Z" : r == 2 ? "" : QStringLiteral("Grüße %1").arg(r); };
        for (int r = 0; r < 8; ++r)
            setRow(w, r, uint16_t(0x240 * r + 6), uint8_t(0x25 * r + 0x3F), label(r));
        trigger(fx, w.mnuSave, path("all.vek"));
        for (int r = 0; r < 8; ++r)
            setRow(w, r, 0x111, 0x22, "old");
        trigger(fx, w.mnuOpen, path("all.vek"));
        for (int r = 0; r < 8; ++r)
            QCOMPARE(std::tuple(int(w.RowValue[r]), w.rows[r].edtAddr->text(), w.rows[r].edtLabel->text()),
                     std::tuple((0x25 * r + 0x3F) & 0xFF, AddrDisplay(0x240 * r + 6), label(r)));
        QCOMPARE(fx.prompts.log.size(), 3);   // save dialog, confirmation, open dialog
    }

    // Files opened while connected. A good setup file writes the rows' values
    // (not those at 000) and, having no labels, has them looked up from the
    // addresses. (Random bytes are in the fuzz corpus: tst_fuzzreplay; the
    // reasons a setup file is refused: tst_setupfile.)
    void files_data()
    {
        QTest::addColumn<FileCase>("c");
        const auto row = [](const char *name, const char *kind, const QByteArray &head, const QString &box,
                            const QString &result = {}, qint64 size = -1) { QTest::newRow(name) << FileCase{kind, head, box, result, size}; };
        const QByteArray inc = "; header\r\n;    Register Files\r\nB EQU H'2'\nA EQU H'1'\n;--\n";
        const QByteArray values = "006\r\nFF\r\n" + QByteArray("000\r\n00\r\n").repeated(7);
        const QByteArray vek = values + "ONE\r\n" + QByteArray("\r\n").repeated(7);
        const QString noOpen = QStringLiteral("box Open Error|Could not open selected file.\n|48");
        const QString invalid = QStringLiteral("box Open Error|Invalid setup file: ");
        const qint64 huge = 100LL * 1024 * 1024;

        row("inc: directory", "inc directory", "", noOpen);
        row("inc: 100 MB, reading stops at the end line", "inc", inc, "", "A,B", huge);

        row("vek: no final line end", "vek", vek.chopped(2), "", "ONE");
        // The values load, and with no line after them the labels are looked up.
        row("vek: CR-only line ends", "vek", QByteArray(vek).replace("\r\n", "\r"), "", "FLAGS");
        row("vek: cut short", "vek", values.chopped(4), invalid + "it ends before the 16th value|48");
        row("vek: directory", "vek directory", "", "box Open Error|");
        row("vek: unreadable", "vek unreadable", vek, noOpen);
        row("vek: 100 MB", "vek", vek, invalid + "it is larger than a setup file can be|48", {}, huge);
    }

    void files()
    {
        QFETCH(FileCase, c);
        const auto &[kind, head, box, result, size] = c;
        if (kind.endsWith(QLatin1String("unreadable")) && geteuid() == 0)
            QSKIP("root reads every file");
        const QString file = makePath(path(QTest::currentDataTag()), kind.mid(4), head, size);
        QVERIFY(!file.isEmpty());

        // The window, connected, with an include file read and a row that holds something.
        WindowFixture fx;
        const TfrmVekComm::Probe w = fx.probe();
        QVERIFY(w.Labels->loadIncFile(makePath(path("part.inc"), "file", "Register Files\nFLAGS EQU H'0006'\n;--\n")));
        setRow(w, 0, 0x10, 0x3C, "OLD");
        QVERIFY(fx.connect());
        fx.prompts.clear();

        const qint64 before = maxRssKb();
        fx.prompts.fileAnswers.enqueue(file);
        kind.startsWith(QLatin1String("inc")) ? w.Labels->OpenIncFile() : w.mnuOpen->trigger();
        QVERIFY2(maxRssKb() - before < RssGrowthKb, qPrintable(QString::number(maxRssKb() - before)));
        QCOMPARE(fx.prompts.log.size(), box.isEmpty() ? 1 : 2);
        if (box.isEmpty() && kind.startsWith(QLatin1String("inc"))) {
            QCOMPARE(w.Labels->table().names(), result.isEmpty() ? QByteArrayList{} : result.toLatin1().split(','));
        } else if (box.isEmpty()) {
            QCOMPARE(std::tuple(fx.takeLines().join(' '), w.rows[0].edtAddr->text(), w.rows[0].edtLabel->text()),
                     std::tuple(QByteArray("A006=FF"), QStringLiteral("006"), result));
        } else {   // one box, nothing on the line, the rows and the register table as they were
            QVERIFY2(fx.prompts.log.last().startsWith(box), qPrintable(fx.prompts.log.last()));
            QCOMPARE(std::tuple(fx.line.written, int(w.RowAddr[0]), int(w.RowValue[0]), w.rows[0].edtLabel->text(), w.Labels->table().names().join(',')),
                     std::tuple(QByteArray(), 0x10, 0x3C, QStringLiteral("OLD"), QByteArray("FLAGS")));
        }
    }
};

QTEST_MAIN(TestSetupMenu)
#include "tst_setupmenu.moc"
