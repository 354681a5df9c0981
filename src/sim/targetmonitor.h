#pragma once
// The monitor program of a VEK target as a pure state machine: bytes from
// the host in, bytes to the host out. No I/O, no clock.

#include <QByteArray>
#include <QList>
#include <array>
#include <cstdint>

namespace vek::sim {

enum class Fault {
    None,
    NoEcho,      // after `faultAfter` received bytes, echo nothing more
    WrongEcho,   // after `faultAfter` received bytes, echo a different byte
    NoPrompt,    // lines run, but no '>' follows
    Garbage,     // register reads answer "Z?" instead of hex digits
    LongReply,   // read and identification answer `longReplyBytes` bytes
    Silent,      // after `faultAfter` received bytes, send nothing at all
    HangUp,      // after `faultAfter` received bytes, the line hangs up (PtyTarget closes its side)
};

struct TargetOptions {
    bool doubleEcho = false;
    QByteArray ident = "VEK Monitor 1.2 (simulated)";
    bool crInReplies = false;            // put CRs among reply characters
    Fault fault = Fault::None;
    int faultAfter = 0;                  // received bytes before the fault starts
    int longReplyBytes = 10000;
    bool longReplyPrompt = true;         // whether a long reply still ends in '>'
    std::array<uint8_t, 4096> registers{};
};

class TargetMonitor {
public:
    explicit TargetMonitor(const TargetOptions &options = {});

    // One byte from the host; returns what the target sends back.
    QByteArray feed(uint8_t byte);
    QByteArray feed(const QByteArray &bytes);

    // True once a HangUp fault has fired.
    bool hungUp() const;

    uint8_t reg(uint16_t addr) const;
    void setReg(uint16_t addr, uint8_t value);
    // Every byte the host sent, in order.
    const QByteArray &received() const;
    // Every command line run, without its CR ("A006=08", "V", "T2C").
    const QList<QByteArray> &lines() const;
    const TargetOptions &options() const;

private:
    struct Impl;
    TargetOptions m_opt;
    QByteArray m_received;
    QList<QByteArray> m_lines;
    QByteArray m_line;
    int m_keyMatched = 0;
    bool m_hungUp = false;
    // helpers are in the .cpp
    QByteArray runLine(const QByteArray &line);
    QByteArray echo(uint8_t byte) const;
};

} // namespace vek::sim
