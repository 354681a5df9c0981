// Text conventions not reached through the window tests: very long address
// and value texts, and the binary forms.

#include "textconv.h"

#include <QTest>

using namespace vek;

class TstTextConv : public QObject {
    Q_OBJECT
private slots:
    void longTexts();
    void binaryForms();
};

void TstTextConv::longTexts()
{
    uint16_t addr = 0xBEEF;
    QCOMPARE(CheckAddressText("000000000FFF", addr), AddrCheck::Ok);
    QCOMPARE(addr, uint16_t(0xFFF));
    // A 32-bit conversion would wrap these to 0 and 0xFF.
    for (const char *tooLarge : {"100000000", "1000000FF"})
        QCOMPARE(CheckAddressText(tooLarge, addr), AddrCheck::TooLarge);
    QCOMPARE(addr, uint16_t(0xFFF));
    QCOMPARE(AddrDisplay(0x1F80), QStringLiteral("1F80"));

    uint8_t value = 0;
    QVERIFY(ParseValue("123456789AB", true, value));
    QCOMPARE(value, uint8_t(0xAB));
    QVERIFY(ParseValue(QString(33, u'1') + "0000001", false, value));
    QCOMPARE(value, uint8_t(0x81));
}

void TstTextConv::binaryForms()
{
    QCOMPARE(ByteToBin(0x0A), QStringLiteral("00001010"));
    for (int v = 0; v < 256; ++v)
        QCOMPARE(BinToInt(ByteToBin(uint8_t(v))), uint32_t(v));
    QCOMPARE(BinToInt("1x1"), 5u);
    QVERIFY(!IsHexText(QString::fromUtf8("\xef\xbc\x91")));   // fullwidth digit one
}

QTEST_GUILESS_MAIN(TstTextConv)
#include "tst_textconv.moc"
