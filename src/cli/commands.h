#pragma once
// vekctl's commands as a table (names, arguments, help), the checking of one
// command's words before anything is sent, and the running of a checked
// command on the open link.

#include "host.h"
#include "registertable.h"

#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>
#include <span>

class QTextStream;

namespace vek {
class Link;
}

namespace vek::cli {

extern const QString Program;

enum class Kind { Ports, Version, Read, Write, Test, Apply, Save, Expect, Wait, Sleep, Run, Watch, Labels };

// The options that belong to one command rather than to every invocation.
enum CommandOption : unsigned {
    OptVerbose = 1u << 0,    // -v
    OptInterval = 1u << 1,   // --interval MS
    OptCount = 1u << 2,      // --count N
    OptCsv = 1u << 3,        // --csv
    OptInc = 1u << 4,        // --inc FILE.inc
    OptTimeout = 1u << 5,    // --timeout MS
    OptMaxFailures = 1u << 6,   // --max-failures K
    OptTimestamps = 1u << 7,    // --timestamps ms|iso|epoch
};

class LineWatch;

struct CommandInfo {
    Kind kind;
    const char *name;
    const char *syntax;        // arguments, for the usage line
    const char *argName;       // empty: takes no argument
    const char *argHelp;
    const char *description;
    int minArgs;
    int maxArgs;               // -1: no limit
    bool needsPort;
    bool inScript;             // may stand on a line of a script
    unsigned options;          // CommandOption bits
};

std::span<const CommandInfo> commandTable();
const CommandInfo *findCommand(const QString &word);

// The settings of one invocation, from its options.
struct Options {
    QString port;
    int32_t baud = 9600;
    uint8_t cal = 0x3F;
    bool quiet = false;
    bool verbose = false;
    int intervalMs = 100;
    qint64 count = 0;            // 0: no limit
    bool csv = false;
    int timeoutMs = 5000;        // wait
    qint64 maxFailures = 10;     // watch: failed rounds in a row that end it
    enum class Stamps { Ms, Iso, Epoch } stamps = Stamps::Ms;   // watch's first column
    QString incFile;             // empty: no labels
    RegisterTable labels;        // read from incFile while checking
};

struct ReadItem {
    uint16_t from = 0;
    uint16_t to = 0;
    bool range = false;
};

struct WriteItem {
    uint16_t addr = 0;
    uint8_t value = 0;
    uint8_t mask = 0xFF;         // expect, wait: the bits compared
};

struct Script;

// One command, checked and ready to run.
struct Command {
    const CommandInfo *info = nullptr;
    QStringList args;
    QString where;               // "FILE:LINE: " for a line of a script, else empty
    QList<ReadItem> reads;       // read, watch, save
    QList<WriteItem> writes;     // write, expect; apply's rows with an address
    bool readWhenRun = false;    // apply of a file that an earlier command saves
    uint8_t testValue = 0;
    int sleepMs = 0;
    int timeoutMs = -1;          // wait on a line of a script; -1: the option's
    int intervalMs = -1;
    QString file;
    RegisterTable table;
    RegisterTable::ReadReport report;
    std::shared_ptr<Script> script;   // run
};

class UsageError {
public:
    explicit UsageError(QString text) : message(std::move(text)) {}
    QString message;
};

// What the checking of one invocation knows beyond a single command.
struct CheckContext {
    // Setup files that an earlier command saves: an apply of one of them is
    // checked when it runs, not before.
    QSet<QString> saved;
    // Standard input is read whole also from a terminal (several targets
    // run one script), never a line at a time.
    bool wholeInput = false;
};

// Checks one command's arguments; throws UsageError.
void checkCommand(Command &cmd, CheckContext &context);

// Splits words into commands at every command name. Throws UsageError when
// the first word is not a command.
QList<Command> splitCommands(const QStringList &words);

// Messages of the link and of vekctl go to standard error, prefixed with
// the program's name; fixed waits sleep for real. While a watch collapses
// them, each round's messages are held back: a round that fails as the one
// before is counted instead of printed again.
class CliHost final : public Host {
public:
    explicit CliHost(QTextStream &err) : m_err(err) {}
    void showMessage(const QString &text) override;
    void sleepMs(int ms) override;
    void collapse(bool on);
    void endRound();

private:
    void print(const QString &text);
    void flushRepeats();

    QTextStream &m_err;
    bool m_collapse = false;
    QStringList m_round, m_last;
    qint64 m_repeats = 0;
};

// Runs checked commands over the open link (or without one for the
// commands that need no port). Results go to `out`, messages to `err`.
class Session {
public:
    Session(const Options &options, QTextStream &out, QTextStream &err, CliHost &host);

    bool versionOk = false;      // the identification query after the handshake answered
    Link *link = nullptr;        // the open connection, for the commands that need a port
    LineWatch *lineWatch = nullptr;   // the line under it

    // Before each exchange whose failure is to be judged.
    void startCommand();
    // The status of a failed command: 4 when the line was lost, else 1.
    int failStatus() const;
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

private:
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
};

// Every address of the items, ranges expanded, in order.
QList<uint16_t> expandItems(const QList<ReadItem> &items);

} // namespace vek::cli
