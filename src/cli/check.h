#pragma once
// The checking of a command line before anything is sent: words in, checked
// commands and settings out, or a UsageError with the reason. Files that the
// commands name (setup files, scripts, include files) are read here; no
// port is opened.

#include "commandtable.h"
#include "registertable.h"

#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>

namespace vek::cli {

// The settings of one invocation, from its options.
struct Options {
    QString port;
    int32_t baud = 9600;
    uint8_t cal = 0x3F;
    bool quiet = false;
    bool verbose = false;
    bool targetReset = false;    // the user reset the target after a cut command
    int intervalMs = 100;
    qint64 count = 0;            // 0: no limit
    bool csv = false;
    bool noShare = false;        // never join a served connection
    bool exclusive = false;      // run: hold a served connection for the whole script
    bool reconnect = false;      // watch: open the port again after a lost line
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

// A whole command line, checked.
struct Invocation {
    enum class Action { Run, Help, Version } action = Action::Run;
    QString text;                // the help or version text to print
    Options options;
    QStringList ports;           // every -p, in order
    QList<Command> commands;
    bool needsPort = false;      // some command reaches the target
};

// Checks a command line (`args` starts with the program name); throws
// UsageError.
Invocation checkInvocation(const QStringList &args);

// Reads a setup file whole: its rows with an address, in order. Throws
// UsageError with the reason.
QList<WriteItem> readSetupWrites(const QString &path);

// Every address of the items, ranges expanded, in order.
QList<uint16_t> expandItems(const QList<ReadItem> &items);

} // namespace vek::cli
