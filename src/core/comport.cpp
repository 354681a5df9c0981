#include "comport.h"

#include "textconv.h"

#include <QSerialPortInfo>

namespace Comport {

int32_t BaudRate = 9600;
uint8_t CalChar = 0x3F;
bool DoubleEcho = false;
QByteArray VerText;

namespace {

vek::SerialLine *g_line = nullptr;
vek::Host *g_host = nullptr;

void say(const char *text) { g_host->showMessage(QString::fromLatin1(text)); }

const char *openFailureText(vek::SerialLine::OpenResult r)
{
    using R = vek::SerialLine::OpenResult;
    switch (r) {
    case R::SetupFailed: return "Setup comm failed";
    case R::GetStateFailed: return "Get comm state failed";
    case R::SetStateFailed: return "Set comm state failed";
    case R::GetTimeoutsFailed: return "Get Timeout states failed";
    case R::SetTimeoutsFailed: return "Set Timeouts failed";
    case R::Ok:
    case R::CannotOpen: break;
    }
    return nullptr;
}

// Reads up to the prompt or the first failed read. CRs are dropped; at most
// `capacity` characters are kept and the rest is read and thrown away, so a
// chatty target can never push the reply past its bound.
bool collectReply(QByteArray &reply, qsizetype capacity, bool *overflow)
{
    reply.clear();
    bool dropped = false;
    uint8_t b = 0;
    bool prompt = false;
    while (ReadByte(b)) {
        if (b == Prompt) {
            prompt = true;
            break;
        }
        if (b == CR)
            continue;
        if (reply.size() < capacity)
            reply.append(char(b));
        else
            dropped = true;
    }
    if (overflow)
        *overflow = dropped;
    return prompt;
}

bool sendEchoed(const QByteArray &text)
{
    for (char c : text) {
        if (!WriteEcho(uint8_t(c)))
            return false;
    }
    return true;
}

} // namespace

void install(vek::SerialLine *line, vek::Host *host)
{
    g_line = line;
    g_host = host;
}

vek::SerialLine *line() { return g_line; }
vek::Host *host() { return g_host; }

void ResetState()
{
    BaudRate = 9600;
    CalChar = 0x3F;
    DoubleEcho = false;
    VerText.clear();
}

bool OpenPort(const QString &name)
{
    const auto r = OpenLine(name);
    if (r == vek::SerialLine::OpenResult::CannotOpen) {
        // Built whole: a long name never cuts or overruns the message.
        g_host->showMessage(QStringLiteral("Cannot open ") + name);
        return false;
    }
    return r == vek::SerialLine::OpenResult::Ok && ConnectionSequence();
}

vek::SerialLine::OpenResult OpenLine(const QString &name)
{
    const auto r = g_line->open(name, BaudRate);
    if (const char *text = openFailureText(r))
        say(text);
    return r;
}

bool ConnectionSequence()
{
    return SendCalChar() && SendBreak() && SendCalChar() && Handshake();
}

bool ClosePort()
{
    if (g_line->isOpen() && !g_line->close()) {
        say("Failed to close Com Port");
        return false;
    }
    return true;
}

bool IsOpen() { return g_line && g_line->isOpen(); }

bool ReadByte(uint8_t &b)
{
    uint8_t got = 0;
    switch (g_line->readByte(got)) {
    case vek::SerialLine::ReadResult::Byte:
        b = got;
        return true;
    case vek::SerialLine::ReadResult::Timeout:
        return false;
    case vek::SerialLine::ReadResult::Error:
        say("Read Failure");
        return false;
    }
    return false;
}

void PurgeRx() { g_line->purgeRx(); }
void PurgeTx() { g_line->purgeTx(); }
void PurgeAll()
{
    PurgeRx();
    PurgeTx();
}

QStringList PortNames()
{
    QStringList names;
    const auto ports = QSerialPortInfo::availablePorts();
    for (const auto &info : ports)
        names << info.portName();
    return names;
}

bool SendCalChar()
{
    PurgeTx();
    if (!g_line->writeByte(CalChar)) {
        say("Calibration write failed");
        return false;
    }
    g_host->sleepMs(CalWaitMs);
    return true;
}

bool SendBreak()
{
    if (!g_line->setBreak(true))
        return false;
    g_host->sleepMs(BreakMs);
    if (!g_line->setBreak(false))
        return false;
    g_host->sleepMs(AfterBreakMs);
    return true;
}

bool Handshake()
{
    PurgeAll();
    if (!g_line->writeByte(CR))
        return false;
    uint8_t b1 = 0, b2 = 0, b3 = 0;
    if (!ReadByte(b1) || !ReadByte(b2))
        return false;
    if (b1 == b2) {
        if (!ReadByte(b3) || b3 != Prompt)
            return false;
        DoubleEcho = true;
    } else {
        if (b2 != Prompt)
            return false;
        DoubleEcho = false;
    }
    for (uint8_t k : KeySequence) {
        if (!WriteEcho(k))
            return false;
    }
    return true;
}

bool WriteEcho(uint8_t c)
{
    if (!g_line->writeByte(c)) {
        say("Write failed");
        return false;
    }
    const int n = DoubleEcho ? 2 : 1;
    for (int i = 0; i < n; ++i) {
        uint8_t e = 0;
        if (!ReadByte(e)) {
            say("Echo not received");
            return false;
        }
        if (e != c)
            return false;
    }
    return true;
}

bool SendCommand(const QByteArray &line)
{
    PurgeRx();
    // A command cut short by a broken echo is never a success, even when a
    // prompt follows: the target did not run the line that was asked for.
    const bool sent = sendEchoed(line);
    uint8_t p = 0;
    if (ReadByte(p) && p == Prompt && sent)
        return true;
    say("File write failed");
    return false;
}

bool WriteReg(const QByteArray &addr, const QByteArray &data)
{
    return SendCommand("A" + addr + "=" + data + char(CR));
}

bool ReadReg(const QByteArray &addr, QByteArray &reply, qsizetype capacity, bool *overflow)
{
    const QByteArray line = "A" + addr + char(CR);
    PurgeRx();
    const bool sent = sendEchoed(line);
    if (collectReply(reply, capacity, overflow) && sent)
        return true;
    say("File read failed");
    return false;
}

bool ReadRegister(uint16_t addr, uint8_t &value)
{
    QByteArray reply;
    bool overflow = false;
    if (!ReadReg(vek::AddrDisplay(addr).toLatin1(), reply, 2, &overflow))
        return false;
    // Anything but the register's two digits would show a value the
    // register does not hold.
    if (overflow || !vek::IsHexText(QString::fromLatin1(reply))) {
        say("Invalid reply from target");
        return false;
    }
    value = uint8_t(HexToInt(reply) & 0xFF);
    return true;
}

bool GetVersion()
{
    if (!WriteEcho('V') || !WriteEcho(CR))
        return false;
    const bool prompt = collectReply(VerText, VerTextMax, nullptr);
    // The identification is a zero-terminated text: a zero byte ends it,
    // and what follows up to the prompt was read and is dropped.
    if (const qsizetype end = VerText.indexOf('\0'); end >= 0)
        VerText.truncate(end);
    return prompt;
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

} // namespace Comport
