#include "shareserver.h"

#include "netline.h"
#include "textconv.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalServer>
#include <QLocalSocket>
#include <QUrl>

#ifdef Q_OS_UNIX
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace vek {

namespace share {

QString canonicalPort(const QString &port)
{
    if (port.isEmpty() || port == QLatin1String("demo") || NetLine::isNetName(port))
        return port;
    const QString path = port.contains(u'/') ? port : QStringLiteral("/dev/") + port;
    const QString real = QFileInfo(path).canonicalFilePath();
    return real.isEmpty() ? QFileInfo(path).absoluteFilePath() : real;
}

QString socketFolder()
{
    // The user's runtime folder as QStandardPaths::RuntimeLocation names it,
    // without its warning when XDG_RUNTIME_DIR is not set: every vekctl
    // call looks here.
    QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (runtime.isEmpty()) {
#ifdef Q_OS_UNIX
        const passwd *pw = ::getpwuid(::geteuid());
        const QString user = pw ? QFile::decodeName(pw->pw_name) : QString::number(::geteuid());
#else
        const QString user = qEnvironmentVariable("USERNAME");
#endif
        runtime = QDir::tempPath() + QStringLiteral("/runtime-") + user;
    }
    return runtime + QStringLiteral("/vekcomm");
}

QString socketPath(const QString &port)
{
    const QString canonical = canonicalPort(port);
    QString name = QString::fromLatin1(QUrl::toPercentEncoding(canonical));
    const QString folder = socketFolder();
    // A socket's path has room for about a hundred bytes.
    if (folder.toLocal8Bit().size() + name.size() > 100)
        name = QString::fromLatin1(QCryptographicHash::hash(canonical.toUtf8(), QCryptographicHash::Sha1).toHex());
    return folder + u'/' + name;
}

bool isServed(const QString &port)
{
    const QString path = socketPath(port);
    if (!QFileInfo::exists(path))
        return false;
    QLocalSocket probe;
    probe.connectToServer(path);
    return probe.waitForConnected(1000);
}

} // namespace share

namespace {

using namespace share;

QJsonObject failure(const QJsonValue &id, const QString &message, int status,
                    const QStringList &lines = {})
{
    QJsonObject error{{QStringLiteral("message"), message}, {QStringLiteral("status"), status}};
    if (!lines.isEmpty())
        error.insert(QStringLiteral("lines"), QJsonArray::fromStringList(lines));
    return {{QStringLiteral("id"), id}, {QStringLiteral("ok"), false}, {QStringLiteral("error"), error}};
}

QJsonObject success(const QJsonValue &id)
{
    return {{QStringLiteral("id"), id}, {QStringLiteral("ok"), true}};
}

// A bad request: the reason, said once, and nothing sent.
struct BadRequest {
    QString message;
};

// An address: hexadecimal text 000 to FFF, or a number 0 to 4095.
uint16_t addressOf(const QJsonObject &r, const char *key)
{
    const QJsonValue v = r.value(QLatin1String(key));
    if (v.isString()) {
        const QString t = v.toString();
        bool ok = false;
        const uint n = t.toUInt(&ok, 16);
        if (ok && !t.isEmpty() && t.size() <= 3 && !t.startsWith(u'+') && n <= 0xFFF)
            return uint16_t(n);
    } else if (v.isDouble()) {
        const double d = v.toDouble();
        if (d >= 0 && d <= 0xFFF && d == double(int(d)))
            return uint16_t(d);
    } else if (v.isUndefined()) {
        throw BadRequest{QStringLiteral("\"%1\" missing").arg(QLatin1String(key))};
    }
    throw BadRequest{QStringLiteral("\"%1\" is not a register address (000 to FFF)").arg(QLatin1String(key))};
}

// A value: hexadecimal text 00 to FF, or a number 0 to 255.
uint8_t valueOf(const QJsonValue &v, const QString &key)
{
    if (v.isString()) {
        const QString t = v.toString();
        bool ok = false;
        const uint n = t.toUInt(&ok, 16);
        if (ok && !t.isEmpty() && t.size() <= 2 && !t.startsWith(u'+'))
            return uint8_t(n);
    } else if (v.isDouble()) {
        const double d = v.toDouble();
        if (d >= 0 && d <= 255 && d == double(int(d)))
            return uint8_t(d);
    } else if (v.isUndefined()) {
        throw BadRequest{QStringLiteral("\"%1\" missing").arg(key)};
    }
    throw BadRequest{QStringLiteral("\"%1\" is not a value (00 to FF)").arg(key)};
}

QJsonArray hexValues(const QByteArray &values)
{
    QJsonArray a;
    for (char v : values)
        a.append(HexByte(uint8_t(v)));
    return a;
}

QJsonObject failed(const QJsonValue &id, const Result &r, const QString &what, bool cut)
{
    QStringList all = r.messages;
    all << what;
    QJsonObject a = failure(id, all.join(u'\n'), r.status, r.messages);
    if (cut) {
        QJsonObject error = a.value(QStringLiteral("error")).toObject();
        error.insert(QStringLiteral("cut"), true);
        a.insert(QStringLiteral("error"), error);
    }
    return a;
}

} // namespace

ShareServer::ShareServer(Target &target, QObject *parent) : QObject(parent), m_target(target)
{
    m_lockTimer.setSingleShot(true);
    m_retry.setSingleShot(true);
    m_retry.setInterval(20);
    connect(&m_retry, &QTimer::timeout, this, &ShareServer::schedule);
    connect(&m_lockTimer, &QTimer::timeout, this, [this] {
        const int holder = m_locker;
        unlock();
        notify(0, {{QStringLiteral("event"), QStringLiteral("unlocked")},
                   {QStringLiteral("client"), holder},
                   {QStringLiteral("reason"), QStringLiteral("time limit")}});
    });
}

ShareServer::~ShareServer() { close(); }

bool ShareServer::listen(const QString &port, QString *error)
{
    const QString folder = share::socketFolder();
    const QString runtime = QFileInfo(folder).path();
    // A runtime folder of our own making is the user's alone, as XDG's is.
    if (!QFileInfo::exists(runtime) && QDir().mkpath(runtime))
        QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (!QDir().mkpath(folder)
        || !QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)) {
        *error = QStringLiteral("cannot make the folder %1").arg(folder);
        return false;
    }
    m_port = share::canonicalPort(port);
    m_path = share::socketPath(port);
    if (QFileInfo::exists(m_path)) {
        QLocalSocket probe;
        probe.connectToServer(m_path);
        if (probe.waitForConnected(1000)) {
            *error = QStringLiteral("%1 is served already by another process (%2)").arg(port, m_path);
            m_path.clear();
            return false;
        }
        // The server that made it has ended without removing it.
        QLocalServer::removeServer(m_path);
    }
    m_server = std::make_unique<QLocalServer>();
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server.get(), &QLocalServer::newConnection, this, &ShareServer::accept);
    if (!m_server->listen(m_path)) {
        *error = QStringLiteral("cannot listen on %1: %2").arg(m_path, m_server->errorString());
        m_server.reset();
        m_path.clear();
        return false;
    }
    QFile::setPermissions(m_path, QFile::ReadOwner | QFile::WriteOwner);
    return true;
}

