// The setup file: its exact bytes, reading with checks, atomic saving.

#include "setupfile.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace vek;

namespace {

using Rows = std::array<SetupRow, RowCount>;
using Labels = std::array<QString, RowCount>;

// Sixteen value words, one a line, with row 1 at 006/3F.
QByteArray values(const QByteArray &sep = "\r\n")
{
    QByteArray out = "006" + sep + "3F" + sep;
    for (int i = 1; i < RowCount; ++i)
        out += "000" + sep + "00" + sep;
    return out;
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return "<unreadable>";
    return f.readAll();
}

} // namespace

class TstSetupFile : public QObject {
    Q_OBJECT
private slots:
    void exampleBytes();
    void roundTrip();
    void lineEndsInLabelsStayOneLine();
    void parse_data();
    void parse();
    void failureLeavesSetupAlone();
    void saveReplacesFile();
    void saveFailureKeepsOldFile();
    void fullDiskKeepsOldFile();
};

void TstSetupFile::exampleBytes()
{
    Rows rows{};
    rows[0] = {0x006, 0x3F};
    Labels labels{};
    labels[0] = QStringLiteral("FLAGS");
    QByteArray expected = values() + "FLAGS\r\n";
    for (int i = 1; i < RowCount; ++i)
        expected += "\r\n";
    QCOMPARE(FormatSetup(rows, labels), expected);
}

void TstSetupFile::roundTrip()
{
    Rows rows{};
    Labels labels{};
    for (int i = 0; i < RowCount; ++i)
        rows[size_t(i)] = {uint16_t(0x101 * i), uint8_t(0x25 * i + 1)};
    rows[7].addr = 0x1F80;   // four digits are written and read back
    labels[1] = QString(60, u'L') + u'!';
    labels[2] = QStringLiteral("  spaced  ");
    labels[4] = QString::fromUtf8("Z\xc3\xa4hler");

    const QByteArray bytes = FormatSetup(rows, labels);
    QVERIFY(bytes.contains("1F80\r\n"));
    Setup setup;
    QString error;
    QVERIFY2(ParseSetup(bytes, setup, error), qPrintable(error));
    for (int i = 0; i < RowCount; ++i) {
        QCOMPARE(setup.rows[size_t(i)].addr, rows[size_t(i)].addr);
        QCOMPARE(setup.rows[size_t(i)].value, rows[size_t(i)].value);
    }
    QVERIFY(setup.labels.has_value());
    QCOMPARE(*setup.labels, labels);
}

void TstSetupFile::lineEndsInLabelsStayOneLine()
{
    Labels labels{};
    labels[0] = QStringLiteral("A\r\nB");
    labels[1] = QStringLiteral("C");
    Setup setup;
    QString error;
    QVERIFY(ParseSetup(FormatSetup(Rows{}, labels), setup, error));
    QCOMPARE(setup.labels->at(0), QStringLiteral("A  B"));
    QCOMPARE(setup.labels->at(1), QStringLiteral("C"));
}

void TstSetupFile::parse_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("error");           // empty: the file is good
    QTest::addColumn<int>("addr1");
    QTest::addColumn<int>("value1");
    QTest::addColumn<bool>("hasLabels");
    QTest::addColumn<QStringList>("labels");

    const QStringList none;
    auto labels = [](QStringList l) {
        while (l.size() < RowCount)
            l << QString();
        return l;
    };

    QTest::newRow("sixteen values only") << values() << "" << 6 << 0x3F << false << none;
    QTest::newRow("last value without line end")
        << values().chopped(2) << "" << 6 << 0x3F << false << none;
    QTest::newRow("empty label lines are absent labels")
        << values() + QByteArray("\r\n").repeated(8) << "" << 6 << 0x3F << false << none;
    QTest::newRow("white space only is absent too")
        << values() + "  \r\n\t\r\n \n" << "" << 6 << 0x3F << false << none;
    QTest::newRow("lower case, any white space, bare LF")
        << QByteArray("  6\t3f\n\n 0 0 0 0\t\t0 0\n0 0 0 0 0 0 0 0\nOne\n") << "" << 6 << 0x3F
        << true << labels({"One"});
    QTest::newRow("empty first label, second named")
        << values() + "\r\nSTATUS\r\n" << "" << 6 << 0x3F << true << labels({"", "STATUS"});
    QTest::newRow("rest of the 16th value's line passed over")
        << values().chopped(2) + " trailing words\r\nA\r\nB" << "" << 6 << 0x3F << true
        << labels({"A", "B"});
    QTest::newRow("labels kept exactly, more lines ignored")
        << values() + "  x y  \r\n2\r\n3\r\n4\r\n5\r\n6\r\n7\r\n8\r\n9\r\n" << "" << 6 << 0x3F
        << true << QStringList{"  x y  ", "2", "3", "4", "5", "6", "7", "8"};
    QTest::newRow("Latin-1 label")
        << values() + "\xe9t\xe9\r\n" << "" << 6 << 0x3F << true
        << labels({QString::fromUtf8("\xc3\xa9t\xc3\xa9")});
    QTest::newRow("low 16 and low 8 bits")
        << QByteArray("12345\n1FF\n") + values().mid(9) << "" << 0x2345 << 0xFF << false << none;
    QTest::newRow("not hexadecimal")
        << QByteArray("006\r\n3F\r\nZZ\r\n00\r\n") << "line 3: 'ZZ' is not a hexadecimal number"
        << 0 << 0 << false << none;
    QTest::newRow("0x prefix")
        << QByteArray("006 0x3F\n") << "line 1: '0x3F' is not a hexadecimal number" << 0 << 0
        << false << none;
    QTest::newRow("ends early")
        << values().left(40) << "it ends before the 16th value" << 0 << 0 << false << none;
    QTest::newRow("empty file") << QByteArray() << "it ends before the 16th value" << 0 << 0 << false
                                << none;
    QTest::newRow("word over 35 characters")
        << QByteArray("\n\n") + QByteArray(36, '0') + "\n" + values()
        << "line 3: a value of 36 characters is longer than 35" << 0 << 0 << false << none;
    QTest::newRow("35 characters are fine")
        << QByteArray(32, '0') + "006\n" + values().mid(5) << "" << 6 << 0x3F << false << none;
}

