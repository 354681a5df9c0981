// The register section of an include file, read into the sorted table.

#include "registertable.h"
#include "setupfile.h"
#include "textconv.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTest>

using namespace vek;

namespace {

QStringList entries(const RegisterTable &table)
{
    QStringList out;
    for (qsizetype i = 0; i < table.count(); ++i)
        out << QString::fromLatin1(table.name(i) + ' ' + table.addr(i));
    return out;
}

RegisterTable readText(const QByteArray &text, RegisterTable::ReadReport *report = nullptr)
{
    QBuffer buffer;
    buffer.setData(text);
    buffer.open(QIODevice::ReadOnly);
    RegisterTable table;
    table.read(buffer, report);
    return table;
}

// A device that serves a short head and then the same line for ever, and
// counts what has been taken from it.
class EndlessDevice : public QIODevice {
public:
    EndlessDevice(QByteArray head, QByteArray repeated)
        : m_head(std::move(head)), m_repeated(std::move(repeated))
    {
        open(QIODevice::ReadOnly);
    }
    bool isSequential() const override { return true; }
    qint64 served = 0;

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        for (qint64 i = 0; i < maxSize; ++i, ++served) {
            if (served < m_head.size())
                data[i] = m_head.at(served);
            else
                data[i] = m_repeated.at((served - m_head.size()) % m_repeated.size());
        }
        return maxSize;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QByteArray m_head;
    QByteArray m_repeated;
};

} // namespace

class TstRegisterTable : public QObject {
    Q_OBJECT
private slots:
    void read_data();
    void read();
    void skippedLinesAreReported();
    void addressText_data();
    void addressText();
    void equalNamesOrder();
    void search();
    void secondReadReplacesFirst();
    void readingStopsAtTheEndLine();
    void sortMatchesReference();
    void sortLargeTable();
    void exampleFiles();
};

void TstRegisterTable::read_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<QList<int>>("skippedLines");
    QTest::addColumn<bool>("foundEnd");

    QTest::newRow("dashes start line is not the end")
        << QByteArray(";----- Register Files -----\nSTATUS EQU H'0003'\n;--\n")
        << QStringList{"STATUS 003"} << QList<int>{} << true;
    QTest::newRow("nothing before the start line counts")
        << QByteArray("EARLY EQU H'0001'\n;--\nRegister Files\nLATE EQU H'0002'\n;--\n")
        << QStringList{"LATE 002"} << QList<int>{} << true;
    QTest::newRow("skipped lines, tab is an entry")
        << QByteArray("Register Files\n\n; a comment\n  INDENT EQU H'0001'\n"
                      "\tTABBED\tEQU\tH'0002'\nPLAIN EQU H'0003' extra words\n;--\n")
        << QStringList{"PLAIN 003", "TABBED 002"} << QList<int>{} << true;
    QTest::newRow("comment without the mark goes on")
        << QByteArray("Register Files\n;- not the end\nA EQU H'01'\n;-- end\n")
        << QStringList{"A 001"} << QList<int>{} << true;
    QTest::newRow("entry line holding the end mark")
        << QByteArray("Register Files\nB EQU H'0002' ;-- last\nC EQU H'0003'\n")
        << QStringList{"B 002"} << QList<int>{} << true;
    QTest::newRow("lines after the end line are not read")
        << QByteArray("Register Files\nA EQU H'01'\n;--\nZ EQU H'02'\nBAD\n")
        << QStringList{"A 001"} << QList<int>{} << true;
    QTest::newRow("value words")
        << QByteArray("Register Files\nA EQU H'0FF8'\nB EQU H'0020'\nC EQU H'1F80'\n"
                      "D EQU H'20'\nE EQU H'F'\nF EQU H''\nG EQU H'0ff8'\nH EQU xH'12'y\n;--\n")
        << QStringList{"A FF8", "B 020", "C F80", "D 020", "E 00F", "F 000", "G ff8", "H 012"}
        << QList<int>{} << true;
    QTest::newRow("case kept, duplicates, byte order")
        << QByteArray("Register Files\nabc EQU H'4'\n_TMP EQU H'3'\nXYZ EQU H'2'\n"
                      "ABC1 EQU H'1'\nXYZ EQU H'5'\n;--\n")
        << QStringList{"ABC1 001", "XYZ 002", "XYZ 005", "_TMP 003", "abc 004"} << QList<int>{}
        << true;
    QTest::newRow("CR LF line ends")
        << QByteArray("Register Files\r\n\r\nA EQU H'01'\r\n; note\r\n;--\r\n")
        << QStringList{"A 001"} << QList<int>{} << true;
    {
        // 300 characters: the first 254 are one read, the other 46 the next.
        QByteArray first = QByteArray("FIRST EQU H'0011'").leftJustified(254, ' ');
        QByteArray second = QByteArray("SECOND EQU H'0022'").leftJustified(46, ' ');
        QTest::newRow("a 300-character line reads as two")
            << QByteArray("Register Files\n" + first + second + "\nBAD\n;--\n")
            << QStringList{"FIRST 011", "SECOND 022"} << QList<int>{4} << true;
    }
    QTest::newRow("missing end line keeps the entries, sorted")
        << QByteArray("Register Files\nZ EQU H'1'\nY EQU H'2'")
        << QStringList{"Y 002", "Z 001"} << QList<int>{} << false;
    QTest::newRow("missing start line") << QByteArray("A EQU H'1'\n;--\n") << QStringList{}
                                        << QList<int>{} << false;
    QTest::newRow("malformed lines are skipped")
        << QByteArray("Register Files\n"
                      "GOOD1 EQU H'001'\n"
                      "TWO H'002'\n"                       // 3: fewer than three words
                      "NOMARK EQU 0x10\n"                  // 4: no H'
                      "OPEN EQU H'10\n"                    // 5: no closing apostrophe
                      "NAME_OF_20_CHARS_XXX EQU H'1'\n"     // 6: name too long
                      "W SECOND_WORDS EQU H'1'\n"           // 7: second word of 12
                      "V EQU H'000000001'\n"               // 8: value word of 12
                      "\t\n"                                // 9: no words
                      "NAME_OF_19_CHARS_XX EQUXXXXXXXX H'0000009'\n"
                      ";--\n")
        << QStringList{"GOOD1 001", "NAME_OF_19_CHARS_XX 009"} << QList<int>{3, 4, 5, 6, 7, 8, 9}
        << true;
}

