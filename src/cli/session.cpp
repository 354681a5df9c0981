#include "session.h"

#include "targetsession.h"
#include "comport.h"
#include "interrupt.h"
#include "script.h"
#include "serve.h"
#include "shareclient.h"
#include "setupfile.h"
#include "textconv.h"
#include "watch.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QSerialPortInfo>
#include <QTextStream>
#include <QThread>

#include <climits>
#include <csignal>

namespace vek::cli {

namespace {

// "5C", or "5C/F0" when not every bit is compared.
QString wanted(const WriteItem &w)
{
    return w.mask == 0xFF ? HexByte(w.value) : HexByte(w.value) + u'/' + HexByte(w.mask);
}

} // namespace

namespace {

// The system's clock: a sleep watches the signal pipe.
class SystemClock final : public Clock {
public:
    SystemClock() { m_steady.start(); }
    qint64 nowMs() override { return m_steady.elapsed(); }
    qint64 wallMs() override { return QDateTime::currentMSecsSinceEpoch(); }
    bool sleepMs(qint64 ms) override { return interrupt::sleepMs(int(qMin<qint64>(ms, INT_MAX))); }

private:
    QElapsedTimer m_steady;
};

} // namespace

Clock &Clock::system()
{
    static SystemClock clock;
    return clock;
}

void CliHost::showMessage(const QString &text)
{
    QString t = text;
    while (t.endsWith(u'\n'))
        t.chop(1);
    if (m_capture)
        *m_capture << t;
    else if (m_collapse)
        m_round << t;
    else
        print(t);
}

void CliHost::sleepMs(int ms) { m_clock.sleepMs(ms); }

bool CliHost::stopAsked() { return interrupt::pending() != 0; }

void CliHost::sayNow(const QString &text)
{
    flushRepeats();
    print(text);
}

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

bool Session::take(const Result &r)
{
    for (const QString &m : r.messages)
        warn(m);
    if (!r.ok())
        m_failStatus = r.status == StatusLineLost ? 4 : 1;
    return r.ok();
}

int Session::run(const Command &cmd)
{
    bool ok = true;
    m_failStatus = 1;
    switch (cmd.info->kind) {
    case Kind::Ports:
        ports();
        break;
    case Kind::Version:
        if (!(ok = target->identified()))
            m_host.showMessage(QStringLiteral("No identification from target"));
        else
            result(target->identification());
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
        if ((ok = take(target->test(cmd.testValue))))
            info(u'T' + HexByte(cmd.testValue));
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
        m_host.clock().sleepMs(cmd.sleepMs);
        break;
    case Kind::Run:
        return runHeld(cmd);
    case Kind::Serve:
        return runServe(*this, cmd);
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

int Session::runHeld(const Command &cmd)
{
    auto *shared = dynamic_cast<SharedTarget *>(target);
    if (!m_opt.exclusive || !shared)
        return runScript(*this, cmd);
    const QJsonObject locked = shared->request({{QStringLiteral("cmd"), QStringLiteral("lock")},
                                                {QStringLiteral("ms"), ExclusiveMs}});
    if (!locked.value(QStringLiteral("ok")).toBool()) {
        if (const int sig = interrupt::pending())
            return 128 + sig;
        warn(QStringLiteral("run --exclusive: the connection could not be held"));
        return 1;
    }
    const int status = runScript(*this, cmd);
    if (shared->socket().state() == QLocalSocket::ConnectedState)
        shared->request({{QStringLiteral("cmd"), QStringLiteral("unlock")}});
    return status;
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
    // A file says why; so does the stream of several targets' lines, in its
    // error string.
    const QIODevice *device = m_out.device();
    const auto *file = qobject_cast<const QFileDevice *>(device);
    const QString why = file ? (file->error() != QFileDevice::NoError ? file->errorString() : QString())
                             : device ? device->errorString() : QString();
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
    const Result r = target->read(addr);
    if (take(r)) {
        value = r.value();
        return true;
    }
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
            // What was read before is still worth showing, marked as cut
            // short so that it is not taken for a whole line.
            result(line + QStringLiteral(" --"));
            return false;
        }
        line += u' ' + HexByte(v);
    }
    result(line);
    return true;
}

bool Session::write(const WriteItem &w)
{
    if (!take(target->write(w.addr, w.value)))
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
    Clock &clock = m_host.clock();
    const qint64 started = clock.nowMs();
    for (;;) {
        uint8_t got = 0;
        if (!readValue(w.addr, got, cmd.where))
            return false;
        if ((got & w.mask) == (w.value & w.mask))
            return true;
        const qint64 left = timeoutMs - (clock.nowMs() - started);
        if (left <= 0) {
            warn(cmd.where + QStringLiteral("wait %1: want %2, last %3 after %4 ms")
                                 .arg(AddrDisplay(w.addr), wanted(w), HexByte(got))
                                 .arg(timeoutMs));
            return false;
        }
        if (!clock.sleepMs(qMin<qint64>(left, intervalMs)))
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
