#include "targetmonitor.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace vek::sim {

namespace {

constexpr uint8_t CR = 0x0D;
constexpr char Prompt = '>';
constexpr std::array<uint8_t, 5> KeySequence{0x5A, 0xC3, 0x27, 0xE1, 0x4B};

bool isCalibration(uint8_t b) { return b == 0x3F || b == 0x80; }
bool isLineChar(uint8_t b) { return b >= 0x20 && b < 0x7F && !isCalibration(b); }

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// 1..maxDigits hex digits, nothing else.
bool parseHex(QByteArrayView text, int maxDigits, unsigned &value)
{
    if (text.isEmpty() || text.size() > maxDigits)
        return false;
    value = 0;
    for (char c : text) {
        const int d = hexDigit(c);
        if (d < 0)
            return false;
        value = value * 16 + unsigned(d);
    }
    return true;
}

QByteArray hexByte(uint8_t v)
{
    static const char digits[] = "0123456789ABCDEF";
    const char text[2] = {digits[v >> 4], digits[v & 0x0F]};
    return QByteArray(text, 2);
}

} // namespace

TargetMonitor::TargetMonitor(const TargetOptions &options) : m_opt(options)
{
    rebase(WaveRegister, m_opt.registers[WaveRegister]);
}

void TargetMonitor::setOptions(const TargetOptions &options)
{
    const uint8_t timer = reg(TimerRegister), wave = reg(WaveRegister);
    const auto registers = m_opt.registers;
    m_opt = options;
    m_opt.registers = registers;
    m_count = 0;
    rebase(TimerRegister, timer);
    rebase(WaveRegister, wave);
}

void TargetMonitor::setTime(std::chrono::nanoseconds now) { m_now = std::max(m_now, now); }

// The moving register at `addr` goes on from `value`, now.
void TargetMonitor::rebase(uint16_t addr, uint8_t value)
{
    m_opt.registers[addr] = value;
    if (addr == TimerRegister) {
        m_timerBase = m_now;
    } else if (addr == WaveRegister) {
        m_waveBase = m_now;
        // Rising through the value: 127.5 + 127.5 sin(phase) == value.
        m_wavePhase = std::asin(std::clamp((value - 127.5) / 127.5, -1.0, 1.0));
    }
}

void TargetMonitor::reset()
{
    m_line.clear();
    m_keyMatched = m_keyInLine = 0;
}

void TargetMonitor::clearLog()
{
    m_received.clear();
    m_lines.clear();
}

bool TargetMonitor::faultActive(Fault f) const
{
    // m_count has already been advanced past the byte being handled.
    return m_opt.fault == f && m_count > m_opt.faultAfter;
}

QByteArray TargetMonitor::echo(uint8_t byte, bool faulty) const
{
    if (faultActive(Fault::NoEcho))
        return {};
    const char c = char(faulty ? byte ^ 0x01 : byte);
    return m_opt.doubleEcho ? QByteArray(2, c) : QByteArray(1, c);
}

void TargetMonitor::reply(QByteArray &out, const QByteArray &text) const
{
    for (char c : text) {
        out += c;
        if (m_opt.crInReplies)
            out += char(CR);
    }
}

QByteArray TargetMonitor::feed(uint8_t byte)
{
    if (m_hungUp)
        return {};
    m_received += char(byte);
    ++m_count;
    if (faultActive(Fault::HangUp)) {
        m_hungUp = true;
        return {};
    }

    QByteArray out = echo(byte, faultActive(Fault::WrongEcho));

    if (byte == CR) {
        const QByteArray line = m_line;
        m_line.clear();
        m_keyMatched = 0;
        m_keyInLine = 0;
        out += runLine(line);
    } else {
        // The key sequence is recognised as a whole; its printable bytes
        // ('Z', '\'', 'K') leave the line again once all five have come.
        if (byte != KeySequence[size_t(m_keyMatched)]) {
            m_keyMatched = 0;
            m_keyInLine = 0;
        }
        const bool key = byte == KeySequence[size_t(m_keyMatched)];
        if (isLineChar(byte)) {
            m_line += char(byte);
            if (key)
                ++m_keyInLine;
        }
        if (key && ++m_keyMatched == int(KeySequence.size())) {
            m_line.chop(m_keyInLine);
            m_keyMatched = 0;
            m_keyInLine = 0;
        }
        // A line longer than any command is nonsense; keep memory bounded.
        if (m_line.size() > 256)
            m_line.remove(0, m_line.size() - 256);
    }

    if (faultActive(Fault::Silent))
        return {};
    return out;
}

