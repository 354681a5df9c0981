#pragma once
// The serial link and the monitor protocol: plain functions over the one
// connection of the process. Every byte sent is echo-checked, every command
// ends at the target's prompt '>'.

#include "host.h"
#include "serialline.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>

namespace Comport {

// Process-wide state of the link.
extern int32_t BaudRate;     // applied by the next OpenPort: 300, 4800 or 9600
extern uint8_t CalChar;      // 0x3F or 0x80, sent twice by the connection sequence
extern bool DoubleEcho;      // echo mode found by the last handshake
extern QByteArray VerText;   // the target's identification, at most VerTextMax characters

constexpr qsizetype VerTextMax = 49;
constexpr uint8_t CR = 0x0D;
constexpr uint8_t Prompt = '>';
constexpr uint8_t KeySequence[5] = {0x5A, 0xC3, 0x27, 0xE1, 0x4B};
constexpr int CalWaitMs = 250;
constexpr int BreakMs = 750;
constexpr int AfterBreakMs = 250;

// The seams. Neither is owned; both must outlive every call below.
void install(vek::SerialLine *line, vek::Host *host);
vek::SerialLine *line();
vek::Host *host();

// Serial port.
bool OpenPort(const QString &name);   // open, configure, connection sequence
// OpenPort's first part: open and configure, with the messages of a failed
// step, except that a device that does not open at all (CannotOpen) shows
// nothing, so that the caller can say why in its own words.
vek::SerialLine::OpenResult OpenLine(const QString &name);
// OpenPort's last part: calibration character, break, calibration
// character, handshake.
bool ConnectionSequence();
bool ClosePort();
bool IsOpen();
bool ReadByte(uint8_t &b);
void PurgeRx();
void PurgeTx();
void PurgeAll();
// The machine's serial ports as short names, in the platform's order.
QStringList PortNames();

// Monitor protocol.
bool SendCalChar();
bool SendBreak();
bool Handshake();
bool WriteEcho(uint8_t c);
bool SendCommand(const QByteArray &line);
bool WriteReg(const QByteArray &addr, const QByteArray &data);
// Collects the reply up to the prompt, dropping CRs and keeping at most
// `capacity` characters; the rest is read and dropped. When `overflow` is
// given it tells whether characters were dropped.
bool ReadReg(const QByteArray &addr, QByteArray &reply, qsizetype capacity = 2,
             bool *overflow = nullptr);
// One register's value: the reply must be one or two hexadecimal digits,
// else "Invalid reply from target" is shown and the read has failed.
bool ReadRegister(uint16_t addr, uint8_t &value);
bool GetVersion();
int32_t HexToInt(const QByteArray &text);

// Resets the state to what a new window starts with (tests, new sessions).
void ResetState();

} // namespace Comport
