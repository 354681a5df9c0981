#include "commands.h"

#include "comport.h"
#include "host.h"
#include "interrupt.h"
#include "linewatch.h"
#include "script.h"
#include "setupfile.h"
#include "textconv.h"
#include "watch.h"

#include <QFile>
#include <QFileInfo>
#include <QElapsedTimer>
#include <QHash>
#include <QSerialPortInfo>
#include <QTextStream>
#include <QThread>

#include <csignal>

namespace vek::cli {

const QString Program = QStringLiteral("vekctl");

namespace {

constexpr int MaxSleepMs = 3600000;

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

// "5C", or "5C/F0" when not every bit is compared.
QString wanted(const WriteItem &w)
{
    return w.mask == 0xFF ? HexByte(w.value) : HexByte(w.value) + u'/' + HexByte(w.mask);
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

// Reads a setup file whole; throws UsageError with its reason.
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

QString absolute(const QString &path) { return QFileInfo(path).absoluteFilePath(); }

} // namespace

std::span<const CommandInfo> commandTable() { return Commands; }

const CommandInfo *findCommand(const QString &word)
{
    for (const auto &c : Commands) {
        if (word == QLatin1String(c.name))
            return &c;
    }
    return nullptr;
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

void CliHost::showMessage(const QString &text)
{
    QString t = text;
    while (t.endsWith(u'\n'))
        t.chop(1);
    if (m_collapse)
        m_round << t;
    else
        print(t);
}

void CliHost::sleepMs(int ms) { QThread::msleep(ulong(ms)); }

void CliHost::print(const QString &text)
{
    m_err << Program << ": " << text << '\n';
    m_err.flush();
}

void CliHost::flushRepeats()
{
    if (m_repeats > 0)
        print(QStringLiteral("the same again in %1 more round%2").arg(m_repeats).arg(m_repeats > 1 ? "s" : ""));
    m_repeats = 0;
}

void CliHost::collapse(bool on)
{
    endRound();
    flushRepeats();
    m_last.clear();
    m_collapse = on;
}

void CliHost::endRound()
{
    if (!m_round.isEmpty() && m_round == m_last) {
        ++m_repeats;
    } else {
        flushRepeats();
        for (const QString &t : std::as_const(m_round))
            print(t);
        m_last = m_round;
    }
    m_round.clear();
}

Session::Session(const Options &options, QTextStream &out, QTextStream &err, CliHost &host)
    : m_opt(options), m_out(out), m_err(err), m_host(host)
{
}

void Session::startCommand()
{
    if (lineWatch)
        lineWatch->startCommand();
}

int Session::failStatus() const { return lineWatch && lineWatch->lost() ? 4 : 1; }

int Session::run(const Command &cmd)
{
    bool ok = true;
    startCommand();
    switch (cmd.info->kind) {
    case Kind::Ports:
        ports();
        break;
    case Kind::Version:
        if (!versionOk)
            m_host.showMessage(QStringLiteral("No identification from target"));
        else
            result(QString::fromLatin1(link->VerText));
        ok = versionOk;
        break;
    case Kind::Read:
        ok = readItems(cmd);
        break;
    case Kind::Write:
        ok = writeAll(cmd.writes, cmd.where);
        break;
    case Kind::Apply:
        ok = apply(cmd);
        break;
    case Kind::Test: {
        const QByteArray line = "T" + HexByte(cmd.testValue).toLatin1();
        if ((ok = link->SendCommand(line + char(Link::CR))))
            info(QString::fromLatin1(line));
        else
            warn(cmd.where + QStringLiteral("test %1 failed").arg(cmd.testValue));
        break;
    }
    case Kind::Save:
        ok = save(cmd);
        break;
    case Kind::Expect:
        ok = expect(cmd);
        break;
    case Kind::Wait:
        ok = wait(cmd);
        break;
    case Kind::Sleep:
        interrupt::sleepMs(cmd.sleepMs);
        break;
    case Kind::Run:
        return runScript(*this, cmd);
    case Kind::Watch:
        return runWatch(*this, cmd);
    case Kind::Labels:
        labels(cmd);
        break;
    }
    if (const int sig = interrupt::pending())
        return 128 + sig;
    if (!ok)
        return failStatus();
    return m_outputFailed ? 1 : 0;
}

void Session::result(const QString &line)
{
    if (m_outputFailed)
        return;
    m_out << line << '\n';
    m_out.flush();
    if (m_out.status() == QTextStream::Ok)
        return;
    // A reader that went away is told by SIGPIPE (exit status 141).
    m_outputFailed = true;
    if (interrupt::pending() == SIGPIPE)
        return;
    const auto *file = qobject_cast<const QFileDevice *>(m_out.device());
    const QString why = file && file->error() != QFileDevice::NoError ? file->errorString() : QString();
    warn(QStringLiteral("standard output: ") + (why.isEmpty() ? QStringLiteral("could not be written") : why));
}

void Session::info(const QString &line)
{
    if (!m_opt.quiet)
        result(line);
}

void Session::warn(const QString &line) { m_host.showMessage(line); }

void Session::prompt(const QString &text)
{
    m_err << text;
    m_err.flush();
}

bool Session::readValue(uint16_t addr, uint8_t &value, const QString &where)
{
    if (link->ReadRegister(addr, value))
        return true;
    warn(where + QStringLiteral("read %1 failed").arg(AddrDisplay(addr)));
    return false;
}

bool Session::readItems(const Command &cmd)
{
    for (const ReadItem &item : cmd.reads) {
        if (interrupt::pending() || m_outputFailed)
            return false;
        if (item.range) {
            if (!readRange(item, cmd.where))
                return false;
            continue;
        }
        uint8_t v = 0;
        if (!readValue(item.from, v, cmd.where))
            return false;
        result(AddrDisplay(item.from) + u' ' + HexByte(v));
    }
    return true;
}

bool Session::readRange(const ReadItem &item, const QString &where)
{
    QString line;
    for (uint32_t a = item.from; a <= item.to; ++a) {
        if ((a - item.from) % 16 == 0) {
            if (!line.isEmpty())
                result(line);
            line = AddrDisplay(a) + u':';
        }
        uint8_t v = 0;
        // A signal ends the range after the register under way.
        if (interrupt::pending() || m_outputFailed || !readValue(uint16_t(a), v, where)) {
            // What was read before is still worth showing.
            if (line.size() > 4)
                result(line);
            return false;
        }
        line += u' ' + HexByte(v);
    }
    result(line);
    return true;
}

bool Session::write(const WriteItem &w)
{
    if (!link->WriteRegister(w.addr, w.value))
        return false;
    info(u'A' + AddrDisplay(w.addr) + u'=' + HexByte(w.value));
    return true;
}

bool Session::writeAll(const QList<WriteItem> &writes, const QString &where)
{
    for (const WriteItem &w : writes) {
        if (interrupt::pending())
            return false;
        if (!write(w)) {
            warn(where + QStringLiteral("write %1=%2 failed").arg(AddrDisplay(w.addr), HexByte(w.value)));
            return false;
        }
    }
    return true;
}

bool Session::apply(const Command &cmd)
{
    if (!cmd.readWhenRun)
        return writeAll(cmd.writes, cmd.where);
    QList<WriteItem> writes;
    try {
        writes = readSetupWrites(cmd.file);
    } catch (const UsageError &e) {
        warn(cmd.where + e.message);
        return false;
    }
    return writeAll(writes, cmd.where);
}

bool Session::expect(const Command &cmd)
{
    for (const WriteItem &w : cmd.writes) {
        uint8_t got = 0;
        if (interrupt::pending() || !readValue(w.addr, got, cmd.where))
            return false;
        if ((got & w.mask) != (w.value & w.mask)) {
            warn(cmd.where + QStringLiteral("expect %1: want %2, got %3")
                                 .arg(AddrDisplay(w.addr), wanted(w), HexByte(got)));
            return false;
        }
    }
    return true;
}

bool Session::wait(const Command &cmd)
{
    const WriteItem &w = cmd.writes.first();
    const int timeoutMs = cmd.timeoutMs >= 0 ? cmd.timeoutMs : m_opt.timeoutMs;
    const int intervalMs = cmd.intervalMs >= 0 ? cmd.intervalMs : m_opt.intervalMs;
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        uint8_t got = 0;
        if (!readValue(w.addr, got, cmd.where))
            return false;
        if ((got & w.mask) == (w.value & w.mask))
            return true;
        const qint64 left = timeoutMs - clock.elapsed();
        if (left <= 0) {
            warn(cmd.where + QStringLiteral("wait %1: want %2, last %3 after %4 ms")
                                 .arg(AddrDisplay(w.addr), wanted(w), HexByte(got))
                                 .arg(timeoutMs));
            return false;
        }
        if (!interrupt::sleepMs(int(qMin<qint64>(left, intervalMs))))
            return false;
    }
}

bool Session::save(const Command &cmd)
{
    const QList<uint16_t> addrs = expandItems(cmd.reads);
    std::array<SetupRow, RowCount> rows{};
    std::array<QString, RowCount> labels{};
    const RegisterTable &table = m_opt.labels;
    for (qsizetype i = 0; i < addrs.size() && i < RowCount; ++i) {
        rows[i].addr = addrs[i];
        if (interrupt::pending() || !readValue(addrs[i], rows[i].value, cmd.where))
            return false;
        // As the window names a row when its address is entered: the first
        // name in table order whose address text is the row's address.
        if (!table.isEmpty()) {
            const qsizetype at = table.find(AddrDisplay(addrs[i]).toLatin1());
            labels[i] = at >= 0 ? NameText(table.name(at)) : QString();
        }
    }
    QString error;
    if (!SaveFile(cmd.file, FormatSetup(rows, labels), &error)) {
        warn(cmd.where + QStringLiteral("save %1: %2").arg(cmd.file, error));
        return false;
    }
    return true;
}

void Session::ports()
{
    if (!m_opt.quiet)
        warn(QStringLiteral("ports on other machines: -p rfc2217://HOST:PORT (an RFC 2217 server such as ser2net)"));
    const QStringList names = Link::PortNames();
    if (!m_opt.verbose) {
        for (const QString &name : names)
            result(name);
        return;
    }
    QHash<QString, QSerialPortInfo> known;
    for (const QSerialPortInfo &p : QSerialPortInfo::availablePorts())
        known.insert(p.portName(), p);
    const auto id = [](bool has, quint16 v) {
        return has ? QStringLiteral("%1").arg(v, 4, 16, QLatin1Char('0')) : QString();
    };
    // Tabs and line ends inside a field would shift the columns.
    const auto field = [](QString s) {
        return s.replace(u'\t', u' ').replace(u'\n', u' ').replace(u'\r', u' ');
    };
    for (const QString &name : names) {
        const QSerialPortInfo p = known.value(name);
        result(QStringList{name, field(p.description()), field(p.manufacturer()), field(p.serialNumber()),
                           id(p.hasVendorIdentifier(), p.vendorIdentifier()),
                           id(p.hasProductIdentifier(), p.productIdentifier())}
                   .join(u'\t'));
    }
}

void Session::labels(const Command &cmd)
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

} // namespace vek::cli
