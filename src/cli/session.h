#pragma once
// The running of checked commands on the open link (or without one for the
// commands that need no port): results to standard output, the link's and
// vekctl's messages to standard error.

#include "check.h"
#include "clock.h"
#include "host.h"

#include <functional>

class QTextStream;

namespace vek {
class Target;
struct Result;
}

namespace vek::cli {

// Messages of the link and of vekctl go to standard error, prefixed with
// the program's name; fixed waits pause on the clock. While a watch collapses
// them, each round's messages are held back: a round that fails as the one
// before is counted instead of printed again. While captured, they go to a
// list instead.
class CliHost final : public Host {
public:
    explicit CliHost(QTextStream &err, Clock &clock = Clock::system()) : m_err(err), m_clock(clock) {}
    void showMessage(const QString &text) override;
    void sleepMs(int ms) override;   // a signal ends it
    bool stopAsked() override;
    void collapse(bool on);
    void endRound();
    // Says a line at once, after what the rounds before held back.
    void sayNow(const QString &text);
    // The messages from now on into `into`; nullptr: said again.
    void capture(QStringList *into) { m_capture = into; }
    Clock &clock() { return m_clock; }

private:
    void print(const QString &text);
    void flushRepeats();

    QTextStream &m_err;
    Clock &m_clock;
    QStringList *m_capture = nullptr;
    bool m_collapse = false;
    QStringList m_round, m_last;
    qint64 m_repeats = 0;
};

// How an attempt to open the port again went.
enum class Reconnected { Yes, NotYet, Never };

// Runs checked commands over the open link (or without one for the
// commands that need no port). Results go to `out`, messages to `err`.
class Session {
public:
    Session(const Options &options, QTextStream &out, QTextStream &err, CliHost &host);

    // The connected target (its own link or a served connection), for the
    // commands that need a port.
    Target *target = nullptr;
    // Closes the port and opens it again with the connection sequence, for
    // watch --reconnect: Yes when the target answers again; else the reason
    // in `why`, and NotYet when another attempt may follow, Never when none
    // may (the target may hold part of a command cut meanwhile).
    std::function<Reconnected(QString &why)> reopen;

    // The status of the last failed exchange: 4 when the line was lost, else 1.
    int failStatus() const { return m_failStatus; }
    // A write to standard output failed (its message is out).
    bool outputFailed() const { return m_outputFailed; }
    CliHost &host() { return m_host; }

    // The exit status of one command: 0 (go on), 1 (the target or a file
    // failed; its messages are out), 4 (the line was lost), or 128 + the
    // signal that stopped it.
    int run(const Command &cmd);

    const Options &options() const { return m_opt; }
    void result(const QString &line);
    void info(const QString &line);
    void warn(const QString &line);
    void prompt(const QString &text);   // on standard error, without a line end
    // Reads one register; on failure says which read failed.
    bool readValue(uint16_t addr, uint8_t &value, const QString &where = {});
    // Prints a result's messages; true when it succeeded.
    bool take(const Result &r);

    // A script holds a served connection for at most this long (--exclusive).
    static constexpr int ExclusiveMs = 600000;

private:
    int runHeld(const Command &cmd);
    bool readItems(const Command &cmd);
    bool readRange(const ReadItem &item, const QString &where);
    bool write(const WriteItem &w);
    // Writes in order; stops at the first failure and says which write failed.
    bool writeAll(const QList<WriteItem> &writes, const QString &where);
    bool apply(const Command &cmd);
    bool expect(const Command &cmd);
    bool wait(const Command &cmd);
    bool save(const Command &cmd);
    void ports();
    void labels(const Command &cmd);

    const Options &m_opt;
    QTextStream &m_out;
    QTextStream &m_err;
    CliHost &m_host;
    bool m_outputFailed = false;
    int m_failStatus = 1;
};

} // namespace vek::cli