QByteArray TargetMonitor::feed(const QByteArray &bytes)
{
    QByteArray out;
    for (char c : bytes)
        out += feed(uint8_t(c));
    return out;
}

QByteArray TargetMonitor::runLine(const QByteArray &line)
{
    QByteArray out;
    bool prompt = !faultActive(Fault::NoPrompt);
    auto longReply = [&] {
        static const char digits[] = "0123456789ABCDEF";
        QByteArray text(qMax(0, m_opt.longReplyBytes), Qt::Uninitialized);
        for (qsizetype i = 0; i < text.size(); ++i)
            text[i] = digits[i % 16];
        reply(out, text);
        if (!m_opt.longReplyPrompt)
            prompt = false;
    };

    if (!line.isEmpty())
        m_lines.append(line);

    const QByteArrayView view(line);
    const char first = line.isEmpty() ? '\0' : char(line[0] & ~0x20); // upper case
    unsigned addr = 0, value = 0;
    if (line.isEmpty()) {
        // handshake or a stray CR: just the prompt
    } else if (first == 'A') {
        const qsizetype eq = line.indexOf('=');
        const QByteArrayView addrText = eq < 0 ? view.sliced(1) : view.sliced(1, eq - 1);
        if (!parseHex(addrText, 4, addr)) {
            reply(out, "?");
        } else if (eq >= 0) {
            if (parseHex(view.sliced(eq + 1), 2, value))
                setReg(uint16_t(addr), uint8_t(value));
            else
                reply(out, "?");
        } else if (faultActive(Fault::LongReply)) {
            longReply();
        } else if (faultActive(Fault::Garbage)) {
            reply(out, "Z?");
        } else {
            reply(out, hexByte(reg(uint16_t(addr))));
        }
    } else if (first == 'V' && line.size() == 1) {
        if (faultActive(Fault::LongReply))
            longReply();
        else
            reply(out, m_opt.ident);
    } else if (first == 'T') {
        // the test command has no effect on the simulated target
    } else {
        reply(out, "?");
    }

    if (prompt)
        out += Prompt;
    return out;
}

bool TargetMonitor::hungUp() const { return m_hungUp; }
uint8_t TargetMonitor::reg(uint16_t addr) const
{
    addr &= 0xFFF;
    if (m_opt.moving && addr == TimerRegister) {
        const auto ticks = (m_now - m_timerBase) / std::chrono::milliseconds(TimerTickMs);
        return uint8_t((m_opt.registers[addr] + ticks) & 0xFF);
    }
    if (m_opt.moving && addr == WaveRegister) {
        const double turns = std::chrono::duration<double, std::milli>(m_now - m_waveBase).count() / WavePeriodMs;
        const double phase = m_wavePhase + 2 * std::numbers::pi * turns;
        return uint8_t(std::clamp(std::lround(127.5 + 127.5 * std::sin(phase)), 0L, 255L));
    }
    return m_opt.registers[addr];
}

void TargetMonitor::setReg(uint16_t addr, uint8_t value)
{
    addr &= 0xFFF;
    if (addr == TimerRegister || addr == WaveRegister)
        rebase(addr, value);
    else
        m_opt.registers[addr] = value;
}
const QByteArray &TargetMonitor::received() const { return m_received; }
const QList<QByteArray> &TargetMonitor::lines() const { return m_lines; }
const TargetOptions &TargetMonitor::options() const { return m_opt; }

} // namespace vek::sim
