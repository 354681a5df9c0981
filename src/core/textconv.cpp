#include "textconv.h"

#include "comport.h"

namespace vek {

bool IsHexChar(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= '0' && u <= '9') || (u >= 'A' && u <= 'F') || (u >= 'a' && u <= 'f');
}

bool IsHexText(const QString &text)
{
    if (text.isEmpty())
        return false;
    for (QChar c : text) {
        if (!IsHexChar(c))
            return false;
    }
    return true;
}

bool IsBinText(const QString &text)
{
    if (text.isEmpty())
        return false;
    for (QChar c : text) {
        if (c != u'0' && c != u'1')
            return false;
    }
    return true;
}

QString ByteToBin(uint8_t value)
{
    QString text(8, u'0');
    for (int bit = 7; bit >= 0; --bit) {
        if (value & (1u << bit))
            text[7 - bit] = u'1';
    }
    return text;
}

uint32_t BinToInt(const QString &text)
{
    uint32_t total = 0;   // unsigned: long texts wrap, the low bits stay right
    for (QChar c : text)
        total = (total << 1) + (c == u'1' ? 1u : 0u);
    return total;
}

QString AddrDisplay(uint32_t addr)
{
    return QString::number(addr, 16).toUpper().rightJustified(3, u'0');
}

QString HexByte(uint8_t value)
{
    return QString::number(value, 16).toUpper().rightJustified(2, u'0');
}

QString ValueDisplay(uint8_t value, bool hexMode)
{
    return hexMode ? HexByte(value) : ByteToBin(value);
}

AddrCheck CheckAddressText(const QString &text, uint16_t &addr)
{
    if (!IsHexText(text))
        return AddrCheck::NotHex;
    // The whole number counts, however many digits: judge the significant
    // digits rather than a 32-bit conversion that could wrap to a small value.
    qsizetype first = 0;
    while (first < text.size() - 1 && text.at(first) == u'0')
        ++first;
    const QString digits = text.mid(first);
    if (digits.size() > 3)
        return AddrCheck::TooLarge;
    const uint32_t value = static_cast<uint32_t>(Comport::HexToInt(digits.toLatin1()));
    if (value > MaxAddress)
        return AddrCheck::TooLarge;
    addr = static_cast<uint16_t>(value);
    return AddrCheck::Ok;
}

bool ParseValue(const QString &text, bool hexMode, uint8_t &value)
{
    if (hexMode) {
        if (!IsHexText(text))
            return false;
        // The conversion wraps modulo 2^32, which keeps the low eight bits.
        value = static_cast<uint8_t>(Comport::HexToInt(text.toLatin1()) & 0xFF);
        return true;
    }
    if (!IsBinText(text))
        return false;
    value = static_cast<uint8_t>(BinToInt(text) & 0xFF);
    return true;
}

} // namespace vek
