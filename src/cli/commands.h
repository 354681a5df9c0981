#pragma once
// vekctl's commands as a table (names, arguments, help), the checking of one
// command's words before anything is sent, and the running of a checked
// command on the open link.

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
class Host;
class Link;
}

namespace vek::cli {

extern const QString Program;

enum class Kind { Ports, Version, Read, Write, Test, Apply, Save, Expect, Sleep, Run, Watch, Labels };

// The options that belong to one command rather than to every invocation.
enum CommandOption : unsigned {
    OptVerbose = 1u << 0,    // -v
    OptInterval = 1u << 1,   // --interval MS
    OptCount = 1u << 2,      // --count N
    OptCsv = 1u << 3,        // --csv
    OptInc = 1u << 4,        // --inc FILE.inc
};

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

// Runs checked commands over the open link (or without one for the
// commands that need no port). Results go to `out`, messages to `err`.
class Session {
public:
    Session(const Options &options, QTextStream &out, QTextStream &err, Host &host);

    bool versionOk = false;      // the identification query after the handshake answered
    Link *link = nullptr;        // the open connection, for the commands that need a port

    // The exit status of one command: 0 (go on), 1 (the target or a file
    // failed; its messages are out), or 128 + the signal that stopped it.
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
    bool save(const Command &cmd);
    void ports();
    void labels(const Command &cmd);

    const Options &m_opt;
    QTextStream &m_out;
    QTextStream &m_err;
    Host &m_host;
};

// Every address of the items, ranges expanded, in order.
QList<uint16_t> expandItems(const QList<ReadItem> &items);

} // namespace vek::cli
