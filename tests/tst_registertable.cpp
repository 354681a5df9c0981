// The register section of an include file, read into the sorted table.

#include "registertable.h"

#include <QBuffer>
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

void readText(RegisterTable &table, const QByteArray &text, RegisterTable::ReadReport *report = nullptr)
{
    QBuffer buffer;
    buffer.setData(text);
    buffer.open(QIODevice::ReadOnly);
    table.read(buffer, report);
}

} // namespace

class TstRegisterTable : public QObject {
    Q_OBJECT
private slots:
    void read_data();
    void read();
    void searchAndReplace();
    void sortMatchesReference();
};

void TstRegisterTable::read_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<QList<int>>("skippedLines");
    QTest::addColumn<bool>("foundEnd");

    QTest::newRow("start line of dashes is not the end, lines after the end are not read")
        << QByteArray("EARLY EQU H'0001'\n;----- Register Files -----\nSTATUS EQU H'0003'\n;--\nLATE EQU H'2'\nBAD\n")
        << QStringList{"STATUS 003"} << QList<int>{} << true;
    QTest::newRow("skipped lines, tab starts an entry, CR LF")
        << QByteArray("Register Files\r\n\r\n; a comment\r\n;- not the end\r\n  INDENT EQU H'0001'\r\n"
                      "\tTABBED\tEQU\tH'0002'\r\nPLAIN EQU H'0003' extra words\r\n;--\r\n")
        << QStringList{"PLAIN 003", "TABBED 002"} << QList<int>{} << true;
    // Bank headings are comments; the first other ";--" line ends the section.
    QTest::newRow("bank headings, first one right after the start line, then a heading that ends")
        << QByteArray(";----- Register Files -----\r\n;-----Bank0------------------\r\nINDF0 EQU H'0000'\r\n"
                      "STATUS EQU H'0003'\r\n;----- Bank 1 ----------\r\nTRISA EQU H'008C'\r\n"
                      ";---- bank  12 --\r\n;--BANK31\r\n;-- Unbanked --\r\nSHAD EQU H'0FE4'\r\n"
                      ";----- STATUS Bits ------\r\nC EQU H'0000'\r\n")
        << QStringList{"INDF0 000", "SHAD FE4", "STATUS 003", "TRISA 08C"} << QList<int>{} << true;
    for (const char *heading : {";--- Bank ---", ";--- Bank 2 registers ---", ";---Bank0x1---", ";---Banked 1---",
                                ";-- Bank -1 --", ";;--Bank0--", ";-- Unbanked: none --"}) {
        QTest::addRow("not a bank heading: %s", heading)
            << "Register Files\nA EQU H'1'\n" + QByteArray(heading) + "\nB EQU H'2'\n" << QStringList{"A 001"}
            << QList<int>{} << true;
    }
    QTest::newRow("entry line holding the end mark")
        << QByteArray("Register Files\nB EQU H'0002' ;-- last\nC EQU H'0003'\n")
        << QStringList{"B 002"} << QList<int>{} << true;
    QTest::newRow("value words")
        << QByteArray("Register Files\nA EQU H'0FF8'\nB EQU H'0020'\nC EQU H'1F80'\nD EQU H'20'\n"
                      "E EQU H'F'\nF EQU H''\nG EQU H'0ff8'\nH EQU xH'12'y\nI EQU H'123456'\n;--\n")
        << QStringList{"A FF8", "B 020", "C F80", "D 020", "E 00F", "F 000", "G ff8", "H 012", "I 456"}
        << QList<int>{} << true;
    QTest::newRow("case kept, duplicates, byte order")
        << QByteArray("Register Files\nabc EQU H'4'\n_TMP EQU H'3'\nXYZ EQU H'2'\n"
                      "ABC1 EQU H'1'\nXYZ EQU H'5'\n;--\n")
        << QStringList{"ABC1 001", "XYZ 002", "XYZ 005", "_TMP 003", "abc 004"} << QList<int>{} << true;
    QTest::newRow("the exchanges reorder equal names")
        << QByteArray("Register Files\nB EQU H'1'\nB EQU H'2'\nA EQU H'3'\n;--\n")
        << QStringList{"A 003", "B 002", "B 001"} << QList<int>{} << true;
    // 300 characters: the first 254 are one read, the other 46 the next.
    QTest::newRow("a 300-character line reads as two")
        << "Register Files\n" + QByteArray("FIRST EQU H'0011'").leftJustified(254, ' ')
               + QByteArray("SECOND EQU H'0022'").leftJustified(46, ' ') + "\nBAD\n;--\n"
        << QStringList{"FIRST 011", "SECOND 022"} << QList<int>{4} << true;
    QTest::newRow("file ending early keeps the entries, sorted")
        << QByteArray("Register Files\nZ EQU H'1'\nY EQU H'2'") << QStringList{"Y 002", "Z 001"} << QList<int>{} << false;
    QTest::newRow("no start line") << QByteArray("A EQU H'1'\n;--\n") << QStringList{} << QList<int>{} << false;
    QTest::newRow("malformed lines are skipped")
        // Lines 3-5: two words, no H', no closing apostrophe; 6-9: a name of 20,
        // a second or value word of 12, no words.
        << QByteArray("Register Files\nGOOD1 EQU H'001'\nTWO H'002'\nNOMARK EQU 0x10\nOPEN EQU H'10\n"
                      "NAME_OF_20_CHARS_XXX EQU H'1'\nW SECOND_WORDS EQU H'1'\nV EQU H'000000001'\n\t\n"
                      "NAME_OF_19_CHARS_XX EQUXXXXXXXX H'0000009'\n;--\n")
        << QStringList{"GOOD1 001", "NAME_OF_19_CHARS_XX 009"} << QList<int>{3, 4, 5, 6, 7, 8, 9} << true;
}

