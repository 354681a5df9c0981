#include "commandtable.h"

#include <QCommandLineParser>
#include <QStringList>

namespace vek::cli {

const QString Program = QStringLiteral("vekctl");

namespace {

const CommandInfo Commands[] = {
    {Kind::Ports, "ports", "", "", "",
     "Lists the platform's serial ports, one per line, in the order the window lists them.\n"
     "With -v, what the platform knows of each port follows its name, tab-separated:\n"
     "description, manufacturer, serial number, USB vendor id, USB product id\n"
     "(four hexadecimal digits each; empty where unknown).\n"
     "A port on another machine, served by an RFC 2217 server (ser2net, a terminal\n"
     "server), is not listed: name it -p rfc2217://HOST:PORT.",
     0, 0, false, false, OptVerbose},
    {Kind::Version, "version", "", "", "",
     "Connects and prints the target's identification text.", 0, 0, true, true, 0},
    {Kind::Read, "read", "ADDR...|FROM-TO...", "ADDR",
     "A register address (hexadecimal, 000 to FFF), or a range FROM-TO.",
     "Reads registers. Prints one line 'ADDR VALUE' per address (for example 02A 5C);\n"
     "a range prints sixteen registers a line after the line's first address\n"
     "(020: 00 01 ...).",
     1, -1, true, true, 0},
    {Kind::Write, "write", "ADDR=VALUE...", "ADDR=VALUE",
     "A register address (hexadecimal, 000 to FFF) and a hexadecimal value,\n"
     "00 to FF.",
     "Writes each value to its register, in order; stops at the first failure.\n"
     "Prints each command sent (A02A=5C) unless --quiet.",
     1, -1, true, true, 0},
    {Kind::Test, "test", "VALUE", "VALUE", "Decimal, 0 to 255.",
     "Sends the monitor's test command with VALUE (T followed by two hexadecimal digits).",
     1, 1, true, true, 0},
    {Kind::Apply, "apply", "FILE.vek", "FILE.vek", "A setup file.",
     "Checks the whole setup file, then writes every row whose address is not 0,\n"
     "as loading it in the window does. Prints each write unless --quiet;\n"
     "stops at the first failure.",
     1, 1, true, true, 0},
    {Kind::Save, "save", "FILE.vek ADDR...|FROM-TO...", "FILE.vek ADDR",
     "The setup file to write, then up to eight register addresses\n"
     "(hexadecimal, 000 to FFF) or ranges FROM-TO.",
     "Reads the registers and writes a setup file that the window and apply load\n"
     "back: one row per register in the given order, the rows left over as\n"
     "000 and 00. With --inc, each label is the register's name in the include\n"
     "file, found as the window finds it; without, labels are empty. The old file\n"
     "is replaced only by a completely written new one.",
     2, -1, true, true, OptInc},
    {Kind::Expect, "expect", "ADDR=VALUE[/MASK]...", "ADDR=VALUE",
     "A register address (hexadecimal, 000 to FFF) and the hexadecimal value\n"
     "it should hold; after a slash, the bits to compare (default FF).",
     "Reads each register and compares it with its value under the mask. A\n"
     "different value prints 'expect 02A: want 5C, got 3C' (want 5C/F0 with a mask)\n"
     "and ends the run with exit status 1.",
     1, -1, true, true, 0},
    {Kind::Wait, "wait", "ADDR=VALUE[/MASK] [--timeout MS]", "ADDR=VALUE",
     "A register address, the value to wait for and, after a slash, the bits to\n"
     "compare (default FF), as for expect.",
     "Reads the register every --interval milliseconds (default 100) until it\n"
     "holds the value under the mask, then goes on. After --timeout milliseconds\n"
     "(default 5000) prints 'wait 02A: want 5C/F0, last 3C after 5000 ms' and ends\n"
     "the run with exit status 1. On a line of a script the options follow it.",
     1, -1, true, true, OptInterval | OptTimeout},
    {Kind::Sleep, "sleep", "MS", "MS", "Milliseconds, 0 to 3600000.",
     "Waits before the next command; Ctrl-C ends the wait and the run.", 1, 1, false, true, 0},
    {Kind::Run, "run", "FILE|-", "FILE",
     "A script file, or - for standard input.",
     "Runs a script on one connection: one command a line in the command line's\n"
     "own syntax (version, read, write, test, apply, save, expect, sleep), '#'\n"
     "comments and blank lines; 'quit' ends it. The whole script is checked\n"
     "before the port is opened: a bad line is exit status 2 with its line number,\n"
     "and nothing is sent. The first command that fails ends the script.\n"
     "With - from a terminal, a prompt reads one line at a time; a failed command\n"
     "is reported and the next line read, until the end of input or 'quit'.\n"
     "--inc applies to the script's save commands.",
     1, 1, true, false, OptInc},
    {Kind::Watch, "watch", "ADDR...|FROM-TO...", "ADDR",
     "A register address (hexadecimal, 000 to FFF), or a range FROM-TO.",
     "Reads the registers again and again on one connection: a round starts every\n"
     "--interval milliseconds (default 100) after the start of the one before, or\n"
     "at once when a round takes longer. Prints the milliseconds since the start\n"
     "and each register that changed since the round before ('  1200 02A 5C->5D');\n"
     "the first round prints every value. With --csv: a header 'ms,02A,...', then\n"
     "one line a round with every value. A failed read prints the link's message\n"
     "and the round counts as failed (in CSV a row with empty values); the same\n"
     "messages in the rounds after it are counted, not printed again.\n"
     "--max-failures K failed rounds in a row (default 10) end it (exit status 4\n"
     "when the line was lost, else 1). --count N ends after N rounds, failed ones\n"
     "included (exit status 0 only when every round read). --timestamps iso or\n"
     "epoch puts the wall-clock time in the first column. Ctrl-C or SIGTERM ends it\n"
     "after the read under way (exit status 130 or 143); a reader of its output\n"
     "that went away ends it at the next round (141).",
     1, -1, true, false, OptInterval | OptCount | OptCsv | OptMaxFailures | OptTimestamps},
    {Kind::Labels, "labels", "FILE.inc", "FILE.inc", "An assembler include file.",
     "Prints the register table of an include file in table order, 'NAME ADDR' a line.\n"
     "On standard error, every line of the register section that was skipped\n"
     "for lacking the entry form, with its line number, then the counts.\n"
     "Needs no port.",
     1, 1, false, false, 0},
};

const CommandOptionInfo CommandOptions[] = {
    {OptVerbose, "verbose"},
    {OptInterval, "interval"},
    {OptCount, "count"},
    {OptCsv, "csv"},
    {OptInc, "inc"},
    {OptTimeout, "timeout"},
    {OptMaxFailures, "max-failures"},
    {OptTimestamps, "timestamps"},
};

} // namespace

std::span<const CommandOptionInfo> commandOptionTable() { return CommandOptions; }

QString ownersOf(CommandOption bit)
{
    QStringList names;
    for (const auto &c : commandTable()) {
        if (c.options & bit)
            names << QLatin1String(c.name);
    }
    const QString last = names.isEmpty() ? QString() : names.takeLast();
    return names.isEmpty() ? last : names.join(QStringLiteral(", ")) + QStringLiteral(" and ") + last;
}

void addOptions(QCommandLineParser &p, unsigned which)
{
    p.addOption({{QStringLiteral("p"), QStringLiteral("port")},
                 QStringLiteral("Serial port: a name that 'vekctl ports' lists, a device\n"
                                "path, rfc2217://HOST:PORT (a port served over the network,\n"
                                "as by ser2net), or demo (a simulated target inside vekctl).\n"
                                "Given more than once: the commands run on every port at\n"
                                "the same time, each line of output after the port's name\n"
                                "and a tab."),
                 QStringLiteral("NAME")});
    p.addOption({{QStringLiteral("b"), QStringLiteral("baud")},
                 QStringLiteral("Bit rate: 300, 4800 or 9600 (default 9600)."),
                 QStringLiteral("RATE"), QStringLiteral("9600")});
    p.addOption({QStringLiteral("cal"),
                 QStringLiteral("Calibration character of the connection sequence: 3F or 80\n"
                                "(default 3F)."),
                 QStringLiteral("CHAR"), QStringLiteral("3F")});
    p.addOption({{QStringLiteral("q"), QStringLiteral("quiet")},
                 QStringLiteral("Print no informational output (such as the lines of writes).")});
    if (which & OptVerbose) {
        p.addOption({{QStringLiteral("v"), QStringLiteral("verbose")},
                     QStringLiteral("ports: also what the platform knows of each port.")});
    }
    if (which & OptInterval) {
        p.addOption({QStringLiteral("interval"),
                     QStringLiteral("watch: milliseconds from the start of one round to the start "
                                    "of the next, 0 to 3600000 (default 100)."),
                     QStringLiteral("MS"), QStringLiteral("100")});
    }
    if (which & OptCount) {
        p.addOption({QStringLiteral("count"), QStringLiteral("watch: end after N rounds."),
                     QStringLiteral("N")});
    }
    if (which & OptCsv) {
        p.addOption({QStringLiteral("csv"),
                     QStringLiteral("watch: a header line, then every value of every round.")});
    }
    if (which & OptTimeout) {
        p.addOption({QStringLiteral("timeout"),
                     QStringLiteral("wait: give up after MS milliseconds, 0 to 3600000 (default 5000)."),
                     QStringLiteral("MS"), QStringLiteral("5000")});
    }
    if (which & OptMaxFailures) {
        p.addOption({QStringLiteral("max-failures"),
                     QStringLiteral("watch: end after K failed rounds in a row (default 10)."),
                     QStringLiteral("K"), QStringLiteral("10")});
    }
    if (which & OptTimestamps) {
        p.addOption({QStringLiteral("timestamps"),
                     QStringLiteral("watch: the first column: ms since the start (default), iso\n"
                                    "(local time, ISO 8601 with milliseconds and UTC offset) or\n"
                                    "epoch (seconds since 1970, three decimals)."),
                     QStringLiteral("ms|iso|epoch"), QStringLiteral("ms")});
    }
    if (which & OptInc) {
        p.addOption({QStringLiteral("inc"),
                     QStringLiteral("save, also in a script: label the rows from this include file."),
                     QStringLiteral("FILE.inc")});
    }
    p.addOption({{QStringLiteral("h"), QStringLiteral("help")},
                 QStringLiteral("Displays help; after a command, the command's help.")});
    p.addOption({QStringLiteral("version"), QStringLiteral("Displays the program's version.")});
}

namespace {

// QCommandLineParser names the program as it was typed; the help speaks of
// vekctl whatever the path.
QString withProgramName(QString help)
{
    const QString usage = QStringLiteral("Usage: ");
    if (help.startsWith(usage)) {
        const qsizetype end = help.indexOf(u' ', usage.size());
        if (end > 0)
            help.replace(usage.size(), end - usage.size(), Program);
    }
    return help;
}

const char ExitHelp[] =
    "Exit status: 0 success; 1 a command failed while the target still answered\n"
    "(a wrong echo or reply, a partial command, an expect or wait that found\n"
    "another value, a file or standard output that could not be written);\n"
    "2 usage error or bad input (nothing sent); 3 the port did not open or the\n"
    "target did not answer the connection sequence; 4 the line was lost (hang-up,\n"
    "adapter pulled, target silent or without a prompt); 130 or 143 ended by\n"
    "Ctrl-C (SIGINT) or SIGTERM after the register under way, 141 when the reader\n"
    "of the output went away. Where several apply, the first of 130/143/141, 4, 3,\n"
    "1 wins. The port is closed in every case.";

} // namespace

QString globalHelp()
{
    QCommandLineParser p;
    QString desc = QStringLiteral(
        "Talks to the monitor of a VEK target over a serial line.\n"
        "\n"
        "Commands:\n");
    for (const auto &c : commandTable()) {
        QString line = QStringLiteral("  %1 %2").arg(QLatin1String(c.name), QLatin1String(c.syntax));
        desc += line.trimmed().prepend(QStringLiteral("  ")) + u'\n';
    }
    desc += QStringLiteral(
        "\n"
        "Several commands may follow each other; they run in order on one connection\n"
        "after one connection sequence. 'vekctl COMMAND --help' describes a command.\n"
        "With -p given more than once they run on every port at the same time; the\n"
        "exit status is then the first of 130, 143, 141, 4, 3, 1 that any port gave.\n"
        "\n");
    desc += QLatin1String(ExitHelp);
    p.setApplicationDescription(desc);
    addOptions(p, AllOptions);
    p.addPositionalArgument(QStringLiteral("command"), QStringLiteral("One of the commands above."),
                            QStringLiteral("COMMAND [ARGS]..."));
    return withProgramName(p.helpText());
}

QString commandHelp(const CommandInfo &c)
{
    QCommandLineParser p;
    p.setApplicationDescription(QString::fromLatin1(c.description));
    addOptions(p, c.options);
    p.addPositionalArgument(QLatin1String(c.name), QStringLiteral("The command."),
                            QLatin1String(c.name));
    if (*c.argName) {
        p.addPositionalArgument(QLatin1String(c.argName), QString::fromLatin1(c.argHelp),
                                QLatin1String(c.syntax));
    }
    return withProgramName(p.helpText());
}

std::span<const CommandInfo> commandTable() { return Commands; }

const CommandInfo *findCommand(const QString &word)
{
    for (const auto &c : Commands) {
        if (word == QLatin1String(c.name))
            return &c;
    }
    return nullptr;
}

} // namespace vek::cli
