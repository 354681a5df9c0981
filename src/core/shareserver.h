#pragma once
// The connection server: whoever holds a connection to a target lets other
// programs of the same user use it through a local socket, one whole
// command at a time. The requests and replies are JSON Lines (one JSON
// object a line); see vekctl(1), SHARED CONNECTIONS.
//
// Every request goes into its client's queue; the server runs one command at
// a time to its prompt, taking the clients in turn, and the owner's own
// commands (hold()/release()) never have a client's command run inside them.
// A client's queue holds at most MaxQueued requests: beyond that its socket
// is not read until a command has run, so a flood is read no faster than
// the commands run.

#include "targetsession.h"

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QTimer>

#include <deque>
#include <functional>
#include <map>
#include <memory>

class QLocalServer;
class QLocalSocket;

namespace vek {

namespace share {

constexpr int ProtocolVersion = 1;
constexpr int MaxLineBytes = 4096;          // a request line, without its line end
constexpr int MaxQueued = 16;               // requests waiting per client
constexpr qint64 MaxUnsent = 64 * 1024;     // replies a client has not read before it is read no more
constexpr int DefaultLockMs = 60000;        // lock without "ms"
constexpr int MaxLockMs = 3600000;

// The name a port is served under: a device by its real path
// (ttyUSB0 -> /dev/ttyUSB0, a symbolic link followed), other names as given.
QString canonicalPort(const QString &port);
// The folder of the sockets: the user's runtime folder + "/vekcomm".
QString socketFolder();
// The socket of a port in that folder.
QString socketPath(const QString &port);
// True when a live server answers on the port's socket.
bool isServed(const QString &port);

} // namespace share

class ShareServer : public QObject {
    Q_OBJECT
public:
    // The session must be connected and outlive the server.
    explicit ShareServer(Target &target, QObject *parent = nullptr);
    ~ShareServer() override;

    // Listens on the port's socket; a socket left by a server that has ended
    // is replaced, one of a live server never. False with the reason.
    bool listen(const QString &port, QString *error);
    // Stops listening, ends every client, removes the socket.
    void close();
    QString socketPath() const { return m_path; }
    int clientCount() const { return int(m_clients.size()); }
    // Requests read and not yet answered, of every client.
    int queued() const;

    // The owner's own command runs between hold() and release(): no
    // client's command starts meanwhile, even from a nested event loop.
    void hold() { ++m_held; }
    void release();
    // Asked before each client's command: false holds the queue (the owner is
    // in a command of its own, a box of it is up); asked again shortly.
    void setGate(std::function<bool()> mayRun) { m_mayRun = std::move(mayRun); }
    // The owner wrote or read a register: subscribers are told.
    void announce(const QString &what, uint16_t addr, const QByteArray &values);

signals:
    // A client wrote a register (after the target's prompt).
    void written(uint16_t addr, uint8_t value);
    // A client read registers from `addr` on.
    void readDone(uint16_t addr, const QByteArray &values);

private:
    struct Entry {
        QJsonObject json;
        bool ready = false;          // the reply of a bad request, sent in its turn
    };
    struct Client {
        int id = 0;
        QLocalSocket *socket = nullptr;
        QByteArray buffer;
        bool skipping = false;       // the rest of an over-long line is dropped
        bool subscribed = false;
        qint64 eventsLost = 0;       // events not sent while its replies were unread
        std::deque<Entry> queue;
    };

    void accept();
    void readFrom(Client &c);
    void take(Client &c, const QByteArray &line);
    void drop(int id);
    void schedule();
    void pump();
    Client *next();
    QJsonObject execute(Client &c, const QJsonObject &request);
    void reply(Client &c, const QJsonObject &reply);
    void notify(int from, const QJsonObject &event);
    void unlock();

    Target &m_target;
    QString m_port;
    QString m_path;
    std::unique_ptr<QLocalServer> m_server;
    std::map<int, Client> m_clients;
    int m_nextId = 1;
    int m_turn = 0;                  // the client after which the next command is taken
    int m_held = 0;
    bool m_running = false;
    bool m_scheduled = false;
    int m_locker = 0;                // the client that holds the link for a script
    QTimer m_lockTimer;
    std::function<bool()> m_mayRun;
    QTimer m_retry;
};

} // namespace vek
