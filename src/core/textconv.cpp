#include "textconv.h"

#include <QDateTime>
#include <QStringDecoder>

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
    const uint32_t value = static_cast<uint32_t>(HexToInt(digits.toLatin1()));
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
        value = static_cast<uint8_t>(HexToInt(text.toLatin1()) & 0xFF);
        return true;
    }
    if (!IsBinText(text))
        return false;
    value = static_cast<uint8_t>(BinToInt(text) & 0xFF);
    return true;
}

QString NameText(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes);
}

QString FileText(const QByteArray &bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8.decode(bytes);
    return utf8.hasError() ? QString::fromLatin1(bytes) : text;
}

namespace {

bool isVisible(char32_t c)
{
    if (!QChar::isPrint(c))
        return false;
    const QChar::Category cat = QChar::category(c);
    return cat != QChar::Separator_Line && cat != QChar::Separator_Paragraph;
}

void appendBytes(QString &out, const QByteArray &bytes)
{
    static const char Digits[] = "0123456789ABCDEF";
    for (char b : bytes) {
        out += QLatin1String("\\x");
        out += QLatin1Char(Digits[uchar(b) >> 4]);
        out += QLatin1Char(Digits[uchar(b) & 0xF]);
    }
}

} // namespace

QString VisibleText(const QByteArray &bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    const QString decoded = utf8.decode(bytes);
    QString out;
    if (utf8.hasError()) {
        for (char b : bytes) {
            const char32_t c = uchar(b);
            if (isVisible(c))
                out += QChar(c);
            else
                appendBytes(out, QByteArray(1, b));
        }
        return out;
    }
    for (qsizetype i = 0; i < decoded.size(); ++i) {
        // Valid UTF-8 decodes to no lone surrogate.
        const bool pair = decoded.at(i).isHighSurrogate();
        const char32_t c = pair ? QChar::surrogateToUcs4(decoded.at(i), decoded.at(i + 1)) : decoded.at(i).unicode();
        const QStringView one = QStringView(decoded).mid(i, pair ? 2 : 1);
        if (isVisible(c))
            out += one;
        else
            appendBytes(out, one.toUtf8());
        if (pair)
            ++i;
    }
    return out;
}

int32_t HexToInt(const QByteArray &text)
{
    uint32_t value = 0;   // unsigned so that the wrap-around is defined
    for (char ch : text) {
        if (ch == '\0')
            break;
        const int c = static_cast<signed char>(ch);
        int digit;
        if (c >= 0x61)
            digit = c - 0x57;
        else if (c >= 0x41)
            digit = c - 0x37;
        else
            digit = c - 0x30;
        value = value * 16u + static_cast<uint32_t>(digit);
    }
    return static_cast<int32_t>(value);
}

QString IsoTimeText(qint64 epochMs)
{
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(epochMs);
    const int offset = local.offsetFromUtc();
    return local.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz"))
           + QStringLiteral("%1%2:%3")
                 .arg(QLatin1Char(offset < 0 ? '-' : '+'))
                 .arg(qAbs(offset) / 3600, 2, 10, QLatin1Char('0'))
                 .arg(qAbs(offset) / 60 % 60, 2, 10, QLatin1Char('0'));
}

} // namespace vek
