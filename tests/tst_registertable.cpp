// The register section of an include file, read into the sorted table.

#include "referencesort.h"
#include "registertable.h"

#include <QBuffer>
#include <QRandomGenerator>
#include <QTest>

using namespace vek;

namespace {

struct Read {
    QByteArray text;
    QStringList entries;   // "NAME ADDR", in the table's order
    QList<int> skipped = {};
    bool foundEnd = true;
};

QStringList entries(const RegisterTable &table)
{
    QStringList out;
    for (qsizetype i = 0; i < table.count(); ++i)
        out << QString::fromLatin1(table.name(i) + ' ' + table.addr(i));
    return out;
}

RegisterTable::ReadReport readText(RegisterTable &table, const QByteArray &text)
{
    QBuffer buffer;
    buffer.setData(text);
    buffer.open(QIODevice::ReadOnly);
    RegisterTable::ReadReport report;
    table.read(buffer, &report);
    return report;
}

} // namespace

Q_DECLARE_METATYPE(Read)

class TstRegisterTable : public QObject {
    Q_OBJECT
private slots:
    void read_data()
    {
        QTest::addColumn<Read>("r");
        QTest::newRow("start line of dashes is not the end, lines after the end are not read") << Read{
            "EARLY EQU H'0001'\n;----- Register Files -----\nSTATUS EQU H'0003'\n;--\nLATE EQU H'2'\nBAD\n",
            {"STATUS 003"}};
        QTest::newRow("skipped lines, tab starts an entry, CR LF") << Read{
            "Register Files\r\n\r\n; a comment\r\n;- not the end\r\n  INDENT EQU H'0001'\r\n"
            "\tTABBED\tEQU\tH'0002'\r\nPLAIN EQU H'0003' extra words\r\n;--\r\n",
            {"PLAIN 003", "TABBED 002"}};
        // Bank headings are comments; the first other ";--" line ends the section.
        QTest::newRow("bank headings, then a heading that ends") << Read{
            ";----- Register Files -----\r\n;-----Bank0------------------\r\nINDF0 EQU H'0000'\r\n"
            "STATUS EQU H'0003'\r\n;----- Bank 1 ----------\r\nTRISA EQU H'008C'\r\n;---- bank  12 --\r\n"
            ";--BANK31\r\n;-- Unbanked --\r\nSHAD EQU H'0FE4'\r\n;----- STATUS Bits ------\r\nC EQU H'0000'\r\n",
            {"INDF0 000", "SHAD FE4", "STATUS 003", "TRISA 08C"}};
        for (const char *heading : {";--- Bank ---", ";--- Bank 2 registers ---", ";---Bank0x1---", ";---Banked 1---",
                                    ";-- Bank -1 --", ";;--Bank0--", ";-- Unbanked: none --"})
            QTest::addRow("not a bank heading: %s", heading)
                << Read{"Register Files\nA EQU H'1'\n" + QByteArray(heading) + "\nB EQU H'2'\n", {"A 001"}};
        QTest::newRow("entry line holding the end mark")
            << Read{"Register Files\nB EQU H'0002' ;-- last\nC EQU H'0003'\n", {"B 002"}};
        QTest::newRow("value words") << Read{
            "Register Files\nA EQU H'0FF8'\nB EQU H'0020'\nC EQU H'1F80'\nD EQU H'20'\nE EQU H'F'\nF EQU H''\n"
            "G EQU H'0ff8'\nH EQU xH'12'y\nI EQU H'123456'\n;--\n",
            {"A FF8", "B 020", "C F80", "D 020", "E 00F", "F 000", "G ff8", "H 012", "I 456"}};
        // Byte order, case kept; the selection sort's exchanges reorder equal names.
        QTest::newRow("byte order, duplicates") << Read{
            "Register Files\nB EQU H'1'\nB EQU H'2'\nA EQU H'3'\nabc EQU H'4'\n_TMP EQU H'5'\n;--\n",
            {"A 003", "B 002", "B 001", "_TMP 005", "abc 004"}};
        // 300 characters: the first 254 are one read, the other 46 the next.
        QTest::newRow("a 300-character line reads as two")
            << Read{"Register Files\n" + QByteArray("FIRST EQU H'0011'").leftJustified(254, ' ')
                        + QByteArray("SECOND EQU H'0022'").leftJustified(46, ' ') + "\nBAD\n;--\n",
                    {"FIRST 011", "SECOND 022"}, {4}};
        QTest::newRow("file ending early keeps the entries, sorted")
            << Read{"Register Files\nZ EQU H'1'\nY EQU H'2'", {"Y 002", "Z 001"}, {}, false};
        QTest::newRow("no start line") << Read{"A EQU H'1'\n;--\n", {}, {}, false};
        // Lines 3-5: two words, no H', no closing apostrophe; 6-9: a name of
        // 20, a second or value word of 12, no words.
        QTest::newRow("malformed lines are skipped") << Read{
            "Register Files\nGOOD1 EQU H'001'\nTWO H'002'\nNOMARK EQU 0x10\nOPEN EQU H'10\nNAME_OF_20_CHARS_XXX EQU H'1'\n"
            "W SECOND_WORDS EQU H'1'\nV EQU H'000000001'\n\t\nNAME_OF_19_CHARS_XX EQUXXXXXXXX H'0000009'\n;--\n",
            {"GOOD1 001", "NAME_OF_19_CHARS_XX 009"}, {3, 4, 5, 6, 7, 8, 9}};
    }

    void read()
    {
        QFETCH(Read, r);
        RegisterTable table;
        readText(table, "Register Files\nEARLIER EQU H'1'\n");   // a file read replaces the one before
        const auto report = readText(table, r.text);
        QCOMPARE(entries(table), r.entries);
        QList<int> lines;
        for (const auto &s : report.skipped)
            lines << s.lineNumber;
        QCOMPARE(std::tuple(lines, report.foundEnd, report.foundStart),
                 std::tuple(r.skipped, r.foundEnd, r.text.contains("Register Files")));
    }

    void sortMatchesReference()
    {
        QRandomGenerator rng(20240611);
        const QByteArray alphabet("AB_a\x80\xff");
        for (int round = 0; round < 200; ++round) {
            RegisterTable fast;
            for (int i = 0, n = round < 20 ? round : int(rng.bounded(1, 600)); i < n; ++i) {
                QByteArray name;
                for (int k = int(rng.bounded(1, 4)); k > 0; --k)
                    name += alphabet.at(int(rng.bounded(alphabet.size())));
                // The address records the position, so the order of equal names is compared too.
                QVERIFY(fast.addIncLine(name + " EQU H'" + QByteArray::number(i, 16) + "'"));
            }
            RegisterTable reference = fast;
            fast.sortLabels();
            vek::test::sortLabelsReference(reference);
            QCOMPARE(fast.names(), reference.names());
            QCOMPARE(fast.addrs(), reference.addrs());
        }
    }
};

QTEST_GUILESS_MAIN(TstRegisterTable)
#include "tst_registertable.moc"
