// Text conventions of register addresses and values.

#include "textconv.h"

#include <QTest>

using namespace vek;

class TstTextConv : public QObject {
    Q_OBJECT
private slots:
    void charClasses_data();
    void charClasses();
    void byteToBin();
    void binToIntIgnoresOtherCharacters();
    void displays();
    void address_data();
    void address();
    void value_data();
    void value();
};

void TstTextConv::charClasses_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("hex");
    QTest::addColumn<bool>("bin");
    QTest::newRow("empty") << "" << false << false;
    QTest::newRow("all hex digits") << "0123456789abcdefABCDEF" << true << false;
    QTest::newRow("binary") << "0101" << true << true;
    QTest::newRow("g") << "1g" << false << false;
    QTest::newRow("space") << "1 0" << false << false;
    QTest::newRow("two") << "012" << true << false;
    QTest::newRow("fullwidth digit") << QString::fromUtf8("\xef\xbc\x91") << false << false;
}

void TstTextConv::charClasses()
{
    QFETCH(QString, text);
    QFETCH(bool, hex);
    QFETCH(bool, bin);
    QCOMPARE(IsHexText(text), hex);
    QCOMPARE(IsBinText(text), bin);
}

void TstTextConv::byteToBin()
{
    QCOMPARE(ByteToBin(0x00), QStringLiteral("00000000"));
    QCOMPARE(ByteToBin(0x0A), QStringLiteral("00001010"));
    QCOMPARE(ByteToBin(0x80), QStringLiteral("10000000"));
    QCOMPARE(ByteToBin(0xFF), QStringLiteral("11111111"));
    for (int v = 0; v < 256; ++v)
        QCOMPARE(BinToInt(ByteToBin(static_cast<uint8_t>(v))), static_cast<uint32_t>(v));
}

void TstTextConv::binToIntIgnoresOtherCharacters()
{
    QCOMPARE(BinToInt(QStringLiteral("1x1")), 5u);
    QCOMPARE(BinToInt(QString()), 0u);
}

void TstTextConv::displays()
{
    QCOMPARE(AddrDisplay(0), QStringLiteral("000"));
    QCOMPARE(AddrDisplay(0x1F), QStringLiteral("01F"));
    QCOMPARE(AddrDisplay(0xFFF), QStringLiteral("FFF"));
    QCOMPARE(AddrDisplay(0x1F80), QStringLiteral("1F80"));
    QCOMPARE(HexByte(0x0A), QStringLiteral("0A"));
    QCOMPARE(ValueDisplay(0x0A, true), QStringLiteral("0A"));
    QCOMPARE(ValueDisplay(0x0A, false), QStringLiteral("00001010"));
}

void TstTextConv::address_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("check");
    QTest::addColumn<int>("addr");
    const int ok = int(AddrCheck::Ok), notHex = int(AddrCheck::NotHex),
              tooLarge = int(AddrCheck::TooLarge);
    QTest::newRow("leading zeros") << "0000A" << ok << 0x00A;
    QTest::newRow("lower case") << "fff" << ok << 0xFFF;
    QTest::newRow("zero") << "0" << ok << 0;
    QTest::newRow("1000") << "1000" << tooLarge << 0;
    QTest::newRow("10000") << "10000" << tooLarge << 0;
    // A 32-bit conversion would wrap these to 0 and 0xFF.
    QTest::newRow("wraps 32 bits") << "100000000" << tooLarge << 0;
    QTest::newRow("wraps to small") << "1000000FF" << tooLarge << 0;
    QTest::newRow("many zeros") << "000000000000FFF" << ok << 0xFFF;
    QTest::newRow("empty") << "" << notHex << 0;
    QTest::newRow("not hex") << "12G" << notHex << 0;
}

void TstTextConv::address()
{
    QFETCH(QString, text);
    QFETCH(int, check);
    QFETCH(int, addr);
    uint16_t result = 0xBEEF;
    QCOMPARE(int(CheckAddressText(text, result)), check);
    if (check == int(AddrCheck::Ok))
        QCOMPARE(int(result), addr);
    else
        QCOMPARE(int(result), 0xBEEF);
}

void TstTextConv::value_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("hexMode");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("value");
    QTest::newRow("hex 1FF") << "1FF" << true << true << 0xFF;
    QTest::newRow("hex 123") << "123" << true << true << 0x23;
    QTest::newRow("hex lower") << "3f" << true << true << 0x3F;
    QTest::newRow("hex long") << "123456789AB" << true << true << 0xAB;
    QTest::newRow("hex empty") << "" << true << false << 0;
    QTest::newRow("hex bad") << "1x" << true << false << 0;
    QTest::newRow("bin nine digits") << "100000001" << false << true << 0x01;
    QTest::newRow("bin 1010") << "1010" << false << true << 0x0A;
    QTest::newRow("bin 40 digits") << "1111111111111111111111111111111110000001" << false << true
                                   << 0x81;
    QTest::newRow("bin 2") << "2" << false << false << 0;
    QTest::newRow("bin 7") << "7" << false << false << 0;
    QTest::newRow("bin empty") << "" << false << false << 0;
}

void TstTextConv::value()
{
    QFETCH(QString, text);
    QFETCH(bool, hexMode);
    QFETCH(bool, ok);
    QFETCH(int, value);
    uint8_t result = 0x5A;
    QCOMPARE(ParseValue(text, hexMode, result), ok);
    QCOMPARE(int(result), ok ? value : 0x5A);
}

QTEST_GUILESS_MAIN(TstTextConv)
#include "tst_textconv.moc"
