#include "check.h"

#include "multi.h"
#include "netline.h"
#include "qtserialline.h"
#include "script.h"
#include "setupfile.h"
#include "textconv.h"
#include "vekversion.h"

#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QHostAddress>
#include <QRegularExpression>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace vek::cli {

namespace {

constexpr int MaxSleepMs = 3600000;
constexpr int MaxIntervalMs = 3600000;

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

QList<ReadItem> checkReadItems(const CommandInfo &c, const QStringList &args)
{
    QList<ReadItem> items;
    for (const QString &a : args) {
        ReadItem item;
        const QStringList ends = a.split(u'-');
        if (ends.size() == 2) {
            item.from = checkAddress(c, ends[0]);
            item.to = checkAddress(c, ends[1]);
            item.range = true;
            if (item.from > item.to)
                throw UsageError(QStringLiteral("%1 %2: the range runs backwards")
                                     .arg(QLatin1String(c.name), a));
        } else {
            item.from = item.to = checkAddress(c, a);
        }
        items << item;
    }
    return items;
}

// A register's value: hexadecimal digits, 00 to FF whatever leading zeros
// it has. A larger one is refused rather than cut to its low bits.
uint8_t checkByte(const CommandInfo &c, const QString &item, const QString &text)
{
    uint8_t value = 0;
    if (!ParseValue(text, true, value))
        throw UsageError(QStringLiteral("%1 %2: Invalid Entry").arg(QLatin1String(c.name), item));
    qsizetype lead = 0;
    while (lead < text.size() && text.at(lead) == u'0')
        ++lead;
    if (text.size() - lead > 2)
        throw UsageError(QStringLiteral("%1 %2: %3 does not fit in a register (00 to FF)")
                             .arg(QLatin1String(c.name), item, text));
    return value;
}

// ADDR=VALUE, and for expect and wait ADDR=VALUE/MASK.
QList<WriteItem> checkAssignments(const CommandInfo &c, const QStringList &args)
{
    QList<WriteItem> items;
    for (const QString &a : args) {
        const qsizetype eq = a.indexOf(u'=');
        if (eq < 0)
            throw UsageError(QStringLiteral("%1: '%2' is not ADDR=VALUE").arg(QLatin1String(c.name), a));
        WriteItem w;
        w.addr = checkAddress(c, a.left(eq));
        QString value = a.mid(eq + 1);
        const qsizetype slash = value.indexOf(u'/');
        if (slash >= 0 && c.kind != Kind::Write) {
            w.mask = checkByte(c, a, value.mid(slash + 1));
            value.truncate(slash);
        }
        w.value = checkByte(c, a, value);
        items << w;
    }
    return items;
}

// A decimal number without sign, at most `max`.
bool decimal(const QString &text, qint64 max, qint64 &value)
{
    if (text.isEmpty() || text.size() > 10)
        return false;
    for (QChar ch : text) {
        if (ch < u'0' || ch > u'9')
            return false;
    }
    value = text.toLongLong();
    return value <= max;
}

QList<WriteItem> setupWrites(const Setup &setup)
{
    QList<WriteItem> writes;
    for (const SetupRow &row : setup.rows) {
        if (row.addr != 0)
            writes << WriteItem{row.addr, row.value};
    }
    return writes;
}

QString absolute(const QString &path) { return QFileInfo(path).absoluteFilePath(); }

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
    o.targetReset = p.isSet(QStringLiteral("target-reset"));
    o.csv = p.isSet(QStringLiteral("csv"));
    o.reconnect = p.isSet(QStringLiteral("reconnect"));
    o.noShare = p.isSet(QStringLiteral("no-share"));
    o.exclusive = p.isSet(QStringLiteral("exclusive"));
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
    for (const auto &o : commandOptionTable()) {
        if (p.isSet(QLatin1String(o.name)) && !(used & o.bit)) {
            throw UsageError(QStringLiteral("--%1 is an option of %2")
                                 .arg(QLatin1String(o.name), ownersOf(o.bit)));
        }
    }
}

// A script with no command that reaches the target opens no port.
bool commandNeedsPort(const Command &c)
{
    if (c.info->kind != Kind::Run || c.script->interactive)
        return c.info->needsPort;
    return std::any_of(c.script->commands.cbegin(), c.script->commands.cend(),
                       [](const Command &line) { return line.info->needsPort; });
}

