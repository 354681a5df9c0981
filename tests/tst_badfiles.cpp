// Include and setup files that are damaged, odd or huge: each reader gives a
// clear result without crashing, memory stays bounded, a refused setup file
// sends nothing to the target, and a failed include-file read keeps the
// register table that was there.

#include "frmlabels.h"
#include "registertable.h"
#include "setupfile.h"
#include "windowfixture.h"

#include <QLineEdit>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>
#include <limits>
#include <sys/resource.h>
#include <unistd.h>

using namespace vek;
using namespace vek::testing;

namespace {

constexpr qint64 Huge = 100LL * 1024 * 1024;

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

// Writes `head`, then makes the file `size` bytes long without writing the
// rest: the tail is a hole of zero bytes that costs no disk.
QString makeFile(const QTemporaryDir &dir, const QString &name, const QByteArray &head, qint64 size = -1)
{
    const QString path = dir.filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return QString();
    f.write(head);
    if (size > head.size())
        f.resize(size);
    return path;
}

QByteArray binary(int n)
{
    QRandomGenerator gen(7);
    QByteArray b(n, '\0');
    for (char &c : b)
        c = char(gen.bounded(256));
    return b;
}

// A literal that may hold NUL bytes.
template<size_t N>
QByteArray bytes(const char (&text)[N])
{
    return QByteArray(text, qsizetype(N - 1));
}

const QByteArray IncHead = "; header\r\n;    Register Files\r\n";

// A setup file with row 1 on 006 = FF, label "ONE", in the given line end.
QByteArray setupText(const QByteArray &eol, bool finalEol = true)
{
    QByteArray s = "006" + eol + "FF" + eol;
    for (int i = 1; i < 8; ++i)
        s += "000" + eol + "00" + eol;
    s += "ONE";
    for (int i = 1; i < 8; ++i)
        s += eol;
    if (finalEol)
        s += eol;
    return s;
}

} // namespace

class TestBadFiles : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }
    void includeFile_data();
    void includeFile();
    void includeFileReadFails_data();
    void includeFileReadFails();
    void setupFile_data();
    void setupFile();

private:
    QTemporaryDir m_dir;
};

void TestBadFiles::includeFile_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QByteArrayList>("names");   // sorted
    QTest::addColumn<bool>("foundEnd");

    const QByteArrayList ab{"A", "B"};
    QTest::newRow("binary") << binary(64 * 1024) << qint64(-1) << QByteArrayList{} << false;
    QTest::newRow("empty") << QByteArray() << qint64(-1) << QByteArrayList{} << false;
    QTest::newRow("no final line end") << IncHead + "B EQU H'2'\nA EQU H'1'" << qint64(-1) << ab << false;
    QTest::newRow("NUL bytes") << IncHead + bytes("B EQU H'2'\n\0\0\0\nA EQU H'1'\nC\0D EQU H'3'\n;--\n")
                               << qint64(-1) << QByteArrayList{"A", "B", QByteArray("C\0D", 3)} << true;
    // Only LF ends a line: a CR-only file is one long line.
    QTest::newRow("CR-only line ends") << QByteArray("Register Files\rB EQU H'2'\rA EQU H'1'\r;--\r")
                                       << qint64(-1) << QByteArrayList{} << false;
    QTest::newRow("LF-only line ends") << QByteArray("Register Files\nB EQU H'2'\nA EQU H'1'\n;--\nC EQU H'3'\n")
                                       << qint64(-1) << ab << true;
    // A 1 MB line is read in pieces of 254 characters, none of them an entry.
    QTest::newRow("1 MB line") << IncHead + "B EQU H'2'\n" + QByteArray(1 << 20, 'x') + "\nA EQU H'1'\n;--\n"
                               << qint64(-1) << ab << true;
    QTest::newRow("100 MB, section first") << IncHead + "B EQU H'2'\nA EQU H'1'\n;--\n" << Huge << ab << true;
    QTest::newRow("100 MB, never ending section") << IncHead + "B EQU H'2'\nA EQU H'1'\n" << Huge << ab << false;
}

