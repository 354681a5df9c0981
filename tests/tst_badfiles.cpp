// Include and setup files that are damaged, odd or huge: each reader gives a
// clear result without crashing, memory stays bounded, a refused file sends
// nothing to the target and leaves the rows and the register table as they
// were.

#include "frmlabels.h"
#include "windowfixture.h"

#include <QLineEdit>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>
#include <limits>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

using namespace vek;
using namespace std::string_literals;

namespace {

// The growth of the peak memory a huge file may cost. AddressSanitizer
// keeps freed memory in quarantine, so there the peak says nothing.
#if defined(__SANITIZE_ADDRESS__)
constexpr qint64 RssGrowthKb = std::numeric_limits<qint64>::max();
#else
constexpr qint64 RssGrowthKb = 64 * 1024;
#endif

qint64 maxRssKb()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

// A directory, or a file holding `head` and then made `size` bytes long
// without writing the rest: a hole of zero bytes that costs no disk.
QString makePath(const QTemporaryDir &dir, const QString &kind, const QByteArray &head, qint64 size = -1)
{
    const QString path = dir.filePath(QString::number(QRandomGenerator::global()->generate()));
    if (kind == QLatin1String("directory"))
        return QDir().mkpath(path) ? path : QString();
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(head) != head.size() || (size > head.size() && !f.resize(size)))
        return QString();
    if (kind == QLatin1String("unreadable"))
        f.setPermissions(QFileDevice::WriteOwner);
    return path;
}

// A setup file with row 1 on 006 = FF, label "ONE", in the given line end.
QByteArray setupText(const QByteArray &eol, bool finalEol = true)
{
    QByteArray s = "006" + eol + "FF" + eol;
    for (int i = 1; i < 8; ++i)
        s += "000" + eol + "00" + eol;
    return s + "ONE" + eol.repeated(finalEol ? 8 : 7);
}

} // namespace

class TestBadFiles : public QObject {
    Q_OBJECT

private slots:
    void files_data();
    void files();

private:
    QTemporaryDir m_dir;
};

void TestBadFiles::files_data()
{
    QTest::addColumn<QString>("kind");      // include or setup file; a directory; unreadable
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("box");       // the start of the box shown; empty: the file loads
    QTest::addColumn<QString>("result");    // the register names read, or the label of row 1

    const auto row = [](const char *name, const char *kind, const QByteArray &head, const QString &box,
                        const QString &result = {}, qint64 size = -1) {
        QTest::newRow(name) << kind << head << size << box << result;
    };
    QByteArray bin(64 * 1024, '\0');
    QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(bin.data()), bin.size() / 4);
    const QByteArray inc = "; header\r\n;    Register Files\r\nB EQU H'2'\nA EQU H'1'\n;--\n";
    const QByteArray vek = setupText("\r\n");
    const QString noOpen = QStringLiteral("box Open Error|Could not open selected file.\n|48");
    const QString invalid = QStringLiteral("box Open Error|Invalid setup file: ");
    const qint64 huge = 100LL * 1024 * 1024;

    row("inc: binary", "inc", bin, "");
    row("inc: empty", "inc", "", "");
    row("inc: directory", "inc directory", "", noOpen);
    row("inc: unreadable", "inc unreadable", inc, noOpen);
    row("inc: no final line end", "inc", inc.chopped(5), "", "A,B");
    row("inc: NUL bytes", "inc", inc.left(42) + QByteArray::fromStdString("\0\0\0\nC\0D EQU H'3'\n;--\n"s), "",
        QString::fromLatin1("B,C\0D", 5));
    // Only LF ends a line: a CR-only file is one long line.
    row("inc: CR-only line ends", "inc", QByteArray(inc).replace('\n', '\r'), "");
    row("inc: LF-only line ends", "inc", QByteArray(inc).replace("\r\n", "\n") + "C EQU H'3'\n", "", "A,B");
    // A 1 MB line is read in pieces of 254 characters, none of them an entry.
    row("inc: 1 MB line", "inc", inc.left(42) + QByteArray(1 << 20, 'x') + '\n' + inc.mid(42), "", "A,B");
    row("inc: 100 MB, reading stops at the end line", "inc", inc, "", "A,B", huge);

    row("vek: binary", "vek", bin, invalid + "line 1: ");
    row("vek: empty", "vek", "", invalid + "it ends before the 16th value|48");
    row("vek: directory", "vek directory", "", "box Open Error|");
    row("vek: unreadable", "vek unreadable", vek, noOpen);
    row("vek: NUL in a value", "vek", QByteArray::fromStdString("0\0" "06"s) + vek.mid(3),
        invalid + "line 1: '0\\x0006' is not a hexadecimal number|48");
    row("vek: UTF-8 byte order mark", "vek", "\xEF\xBB\xBF" + vek, "", "ONE");
    row("vek: 1 MB line", "vek", QByteArray((1 << 20) - 100, '0'),
        invalid + "line 1: a value of 1048476 characters is longer than 35|48");
    row("vek: 100 MB", "vek", vek, invalid + "it is larger than a setup file can be|48", {}, huge);
    row("vek: no final line end", "vek", setupText("\r\n", false), "", "ONE");
    row("vek: LF-only line ends", "vek", setupText("\n"), "", "ONE");
    // The values load, and with no line after them the labels are looked up.
    row("vek: CR-only line ends", "vek", setupText("\r"), "", "FLAGS");
    row("vek: NUL in a label", "vek", QByteArray(vek).replace("ONE", QByteArray("O\0E", 3)), "",
        QString::fromLatin1("O\0E", 3));
}

