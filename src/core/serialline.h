#pragma once
// The byte-level primitives the link needs from a serial port. The real
// implementation sits on QSerialPort; tests use a scripted line with a
// virtual clock.

#include <QString>
#include <cstdint>
#include <functional>

namespace vek {

class SerialLine {
public:
    // Which step of opening failed; each has its own message in the link.
    enum class OpenResult {
        Ok,
        CannotOpen,        // no such device, in use, empty name
        SetupFailed,       // queue sizes
        GetStateFailed,    // reading the line settings
        SetStateFailed,    // applying 8N1, bit rate, no flow control
        GetTimeoutsFailed,
        SetTimeoutsFailed,
    };
    enum class ReadResult { Byte, Timeout, Error };
    // Why the last open() gave CannotOpen, so that a user can act on it.
    struct OpenFailure {
        enum class Kind { Unknown, NotFound, NoPermission, Busy, NotSerial };
        Kind kind = Kind::Unknown;
        QString text;   // the operating system's words ("Permission denied"); may be empty
    };

    static constexpr int ReadTimeoutMs = 500;   // one-byte read gives up after this
    static constexpr int WriteTimeoutMs = 110;  // one-byte write gives up after this

    virtual ~SerialLine() = default;

    // Opens the named port (a short name such as ttyUSB0 or a device path)
    // with 8 data bits, no parity, one stop bit, no flow control, DTR and RTS
    // off (best effort). On a failure after the device was opened the port
    // stays open; close() releases it.
    virtual OpenResult open(const QString &name, int32_t baud) = 0;
    virtual bool isOpen() const = 0;
    virtual OpenFailure openFailure() const { return {}; }
    // Why an open line has failed for good (the server closed the
    // connection, the device hung up): every call then fails at once until
    // close(). Empty while the line works.
    virtual QString lostReason() const { return {}; }
    // Asked now and then while open() waits long (for a server's answer):
    // false ends the wait, and the open fails. A line whose waits are short
    // does without it.
    using WaitCheck = std::function<bool()>;
    virtual void setWaitCheck(WaitCheck check) { (void)check; }
    // Returns false when the port could not be closed; it then stays open.
    virtual bool close() = 0;
    // One byte; false when it could not be queued within WriteTimeoutMs.
    virtual bool writeByte(uint8_t b) = 0;
    // One byte within ReadTimeoutMs; Timeout when none came, Error when the
    // read itself failed (device gone, hang-up).
    virtual ReadResult readByte(uint8_t &b) = 0;
    virtual void purgeRx() = 0;
    virtual void purgeTx() = 0;
    virtual bool setBreak(bool on) = 0;

    // Asked now and then while a read waits for its byte: false ends the
    // wait, and the read times out. Set only where no command can be cut
    // by it (the connection sequence); a line that wraps another passes it on.
    virtual void setReadWaitCheck(WaitCheck check) { m_readWaitCheck = std::move(check); }

protected:
    // The longest wait between two asks of a wait check.
    static constexpr int WaitSliceMs = 20;
    bool readGoesOn() const { return !m_readWaitCheck || m_readWaitCheck(); }
    bool hasReadWaitCheck() const { return bool(m_readWaitCheck); }

private:
    WaitCheck m_readWaitCheck;
};

} // namespace vek