void TestBadFiles::includeFile()
{
    QFETCH(QByteArray, head);
    QFETCH(qint64, size);
    QFETCH(QByteArrayList, names);
    QFETCH(bool, foundEnd);
    const QString path = makeFile(m_dir, QStringLiteral("bad.inc"), head, size);
    QVERIFY(!path.isEmpty());

    // The reader streams: a huge file never sits in memory.
    const qint64 before = maxRssKb();
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    RegisterTable table;
    RegisterTable::ReadReport report;
    table.read(f, &report);
    QCOMPARE(table.names(), names);
    QCOMPARE(table.addrs().size(), names.size());
    QCOMPARE(report.foundEnd, foundEnd);
    QVERIFY2(maxRssKb() - before < RssGrowthKb, qPrintable(QString::number(maxRssKb() - before)));

    // The label chooser takes what the reader gives.
    WindowFixture fx;
    QVERIFY(fx.window->Labels->loadIncFile(path));
    QCOMPARE(fx.window->Labels->table().names(), names);
}

void TestBadFiles::includeFileReadFails_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("directory") << "directory";
    QTest::newRow("unreadable") << "unreadable";
    QTest::newRow("missing") << "missing";
}

// A file that cannot be read leaves the table of the last good file.
void TestBadFiles::includeFileReadFails()
{
    QFETCH(QString, kind);
    QString path;
    if (kind == QLatin1String("directory")) {
        path = m_dir.filePath(QStringLiteral("dir.inc"));
        QVERIFY(QDir().mkpath(path));
    } else if (kind == QLatin1String("unreadable")) {
        if (geteuid() == 0)
            QSKIP("root reads every file");
        path = makeFile(m_dir, QStringLiteral("locked.inc"), IncHead + "Z EQU H'9'\n;--\n");
        QVERIFY(QFile::setPermissions(path, QFileDevice::WriteOwner));
    } else {
        path = m_dir.filePath(QStringLiteral("no-such.inc"));
    }
    const QString good = makeFile(m_dir, QStringLiteral("good.inc"), IncHead + "B EQU H'2'\nA EQU H'1'\n;--\n");

    WindowFixture fx;
    TLabels *labels = fx.window->Labels;
    QVERIFY(labels->loadIncFile(good));
    QVERIFY(!labels->loadIncFile(path));
    QCOMPARE(labels->table().names(), (QByteArrayList{"A", "B"}));

    // Through the dialog: the box says so, and the table stays.
    fx.prompts.fileAnswers.enqueue(path);
    labels->OpenIncFile();
    QCOMPARE(fx.prompts.log.last(), QStringLiteral("box Open Error|Could not open selected file.\n|48"));
    QCOMPARE(labels->count(), 2);
}

void TestBadFiles::setupFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("refusal");   // empty: the file loads
    QTest::addColumn<QString>("label1");

    const QString notHex = QStringLiteral("box Open Error|Invalid setup file: line 1: '%1' is not a hexadecimal number|48");
    const QString tooLarge = QStringLiteral("box Open Error|Invalid setup file: it is larger than a setup file can be|48");
    const QString cannotOpen = QStringLiteral("box Open Error|Could not open selected file.\n|48");
    QTest::newRow("binary") << "file" << QByteArray("\x01\x02\xff\xfe", 4) + binary(4096) << qint64(-1)
                            << "box Open Error|Invalid setup file: line 1: " << "";
    QTest::newRow("empty") << "file" << QByteArray() << qint64(-1)
                           << "box Open Error|Invalid setup file: it ends before the 16th value|48" << "";
    QTest::newRow("directory") << "directory" << QByteArray() << qint64(-1) << "box Open Error|" << "";
    QTest::newRow("unreadable") << "unreadable" << setupText("\r\n") << qint64(-1) << cannotOpen << "";
    QTest::newRow("NUL in a value") << "file" << QByteArray("0\0" "06\r\n", 6) + setupText("\r\n").mid(5)
                                    << qint64(-1) << notHex.arg(QString::fromLatin1("0\0" "06", 4)) << "";
    QTest::newRow("1 MB line") << "file" << QByteArray(1 << 20, '0') + "\r\n" + setupText("\r\n") << qint64(-1)
                               << tooLarge << "";
    QTest::newRow("1 MB value") << "file" << QByteArray((1 << 20) - 100, '0') << qint64(-1)
                                << "box Open Error|Invalid setup file: line 1: a value of 1048476 characters is longer than 35|48"
                                << "";
    QTest::newRow("100 MB") << "file" << setupText("\r\n") << Huge << tooLarge << "";
    QTest::newRow("no final line end") << "file" << setupText("\r\n", false) << qint64(-1) << "" << "ONE";
    QTest::newRow("LF-only line ends") << "file" << setupText("\n") << qint64(-1) << "" << "ONE";
    // Only LF ends a line: the values load, and with no line after them the
    // labels are looked up.
    QTest::newRow("CR-only line ends") << "file" << setupText("\r") << qint64(-1) << "" << "FLAGS";
    QTest::newRow("NUL in a label") << "file" << setupText("\r\n").replace("ONE", QByteArray("O\0E", 3))
                                    << qint64(-1) << "" << QString::fromLatin1("O\0E", 3);
}

