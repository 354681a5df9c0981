#include "vekctl.h"

#include "commands.h"
#include "comport.h"
#include "host.h"
#include "interrupt.h"
#include "linewatch.h"
#include "script.h"
#include "multi.h"
#include "netline.h"
#include "qtserialline.h"
#include "simline.h"
#include "vekversion.h"

#include <QCommandLineParser>
#include <QFile>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <memory>


namespace vek::cli {

namespace {

constexpr int MaxIntervalMs = 3600000;

// The options that belong to commands; the command table says which.
struct CommandOptionInfo {
    CommandOption bit;
    const char *name;
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

// The commands that take the option, in table order: "save and run".
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

// The global options, and of the command options those in `which`.
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

constexpr unsigned AllOptions =
    OptVerbose | OptInterval | OptCount | OptCsv | OptInc | OptTimeout | OptMaxFailures | OptTimestamps;

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

qint64 checkNumber(const QCommandLineParser &p, const char *name, qint64 min, qint64 max)
{
    const QString text = p.value(QLatin1String(name));
    bool ok = !text.isEmpty() && text.size() <= 12;
    for (QChar ch : text)
        ok = ok && ch >= u'0' && ch <= u'9';
    const qint64 v = ok ? text.toLongLong() : -1;
    if (v < min || v > max) {
        throw UsageError(QStringLiteral("--%1: '%2' is not a number from %3 to %4")
                             .arg(QLatin1String(name), text).arg(min).arg(max));
    }
    return v;
}

void checkOptions(const QCommandLineParser &p, Options &o)
{
    o.port = p.value(QStringLiteral("port"));
    o.quiet = p.isSet(QStringLiteral("quiet"));
    o.verbose = p.isSet(QStringLiteral("verbose"));
    o.csv = p.isSet(QStringLiteral("csv"));
    const QString baud = p.value(QStringLiteral("baud"));
    if (baud == u"300" || baud == u"4800" || baud == u"9600")
        o.baud = baud.toInt();
    else
        throw UsageError(QStringLiteral("'%1' is not a bit rate: 300, 4800 or 9600").arg(baud));
    const QString cal = p.value(QStringLiteral("cal")).toUpper();
    if (cal == u"3F")
        o.cal = 0x3F;
    else if (cal == u"80")
        o.cal = 0x80;
    else
        throw UsageError(QStringLiteral("'%1' is not a calibration character: 3F or 80")
                             .arg(p.value(QStringLiteral("cal"))));
    o.intervalMs = int(checkNumber(p, "interval", 0, MaxIntervalMs));
    if (p.isSet(QStringLiteral("count")))
        o.count = checkNumber(p, "count", 1, Q_INT64_C(999999999999));
    o.timeoutMs = int(checkNumber(p, "timeout", 0, MaxIntervalMs));
    o.maxFailures = checkNumber(p, "max-failures", 1, Q_INT64_C(999999999999));
    const QString stamps = p.value(QStringLiteral("timestamps"));
    if (stamps == u"iso")
        o.stamps = Options::Stamps::Iso;
    else if (stamps == u"epoch")
        o.stamps = Options::Stamps::Epoch;
    else if (stamps != u"ms")
        throw UsageError(QStringLiteral("--timestamps: '%1' is not ms, iso or epoch").arg(stamps));
    if (p.isSet(QStringLiteral("inc"))) {
        o.incFile = p.value(QStringLiteral("inc"));
        QFile f(o.incFile);
        if (!f.open(QIODevice::ReadOnly))
            throw UsageError(QStringLiteral("--inc %1: %2").arg(o.incFile, f.errorString()));
        o.labels.read(f);
    }
}

// Refuses an option that no command of the command line takes.
void checkOptionOwners(const QCommandLineParser &p, const QList<Command> &cmds)
{
    unsigned used = 0;
    for (const Command &c : cmds)
        used |= c.info->options;
    for (const auto &o : CommandOptions) {
        if (p.isSet(QLatin1String(o.name)) && !(used & o.bit)) {
            throw UsageError(QStringLiteral("--%1 is an option of %2")
                                 .arg(QLatin1String(o.name), ownersOf(o.bit)));
        }
    }
}

QString openFailureText(const QString &port, const SerialLine::OpenFailure &f)
{
    using K = SerialLine::OpenFailure::Kind;
    QString text = QStringLiteral("cannot open ") + port;
    if (!f.text.isEmpty())
        text += QStringLiteral(": ") + f.text;
    switch (f.kind) {
    case K::NoPermission:
#ifdef Q_OS_LINUX
        text += QStringLiteral(" (add your user to the dialout group, then log in again)");
#endif
        break;
    case K::Busy:
        text += QStringLiteral(" (another program has it open)");
        break;
    case K::NotFound:
        text += QStringLiteral(" (vekctl ports lists the ports)");
        break;
    case K::NotSerial:
        text += QStringLiteral(" (not a serial port)");
        break;
    case K::Unknown:
        break;
    }
    return text;
}

// A script with no command that reaches the target opens no port.
bool commandNeedsPort(const Command &c)
{
    if (c.info->kind != Kind::Run || c.script->interactive)
        return c.info->needsPort;
    return std::any_of(c.script->commands.cbegin(), c.script->commands.cend(),
                       [](const Command &line) { return line.info->needsPort; });
}

// The line under a port name: the simulated target inside the process for
// "demo", an RFC 2217 server for rfc2217://HOST:PORT, the platform's port for
// every other name. Every command that reaches a target gets its line here.
std::unique_ptr<SerialLine> lineFor(const QString &port)
{
    if (port == QLatin1String(sim::DemoPortName))
        return std::make_unique<sim::SimLine>();
    if (NetLine::isNetName(port))
        return std::make_unique<NetLine>();
    return std::make_unique<QtSerialLine>();
}

// Opens the port and runs the connection sequence and the identification
// query, as OpenComm does. Returns 0, or the exit status with the reason
// said; the port is then closed.
int connect(const Options &opt, Host &host, QTextStream &err, Link &link, bool &versionOk)
{
    link.BaudRate = opt.baud;
    link.CalChar = opt.cal;
    const auto opened = link.OpenLine(opt.port);
    if (opened == SerialLine::OpenResult::CannotOpen) {
        err << Program << ": " << openFailureText(opt.port, link.line().openFailure()) << '\n';
        err.flush();
        return ExitNoConnection;
    }
    if (opened != SerialLine::OpenResult::Ok || !link.ConnectionSequence()) {
        link.ClosePort();
        host.showMessage(opt.port + QStringLiteral(" is not responding"));
        return ExitNoConnection;
    }
    versionOk = link.GetVersion();
    return ExitOk;
}

// Connects when a command needs the port, runs the commands in order until
// one fails, closes the port. The exit status.
int runTarget(const Options &opt, const QList<Command> &cmds, bool needsPort, QTextStream &out,
              QTextStream &err)
{
    CliHost host(err);
    Session session(opt, out, err, host);
    std::unique_ptr<SerialLine> line;
    std::unique_ptr<LineWatch> watched;
    std::unique_ptr<Link> link;
    int status = ExitOk;
    if (needsPort) {
        line = lineFor(opt.port);
        watched = std::make_unique<LineWatch>(*line);
        link = std::make_unique<Link>(*watched, host);
        session.link = link.get();
        session.lineWatch = watched.get();
        status = connect(opt, host, err, *link, session.versionOk);
        watched->echoes = link->DoubleEcho ? 2 : 1;
        if (status == ExitOk && interrupt::pending())
            status = 128 + interrupt::pending();
    }

    if (status == ExitOk) {
        for (const Command &c : cmds) {
            if ((status = session.run(c)) != ExitOk)
                break;
        }
    }

    if (link && !link->ClosePort() && status == ExitOk)
        status = ExitTargetFailed;
    if (status == ExitOk && session.outputFailed())
        status = ExitTargetFailed;
    return status;
}

} // namespace

int runVekctl(const QStringList &args, QTextStream &out, QTextStream &err)
{
    QCommandLineParser parser;
    addOptions(parser, AllOptions);
    auto usage = [&err](const QString &text) {
        err << Program << ": " << text << '\n';
        err.flush();
        return int(ExitUsage);
    };
    if (!parser.parse(args.isEmpty() ? QStringList{Program} : args))
        return usage(parser.errorText());

    const QStringList words = parser.positionalArguments();
    if (parser.isSet(QStringLiteral("help"))) {
        const CommandInfo *info = nullptr;
        for (const QString &w : words) {
            if ((info = findCommand(w)))
                break;
        }
        out << (info ? commandHelp(*info) : globalHelp());
        out.flush();
        return ExitOk;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        out << Program << ' ' << VEK_VERSION << '\n';
        out.flush();
        return ExitOk;
    }

    Options opt;
    QList<Command> cmds;
    bool needsPort = false;
    const QStringList ports = parser.values(QStringLiteral("port"));
    try {
        if (words.isEmpty())
            throw UsageError(QStringLiteral("no command given (see vekctl --help)"));
        cmds = splitCommands(words);
        checkOptionOwners(parser, cmds);
        checkOptions(parser, opt);
        CheckContext context;
        context.wholeInput = ports.size() > 1;
        for (Command &c : cmds) {
            checkCommand(c, context);
            needsPort = needsPort || commandNeedsPort(c);
        }
        if (needsPort && opt.port.isEmpty())
            throw UsageError(QStringLiteral("no port given: use -p NAME ('vekctl ports' lists them)"));
        if (needsPort && ports.size() > 1)
            checkSeveralTargets(cmds, opt);
    } catch (const UsageError &e) {
        return usage(e.message);
    }

    if (!needsPort)
        return runTarget(opt, cmds, false, out, err);
    // From here on a signal ends the run between two commands, with the
    // port closed.
    interrupt::install();
    const int status = ports.size() > 1
        ? runOnEach(ports, opt,
                    [&cmds](const Options &target, QTextStream &targetOut, QTextStream &targetErr) {
                        return runTarget(target, cmds, true, targetOut, targetErr);
                    },
                    out, err)
        : runTarget(opt, cmds, true, out, err);
    interrupt::restore();
    return status;
}

} // namespace vek::cli
