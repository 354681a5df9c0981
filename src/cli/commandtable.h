#pragma once
// vekctl's commands as a table: names, arguments, which options each takes,
// and the help text that --help prints for the program and for a command.

#include <QString>
#include <span>

class QCommandLineParser;

namespace vek::cli {

extern const QString Program;

enum class Kind { Ports, Version, Read, Write, Test, Apply, Save, Expect, Wait, Sleep, Run, Watch, Labels, Serve };

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
    OptReconnect = 1u << 8,     // --reconnect
    OptExclusive = 1u << 9,     // --exclusive
};
constexpr unsigned AllOptions = OptVerbose | OptInterval | OptCount | OptCsv | OptInc | OptTimeout
                                | OptMaxFailures | OptTimestamps | OptReconnect | OptExclusive;

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

// A command option's long name (without the dashes).
struct CommandOptionInfo {
    CommandOption bit;
    const char *name;
};
std::span<const CommandOptionInfo> commandOptionTable();
// The commands that take the option, in table order: "save and run".
QString ownersOf(CommandOption bit);

// The global options and, of the command options, those in `which`.
void addOptions(QCommandLineParser &p, unsigned which);
// The help of the program, and of one command, in lines of at most `width`
// characters, broken between words.
QString globalHelp(int width);
QString commandHelp(const CommandInfo &c, int width);
// The width of the terminal on standard output, else $COLUMNS, else 80.
int terminalWidth();

} // namespace vek::cli