void TestBadFiles::files()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, head);
    QFETCH(qint64, size);
    QFETCH(QString, box);
    QFETCH(QString, result);
    if (kind.endsWith(QLatin1String("unreadable")) && geteuid() == 0)
        QSKIP("root reads every file");
    const QString path = makePath(m_dir, kind.mid(4), head, size);
    QVERIFY(!path.isEmpty());

    // The window, connected, with an include file read and a row that holds something.
    testing::WindowFixture fx;
    TfrmVekComm &w = *fx.window;
    QVERIFY(w.Labels->loadIncFile(makePath(m_dir, "file", "Register Files\nFLAGS EQU H'0006'\n;--\n")));
    QVERIFY(fx.connect());
    w.RowAddr[0] = 0x10;
    w.RowValue[0] = 0x3C;
    w.rows[0].edtLabel->setText(QStringLiteral("OLD"));
    fx.prompts.clear();

    // The readers stream: a huge file never sits in memory.
    const qint64 before = maxRssKb();
    fx.prompts.fileAnswers.enqueue(path);
    kind.startsWith(QLatin1String("inc")) ? w.Labels->OpenIncFile() : w.mnuOpenClick();
    QVERIFY2(maxRssKb() - before < RssGrowthKb, qPrintable(QString::number(maxRssKb() - before)));
    QCOMPARE(fx.prompts.log.size(), box.isEmpty() ? 1 : 2);
    if (box.isEmpty() && kind.startsWith(QLatin1String("inc"))) {
        QCOMPARE(w.Labels->table().names(), result.isEmpty() ? QByteArrayList{} : result.toLatin1().split(','));
    } else if (box.isEmpty()) {
        QCOMPARE(fx.takeLines(), QList<QByteArray>{"A006=FF"});
        QCOMPARE(w.rows[0].edtLabel->text(), result);
    } else {   // one box, nothing on the line, the rows and the register table as they were
        QVERIFY2(fx.prompts.log.last().startsWith(box), qPrintable(fx.prompts.log.last()));
        QCOMPARE(fx.line.written, QByteArray());
        QCOMPARE(w.RowAddr[0], uint16_t(0x10));
        QCOMPARE(w.RowValue[0], uint8_t(0x3C));
        QCOMPARE(w.rows[0].edtLabel->text(), QStringLiteral("OLD"));
        QCOMPARE(w.SetupFileName, QString());
        QCOMPARE(w.Labels->table().names(), QByteArrayList{"FLAGS"});
    }
}

QTEST_MAIN(TestBadFiles)
#include "tst_badfiles.moc"