// A name of a port on the network must be one that can be connected to;
// a local name is left to the open, which says what is wrong with it.
void checkPortName(const QString &name)
{
    static const QRegularExpression scheme(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]*:"));
    if (!NetLine::isNetName(name)) {
        if (name.startsWith(QLatin1String("rfc2217:"), Qt::CaseInsensitive))
            throw UsageError(QStringLiteral("-p %1: a network port is named rfc2217://HOST:PORT").arg(name));
        if (scheme.match(name).hasMatch() && name.contains(QStringLiteral("://")))
            throw UsageError(QStringLiteral("-p %1: not a kind of port vekctl knows; a network port is named "
                                            "rfc2217://HOST:PORT").arg(name));
        return;
    }
    QString why;
    const auto address = NetLine::parseName(name, &why);
    if (!address)
        throw UsageError(QStringLiteral("-p %1: %2").arg(name, why));
    // A host name: labels of letters, digits, '-' and '_', joined by dots.
    static const QRegularExpression host(QStringLiteral("^[A-Za-z0-9_]([A-Za-z0-9_-]*[A-Za-z0-9_])?"
                                                        "(\\.[A-Za-z0-9_]([A-Za-z0-9_-]*[A-Za-z0-9_])?)*\\.?$"));
    if (QHostAddress(address->host).isNull() && !host.match(address->host).hasMatch())
        throw UsageError(QStringLiteral("-p %1: '%2' is not a host name or address").arg(name, address->host));
}

// What identifies the port behind a name: two names with the same key are
// one port.
QString portKey(const QString &name)
{
    if (NetLine::isNetName(name)) {
        const auto a = NetLine::parseName(name);
        return a ? QStringLiteral("net %1 %2").arg(QHostAddress(a->host).isNull() ? a->host.toLower()
                                                                                   : QHostAddress(a->host).toString())
                       .arg(a->port)
                 : name;
    }
    const QString device = QtSerialLine::devicePath(name);
#ifdef Q_OS_UNIX
    // Two nodes of one device (a copy made with mknod) are one port too.
    struct stat st {};
    if (::stat(QFile::encodeName(device).constData(), &st) == 0 && S_ISCHR(st.st_mode))
        return QStringLiteral("dev %1").arg(quint64(st.st_rdev));
#endif
    return QStringLiteral("path ") + device;
}

void checkPorts(const QStringList &ports)
{
    QHash<QString, QString> seen;
    for (const QString &port : ports) {
        checkPortName(port);
        const QString key = portKey(port);
        if (const auto it = seen.constFind(key); it != seen.cend()) {
            throw UsageError(port == *it ? QStringLiteral("-p %1 is given twice: give each port once").arg(port)
                                         : QStringLiteral("-p %1 and -p %2 name the same port: give it once")
                                               .arg(*it, port));
        }
        seen.insert(key, port);
    }
}

} // namespace

QList<WriteItem> readSetupWrites(const QString &path)
{
    Setup setup;
    QString error;
    switch (ReadSetupFile(path, setup, error)) {
    case SetupRead::CannotOpen:
        throw UsageError(QStringLiteral("apply %1: %2").arg(path, error));
    case SetupRead::Invalid:
        throw UsageError(QStringLiteral("apply %1: %2").arg(path, error));
    case SetupRead::Ok:
        break;
    }
    return setupWrites(setup);
}