void TstSetupFile::parse()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, error);
    QFETCH(int, addr1);
    QFETCH(int, value1);
    QFETCH(bool, hasLabels);
    QFETCH(QStringList, labels);

    Setup setup;
    QString reason;
    const bool ok = ParseSetup(content, setup, reason);
    QCOMPARE(reason, error);
    QCOMPARE(ok, error.isEmpty());
    if (!ok)
        return;
    QCOMPARE(int(setup.rows[0].addr), addr1);
    QCOMPARE(int(setup.rows[0].value), value1);
    for (int i = 1; i < RowCount; ++i) {
        QCOMPARE(int(setup.rows[size_t(i)].addr), 0);
        QCOMPARE(int(setup.rows[size_t(i)].value), 0);
    }
    QCOMPARE(setup.labels.has_value(), hasLabels);
    if (hasLabels)
        QCOMPARE(QStringList(setup.labels->begin(), setup.labels->end()), labels);
}

void TstSetupFile::failureLeavesSetupAlone()
{
    Setup setup;
    setup.rows[0] = {0x123, 0x45};
    QString error;
    QVERIFY(!ParseSetup("7 7 7 7 Q", setup, error));
    QCOMPARE(int(setup.rows[0].addr), 0x123);
    QCOMPARE(int(setup.rows[0].value), 0x45);
    QVERIFY(!setup.labels.has_value());
}

void TstSetupFile::saveReplacesFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("rows.vek");
    QString error;
    QVERIFY(SaveFileAtomically(path, "old contents that are longer", &error));
    QVERIFY2(SaveFileAtomically(path, values(), &error), qPrintable(error));
    QCOMPARE(readFile(path), values());
}

void TstSetupFile::saveFailureKeepsOldFile()
{
    QTemporaryDir dir;
    QString error;
    QVERIFY(!SaveFileAtomically(dir.filePath("missing/rows.vek"), values(), &error));
    QVERIFY(!error.isEmpty());
}

void TstSetupFile::fullDiskKeepsOldFile()
{
    QTemporaryDir dir;
    const QString mountPoint = dir.path();
    if (QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=16k", "tmpfs", mountPoint}) != 0)
        QSKIP("needs root to mount a small tmpfs");
    struct Unmount {
        QString path;
        ~Unmount() { QProcess::execute("umount", {path}); }
    } unmount{mountPoint};

    const QString path = mountPoint + "/rows.vek";
    const QByteArray old = values() + "OLD\r\n";
    QString error;
    QVERIFY2(SaveFileAtomically(path, old, &error), qPrintable(error));

    const QByteArray huge(64 * 1024, 'x');
    QVERIFY(!SaveFileAtomically(path, huge, &error));
    QVERIFY(!error.isEmpty());
    QCOMPARE(readFile(path), old);
    QCOMPARE(QDir(mountPoint).entryList(QDir::Files | QDir::Hidden), QStringList{"rows.vek"});
}

QTEST_GUILESS_MAIN(TstSetupFile)
#include "tst_setupfile.moc"