int ShareServer::queued() const
{
    size_t n = 0;
    for (const auto &[id, c] : m_clients)
        n += c.queue.size();
    return int(n);
}

void ShareServer::close()
{
    for (auto &[id, c] : m_clients) {
        c.socket->disconnect(this);
        c.socket->abort();
        c.socket->deleteLater();
    }
    m_clients.clear();
    if (m_server) {
        m_server->close();   // removes the socket
        m_server.reset();
    }
}

void ShareServer::release()
{
    if (m_held > 0 && --m_held == 0)
        schedule();
}

void ShareServer::accept()
{
    while (QLocalSocket *s = m_server->nextPendingConnection()) {
#if defined(Q_OS_LINUX) && defined(SO_PEERCRED)
        struct ucred cred {};
        socklen_t len = sizeof cred;
        if (::getsockopt(int(s->socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0
            || cred.uid != ::geteuid()) {
            const QJsonObject refusal = failure(QJsonValue::Null,
                QStringLiteral("refused: this connection to %1 is served for its owner's user only").arg(m_port),
                StatusNoConnection);
            s->write(QJsonDocument(refusal).toJson(QJsonDocument::Compact) + '\n');
            s->disconnectFromServer();
            connect(s, &QLocalSocket::disconnected, s, &QObject::deleteLater);
            continue;
        }
#endif
        const int id = m_nextId++;
        Client &c = m_clients[id];
        c.id = id;
        c.socket = s;
        s->setParent(this);
        // What a client sends beyond its queue waits in the system's buffer
        // (and then its sender), not in ours.
        s->setReadBufferSize(4 * (MaxLineBytes + 1));
        connect(s, &QLocalSocket::readyRead, this, [this, id] {
            if (auto it = m_clients.find(id); it != m_clients.end())
                readFrom(it->second);
        });
        connect(s, &QLocalSocket::bytesWritten, this, [this, id] {
            if (auto it = m_clients.find(id); it != m_clients.end())
                readFrom(it->second);
        });
        connect(s, &QLocalSocket::disconnected, this, [this, id] { drop(id); });
    }
}

void ShareServer::readFrom(Client &c)
{
    // Stop reading a client that has enough waiting, or does not read its replies.
    while (c.queue.size() < size_t(MaxQueued) && c.socket->bytesToWrite() < MaxUnsent) {
        const qsizetype nl = c.buffer.indexOf('\n');
        if (nl < 0) {
            if (c.buffer.size() > MaxLineBytes) {
                c.skipping = true;
                c.buffer.clear();
            }
            const QByteArray more = c.socket->read(MaxLineBytes + 1);
            if (more.isEmpty())
                break;
            c.buffer += more;
            continue;
        }
        QByteArray line = c.buffer.left(nl);
        c.buffer.remove(0, nl + 1);
        if (line.endsWith('\r'))
            line.chop(1);
        if (c.skipping || line.size() > MaxLineBytes) {
            c.skipping = false;
            c.queue.push_back({failure(QJsonValue::Null,
                                       QStringLiteral("request longer than %1 bytes").arg(MaxLineBytes), StatusUsage),
                               true});
            continue;
        }
        if (line.trimmed().isEmpty())
            continue;
        take(c, line);
    }
    schedule();
}

void ShareServer::take(Client &c, const QByteArray &line)
{
    QJsonParseError pe{};
    const QJsonDocument doc = QJsonDocument::fromJson(line, &pe);
    if (pe.error != QJsonParseError::NoError || !doc.isObject()) {
        const QString why = pe.error != QJsonParseError::NoError ? pe.errorString() : QStringLiteral("not an object");
        c.queue.push_back({failure(QJsonValue::Null, QStringLiteral("not a JSON request: ") + why, StatusUsage), true});
        return;
    }
    c.queue.push_back({doc.object(), false});
}

void ShareServer::drop(int id)
{
    auto it = m_clients.find(id);
    if (it == m_clients.end())
        return;
    // Its queued commands go with it; the others keep their places.
    it->second.socket->deleteLater();
    m_clients.erase(it);
    if (m_locker == id)
        unlock();
}

void ShareServer::schedule()
{
    if (m_scheduled)
        return;
    m_scheduled = true;
    QTimer::singleShot(0, this, &ShareServer::pump);
}

ShareServer::Client *ShareServer::next()
{
    if (m_locker) {
        auto it = m_clients.find(m_locker);
        return it != m_clients.end() && !it->second.queue.empty() ? &it->second : nullptr;
    }
    // In turn: the first client after the last one served that has a request.
    auto it = m_clients.upper_bound(m_turn);
    for (size_t n = 0; n < m_clients.size(); ++n, ++it) {
        if (it == m_clients.end())
            it = m_clients.begin();
        if (!it->second.queue.empty())
            return &it->second;
    }
    return nullptr;
}

void ShareServer::pump()
{
    m_scheduled = false;
    if (m_held || m_running)
        return;
    Client *c = next();
    if (!c)
        return;
    if (m_mayRun && !m_mayRun()) {
        m_retry.start();
        return;
    }
    const int id = c->id;
    m_turn = id;
    const Entry entry = c->queue.front();
    c->queue.pop_front();
    QJsonObject answer = entry.json;
    if (!entry.ready) {
        m_running = true;
        answer = execute(*c, entry.json);
        m_running = false;
    }
    // The command has run; its client may have gone meanwhile.
    if (auto it = m_clients.find(id); it != m_clients.end()) {
        reply(it->second, answer);
        readFrom(it->second);
    }
    schedule();
}

QJsonObject ShareServer::execute(Client &c, const QJsonObject &r)
{
    const QJsonValue id = r.value(QStringLiteral("id"));
    const QString cmd = r.value(QStringLiteral("cmd")).toString();
    const auto event = [&c](const QString &kind, uint16_t addr) {
        return QJsonObject{{QStringLiteral("event"), kind}, {QStringLiteral("client"), c.id},
                           {QStringLiteral("addr"), AddrDisplay(addr)}};
    };
    try {
        if (cmd == QLatin1String("hello")) {
            QJsonObject a = success(id);
            a.insert(QStringLiteral("protocol"), ProtocolVersion);
            a.insert(QStringLiteral("port"), m_port);
            a.insert(QStringLiteral("identification"), m_target.identification());
            a.insert(QStringLiteral("identified"), m_target.identified());
            a.insert(QStringLiteral("client"), c.id);
            a.insert(QStringLiteral("queue"), MaxQueued);
            return a;
        }
        if (cmd == QLatin1String("version")) {
            if (!m_target.identified())
                return failure(id, QStringLiteral("No identification from target"), StatusFailed);
            QJsonObject a = success(id);
            a.insert(QStringLiteral("identification"), m_target.identification());
            return a;
        }
        if (cmd == QLatin1String("read")) {
            const uint16_t from = addressOf(r, "addr");
            const uint16_t to = r.contains(QStringLiteral("to")) ? addressOf(r, "to") : from;
            if (to < from)
                throw BadRequest{QStringLiteral("\"to\" is below \"addr\"")};
            const Result res = from == to ? m_target.read(from) : m_target.readRange(from, to);
            if (!res.values.isEmpty()) {
                QJsonObject e = event(QStringLiteral("read"), from);
                e.insert(QStringLiteral("values"), hexValues(res.values));
                notify(c.id, e);
                emit readDone(from, res.values);
            }
            if (!res.ok()) {
                QJsonObject a = failed(id, res, QStringLiteral("read %1 failed").arg(AddrDisplay(uint16_t(from + res.values.size()))), m_target.holdsPartial());
                a.insert(QStringLiteral("values"), hexValues(res.values));
                return a;
            }
            QJsonObject a = success(id);
            if (from == to)
                a.insert(QStringLiteral("value"), HexByte(res.value()));
            else
                a.insert(QStringLiteral("values"), hexValues(res.values));
            return a;
        }
        if (cmd == QLatin1String("write") || cmd == QLatin1String("apply")) {
            QList<RegWrite> writes;
            if (cmd == QLatin1String("write")) {
                writes.append({addressOf(r, "addr"), valueOf(r.value(QStringLiteral("value")), QStringLiteral("value"))});
            } else {
                const QJsonArray rows = r.value(QStringLiteral("writes")).toArray();
                if (rows.isEmpty() || rows.size() > 4096)
                    throw BadRequest{QStringLiteral("\"writes\" must list 1 to 4096 writes")};
                for (const QJsonValue &row : rows)
                    writes.append({addressOf(row.toObject(), "addr"), valueOf(row.toObject().value(QStringLiteral("value")), QStringLiteral("value"))});
            }
            int done = 0;
            for (const RegWrite &w : writes) {
                const Result res = m_target.write(w.first, w.second);
                if (!res.ok()) {
                    QJsonObject a = failed(id, res, QStringLiteral("write %1=%2 failed").arg(AddrDisplay(w.first), HexByte(w.second)), m_target.holdsPartial());
                    a.insert(QStringLiteral("done"), done);
                    return a;
                }
                ++done;
                QJsonObject e = event(QStringLiteral("write"), w.first);
                e.insert(QStringLiteral("value"), HexByte(w.second));
                notify(c.id, e);
                emit written(w.first, w.second);
            }
            QJsonObject a = success(id);
            if (cmd == QLatin1String("apply"))
                a.insert(QStringLiteral("done"), done);
            return a;
        }
        if (cmd == QLatin1String("test")) {
            const uint8_t v = valueOf(r.value(QStringLiteral("value")), QStringLiteral("value"));
            const Result res = m_target.test(v);
            return res.ok() ? success(id) : failed(id, res, QStringLiteral("test %1 failed").arg(v), m_target.holdsPartial());
        }
        if (cmd == QLatin1String("subscribe") || cmd == QLatin1String("unsubscribe")) {
            c.subscribed = cmd == QLatin1String("subscribe");
            return success(id);
        }
        if (cmd == QLatin1String("lock")) {
            const QJsonValue ms = r.value(QStringLiteral("ms"));
            const double limit = ms.isUndefined() ? DefaultLockMs : ms.toDouble(-1);
            if (limit < 1 || limit > MaxLockMs)
                throw BadRequest{QStringLiteral("\"ms\" must be 1 to %1").arg(MaxLockMs)};
            m_locker = c.id;
            m_lockTimer.start(int(limit));
            return success(id);
        }
        if (cmd == QLatin1String("unlock")) {
            if (m_locker == c.id)
                unlock();
            return success(id);
        }
        if (cmd.isEmpty())
            throw BadRequest{QStringLiteral("\"cmd\" missing")};
        throw BadRequest{QStringLiteral("unknown command \"%1\"").arg(cmd)};
    } catch (const BadRequest &bad) {
        return failure(id, bad.message, StatusUsage);
    }
}

void ShareServer::reply(Client &c, const QJsonObject &reply)
{
    c.socket->write(QJsonDocument(reply).toJson(QJsonDocument::Compact) + '\n');
}

void ShareServer::notify(int from, const QJsonObject &event)
{
    for (auto &[id, c] : m_clients) {
        if (!c.subscribed || id == from)
            continue;
        // A subscriber that does not read loses events, not our memory; the
        // next one it gets says how many.
        if (c.socket->bytesToWrite() >= MaxUnsent) {
            ++c.eventsLost;
            continue;
        }
        QJsonObject e = event;
        if (c.eventsLost)
            e.insert(QStringLiteral("lost"), std::exchange(c.eventsLost, 0));
        reply(c, e);
    }
}

void ShareServer::announce(const QString &what, uint16_t addr, const QByteArray &values)
{
    QJsonObject e{{QStringLiteral("event"), what}, {QStringLiteral("client"), 0}, {QStringLiteral("addr"), AddrDisplay(addr)}};
    if (what == QLatin1String("write") && values.size() == 1)
        e.insert(QStringLiteral("value"), HexByte(uint8_t(values.at(0))));
    else
        e.insert(QStringLiteral("values"), hexValues(values));
    notify(0, e);
}

void ShareServer::unlock()
{
    m_locker = 0;
    m_lockTimer.stop();
    schedule();
}

} // namespace vek
