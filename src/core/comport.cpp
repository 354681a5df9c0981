#include "comport.h"

#include "heldcommand.h"
#include "textconv.h"

#include <QSerialPortInfo>

namespace vek {

namespace {

const char *openFailureText(SerialLine::OpenResult r)
{
    using R = SerialLine::OpenResult;
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

// While this lives, a read of the line stops waiting when the host is
// asked to stop.
class StopWatching {
public:
    StopWatching(SerialLine &line, Host &host) : m_line(line)
    {
        m_line.setReadWaitCheck([&host] { return !host.stopAsked(); });
    }
    ~StopWatching() { m_line.setReadWaitCheck({}); }
    StopWatching(const StopWatching &) = delete;
    StopWatching &operator=(const StopWatching &) = delete;

private:
    SerialLine &m_line;
};

} // namespace

void Link::say(const char *text) { m_host->showMessage(QString::fromLatin1(text)); }

// Reads up to the prompt or the first failed read. CRs are dropped; at most
// `capacity` characters are kept and the rest is read and thrown away, so a
// chatty target can never push the reply past its bound.
bool Link::collectReply(QByteArray &reply, qsizetype capacity, bool *overflow)
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

// Sends a command's characters, each echo-checked. When it breaks off after
// some characters reached the line but before the CR, the monitor may hold
// them as the start of its next line: the link remembers them and refuses
// every command until a new connection.
bool Link::sendEchoed(const QByteArray &text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        const uint8_t c = uint8_t(text[i]);
        if (WriteEcho(c))
            continue;
        // The character is on the line unless its own write failed.
        const qsizetype sent = m_lastWriteOk ? i + 1 : i;
        if (sent > 0 && !(sent == text.size() && c == CR)) {
            m_partial = text.left(sent);
            if (m_held)
                m_held->note(m_portName, m_partial);
        }
        return false;
    }
    return true;
}

QString Link::PartialText(const QByteArray &partial)
{
    return QStringLiteral("The target may hold part of a command, %1; reset the target before the next connection")
        .arg(VisibleText(partial));
}

QString Link::HeldText(const QString &port, const QByteArray &partial)
{
    return QStringLiteral("The target on %1 may hold part of a command, %2, cut by an earlier connection; "
                          "the connection sequence would complete it")
        .arg(port, VisibleText(partial));
}

QByteArray Link::HeldOn(const QString &port) const { return m_held ? m_held->find(port) : QByteArray(); }

void Link::TargetWasReset(const QString &port)
{
    if (m_held)
        m_held->forget(port);
}

bool Link::StopAsked() const { return m_host->stopAsked(); }

void Link::sayPartial()
{
    if (!m_partial.isEmpty())
        m_host->showMessage(PartialText(m_partial));
}

bool Link::refusePartial()
{
    if (m_partial.isEmpty())
        return false;
    m_host->showMessage(PartialText(m_partial));
    return true;
}

bool Link::OpenPort(const QString &name)
{
    const auto r = OpenLine(name);
    if (r == SerialLine::OpenResult::CannotOpen) {
        // Built whole: a long name never cuts or overruns the message.
        m_host->showMessage(QStringLiteral("Cannot open ") + name);
        return false;
    }
    return r == SerialLine::OpenResult::Ok && ConnectionSequence();
}

SerialLine::OpenResult Link::OpenLine(const QString &name)
{
    // A new connection: whatever the monitor held is the user's to clear.
    m_partial.clear();
    m_portName = name;
    const auto r = m_line->open(name, BaudRate);
    if (const char *text = openFailureText(r))
        say(text);
    return r;
}

bool Link::ConnectionSequence()
{
    // A stop during the handshake's reads cuts no command: the monitor has
    // only had its CR, and the next connection begins with a break.
    const StopWatching watching(*m_line, *m_host);
    return SendCalChar() && SendBreak() && SendCalChar() && !StopAsked() && Handshake();
}

bool Link::ClosePort()
{
    if (m_line->isOpen() && !m_line->close()) {
        say("Failed to close Com Port");
        return false;
    }
    m_partial.clear();
    return true;
}

bool Link::IsOpen() const { return m_line && m_line->isOpen(); }

bool Link::ReadByte(uint8_t &b)
{
    uint8_t got = 0;
    switch (m_line->readByte(got)) {
    case SerialLine::ReadResult::Byte:
        b = got;
        return true;
    case SerialLine::ReadResult::Timeout:
        return false;
    case SerialLine::ReadResult::Error:
        say("Read Failure");
        return false;
    }
    return false;
}

void Link::PurgeRx() { m_line->purgeRx(); }
void Link::PurgeTx() { m_line->purgeTx(); }
void Link::PurgeAll()
{
    PurgeRx();
    PurgeTx();
}

QStringList Link::PortNames()
{
    QStringList names;
    const auto ports = QSerialPortInfo::availablePorts();
    for (const auto &info : ports)
        names << info.portName();
    return names;
}

bool Link::SendCalChar()
{
    PurgeTx();
    if (!m_line->writeByte(CalChar)) {
        say("Calibration write failed");
        return false;
    }
    m_host->sleepMs(CalWaitMs);
    return !StopAsked();
}

bool Link::SendBreak()
{
    if (!m_line->setBreak(true))
        return false;
    m_host->sleepMs(BreakMs);
    // Lifted also when a stop cut the wait short.
    if (!m_line->setBreak(false) || StopAsked())
        return false;
    m_host->sleepMs(AfterBreakMs);
    return !StopAsked();
}

bool Link::Handshake()
{
    PurgeAll();
    if (!m_line->writeByte(CR))
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

bool Link::WriteEcho(uint8_t c)
{
    m_lastWriteOk = m_line->writeByte(c);
    if (!m_lastWriteOk) {
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

bool Link::SendCommand(const QByteArray &line)
{
    if (refusePartial())
        return false;
    PurgeRx();
    // A command cut short by a broken echo is never a success, even when a
    // prompt follows: the target did not run the line that was asked for.
    const bool sent = sendEchoed(line);
    uint8_t p = 0;
    if (ReadByte(p) && p == Prompt && sent)
        return true;
    say("File write failed");
    sayPartial();
    return false;
}

bool Link::WriteReg(const QByteArray &addr, const QByteArray &data)
{
    return SendCommand("A" + addr + "=" + data + char(CR));
}

bool Link::WriteRegister(uint16_t addr, uint8_t value)
{
    return WriteReg(AddrDisplay(addr).toLatin1(), HexByte(value).toLatin1());
}

bool Link::ReadReg(const QByteArray &addr, QByteArray &reply, qsizetype capacity, bool *overflow)
{
    reply.clear();
    if (refusePartial())
        return false;
    const QByteArray line = "A" + addr + char(CR);
    PurgeRx();
    const bool sent = sendEchoed(line);
    if (collectReply(reply, capacity, overflow) && sent)
        return true;
    say("File read failed");
    sayPartial();
    return false;
}

bool Link::ReadRegister(uint16_t addr, uint8_t &value)
{
    QByteArray reply;
    bool overflow = false;
    if (!ReadReg(AddrDisplay(addr).toLatin1(), reply, 2, &overflow))
        return false;
    // Anything but the register's two digits would show a value the
    // register does not hold.
    if (overflow || !IsHexText(QString::fromLatin1(reply))) {
        say("Invalid reply from target");
        return false;
    }
    value = uint8_t(HexToInt(reply) & 0xFF);
    return true;
}

bool Link::GetVersion()
{
    if (refusePartial())
        return false;
    if (!sendEchoed(QByteArray("V") + char(CR))) {
        sayPartial();
        return false;
    }
    const bool prompt = collectReply(VerText, VerTextMax, nullptr);
    // The identification is a zero-terminated text: a zero byte ends it,
    // and what follows up to the prompt was read and is dropped.
    if (const qsizetype end = VerText.indexOf('\0'); end >= 0)
        VerText.truncate(end);
    return prompt;
}

} // namespace vek
