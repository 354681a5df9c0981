#pragma once
// What a session with a target does, for every program that has one: the
// window, vekctl, the connection server. Each operation returns its result
// with the messages that explain it; the caller shows, prints or sends them.
// A Target is anything that runs these operations: a Session on its own
// link, or a connection served by another process.

#include "comport.h"
#include "linewatch.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <utility>

namespace vek {

// The exit statuses of vekctl, which the server also sends with a failure.
enum Status : int {
    StatusOk = 0,
    StatusFailed = 1,         // the target failed a command, or a file could not be read
    StatusUsage = 2,          // bad input; nothing was sent
    StatusNoConnection = 3,   // the port did not open or the target did not answer
    StatusLineLost = 4,       // the line was lost: hang-up, adapter pulled, target silent
};

struct Result {
    int status = StatusOk;
    QStringList messages;     // in the order they arose
    QByteArray values;        // what a read or a range read
    QByteArray held;          // connect: what a command cut earlier left on the target
    int done = 0;             // of a list of writes: how many succeeded

    bool ok() const { return status == StatusOk; }
    uint8_t value() const { return values.isEmpty() ? 0 : uint8_t(values.at(0)); }
};

using RegWrite = std::pair<uint16_t, uint8_t>;

class Target {
public:
    virtual ~Target() = default;
    // The identification the target gave when connected; empty when it gave none.
    virtual QString identification() const = 0;
    virtual bool identified() const = 0;
    virtual Result read(uint16_t addr) = 0;
    // Registers from..to in order, up to the first failure: one read after
    // another unless the target can do better.
    virtual Result readRange(uint16_t from, uint16_t to);
    virtual Result write(uint16_t addr, uint8_t value) = 0;
    // Writes in order up to the first failure (a setup file's rows): one
    // write after another unless the target can do better.
    virtual Result writeAll(const QList<RegWrite> &writes);
    virtual Result test(uint8_t value) = 0;
    // After a command cut short nothing more is sent until a new connection.
    virtual bool holdsPartial() const = 0;
};

// "cannot open PORT: why (what to do)" for a port that did not open at all.
QString OpenFailureText(const QString &port, const SerialLine::OpenFailure &failure);

// A session on a link of its own. The line is not owned; `sleeper` only
// sleeps the link's fixed waits (its messages go into the results).
class Session final : public Target {
public:
    Session(SerialLine &line, Host &sleeper);
    ~Session() override;

    Link &link() { return m_link; }
    LineWatch &lineWatch() { return m_watch; }

    // Where cut commands are kept beyond the connection (Link::setHeldCommands).
    void setHeldCommands(HeldCommands *held) { m_link.setHeldCommands(held); }
    // Opens the port, runs the connection sequence and asks for the
    // identification, as OpenComm does. The port is closed again on failure.
    // A port whose target may hold part of a command cut earlier is not
    // connected (`held` says what) unless `targetReset` says that the
    // target was reset since. A stop asked of the host meanwhile ends it
    // with no message.
    Result connect(const QString &port, int32_t baud, uint8_t cal, bool targetReset = false);
    Result close();
    bool isOpen() const { return m_link.IsOpen(); }
    QString port() const { return m_port; }

    QString identification() const override { return QString::fromLatin1(m_link.VerText); }
    bool identified() const override { return m_identified; }
    Result read(uint16_t addr) override;
    Result write(uint16_t addr, uint8_t value) override;
    Result test(uint8_t value) override;
    bool holdsPartial() const override { return m_link.HoldsPartial(); }

private:
    void begin();
    Result finish(bool ok);

    GatheringHost m_gather;   // the link's messages; waits through the caller's host
    LineWatch m_watch;
    Link m_link;
    QString m_port;
    bool m_identified = false;
};

// The operations on a link that someone else owns and keeps open (the
// window's): its messages are gathered for the results while each runs.
class LinkTarget final : public Target {
public:
    explicit LinkTarget(Link &link) : m_link(link) {}

    QString identification() const override { return QString::fromLatin1(m_link.VerText); }
    bool identified() const override { return !m_link.VerText.isEmpty(); }
    Result read(uint16_t addr) override;
    Result write(uint16_t addr, uint8_t value) override;
    Result test(uint8_t value) override;
    bool holdsPartial() const override { return m_link.HoldsPartial(); }

private:
    template<class F> Result run(F op);

    Link &m_link;
};

} // namespace vek
