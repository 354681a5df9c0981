#pragma once
// The monitor program of a VEK target as a pure state machine: bytes from
// the host in, bytes to the host out. No I/O, no clock.
//
// Lines it runs on CR, each answered by '>' after the echo of the CR:
//   (empty)     nothing else; the handshake CR is such a line
//   Aaaa=dd     register write; 1 to 4 hex digits of address (any case),
//               kept to the low 12 bits, so a setup file's 1234 writes 234
//   Aaaa        register read; answers two upper-case hex digits
//   V           identification; answers the `ident` text
//   T...        test command; only recorded
//   otherwise   answers '?' before the prompt
// Calibration characters (0x3F, 0x80), other control bytes and the five-byte
// key sequence never become part of a line.
//
// With `moving` set, two registers change on the target's clock (setTime):
// TMR0 counts up one every TimerTickMs, wrapping at 0xFF, and ADRESH follows a
// sine wave between 0x00 and 0xFF with a period of WavePeriodMs. A write to
// either sets the value it goes on from.

#include <QByteArray>
#include <QList>
#include <array>
#include <chrono>
#include <cstdint>

namespace vek::sim {

// Every fault except None starts with the received byte numbered
// `faultAfter` (counting from 0, every byte from the host, calibration
// characters and key bytes included, counted from construction or from the
// last setOptions()). The connection sequence is 8 bytes (two calibration
// characters, CR, five key bytes) and the identification query 2 more, so
// faultAfter = 10 lets a host connect and then fails its first command.
enum class Fault {
    None,
    NoEcho,      // after `faultAfter` received bytes, echo nothing more
    WrongEcho,   // after `faultAfter` received bytes, echo a different byte
    NoPrompt,    // lines run, but no '>' follows (also after the handshake CR)
    Garbage,     // register reads answer "Z?" instead of hex digits
    LongReply,   // read and identification answer `longReplyBytes` bytes
                 // (hex digits), then '>' only if `longReplyPrompt`
    Silent,      // after `faultAfter` received bytes, send nothing at all
    HangUp,      // after `faultAfter` received bytes, the line hangs up (PtyTarget closes its side)
};

// The moving registers (named in examples/vek-demo.inc).
inline constexpr uint16_t TimerRegister = 0x001;   // TMR0
inline constexpr uint16_t WaveRegister = 0x01E;    // ADRESH
inline constexpr int TimerTickMs = 10;
inline constexpr int WavePeriodMs = 20000;

struct TargetOptions {
    bool doubleEcho = false;
    QByteArray ident = "VEK-sim 1.2";
    bool crInReplies = false;            // a CR after every reply character ("3\rC\r>")
    Fault fault = Fault::None;
    int faultAfter = 0;                  // received bytes before the fault starts
    int longReplyBytes = 10000;
    bool longReplyPrompt = true;         // whether a long reply still ends in '>'
    bool moving = false;                 // TMR0 counts, ADRESH follows a slow wave
    std::array<uint8_t, 4096> registers{};
};

class TargetMonitor {
public:
    explicit TargetMonitor(const TargetOptions &options = {});

    // Swaps in new options, keeping the register file, the logs and the
    // partly typed line; the fault count starts again from 0.
    void setOptions(const TargetOptions &options);
    // As the reset button: the partly typed line and the key match are
    // dropped; registers and logs are kept.
    void reset();
    void clearLog();

    // One byte from the host; returns what the target sends back.
    QByteArray feed(uint8_t byte);
    QByteArray feed(const QByteArray &bytes);

    // The target's clock, for the moving registers; it only goes forward.
    void setTime(std::chrono::nanoseconds now);

    // True once a HangUp fault has fired.
    bool hungUp() const;

    uint8_t reg(uint16_t addr) const;
    void setReg(uint16_t addr, uint8_t value);
    // Every byte the host sent, in order.
    const QByteArray &received() const;
    // Every non-empty command line run, without its CR ("A006=08", "V", "T2C").
    const QList<QByteArray> &lines() const;
    const TargetOptions &options() const;

private:
    TargetOptions m_opt;
    QByteArray m_received;
    QList<QByteArray> m_lines;
    QByteArray m_line;
    int m_keyMatched = 0;    // key bytes matched in a row
    int m_keyInLine = 0;     // of those, how many went into m_line
    qsizetype m_count = 0;   // bytes since the options were set
    bool m_hungUp = false;
    // The moving registers: the value each had at its base time.
    std::chrono::nanoseconds m_now{0};
    std::chrono::nanoseconds m_timerBase{0}, m_waveBase{0};
    double m_wavePhase = 0;   // radians at m_waveBase
    // helpers are in the .cpp
    QByteArray runLine(const QByteArray &line);
    QByteArray echo(uint8_t byte, bool faulty) const;
    void reply(QByteArray &out, const QByteArray &text) const;
    bool faultActive(Fault f) const;
    void rebase(uint16_t addr, uint8_t value);
};

} // namespace vek::sim