QList<uint16_t> expandItems(const QList<ReadItem> &items)
{
    QList<uint16_t> addrs;
    for (const ReadItem &item : items) {
        for (uint32_t a = item.from; a <= item.to; ++a)
            addrs << uint16_t(a);
    }
    return addrs;
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

void checkCommand(Command &cmd, CheckContext &context)
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
    case Kind::Serve:
        break;
    case Kind::Read:
    case Kind::Watch:
        cmd.reads = checkReadItems(c, cmd.args);
        break;
    case Kind::Write:
    case Kind::Expect:
        cmd.writes = checkAssignments(c, cmd.args);
        break;
    case Kind::Wait: {
        // On a line of a script the options stand among the words.
        QStringList rest;
        for (qsizetype i = 0; i < cmd.args.size(); ++i) {
            const QString &w = cmd.args.at(i);
            if (w != u"--timeout" && w != u"--interval") {
                rest << w;
                continue;
            }
            qint64 v = 0;
            if (i + 1 >= cmd.args.size() || !decimal(cmd.args.at(i + 1), MaxSleepMs, v))
                throw UsageError(QStringLiteral("wait %1: needs milliseconds from 0 to %2").arg(w).arg(MaxSleepMs));
            (w == u"--timeout" ? cmd.timeoutMs : cmd.intervalMs) = int(v);
            ++i;
        }
        if (rest.size() != 1)
            throw UsageError(QStringLiteral("wait needs %1").arg(QLatin1String(c.syntax)));
        cmd.writes = checkAssignments(c, rest);
        break;
    }
    case Kind::Test: {
        qint64 v = 0;
        if (!decimal(cmd.args.first(), 255, v) || cmd.args.first().size() > 3)
            throw UsageError(QStringLiteral("test: '%1' is not a decimal value from 0 to 255")
                                 .arg(cmd.args.first()));
        cmd.testValue = uint8_t(v);
        break;
    }
    case Kind::Sleep: {
        qint64 v = 0;
        if (!decimal(cmd.args.first(), MaxSleepMs, v))
            throw UsageError(QStringLiteral("sleep: '%1' is not a number of milliseconds from 0 to %2")
                                 .arg(cmd.args.first())
                                 .arg(MaxSleepMs));
        cmd.sleepMs = int(v);
        break;
    }
    case Kind::Apply:
        cmd.file = cmd.args.first();
        // A file that an earlier command saves is read when it is applied.
        cmd.readWhenRun = context.saved.contains(absolute(cmd.file));
        if (!cmd.readWhenRun)
            cmd.writes = readSetupWrites(cmd.file);
        break;
    case Kind::Save: {
        cmd.file = cmd.args.first();
        cmd.reads = checkReadItems(c, cmd.args.mid(1));
        if (expandItems(cmd.reads).size() > RowCount)
            throw UsageError(QStringLiteral("save %1: a setup file holds at most %2 registers")
                                 .arg(cmd.file)
                                 .arg(RowCount));
        if (const QString why = SaveRefusal(cmd.file); !why.isEmpty())
            throw UsageError(QStringLiteral("save %1: %2").arg(cmd.file.isEmpty() ? QStringLiteral("''") : cmd.file, why));
        context.saved.insert(absolute(cmd.file));
        break;
    }
    case Kind::Run:
        cmd.file = cmd.args.first();
        cmd.script = loadScript(cmd.file, context);
        break;
    case Kind::Labels: {
        cmd.file = cmd.args.first();
        QFile f(cmd.file);
        if (!f.open(QIODevice::ReadOnly))
            throw UsageError(QStringLiteral("labels %1: %2").arg(cmd.file, f.errorString()));
        cmd.table.read(f, &cmd.report);
        break;
    }
    }
}

Invocation checkInvocation(const QStringList &args)
{
    QCommandLineParser parser;
    addOptions(parser, AllOptions);
    if (!parser.parse(args.isEmpty() ? QStringList{Program} : args))
        throw UsageError(parser.errorText());

    Invocation inv;
    const QStringList words = parser.positionalArguments();
    if (parser.isSet(QStringLiteral("help"))) {
        const CommandInfo *info = nullptr;
        for (const QString &w : words) {
            if ((info = findCommand(w)))
                break;
        }
        inv.action = Invocation::Action::Help;
        inv.text = info ? commandHelp(*info, terminalWidth()) : globalHelp(terminalWidth());
        return inv;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        inv.action = Invocation::Action::Version;
        inv.text = Program + u' ' + QStringLiteral(VEK_VERSION) + u'\n';
        return inv;
    }
    inv.ports = parser.values(QStringLiteral("port"));
    if (words.isEmpty())
        throw UsageError(QStringLiteral("no command given (see vekctl --help)"));
    inv.commands = splitCommands(words);
    checkOptionOwners(parser, inv.commands);
    checkOptions(parser, inv.options);
    CheckContext context;
    context.wholeInput = inv.ports.size() > 1;
    for (Command &c : inv.commands) {
        checkCommand(c, context);
        inv.needsPort = inv.needsPort || commandNeedsPort(c);
    }
    if (inv.needsPort && inv.options.port.isEmpty())
        throw UsageError(QStringLiteral("no port given: use -p NAME ('vekctl ports' lists them)"));
    if (inv.needsPort)
        checkPorts(inv.ports);
    const bool serves = std::any_of(inv.commands.cbegin(), inv.commands.cend(),
                                    [](const Command &c) { return c.info->kind == Kind::Serve; });
    if (serves && (inv.commands.size() > 1 || inv.ports.size() > 1))
        throw UsageError(QStringLiteral("serve stands alone, with one port"));
    if (inv.needsPort && inv.ports.size() > 1)
        checkSeveralTargets(inv.commands, inv.options);
    return inv;
}

} // namespace vek::cli
