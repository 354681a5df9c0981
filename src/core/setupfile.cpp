#include "setupfile.h"

#include "textconv.h"

#include <QFile>

namespace vek {

namespace {

constexpr int ValueCount = 2 * RowCount;
constexpr qsizetype MaxValueWord = 35;

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool isHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// Digits after the leading zeros: more than three is above FFF.
qsizetype significantDigits(const QByteArray &word)
{
    qsizetype i = 0;
    while (i < word.size() && word.at(i) == '0')
        ++i;
    return word.size() - i;
}

// A label is one line of the file: line ends inside it would shift every
// line after it, so they are written as spaces. A reader of a label line
// passes over one byte order mark at its start, so a label that starts with
// U+FEFF is written after one more.
QByteArray labelLine(const QString &label)
{
    QByteArray bytes = label.toUtf8();
    bytes.replace('\r', ' ');
    bytes.replace('\n', ' ');
    if (label.startsWith(QChar(0xFEFF)))
        bytes.prepend("\xEF\xBB\xBF");
    return bytes;
}

} // namespace

QByteArray FormatSetup(const std::array<SetupRow, RowCount> &rows,
                       const std::array<QString, RowCount> &labels)
{
    QByteArray out;
    for (const SetupRow &row : rows) {
        out += AddrDisplay(row.addr).toLatin1();
        out += "\r\n";
        out += HexByte(row.value).toLatin1();
        out += "\r\n";
    }
    for (const QString &label : labels) {
        out += labelLine(label);
        out += "\r\n";
    }
    return out;
}

bool ParseSetup(const QByteArray &content, Setup &setup, QString &error)
{
    Setup result;
    const qsizetype n = content.size();
    // A byte order mark, which some editors write at the start.
    qsizetype pos = content.startsWith("\xEF\xBB\xBF") ? 3 : 0;
    int line = 1;   // 1-based; a LF ends a line

    for (int index = 0; index < ValueCount; ++index) {
        while (pos < n && isSpace(content.at(pos))) {
            if (content.at(pos) == '\n')
                ++line;
            ++pos;
        }
        if (pos >= n) {
            error = QStringLiteral("it ends before the 16th value");
            return false;
        }
        const qsizetype start = pos;
        while (pos < n && !isSpace(content.at(pos)))
            ++pos;
        const QByteArray word = content.mid(start, pos - start);
        if (word.size() > MaxValueWord) {
            error = QStringLiteral("line %1: a value of %2 characters is longer than %3")
                        .arg(line).arg(word.size()).arg(MaxValueWord);
            return false;
        }
        for (char c : word) {
            if (!isHexDigit(c)) {
                error = QStringLiteral("line %1: '%2' is not a hexadecimal number")
                            .arg(line).arg(VisibleText(word));
                return false;
            }
        }
        const uint32_t number = static_cast<uint32_t>(HexToInt(word));
        // A row's address is one of the target's, 000 to FFF; one above would
        // be sent with all its digits, a command the monitor does not know.
        if (index % 2 == 0 && significantDigits(word) > 3) {
            error = QStringLiteral("line %1: address '%2' is above FFF").arg(line).arg(QString::fromLatin1(word));
            return false;
        }
        SetupRow &row = result.rows[static_cast<size_t>(index / 2)];
        if (index % 2 == 0)
            row.addr = static_cast<uint16_t>(number & 0xFFFF);
        else
            row.value = static_cast<uint8_t>(number & 0xFF);
    }

    // The rest of the sixteenth value's line is passed over.
    const qsizetype lineEnd = content.indexOf('\n', pos);
    const qsizetype labelsStart = lineEnd < 0 ? n : lineEnd + 1;

    bool anyText = false;
    for (qsizetype i = labelsStart; i < n && !anyText; ++i)
        anyText = !isSpace(content.at(i));

    if (anyText) {
        std::array<QString, RowCount> labels;
        qsizetype p = labelsStart;
        for (int row = 0; row < RowCount && p < n; ++row) {
            qsizetype end = content.indexOf('\n', p);
            const qsizetype next = end < 0 ? n : end + 1;
            if (end < 0)
                end = n;
            QByteArray text = content.mid(p, end - p);
            if (text.endsWith('\r'))
                text.chop(1);
            // A CR inside a label is shown as the space a save writes for it.
            text.replace('\r', ' ');
            labels[static_cast<size_t>(row)] = FileText(text);
            p = next;
        }
        result.labels = labels;
    }

    setup = result;
    error.clear();
    return true;
}

SetupRead ReadSetupFile(const QString &path, Setup &setup, QString &error)
{
    constexpr qint64 MaxSize = 1 << 20;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = file.errorString();
        return SetupRead::CannotOpen;
    }
    const QByteArray content = file.read(MaxSize + 1);
    if (file.error() != QFileDevice::NoError) {
        error = QStringLiteral("it could not be read");
        return SetupRead::Invalid;
    }
    if (content.size() > MaxSize) {
        error = QStringLiteral("it is larger than a setup file can be");
        return SetupRead::Invalid;
    }
    return ParseSetup(content, setup, error) ? SetupRead::Ok : SetupRead::Invalid;
}

} // namespace vek
