#include "vekctl.h"

#include "comport.h"
#include "host.h"
#include "lineswitch.h"
#include "qtserialline.h"
#include "registertable.h"
#include "setupfile.h"
#include "simline.h"
#include "textconv.h"

#include <QCommandLineParser>
#include <QFile>
#include <QTextStream>
#include <QThread>

#ifndef VEK_VERSION
#define VEK_VERSION "0"
#endif

namespace vek::cli {

namespace {

const QString Program = QStringLiteral("vekctl");

// Messages of the link go to standard error; fixed waits sleep for real.
class CliHost final : public Host {
public:
    explicit CliHost(QTextStream &err) : m_err(err) {}
    void showMessage(const QString &text) override
    {
        QString t = text;
        while (t.endsWith(u'\n'))
            t.chop(1);
        m_err << Program << ": " << t << '\n';
        m_err.flush();
    }
    void sleepMs(int ms) override { QThread::msleep(ulong(ms)); }

private:
    QTextStream &m_err;
};

enum class Kind { Ports, Version, Read, Write, Test, Apply, Labels };

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
};

const CommandInfo Commands[] = {
    {Kind::Ports, "ports", "", "", "",
     "Lists the platform's serial ports, one per line, in the order the window lists them.",
     0, 0, false},
    {Kind::Version, "version", "", "", "",
     "Connects and prints the target's identification text.", 0, 0, true},
    {Kind::Read, "read", "ADDR...|FROM-TO...", "ADDR",
     "A register address (hexadecimal, 000 to FFF), or a range FROM-TO.",
     "Reads registers. Prints one line 'ADDR VALUE' per address (for example 02A 5C);\n"
     "a range prints sixteen registers a line after the line's first address\n"
     "(020: 00 01 ...).",
     1, -1, true},
    {Kind::Write, "write", "ADDR=VALUE...", "ADDR=VALUE",
     "A register address (hexadecimal, 000 to FFF) and a hexadecimal value\n"
     "(its low eight bits are written).",
     "Writes each value to its register, in order; stops at the first failure.\n"
     "Prints each command sent (A02A=5C) unless --quiet.",
     1, -1, true},
    {Kind::Test, "test", "VALUE", "VALUE", "Decimal, 0 to 255.",
     "Sends the monitor's test command with VALUE (T followed by two hexadecimal digits).",
     1, 1, true},
    {Kind::Apply, "apply", "FILE.vek", "FILE.vek", "A setup file.",
     "Checks the whole setup file, then writes every row whose address is not 0,\n"
     "as loading it in the window does. Prints each write unless --quiet;\n"
     "stops at the first failure.",
     1, 1, true},
    {Kind::Labels, "labels", "FILE.inc", "FILE.inc", "An assembler include file.",
     "Prints the register table of an include file in table order, 'NAME ADDR' a line.\n"
     "On standard error, every line of the register section that was skipped\n"
     "for lacking the entry form, with its line number, then the counts.\n"
     "Needs no port.",
     1, 1, false},
};

const CommandInfo *findCommand(const QString &word)
{
    for (const auto &c : Commands) {
        if (word == QLatin1String(c.name))
            return &c;
    }
    return nullptr;
}

struct ReadItem {
    uint16_t from = 0;
    uint16_t to = 0;
    bool range = false;
};

struct WriteItem {
    uint16_t addr = 0;
    uint8_t value = 0;
};

// One command of the command line, checked and ready to run.
struct Command {
    const CommandInfo *info = nullptr;
    QStringList args;
    QList<ReadItem> reads;
    QList<WriteItem> writes;     // write, and apply's rows with an address
    uint8_t testValue = 0;
    QString file;
    RegisterTable table;
    RegisterTable::ReadReport report;
};

class UsageError {
public:
    explicit UsageError(QString text) : message(std::move(text)) {}
    QString message;
};

void addGlobalOptions(QCommandLineParser &p)
{
    p.addOption({{QStringLiteral("p"), QStringLiteral("port")},
                 QStringLiteral("Serial port: a name that 'vekctl ports' lists, a device\n"
                                "path, or demo (a simulated target inside vekctl)."),
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
    p.addOption({{QStringLiteral("h"), QStringLiteral("help")},
                 QStringLiteral("Displays help; after a command, the command's help.")});
    p.addOption({QStringLiteral("version"), QStringLiteral("Displays the program's version.")});
}

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

QString globalHelp()
{
    QCommandLineParser p;
    QString desc = QStringLiteral(
        "Talks to the monitor of a VEK target over a serial line.\n"
        "\n"
        "Commands:\n");
    for (const auto &c : Commands) {
        QString line = QStringLiteral("  %1 %2").arg(QLatin1String(c.name), QLatin1String(c.syntax));
        desc += line.trimmed().prepend(QStringLiteral("  ")) + u'\n';
    }
    desc += QStringLiteral(
        "\n"
        "Several commands may follow each other; they run in order on one connection\n"
        "after one connection sequence. 'vekctl COMMAND --help' describes a command.\n"
        "\n"
        "Exit status: 0 success, 1 the target failed a command, 2 usage error or bad\n"
        "input (nothing sent), 3 the port did not open or the target did not answer.");
    p.setApplicationDescription(desc);
    addGlobalOptions(p);
    p.addPositionalArgument(QStringLiteral("command"), QStringLiteral("One of the commands above."),
                            QStringLiteral("COMMAND [ARGS]..."));
    return withProgramName(p.helpText());
}

QString commandHelp(const CommandInfo &c)
{
    QCommandLineParser p;
    p.setApplicationDescription(QString::fromLatin1(c.description));
    addGlobalOptions(p);
    p.addPositionalArgument(QLatin1String(c.name), QStringLiteral("The command."),
                            QLatin1String(c.name));
    if (*c.argName) {
        p.addPositionalArgument(QLatin1String(c.argName), QString::fromLatin1(c.argHelp),
                                QLatin1String(c.syntax));
    }
    return withProgramName(p.helpText());
}

uint16_t checkAddress(const CommandInfo &c, const QString &text)
{
    uint16_t addr = 0;
    switch (CheckAddressText(text, addr)) {
    case AddrCheck::Ok:
        return addr;
    case AddrCheck::TooLarge:
        throw UsageError(QStringLiteral("%1 %2: Maximum data memory address is 0xFFF")
                             .arg(QLatin1String(c.name), text));
    case AddrCheck::NotHex:
        break;
    }
    throw UsageError(QStringLiteral("%1: '%2' is not a hexadecimal address")
                         .arg(QLatin1String(c.name), text));
}

// Checks one command's arguments; throws UsageError.
void checkCommand(Command &cmd)
{
    const CommandInfo &c = *cmd.info;
    const auto n = cmd.args.size();
    if (n < c.minArgs || (c.maxArgs >= 0 && n > c.maxArgs)) {
        if (c.maxArgs == 0)
            throw UsageError(QStringLiteral("%1 takes no arguments").arg(QLatin1String(c.name)));
        throw UsageError(QStringLiteral("%1 needs %2").arg(QLatin1String(c.name),
                                                           QLatin1String(c.syntax)));
    }
    switch (c.kind) {
    case Kind::Ports:
    case Kind::Version:
        break;
    case Kind::Read:
        for (const QString &a : std::as_const(cmd.args)) {
            ReadItem item;
            const QStringList ends = a.split(u'-');
            if (ends.size() == 2) {
                item.from = checkAddress(c, ends[0]);
                item.to = checkAddress(c, ends[1]);
                item.range = true;
                if (item.from > item.to)
                    throw UsageError(QStringLiteral("read %1: the range runs backwards").arg(a));
            } else {
                item.from = item.to = checkAddress(c, a);
            }
            cmd.reads << item;
        }
        break;
    case Kind::Write:
        for (const QString &a : std::as_const(cmd.args)) {
            const qsizetype eq = a.indexOf(u'=');
            if (eq < 0)
                throw UsageError(QStringLiteral("write: '%1' is not ADDR=VALUE").arg(a));
            WriteItem w;
            w.addr = checkAddress(c, a.left(eq));
            if (!ParseValue(a.mid(eq + 1), true, w.value))
                throw UsageError(QStringLiteral("write %1: Invalid Entry").arg(a));
            cmd.writes << w;
        }
        break;
    case Kind::Test: {
        const QString &a = cmd.args.first();
        bool digits = !a.isEmpty() && a.size() <= 3;
        for (QChar ch : a)
            digits = digits && ch >= u'0' && ch <= u'9';
        if (!digits || a.toInt() > 255)
            throw UsageError(QStringLiteral("test: '%1' is not a decimal value from 0 to 255").arg(a));
        cmd.testValue = uint8_t(a.toInt());
        break;
    }
    case Kind::Apply: {
        cmd.file = cmd.args.first();
        Setup setup;
        QString error;
        switch (ReadSetupFile(cmd.file, setup, error)) {
        case SetupRead::CannotOpen:
            throw UsageError(QStringLiteral("apply %1: Could not open selected file.").arg(cmd.file));
        case SetupRead::Invalid:
            throw UsageError(QStringLiteral("apply %1: %2").arg(cmd.file, error));
        case SetupRead::Ok:
            break;
        }
        for (const SetupRow &row : setup.rows) {
            if (row.addr != 0)
                cmd.writes << WriteItem{row.addr, row.value};
        }
        break;
    }
    case Kind::Labels: {
        cmd.file = cmd.args.first();
        QFile f(cmd.file);
        if (!f.open(QIODevice::ReadOnly))
            throw UsageError(QStringLiteral("labels %1: Could not open selected file.").arg(cmd.file));
        cmd.table.read(f, &cmd.report);
        break;
    }
    }
}

struct Options {
    QString port;
    int32_t baud = 9600;
    uint8_t cal = 0x3F;
    bool quiet = false;
};

// The run of one invocation over an open (or not needed) connection.
class Runner {
public:
    Runner(const Options &opt, QTextStream &out, QTextStream &err, Host &host)
        : m_opt(opt), m_out(out), m_err(err), m_host(host) {}

    bool versionOk = false;

    // False when the target failed the command; its messages are out.
    bool run(const Command &cmd)
    {
        switch (cmd.info->kind) {
        case Kind::Ports:
            for (const QString &name : Comport::PortNames())
                result(name);
            return true;
        case Kind::Version:
            if (!versionOk) {
                m_host.showMessage(QStringLiteral("No identification from target"));
                return false;
            }
            result(QString::fromLatin1(Comport::VerText));
            return true;
        case Kind::Read:
            for (const ReadItem &item : cmd.reads) {
                if (!(item.range ? readRange(item) : readSingle(item.from)))
                    return false;
            }
            return true;
        case Kind::Write:
        case Kind::Apply:
            for (const WriteItem &w : cmd.writes) {
                if (!write(w)) {
                    failed(QStringLiteral("write %1=%2").arg(AddrDisplay(w.addr), HexByte(w.value)));
                    return false;
                }
            }
            return true;
        case Kind::Test: {
            const QByteArray line = "T" + HexByte(cmd.testValue).toLatin1();
            if (!Comport::SendCommand(line + char(Comport::CR))) {
                failed(QStringLiteral("test %1").arg(cmd.testValue));
                return false;
            }
            info(QString::fromLatin1(line));
            return true;
        }
        case Kind::Labels:
            labels(cmd);
            return true;
        }
        return false;
    }

private:
    void result(const QString &line)
    {
        m_out << line << '\n';
        m_out.flush();
    }
    void info(const QString &line)
    {
        if (!m_opt.quiet)
            result(line);
    }
    void warn(const QString &line)
    {
        m_err << Program << ": " << line << '\n';
        m_err.flush();
    }
    void failed(const QString &step) { warn(step + QStringLiteral(" failed")); }

    bool readValue(uint16_t addr, uint8_t &value)
    {
        if (Comport::ReadRegister(addr, value))
            return true;
        failed(QStringLiteral("read %1").arg(AddrDisplay(addr)));
        return false;
    }

    bool readSingle(uint16_t addr)
    {
        uint8_t v = 0;
        if (!readValue(addr, v))
            return false;
        result(AddrDisplay(addr) + u' ' + HexByte(v));
        return true;
    }

    bool readRange(const ReadItem &item)
    {
        QString line;
        for (uint32_t a = item.from; a <= item.to; ++a) {
            if ((a - item.from) % 16 == 0) {
                if (!line.isEmpty())
                    result(line);
                line = AddrDisplay(a) + u':';
            }
            uint8_t v = 0;
            if (!readValue(uint16_t(a), v)) {
                // What was read before the failure is still worth showing.
                if (line.size() > 4)
                    result(line);
                return false;
            }
            line += u' ' + HexByte(v);
        }
        result(line);
        return true;
    }

    bool write(const WriteItem &w)
    {
        const QByteArray addr = AddrDisplay(w.addr).toLatin1();
        const QByteArray data = HexByte(w.value).toLatin1();
        if (!Comport::WriteReg(addr, data))
            return false;
        info(QString::fromLatin1("A" + addr + "=" + data));
        return true;
    }

    void labels(const Command &cmd)
    {
        for (qsizetype i = 0; i < cmd.table.count(); ++i)
            result(NameText(cmd.table.name(i) + ' ' + cmd.table.addr(i)));
        const auto &rep = cmd.report;
        if (!rep.foundStart)
            warn(QStringLiteral("%1: no line contains \"Register Files\"").arg(cmd.file));
        else if (!rep.foundEnd)
            warn(QStringLiteral("%1: the register section has no end line (;--)").arg(cmd.file));
        for (const auto &s : rep.skipped) {
            warn(QStringLiteral("%1:%2: skipped, %3: %4")
                     .arg(cmd.file).arg(s.lineNumber).arg(s.reason, VisibleText(s.text)));
        }
        if (!m_opt.quiet) {
            warn(QStringLiteral("%1: %2 entries, %3 lines skipped")
                     .arg(cmd.file).arg(cmd.table.count()).arg(rep.skippedCount));
        }
    }

    const Options &m_opt;
    QTextStream &m_out;
    QTextStream &m_err;
    Host &m_host;
};

Options checkOptions(const QCommandLineParser &p)
{
    Options o;
    o.port = p.value(QStringLiteral("port"));
    o.quiet = p.isSet(QStringLiteral("quiet"));
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
    return o;
}

QList<Command> splitCommands(const QStringList &words)
{
    QList<Command> cmds;
    for (const QString &w : words) {
        if (const CommandInfo *info = findCommand(w)) {
            Command c;
            c.info = info;
            cmds << std::move(c);
        } else if (cmds.isEmpty()) {
            throw UsageError(QStringLiteral("unknown command '%1' (see vekctl --help)").arg(w));
        } else {
            cmds.last().args << w;
        }
    }
    return cmds;
}

} // namespace

int runVekctl(const QStringList &args, QTextStream &out, QTextStream &err)
{
    QCommandLineParser parser;
    addGlobalOptions(parser);
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
    try {
        opt = checkOptions(parser);
        if (words.isEmpty())
            throw UsageError(QStringLiteral("no command given (see vekctl --help)"));
        cmds = splitCommands(words);
        for (Command &c : cmds) {
            checkCommand(c);
            needsPort = needsPort || c.info->needsPort;
        }
        if (needsPort && opt.port.isEmpty())
            throw UsageError(QStringLiteral("no port given: use -p NAME ('vekctl ports' lists them)"));
    } catch (const UsageError &e) {
        return usage(e.message);
    }

    CliHost host(err);
    Runner runner(opt, out, err, host);
    // The port "demo" is the simulated target inside the process.
    QtSerialLine platformLine;
    sim::SimLine demoLine;
    LineSwitch line(platformLine);
    line.add(QLatin1String(sim::DemoPortName), demoLine);
    if (needsPort) {
        Comport::install(&line, &host);
        Comport::ResetState();
        Comport::BaudRate = opt.baud;
        Comport::CalChar = opt.cal;
        if (!Comport::OpenPort(opt.port)) {
            Comport::ClosePort();
            host.showMessage(opt.port + QStringLiteral(" is not responding"));
            Comport::install(nullptr, nullptr);
            return ExitNoConnection;
        }
        // As the window does: the identification query follows the handshake.
        runner.versionOk = Comport::GetVersion();
    }

    int status = ExitOk;
    for (const Command &c : std::as_const(cmds)) {
        if (!runner.run(c)) {
            status = ExitTargetFailed;
            break;
        }
    }

    if (needsPort) {
        if (!Comport::ClosePort() && status == ExitOk)
            status = ExitTargetFailed;
        Comport::install(nullptr, nullptr);
    }
    return status;
}

} // namespace vek::cli
