#pragma once
// The serial link and the monitor protocol. One Link is one connection to
// one target: its line, its host, its settings, the echo mode and the
// identification. Every byte sent is echo-checked, every command ends at the
// target's prompt '>'.

#include "host.h"
#include "serialline.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>

namespace vek {
class HeldCommands;
}

namespace vek {

class Link {
public:
    static constexpr qsizetype VerTextMax = 49;
    static constexpr uint8_t CR = 0x0D;
    static constexpr uint8_t Prompt = '>';
    static constexpr uint8_t KeySequence[5] = {0x5A, 0xC3, 0x27, 0xE1, 0x4B};
    static constexpr int CalWaitMs = 250;
    static constexpr int BreakMs = 750;
    static constexpr int AfterBreakMs = 250;

    // Neither seam is owned; both must outlive the link.
    Link(SerialLine &line, Host &host) : m_line(&line), m_host(&host) {}
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;

    SerialLine &line() const { return *m_line; }
    Host &host() const { return *m_host; }
    // Another host from now on (a window that gathers messages for a while).
    void setHost(Host &host) { m_host = &host; }

    // Settings and what the last connection found.
    int32_t BaudRate = 9600;     // applied by the next OpenPort: 300, 4800 or 9600
    uint8_t CalChar = 0x3F;      // 0x3F or 0x80, sent twice by the connection sequence
    bool DoubleEcho = false;     // echo mode found by the last handshake
    QByteArray VerText;          // the target's identification, at most VerTextMax characters

    // Serial port.
    bool OpenPort(const QString &name);   // open, configure, connection sequence
    // OpenPort's first part: open and configure, with the messages of a failed
    // step, except that a device that does not open at all (CannotOpen) shows
    // nothing, so that the caller can say why in its own words.
    SerialLine::OpenResult OpenLine(const QString &name);
    // OpenPort's last part: calibration character, break, calibration
    // character, handshake.
    bool ConnectionSequence();
    bool ClosePort();
    bool IsOpen() const;
    bool ReadByte(uint8_t &b);
    void PurgeRx();
    void PurgeTx();
    void PurgeAll();
    // The machine's serial ports as short names, in the platform's order.
    static QStringList PortNames();

    // Monitor protocol.
    bool SendCalChar();
    bool SendBreak();
    bool Handshake();
    bool WriteEcho(uint8_t c);
    bool SendCommand(const QByteArray &line);
    bool WriteReg(const QByteArray &addr, const QByteArray &data);
    // The same from numbers: the address display and two hex digits.
    bool WriteRegister(uint16_t addr, uint8_t value);
    // Collects the reply up to the prompt, dropping CRs and keeping at most
    // `capacity` characters; the rest is read and dropped. When `overflow` is
    // given it tells whether characters were dropped.
    bool ReadReg(const QByteArray &addr, QByteArray &reply, qsizetype capacity = 2,
                 bool *overflow = nullptr);
    // One register's value: the reply must be one or two hexadecimal digits,
    // else "Invalid reply from target" is shown and the read has failed.
    bool ReadRegister(uint16_t addr, uint8_t &value);
    bool GetVersion();

    // A command that failed after some of its characters reached the line but
    // before its CR may sit half-typed in the monitor's line buffer; the next
    // command would complete it. No byte sequence clears that line for certain,
    // so from then on the link sends no command until a new connection.
    bool HoldsPartial() const { return !m_partial.isEmpty(); }
    QByteArray PartialLine() const { return m_partial; }
    static QString PartialText(const QByteArray &partial);

    // Where a cut command is remembered beyond this connection, so that the
    // next one on the port, by whatever program, does not complete it. Not
    // owned; none by default.
    void setHeldCommands(HeldCommands *held) { m_held = held; }
    // What a cut command of an earlier connection left on the target behind
    // this port; empty when nothing. The connection sequence must not be
    // sent into it: the user resets the target first, then says so
    // (TargetWasReset).
    QByteArray HeldOn(const QString &port) const;
    void TargetWasReset(const QString &port);
    static QString HeldText(const QString &port, const QByteArray &partial);

    // The host's stopAsked, asked after each fixed wait of the connection
    // sequence and during its reads: a stop ends the sequence at once, with
    // no message. Commands are never cut by it.
    bool StopAsked() const;

private:
    void say(const char *text);
    void sayPartial();
    bool refusePartial();
    bool sendEchoed(const QByteArray &text);
    bool collectReply(QByteArray &reply, qsizetype capacity, bool *overflow);

    SerialLine *m_line;
    Host *m_host;
    QByteArray m_partial;   // the characters of a cut command that reached the line
    HeldCommands *m_held = nullptr;
    QString m_portName;     // as the last OpenLine was given it
    bool m_lastWriteOk = false;
};

} // namespace vek