void TstRegisterTable::read()
{
    QFETCH(QByteArray, text);
    QFETCH(QStringList, expected);
    QFETCH(QList<int>, skippedLines);
    QFETCH(bool, foundEnd);

    RegisterTable::ReadReport report;
    const RegisterTable table = readText(text, &report);
    QCOMPARE(entries(table), expected);
    QList<int> lines;
    for (const auto &s : report.skipped) {
        lines << s.lineNumber;
        QVERIFY(!s.reason.isEmpty());
    }
    QCOMPARE(lines, skippedLines);
    QCOMPARE(report.foundEnd, foundEnd);
    QCOMPARE(report.foundStart, text.contains("Register Files"));
}

void TstRegisterTable::skippedLinesAreReported()
{
    RegisterTable::ReadReport report;
    readText("Register Files\r\nNOMARK EQU 0x10\r\n;--\r\n", &report);
    QCOMPARE(report.skipped.size(), 1);
    QCOMPARE(report.skipped.at(0).lineNumber, 2);
    QCOMPARE(report.skipped.at(0).text, QByteArray("NOMARK EQU 0x10"));

    // A failed line appends nothing.
    RegisterTable table;
    QVERIFY(table.addIncLine("A EQU H'1'"));
    QString reason;
    QVERIFY(!table.addIncLine("B EQU H'2", &reason));
    QVERIFY(!reason.isEmpty());
    QCOMPARE(table.names(), QList<QByteArray>{"A"});
    QCOMPARE(table.addrs(), QList<QByteArray>{"001"});
}

void TstRegisterTable::addressText_data()
{
    QTest::addColumn<QByteArray>("digits");
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("four") << QByteArray("0FF8") << QByteArray("FF8");
    QTest::newRow("two") << QByteArray("20") << QByteArray("020");
    QTest::newRow("none") << QByteArray("") << QByteArray("000");
    QTest::newRow("long") << QByteArray("123456") << QByteArray("456");
}

void TstRegisterTable::addressText()
{
    QFETCH(QByteArray, digits);
    QFETCH(QByteArray, text);
    QCOMPARE(RegisterTable::addressText(digits), text);
}

void TstRegisterTable::equalNamesOrder()
{
    for (bool fast : {true, false}) {
        RegisterTable table;
        table.addIncLine("B EQU H'001'");
        table.addIncLine("B EQU H'002'");
        table.addIncLine("A EQU H'003'");
        fast ? table.sortLabels() : table.sortLabelsReference();
        QCOMPARE(entries(table), (QStringList{"A 003", "B 002", "B 001"}));
    }
}

void TstRegisterTable::search()
{
    const RegisterTable table = readText("Register Files\nlow EQU H'0ff8'\nZED EQU H'10'\n"
                                         "ALPHA EQU H'10'\n;--\n");
    QCOMPARE(table.find("ff8"), 2);
    QCOMPARE(table.find("FF8"), -1);
    QCOMPARE(table.name(table.find("010")), QByteArray("ALPHA"));
    QCOMPARE(table.find("10"), -1);
    QCOMPARE(RegisterTable().find("000"), -1);
}

