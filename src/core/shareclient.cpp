#include "shareclient.h"

#include "shareserver.h"
#include "textconv.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace vek {

bool SharedTarget::connect(const QString &port, QString *error)
{
    m_socket.connectToServer(share::socketPath(port));
    if (!m_socket.waitForConnected(1000)) {
        *error = m_socket.errorString();
        return false;
    }
    const QJsonObject hello = request({{QStringLiteral("cmd"), QStringLiteral("hello")}});
    if (!hello.value(QStringLiteral("ok")).toBool()) {
        const QString why = hello.value(QStringLiteral("error")).toObject().value(QStringLiteral("message")).toString();
        *error = why.isEmpty() ? QStringLiteral("the server did not answer") : why;
        m_socket.abort();
        return false;
    }
    m_identification = hello.value(QStringLiteral("identification")).toString();
    m_identified = hello.value(QStringLiteral("identified")).toBool();
    return true;
}

bool SharedTarget::readLine(QJsonObject &out, int waitMs)
{
    for (;;) {
        const qsizetype nl = m_buffer.indexOf('\n');
        if (nl >= 0) {
            const QByteArray line = m_buffer.left(nl);
            m_buffer.remove(0, nl + 1);
            out = QJsonDocument::fromJson(line).object();
            return true;
        }
        if (m_socket.bytesAvailable() > 0) {
            m_buffer += m_socket.readAll();
            continue;
        }
        if (m_socket.state() != QLocalSocket::ConnectedState || !m_socket.waitForReadyRead(waitMs))
            return false;
    }
}

QJsonObject SharedTarget::request(QJsonObject req)
{
    const qint64 id = m_nextId++;
    req.insert(QStringLiteral("id"), id);
    m_socket.write(QJsonDocument(req).toJson(QJsonDocument::Compact) + '\n');
    m_socket.flush();
    for (;;) {
        QJsonObject line;
        if (readLine(line, 50)) {
            if (line.contains(QStringLiteral("event")))
                m_events << line;
            else if (line.value(QStringLiteral("id")).toInteger() == id)
                return line;
            else if (!line.value(QStringLiteral("ok")).toBool(true))
                return line;   // a refusal that answers nothing in particular
            continue;
        }
        if (m_socket.state() != QLocalSocket::ConnectedState)
            return {};
        if (m_stop && m_stop()) {
            m_socket.abort();
            return {};
        }
    }
}

QList<QJsonObject> SharedTarget::takeEvents()
{
    QJsonObject line;
    while (m_socket.state() == QLocalSocket::ConnectedState && readLine(line, 0)) {
        if (line.contains(QStringLiteral("event")))
            m_events << line;
    }
    return std::exchange(m_events, {});
}

bool SharedTarget::waitForEvent(int ms)
{
    if (!m_events.isEmpty())
        return true;
    QJsonObject line;
    if (readLine(line, ms) && line.contains(QStringLiteral("event")))
        m_events << line;
    return !m_events.isEmpty();
}

Result SharedTarget::resultOf(const QJsonObject &reply)
{
    Result r;
    if (reply.isEmpty()) {
        r.status = StatusLineLost;
        if (m_socket.state() != QLocalSocket::ConnectedState && !(m_stop && m_stop()))
            r.messages << QStringLiteral("the server of this port went away");
        return r;
    }
    const QJsonArray values = reply.value(QStringLiteral("values")).toArray();
    for (const QJsonValue &v : values)
        r.values.append(char(v.toString().toUInt(nullptr, 16)));
    if (reply.contains(QStringLiteral("value")))
        r.values.append(char(reply.value(QStringLiteral("value")).toString().toUInt(nullptr, 16)));
    r.done = reply.value(QStringLiteral("done")).toInt();
    if (reply.value(QStringLiteral("ok")).toBool())
        return r;
    const QJsonObject error = reply.value(QStringLiteral("error")).toObject();
    r.status = error.value(QStringLiteral("status")).toInt(StatusFailed);
    if (r.status == StatusOk)
        r.status = StatusFailed;
    if (error.value(QStringLiteral("cut")).toBool())
        m_partial = true;
    if (error.contains(QStringLiteral("lines"))) {
        for (const QJsonValue &l : error.value(QStringLiteral("lines")).toArray())
            r.messages << l.toString();
    } else if (r.status == StatusUsage || r.status == StatusNoConnection) {
        r.messages << error.value(QStringLiteral("message")).toString();
    }
    return r;
}

Result SharedTarget::read(uint16_t addr)
{
    return resultOf(request({{QStringLiteral("cmd"), QStringLiteral("read")}, {QStringLiteral("addr"), AddrDisplay(addr)}}));
}

Result SharedTarget::readRange(uint16_t from, uint16_t to)
{
    return resultOf(request({{QStringLiteral("cmd"), QStringLiteral("read")},
                             {QStringLiteral("addr"), AddrDisplay(from)},
                             {QStringLiteral("to"), AddrDisplay(to)}}));
}

Result SharedTarget::write(uint16_t addr, uint8_t value)
{
    Result r = resultOf(request({{QStringLiteral("cmd"), QStringLiteral("write")},
                                 {QStringLiteral("addr"), AddrDisplay(addr)},
                                 {QStringLiteral("value"), HexByte(value)}}));
    r.done = r.ok() ? 1 : 0;
    return r;
}

Result SharedTarget::writeAll(const QList<RegWrite> &writes)
{
    QJsonArray rows;
    for (const RegWrite &w : writes)
        rows.append(QJsonObject{{QStringLiteral("addr"), AddrDisplay(w.first)}, {QStringLiteral("value"), HexByte(w.second)}});
    return resultOf(request({{QStringLiteral("cmd"), QStringLiteral("apply")}, {QStringLiteral("writes"), rows}}));
}

Result SharedTarget::test(uint8_t value)
{
    return resultOf(request({{QStringLiteral("cmd"), QStringLiteral("test")}, {QStringLiteral("value"), int(value)}}));
}

} // namespace vek
