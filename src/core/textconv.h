#pragma once
// Text conventions of register addresses and values: the characters typed,
// how they are read, and the forms they are shown and sent in.

#include <QByteArray>
#include <QString>
#include <cstdint>

namespace vek {

constexpr uint32_t MaxAddress = 0xFFF;

// Hexadecimal text to a number, without validation: callers check the text
// first where it comes from the user. A zero byte ends the text.
int32_t HexToInt(const QByteArray &text);

bool IsHexChar(QChar c);
bool IsHexText(const QString &text);      // non-empty, every character a hex digit
bool IsBinText(const QString &text);      // non-empty, every character '0' or '1'
QString ByteToBin(uint8_t value);         // eight digits, bit 7 first
uint32_t BinToInt(const QString &text);   // '1' adds one after each shift, anything else zero

// Upper-case hexadecimal, zero-filled to at least three digits ('00A', '1F80').
QString AddrDisplay(uint32_t addr);
// Two upper-case hexadecimal digits.
QString HexByte(uint8_t value);
// The data field's form: two hex digits in hex mode, eight binary digits otherwise.
QString ValueDisplay(uint8_t value, bool hexMode);

enum class AddrCheck { Ok, NotHex, TooLarge };
// Checks an address typed by the user; on Ok, `addr` holds it.
AddrCheck CheckAddressText(const QString &text, uint16_t &addr);

// Checks a value typed in the given mode; on success `value` holds its low
// eight bits.
bool ParseValue(const QString &text, bool hexMode, uint8_t &value);

// The text of a register name or address text from an include file: one
// character for each byte (Latin-1), wherever a name is shown or printed.
QString NameText(const QByteArray &bytes);

// Text of a file's line: UTF-8 where the bytes are valid UTF-8, else one
// character per byte (a file from an older editor).
QString FileText(const QByteArray &bytes);

// Bytes of a file as a message shows them: read as UTF-8 where they are
// valid UTF-8, else one character per byte; whatever cannot be seen (NUL,
// other control characters, a byte order mark and other format characters,
// line and paragraph separators) appears as \xNN for each of its bytes.
QString VisibleText(const QByteArray &bytes);

// A wall-clock time in local time with milliseconds and the offset from UTC,
// written out also for UTC itself (+00:00, not Z) so that every stamp has
// the same form: 2026-03-01T14:05:09.042+01:00.
QString IsoTimeText(qint64 epochMs);

} // namespace vek