void TstRegisterTable::secondReadReplacesFirst()
{
    QBuffer first, second;
    first.setData("Register Files\nA EQU H'1'\nB EQU H'2'\n;--\n");
    second.setData("Register Files\nC EQU H'3'\n;--\n");
    first.open(QIODevice::ReadOnly);
    second.open(QIODevice::ReadOnly);
    RegisterTable table;
    table.read(first);
    QCOMPARE(table.count(), 2);
    table.read(second);
    QCOMPARE(entries(table), QStringList{"C 003"});
}

void TstRegisterTable::readingStopsAtTheEndLine()
{
    // Endless definitions after the end line: the read must end there and
    // take no more than its read-ahead from the device.
    EndlessDevice device("junk\nRegister Files\nA EQU H'1'\n;--\n", "Z EQU H'0FF'\n");
    RegisterTable table;
    table.read(device);
    QCOMPARE(entries(table), QStringList{"A 001"});
    QVERIFY2(device.served < 1024 * 1024, qPrintable(QString::number(device.served)));
}

void TstRegisterTable::sortMatchesReference()
{
    QRandomGenerator rng(20240611);
    const QByteArray alphabet("AB_a\x80\xff");
    for (int round = 0; round < 200; ++round) {
        const int n = round < 20 ? round : int(rng.bounded(1, 600));
        RegisterTable fast;
        for (int i = 0; i < n; ++i) {
            QByteArray name;
            const int len = int(rng.bounded(1, 4));
            for (int k = 0; k < len; ++k)
                name += alphabet.at(int(rng.bounded(alphabet.size())));
            // The address text records the original position, so the order of
            // equal names is compared too.
            const QByteArray pos = QByteArray::number(i, 16).rightJustified(3, '0');
            QVERIFY(fast.addIncLine(name + " EQU H'" + pos + "'"));
        }
        RegisterTable reference = fast;
        fast.sortLabels();
        reference.sortLabelsReference();
        QCOMPARE(fast.names(), reference.names());
        QCOMPARE(fast.addrs(), reference.addrs());
    }
}

void TstRegisterTable::sortLargeTable()
{
    QRandomGenerator rng(7);
    RegisterTable table;
    for (int i = 0; i < 30000; ++i) {
        const QByteArray name = "R" + QByteArray::number(rng.bounded(5000));
        table.addIncLine(name + " EQU H'" + QByteArray::number(i % 4096, 16) + "'");
    }
    RegisterTable reference = table;
    QElapsedTimer timer;
    timer.start();
    table.sortLabels();
    qInfo("sortLabels: 30000 entries in %lld ms", static_cast<long long>(timer.elapsed()));
    for (qsizetype i = 1; i < table.count(); ++i)
        QVERIFY(table.name(i - 1) <= table.name(i));
    if (qEnvironmentVariableIsSet("VEK_SLOW_TESTS")) {
        timer.restart();
        reference.sortLabelsReference();
        qInfo("sortLabelsReference: 30000 entries in %lld ms",
              static_cast<long long>(timer.elapsed()));
        QCOMPARE(table.addrs(), reference.addrs());
    }
}

void TstRegisterTable::exampleFiles()
{
    QFile inc(QFINDTESTDATA("../examples/vek-demo.inc"));
    QVERIFY(inc.open(QIODevice::ReadOnly));
    RegisterTable table;
    RegisterTable::ReadReport report;
    table.read(inc, &report);
    QVERIFY(report.foundStart && report.foundEnd);
    QVERIFY(report.skipped.isEmpty());
    QCOMPARE(table.count(), 38);
    QCOMPARE(table.name(table.find("F80")), QByteArray("LEDCTL"));
    QCOMPARE(table.find("007"), table.names().indexOf("PORTC"));   // not the STATUS bit IRP

    QFile vek(QFINDTESTDATA("../examples/demo.vek"));
    QVERIFY(vek.open(QIODevice::ReadOnly));
    Setup setup;
    QString error;
    QVERIFY2(ParseSetup(vek.readAll(), setup, error), qPrintable(error));
    QVERIFY(setup.labels.has_value());
    for (int row = 0; row < RowCount; ++row) {
        const QString label = setup.labels->at(size_t(row));
        if (label.isEmpty())
            continue;
        const qsizetype at = table.find(AddrDisplay(setup.rows[size_t(row)].addr).toLatin1());
        QVERIFY(at >= 0);
        QCOMPARE(QString::fromLatin1(table.name(at)), label);
    }
}

QTEST_GUILESS_MAIN(TstRegisterTable)
#include "tst_registertable.moc"