void TstRegisterTable::read()
{
    QFETCH(QByteArray, text);
    QFETCH(QStringList, expected);
    QFETCH(QList<int>, skippedLines);
    QFETCH(bool, foundEnd);
    RegisterTable table;
    RegisterTable::ReadReport report;
    readText(table, text, &report);
    QCOMPARE(entries(table), expected);
    QList<int> lines;
    for (const auto &s : report.skipped)
        lines << s.lineNumber;
    QCOMPARE(lines, skippedLines);
    QCOMPARE(report.foundEnd, foundEnd);
    QCOMPARE(report.foundStart, text.contains("Register Files"));
}

void TstRegisterTable::searchAndReplace()
{
    RegisterTable table;
    readText(table, "Register Files\nlow EQU H'0ff8'\nZED EQU H'10'\nALPHA EQU H'10'\n;--\n");
    QCOMPARE(table.find("ff8"), 2);
    QCOMPARE(table.find("FF8"), -1);
    QCOMPARE(table.name(table.find("010")), QByteArray("ALPHA"));
    QCOMPARE(table.find("10"), -1);

    readText(table, "Register Files\nC EQU H'3'\n;--\n");   // a second file replaces the first
    QCOMPARE(entries(table), QStringList{"C 003"});
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
            for (int k = int(rng.bounded(1, 4)); k > 0; --k)
                name += alphabet.at(int(rng.bounded(alphabet.size())));
            // The address records the original position, so the order of equal names is compared too.
            QVERIFY(fast.addIncLine(name + " EQU H'" + QByteArray::number(i, 16) + "'"));
        }
        RegisterTable reference = fast;
        fast.sortLabels();
        reference.sortLabelsReference();
        QCOMPARE(fast.names(), reference.names());
        QCOMPARE(fast.addrs(), reference.addrs());
    }
}

QTEST_GUILESS_MAIN(TstRegisterTable)
#include "tst_registertable.moc"
