// The setup file: reading with checks, the labels' rules, atomic saving.
// (Its exact bytes and round trip are checked through the File menu.)

#include "setupfile.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace vek;

namespace {

// Sixteen value words, one a line, with row 1 at 006/3F.
const QByteArray Values = "006\r\n3F\r\n" + QByteArray("000\r\n00\r\n").repeated(RowCount - 1);

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : "<unreadable>";
}

} // namespace

class TstSetupFile : public QObject {
    Q_OBJECT
private slots:
    void parse_data();
    void parse();
    void save();
};

void TstSetupFile::parse_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("error");         // empty: the file is good, row 1 at 006/3F
    QTest::addColumn<QStringList>("labels");    // empty: labels absent
    const auto labels = [](QStringList l) { return l << QStringList(RowCount - int(l.size()), QString()); };

    QTest::newRow("sixteen values only") << Values << "" << QStringList{};
    QTest::newRow("empty or blank label lines") << Values + "\r\n  \r\n\t\r\n \n" << "" << QStringList{};
    QTest::newRow("lower case, any white space, bare LF")
        << QByteArray("  6\t3f\n\n 0 0 0 0\t\t0 0\n0 0 0 0 0 0 0 0\nOne\n") << "" << labels({"One"});
    QTest::newRow("empty first label, second kept exactly, more lines ignored")
        << Values + "\r\n  x y  \r\n3\r\n4\r\n5\r\n6\r\n7\r\n8\r\n9\r\n" << ""
        << QStringList{"", "  x y  ", "3", "4", "5", "6", "7", "8"};
    const std::array<QString, RowCount> lineEnd{"A\r\nB", "C"};   // a line end would shift the later labels
    QTest::newRow("written label with a line end")
        << FormatSetup(std::array<SetupRow, RowCount>{SetupRow{6, 0x3F}}, lineEnd) << "" << labels({"A  B", "C"});
    QTest::newRow("Latin-1 label") << Values + "\xe9t\xe9\r\n" << "" << labels({QString::fromUtf8("\xc3\xa9t\xc3\xa9")});
    QTest::newRow("not hexadecimal") << QByteArray("006\r\n3F\r\nZZ\r\n00\r\n")
                                     << "line 3: 'ZZ' is not a hexadecimal number" << QStringList{};
    QTest::newRow("ends early") << Values.left(40) << "it ends before the 16th value" << QStringList{};
    QTest::newRow("word over 35 characters") << QByteArray("\n\n") + QByteArray(36, '0') + "\n" + Values
                                             << "line 3: a value of 36 characters is longer than 35" << QStringList{};
}

void TstSetupFile::parse()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, error);
    QFETCH(QStringList, labels);
    Setup setup;
    setup.rows[1] = {0x123, 0x45};
    QString reason;
    QCOMPARE(ParseSetup(content, setup, reason), error.isEmpty());
    QCOMPARE(reason, error);
    QCOMPARE(int(setup.rows[1].addr), error.isEmpty() ? 0 : 0x123);   // a failed read leaves the setup alone
    QCOMPARE(int(setup.rows[0].addr), error.isEmpty() ? 0x006 : 0);
    QCOMPARE(int(setup.rows[0].value), error.isEmpty() ? 0x3F : 0);
    QCOMPARE(setup.labels.has_value(), !labels.isEmpty());
    if (setup.labels)
        QCOMPARE(QStringList(setup.labels->begin(), setup.labels->end()), labels);
}

// Saving replaces the file only by a whole new one: on a full disk the old
// file stays and no temporary file is left.
void TstSetupFile::save()
{
    QTemporaryDir dir;
    QString error;
    QVERIFY(!SaveFileAtomically(dir.filePath("missing/rows.vek"), Values, &error));
    QVERIFY(!error.isEmpty());
    if (QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=16k", "tmpfs", dir.path()}) != 0)
        QSKIP("needs root to mount a small tmpfs");
    struct Unmount {
        QString path;
        ~Unmount() { QProcess::execute("umount", {path}); }
    } unmount{dir.path()};

    const QString path = dir.filePath("rows.vek");
    QVERIFY(SaveFileAtomically(path, "old contents that are longer", &error));
    QVERIFY2(SaveFileAtomically(path, Values, &error), qPrintable(error));
    QVERIFY(!SaveFileAtomically(path, QByteArray(64 * 1024, 'x'), &error));
    QVERIFY(!error.isEmpty());
    QCOMPARE(readFile(path), Values);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"rows.vek"});
}

QTEST_GUILESS_MAIN(TstSetupFile)
#include "tst_setupfile.moc"
