#include "targetsession.h"

#include "textconv.h"

namespace vek {

Result Target::readRange(uint16_t from, uint16_t to)
{
    QByteArray values;
    for (uint32_t a = from; a <= to; ++a) {
        Result r = read(uint16_t(a));
        if (!r.ok()) {
            r.values = values;
            return r;
        }
        values.append(r.values);
    }
    Result r;
    r.values = values;
    return r;
}

Result Target::writeAll(const QList<RegWrite> &writes)
{
    int done = 0;
    for (const RegWrite &w : writes) {
        Result r = write(w.first, w.second);
        if (!r.ok()) {
            r.done = done;
            return r;
        }
        ++done;
    }
    Result r;
    r.done = done;
    return r;
}

QString OpenFailureText(const QString &port, const SerialLine::OpenFailure &f)
{
    using K = SerialLine::OpenFailure::Kind;
    QString text = QStringLiteral("cannot open ") + port;
    if (!f.text.isEmpty())
        text += QStringLiteral(": ") + f.text;
    switch (f.kind) {
    case K::NoPermission:
#ifdef Q_OS_LINUX
        text += QStringLiteral(" (add your user to the dialout group, then log in again)");
#endif
        break;
    case K::Busy:
        // Unless the reason names the program already.
        if (!f.text.endsWith(QLatin1String("has it open")))
            text += QStringLiteral(" (another program has it open)");
        break;
    case K::NotFound:
        text += QStringLiteral(" (vekctl ports lists the ports)");
        break;
    case K::NotSerial:
        text += QStringLiteral(" (not a serial port)");
        break;
    case K::Unknown:
        break;
    }
    return text;
}

Session::Session(SerialLine &line, Host &sleeper) : m_gather(sleeper), m_watch(line), m_link(m_watch, m_gather) {}

Session::~Session() = default;

void Session::begin()
{
    m_gather.messages.clear();
    m_watch.startCommand();
}

Result Session::finish(bool ok)
{
    Result r;
    r.messages = std::exchange(m_gather.messages, {});
    if (!ok)
        r.status = m_watch.lost() ? StatusLineLost : StatusFailed;
    return r;
}

Result Session::connect(const QString &port, int32_t baud, uint8_t cal, bool targetReset)
{
    begin();
    m_port = port;
    m_identified = false;
    m_link.BaudRate = baud;
    m_link.CalChar = cal;
    m_link.VerText.clear();
    const auto opened = m_link.OpenLine(port);
    if (opened == SerialLine::OpenResult::CannotOpen) {
        Result r = finish(false);
        r.status = StatusNoConnection;
        if (!m_gather.stopAsked())
            r.messages << OpenFailureText(port, m_link.line().openFailure());
        return r;
    }
    // Asked with the port held, so that no other program connects meanwhile.
    if (const QByteArray held = m_link.HeldOn(port); opened == SerialLine::OpenResult::Ok && !held.isEmpty()) {
        if (!targetReset) {
            m_link.ClosePort();
            Result r = finish(false);
            r.status = StatusNoConnection;
            r.held = held;
            r.messages << Link::HeldText(port, held);
            return r;
        }
        m_link.TargetWasReset(port);
    }
    if (opened != SerialLine::OpenResult::Ok || !m_link.ConnectionSequence()) {
        m_link.ClosePort();
        Result r = finish(false);
        r.status = StatusNoConnection;
        if (!m_gather.stopAsked())
            r.messages << port + QStringLiteral(" is not responding");
        return r;
    }
    m_watch.echoes = m_link.DoubleEcho ? 2 : 1;
    m_identified = m_link.GetVersion();
    return finish(true);
}

Result Session::close()
{
    begin();
    const bool ok = m_link.ClosePort();
    m_identified = false;
    Result r = finish(ok);
    if (!ok)
        r.status = StatusFailed;
    return r;
}

Result Session::read(uint16_t addr)
{
    begin();
    uint8_t v = 0;
    const bool ok = m_link.ReadRegister(addr, v);
    Result r = finish(ok);
    if (ok)
        r.values.append(char(v));
    return r;
}

Result Session::write(uint16_t addr, uint8_t value)
{
    begin();
    const bool ok = m_link.WriteRegister(addr, value);
    Result r = finish(ok);
    r.done = ok ? 1 : 0;
    return r;
}

Result Session::test(uint8_t value)
{
    begin();
    return finish(m_link.SendCommand("T" + HexByte(value).toLatin1() + char(Link::CR)));
}

template<class F> Result LinkTarget::run(F op)
{
    Host &own = m_link.host();
    GatheringHost gather(own);
    m_link.setHost(gather);
    Result r;
    const bool ok = op(r);
    m_link.setHost(own);
    r.messages = gather.messages;
    if (!ok)
        r.status = m_link.line().lostReason().isEmpty() ? StatusFailed : StatusLineLost;
    return r;
}

Result LinkTarget::read(uint16_t addr)
{
    return run([&](Result &r) {
        uint8_t v = 0;
        const bool ok = m_link.ReadRegister(addr, v);
        if (ok)
            r.values.append(char(v));
        return ok;
    });
}

Result LinkTarget::write(uint16_t addr, uint8_t value)
{
    Result r = run([&](Result &) { return m_link.WriteRegister(addr, value); });
    r.done = r.ok() ? 1 : 0;
    return r;
}

Result LinkTarget::test(uint8_t value)
{
    return run([&](Result &) { return m_link.SendCommand("T" + HexByte(value).toLatin1() + char(Link::CR)); });
}

} // namespace vek
