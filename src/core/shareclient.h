#pragma once
// A target served by another process (the window, vekctl serve) through its
// local socket: the same operations as a session of one's own, each sent as
// one request and answered when the server has run it.

#include "targetsession.h"

#include <QJsonObject>
#include <QList>
#include <QLocalSocket>

#include <functional>

namespace vek {

class SharedTarget final : public Target {
public:
    SharedTarget() = default;

    // Connects to the port's socket and greets the server. False with the
    // reason when nobody serves the port or the server refused.
    bool connect(const QString &port, QString *error);
    // Asked while a reply is awaited: true ends the wait, and the
    // connection (the server then drops what was still queued).
    void setStopCheck(std::function<bool()> stop) { m_stop = std::move(stop); }

    QString identification() const override { return m_identification; }
    bool identified() const override { return m_identified; }
    Result read(uint16_t addr) override;
    Result readRange(uint16_t from, uint16_t to) override;
    Result write(uint16_t addr, uint8_t value) override;
    Result writeAll(const QList<RegWrite> &writes) override;
    Result test(uint8_t value) override;
    bool holdsPartial() const override { return m_partial; }

    // One request, its reply (an empty object when the connection ended).
    QJsonObject request(QJsonObject request);
    // Events that came while replies were awaited, and since.
    QList<QJsonObject> takeEvents();
    // Waits up to `ms` for an event; false when none came.
    bool waitForEvent(int ms);
    QLocalSocket &socket() { return m_socket; }

private:
    bool readLine(QJsonObject &out, int waitMs);
    Result resultOf(const QJsonObject &reply);

    QLocalSocket m_socket;
    QByteArray m_buffer;
    QList<QJsonObject> m_events;
    std::function<bool()> m_stop;
    qint64 m_nextId = 1;
    QString m_identification;
    bool m_identified = false;
    bool m_partial = false;
};

} // namespace vek