void TestBadFiles::setupFile()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, head);
    QFETCH(qint64, size);
    QFETCH(QString, refusal);
    QFETCH(QString, label1);

    QString path;
    if (kind == QLatin1String("directory")) {
        path = m_dir.filePath(QStringLiteral("dir.vek"));
        QVERIFY(QDir().mkpath(path));
    } else {
        path = makeFile(m_dir, QStringLiteral("bad.vek"), head, size);
        if (kind == QLatin1String("unreadable")) {
            if (geteuid() == 0)
                QSKIP("root reads every file");
            QVERIFY(QFile::setPermissions(path, QFileDevice::WriteOwner));
        }
    }

    // The core reader on the same bytes: a clear answer either way.
    if (kind == QLatin1String("file") && size < 0) {
        Setup s;
        QString error;
        QCOMPARE(ParseSetup(head, s, error), refusal.isEmpty());
        QCOMPARE(error.isEmpty(), refusal.isEmpty());
    }

    // The window, connected, with an include file for the label look-up and
    // rows that hold something already.
    WindowFixture fx;
    const QString inc = makeFile(m_dir, QStringLiteral("flags.inc"), IncHead + "FLAGS EQU H'0006'\n;--\n");
    QVERIFY(fx.window->Labels->loadIncFile(inc));
    QVERIFY(fx.connect());
    fx.window->RowAddr[0] = 0x10;
    fx.window->RowValue[0] = 0x3C;
    fx.window->rows[0].edtLabel->setText(QStringLiteral("OLD"));
    fx.prompts.clear();

    const qint64 before = maxRssKb();
    fx.prompts.fileAnswers.enqueue(path);
    fx.window->mnuOpenClick();
    QVERIFY2(maxRssKb() - before < RssGrowthKb, qPrintable(QString::number(maxRssKb() - before)));

    if (!refusal.isEmpty()) {
        QCOMPARE(fx.prompts.log.size(), 2);
        QVERIFY2(fx.prompts.log.last().startsWith(refusal), qPrintable(fx.prompts.log.last()));
        QCOMPARE(fx.takeLines(), QList<QByteArray>{});
        QCOMPARE(fx.line.written, QByteArray());
        QCOMPARE(fx.window->RowAddr[0], uint16_t(0x10));
        QCOMPARE(fx.window->RowValue[0], uint8_t(0x3C));
        QCOMPARE(fx.window->rows[0].edtLabel->text(), QStringLiteral("OLD"));
        QCOMPARE(fx.window->SetupFileName, QString());
    } else {
        QCOMPARE(fx.prompts.log, QStringList{QStringLiteral("open VEK Setup (*.vek)")});
        QCOMPARE(fx.takeLines(), QList<QByteArray>{"A006=FF"});
        QCOMPARE(fx.window->RowAddr[0], uint16_t(0x006));
        QCOMPARE(fx.window->rows[0].edtLabel->text(), label1);
    }
}

QTEST_MAIN(TestBadFiles)
#include "tst_badfiles.moc"
