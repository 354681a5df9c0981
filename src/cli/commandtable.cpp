#include "commandtable.h"

#include <QCommandLineParser>
#include <QStringList>

#ifdef Q_OS_UNIX
#include <sys/ioctl.h>
#include <unistd.h>
#endif

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
     0, 0, false, false, 0},
    {Kind::Version, "version", "", "", "",
     "Connects and prints the target's identification text.", 0, 0, true, true, 0},
    {Kind::Read, "read", "ADDR...|FROM-TO...", "ADDR",
     "A register address (hexadecimal, 000 to FFF), or a range FROM-TO.",
     "Reads registers. Prints one line 'ADDR VALUE' per address (for example 02A 5C);\n"
     "a range prints sixteen registers a line after the line's first address\n"
     "(020: 00 01 ...). A range cut short (a failed read, a signal) ends its last\n"
     "line with two dashes after the values read, also when that line holds none:\n"
     "  060: 00 --",
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
     "--inc applies to the script's save commands. On a served port, --exclusive\n"
     "keeps the connection for the whole script (at most 10 minutes): no other\n"
     "program's command runs between its lines.",
     1, 1, true, false, OptInc | OptExclusive},
    {Kind::Watch, "watch", "ADDR...|FROM-TO...", "ADDR",
     "A register address (hexadecimal, 000 to FFF), or a range FROM-TO.",
     "Reads the registers again and again on one connection: a round starts every\n"
     "--interval milliseconds (default 100) after the start of the one before, or\n"
     "at once when a round takes longer. Prints the milliseconds since the start\n"
     "and each register that changed since the round before ('1200 02A 5C->5D');\n"
     "the first round prints every value. With --csv: a header 'ms,02A,...', then\n"
     "one line a round with every value. A failed read prints the link's message\n"
     "and the round counts as failed (in CSV a row with empty values); the same\n"
     "messages in the rounds after it are counted, not printed again.\n"
     "--max-failures K failed rounds in a row (default 10) end it (exit status 4\n"
     "when the line was lost, else 1). --count N ends after N rounds, failed ones\n"
     "included (exit status 0 only when every round read). --timestamps iso or\n"
     "epoch puts the wall-clock time in the first column.\n"
     "With --reconnect a lost line does not end it: the port is closed and opened\n"
     "again after 1 s, then after twice the wait before, at most 30 s, each attempt\n"
     "said once on standard error with the time; every round missed meanwhile counts\n"
     "as failed (in CSV a row with empty values). A command cut short on the line\n"
     "(by the watch, or meanwhile by another program) still ends it, as does\n"
     "--max-failures. Ctrl-C or SIGTERM ends it\n"
     "after the read under way (exit status 130 or 143); a reader of its output\n"
     "that went away ends it at the next round (141).\n"
     "On a served port it also shows the writes others make to its registers as\n"
     "they come ('686 02A 5C written by client 3'; in CSV a row with only that\n"
     "register's value).",
     1, -1, true, false, OptInterval | OptCount | OptCsv | OptMaxFailures | OptTimestamps | OptReconnect},
    {Kind::Labels, "labels", "FILE.inc", "FILE.inc", "An assembler include file.",
     "Prints the register table of an include file in table order, 'NAME ADDR' a line.\n"
     "On standard error, every line of the register section that was skipped\n"
     "for lacking the entry form, with its line number, then the counts.\n"
     "Needs no port.",
     1, 1, false, false, 0},
    {Kind::Serve, "serve", "", "", "",
     "Connects once, then lets other programs of the same user use the connection\n"
     "through a local socket in the user's runtime folder ($XDG_RUNTIME_DIR/vekcomm/)\n"
     "until SIGINT, SIGTERM or SIGHUP (exit status 130, 143 or 129); the socket is\n"
     "removed then. vekctl -p PORT then joins the connection instead of finding\n"
     "the port busy; any program can speak its JSON\n"
     "Lines protocol (vekctl(1), SHARED CONNECTIONS). Commands run one at a time,\n"
     "whole.",
     0, 0, true, false, 0},
};

