#pragma once
// The setup file: eight rows' addresses and values, then their labels, as
// 24 lines ended by CR LF.

#include <QByteArray>
#include <QString>
#include <array>
#include <cstdint>
#include <optional>

namespace vek {

constexpr int RowCount = 8;

struct SetupRow {
    uint16_t addr = 0;
    uint8_t value = 0;
};

struct Setup {
    std::array<SetupRow, RowCount> rows{};
    // Absent when no line after the sixteenth value holds anything but white
    // space: the labels are then looked up from the addresses.
    std::optional<std::array<QString, RowCount>> labels;
};

// The file's bytes: addresses at least three upper-case hex digits, values
// two, then the labels as they are (UTF-8), each line ended by CR LF.
QByteArray FormatSetup(const std::array<SetupRow, RowCount> &rows,
                       const std::array<QString, RowCount> &labels);

// Reads and checks a whole file before anything is used: sixteen words of
// hexadecimal digits (any case, any white space between; each row's address
// at most FFF, whatever leading zeros it has), after a UTF-8
// byte order mark if the file starts with one. On failure returns false and
// `error` holds the reason, such as "line 3: 'ZZ' is not a hexadecimal
// number", with bytes that cannot be seen written as \xNN.
bool ParseSetup(const QByteArray &content, Setup &setup, QString &error);

enum class SetupRead { Ok, CannotOpen, Invalid };
// Reads the setup file at `path` and checks it whole with ParseSetup. When
// it cannot be opened, `error` holds the system's reason. A file larger
// than any setup file can be is refused unread (Invalid, with its reason in
// `error`), so a wrong choice never fills the memory.
SetupRead ReadSetupFile(const QString &path, Setup &setup, QString &error);

// Writes `content` to an ordinary file, a new one or one that is replaced;
// anything else at the path (a device, FIFO, socket or directory), a path
// through /proc or /dev/fd, and the file of standard input, output or error
// are refused with the reason, and nothing is written. A symbolic link to an
// ordinary file writes that file. The old file is replaced only by a new one
// that was written whole, and on any failure the old file stays. Where the
// folder lets no new file take the old one's place but the file itself may
// be written (a read-only or sticky folder), the file is written in place;
// a failure then may leave it cut short. False on any failure.
bool SaveFile(const QString &path, const QByteArray &content, QString *error = nullptr);

// Why a save to `path` would be refused before anything is written, or
// empty: an empty name, a path SaveFile refuses, a folder that is missing,
// or one that lets no file be made while the file is not there to be
// written in place. For checking a save before the registers are read.
QString SaveRefusal(const QString &path);

} // namespace vek