const CommandOptionInfo CommandOptions[] = {
    {OptInterval, "interval"},
    {OptCount, "count"},
    {OptCsv, "csv"},
    {OptInc, "inc"},
    {OptTimeout, "timeout"},
    {OptMaxFailures, "max-failures"},
    {OptTimestamps, "timestamps"},
    {OptReconnect, "reconnect"},
    {OptExclusive, "exclusive"},
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

namespace {

// Every option: its names, the name of its value (empty: a switch), its
// default, its help and the command option it is (0: a global one).
struct OptionInfo {
    QStringList names;
    const char *valueName;
    const char *defaultValue;
    const char *help;
    unsigned bit;
};

const QList<OptionInfo> &optionTable()
{
    static const QList<OptionInfo> options = {
        {{QStringLiteral("p"), QStringLiteral("port")}, "NAME", "",
         "Serial port: a name that 'vekctl ports' lists, a device path, rfc2217://HOST:PORT "
         "(a port served over the network, as by ser2net), or demo (a simulated target inside "
         "vekctl). Given more than once: the commands run on every port at the same time, each "
         "line of output after the port's name and a tab; two names of one port are refused.",
         0},
        {{QStringLiteral("b"), QStringLiteral("baud")}, "RATE", "9600",
         "Bit rate: 300, 4800 or 9600 (default 9600).", 0},
        {{QStringLiteral("cal")}, "CHAR", "3F",
         "Calibration character of the connection sequence: 3F or 80 (default 3F).", 0},
        {{QStringLiteral("target-reset")}, "", "",
         "The target was reset since a run cut a command on this port: connect although the "
         "port was refused for that.",
         0},
        {{QStringLiteral("q"), QStringLiteral("quiet")}, "", "",
         "Print no informational output (such as the lines of writes).", 0},
        {{QStringLiteral("v"), QStringLiteral("verbose")}, "", "",
         "ports: also what the platform knows of each port. With a served port: say on "
         "standard error that its connection is shared.", 0},
        {{QStringLiteral("no-share")}, "", "",
         "Never join a connection that another program serves: a served port is then busy.", 0},
        {{QStringLiteral("exclusive")}, "", "",
         "run, on a served port: no other program's command between the script's lines.", OptExclusive},
        {{QStringLiteral("interval")}, "MS", "100",
         "watch: milliseconds from the start of one round to the start of the next, 0 to 3600000 "
         "(default 100).",
         OptInterval},
        {{QStringLiteral("count")}, "N", "", "watch: end after N rounds.", OptCount},
        {{QStringLiteral("csv")}, "", "", "watch: a header line, then every value of every round.", OptCsv},
        {{QStringLiteral("timeout")}, "MS", "5000",
         "wait: give up after MS milliseconds, 0 to 3600000 (default 5000).", OptTimeout},
        {{QStringLiteral("max-failures")}, "K", "10",
         "watch: end after K failed rounds in a row (default 10); the rounds missed while "
         "reconnecting count.",
         OptMaxFailures},
        {{QStringLiteral("timestamps")}, "ms|iso|epoch", "ms",
         "watch: the first column: ms since the start (default), iso (local time, ISO 8601 with "
         "milliseconds and UTC offset) or epoch (seconds since 1970, three decimals).",
         OptTimestamps},
        {{QStringLiteral("reconnect")}, "", "",
         "watch: after a lost line, open the port again (after 1 s, then twice as long each time, "
         "at most 30 s) and go on.",
         OptReconnect},
        {{QStringLiteral("inc")}, "FILE.inc", "",
         "save, also in a script: label the rows from this include file.", OptInc},
        {{QStringLiteral("h"), QStringLiteral("help")}, "", "",
         "Displays help; after a command, the command's help.", 0},
        {{QStringLiteral("version")}, "", "", "Displays the program's version.", 0},
    };
    return options;
}

} // namespace

void addOptions(QCommandLineParser &p, unsigned which)
{
    for (const OptionInfo &o : optionTable()) {
        if (o.bit && !(which & o.bit))
            continue;
        p.addOption(QCommandLineOption(o.names, QString::fromLatin1(o.help), QLatin1String(o.valueName),
                                       QLatin1String(o.defaultValue)));
    }
}

namespace {

const char ExitHelp[] =
    "Exit status: 0 success; 1 a command failed while the target still answered\n"
    "(a wrong echo or reply, a partial command, an expect or wait that found\n"
    "another value, a file or standard output that could not be written);\n"
    "2 usage error or bad input (nothing sent, no port opened); 3 the port did not\n"
    "open, the target did not answer the connection sequence, or it may hold part\n"
    "of a command an earlier run cut (reset it, then give --target-reset); 4 the\n"
    "line was lost (hang-up, adapter pulled, target silent or without a prompt);\n"
    "130, 143 or 129 ended by Ctrl-C (SIGINT), SIGTERM or SIGHUP after the command\n"
    "under way (every wait ends at once), 141 when the reader of the output went\n"
    "away. Where several apply, the first of 130/143/129/141, 4, 3, 1 wins. The\n"
    "port is closed in every case.";

// Words of `text` in lines of at most `width` characters, the first after
// `first`, the others after `rest` (a word longer than a line stands alone).
QString wrapWords(const QString &text, int width, const QString &first, const QString &rest)
{
    QString out;
    QString line = first;
    bool empty = true;
    for (const QString &word : text.split(u' ', Qt::SkipEmptyParts)) {
        if (!empty && line.size() + 1 + word.size() > width) {
            out += line + u'\n';
            line = rest;
            empty = true;
        }
        if (!empty)
            line += u' ';
        line += word;
        empty = false;
    }
    return out + line + u'\n';
}

// A text whose lines run on into paragraphs: a blank line ends one, and a
// line that starts with a space stands as it is (a list, an example).
QString wrapText(const QString &text, int width)
{
    QString out, paragraph;
    const auto flush = [&] {
        if (!paragraph.isEmpty())
            out += wrapWords(paragraph, width, {}, {});
        paragraph.clear();
    };
    for (const QString &line : text.split(u'\n')) {
        if (line.isEmpty() || line.startsWith(u' ')) {
            flush();
            out += line + u'\n';
        } else {
            paragraph += (paragraph.isEmpty() ? QString() : QStringLiteral(" ")) + line;
        }
    }
    flush();
    return out;
}

// Names in one column, their texts wrapped beside them; where the column
// would leave too little room the text goes below its name.
QString twoColumns(const QList<std::pair<QString, QString>> &items, int width)
{
    qsizetype column = 0;
    for (const auto &item : items)
        column = qMax(column, item.first.size() + 4);
    column = qMin<qsizetype>(column, qMax(width / 3, 12));
    const bool below = width - column < 24;
    QString out;
    for (const auto &[name, text] : items) {
        if (below || name.size() + 2 > column) {
            out += name + u'\n';
            const QString indent(below ? 8 : column, u' ');
            out += wrapWords(text, width, indent, indent);
        } else {
            out += wrapWords(text, width, name.leftJustified(column), QString(column, u' '));
        }
    }
    return out;
}

QString optionsHelp(unsigned which, int width)
{
    QList<std::pair<QString, QString>> items;
    for (const OptionInfo &o : optionTable()) {
        if (o.bit && !(which & o.bit))
            continue;
        QStringList names;
        for (const QString &n : o.names)
            names << (n.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + n;
        QString name = QStringLiteral("  ") + names.join(QStringLiteral(", "));
        if (*o.valueName)
            name += QStringLiteral(" <%1>").arg(QLatin1String(o.valueName));
        items.append({name, QString::fromLatin1(o.help)});
    }
    return QStringLiteral("Options:\n") + twoColumns(items, width);
}

QString helpText(const QString &usage, const QString &description, unsigned options,
                 const QList<std::pair<QString, QString>> &arguments, int width)
{
    width = qMax(width, 20);
    QList<std::pair<QString, QString>> args;
    for (const auto &[name, text] : arguments)
        args.append({QStringLiteral("  ") + name, text});
    return wrapWords(usage, width, QStringLiteral("Usage: ") + Program + u' ', QStringLiteral("  ")) + u'\n'
           + wrapText(description, width) + u'\n' + optionsHelp(options, width) + u'\n'
           + QStringLiteral("Arguments:\n") + twoColumns(args, width);
}

} // namespace

int terminalWidth()
{
#ifdef Q_OS_UNIX
    winsize ws{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
        return ws.ws_col;
#endif
    bool ok = false;
    const int columns = qEnvironmentVariableIntValue("COLUMNS", &ok);
    return ok && columns > 0 ? columns : 80;
}

QString globalHelp(int width)
{
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
        "With -p given more than once they run on every port at the same time; at the\n"
        "end, standard error has one line for each port: its name, a tab, 'exit',\n"
        "the port's own exit status and, after a colon, the last message of that port\n"
        "(ok when it succeeded, 'stopped by signal N' after a signal). The exit status\n"
        "is then the first of 130, 143, 129, 141, 4, 3, 1 that any port gave.\n"
        "\n");
    desc += QLatin1String(ExitHelp);
    return helpText(QStringLiteral("[options] COMMAND [ARGS]..."), desc, AllOptions,
                    {{QStringLiteral("command"), QStringLiteral("One of the commands above.")}}, width);
}

QString commandHelp(const CommandInfo &c, int width)
{
    QList<std::pair<QString, QString>> args{{QLatin1String(c.name), QStringLiteral("The command.")}};
    if (*c.argName)
        args.append({QLatin1String(c.argName), QString::fromLatin1(c.argHelp)});
    return helpText(QStringLiteral("[options] %1 %2").arg(QLatin1String(c.name), QLatin1String(c.syntax)),
                    QString::fromLatin1(c.description), c.options, args, width);
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
