#include "simoptions.h"

#include <QCommandLineParser>

namespace vek::sim {

namespace {

bool parseHexNumber(const QString &text, unsigned max, unsigned &value)
{
    bool ok = false;
    const uint v = text.toUInt(&ok, 16);
    if (!ok || v > max)
        return false;
    value = v;
    return true;
}

// NAME[:N] with N the count of received bytes before the fault (or the
// length of a long reply).
bool parseFault(const QString &text, TargetOptions &opt, QString &error)
{
    const QString name = text.section(QLatin1Char(':'), 0, 0).toLower();
    const QString arg = text.section(QLatin1Char(':'), 1);
    int n = 0;
    if (!arg.isEmpty()) {
        bool ok = false;
        n = arg.toInt(&ok);
        if (!ok || n < 0) {
            error = QStringLiteral("bad count in --fault %1").arg(text);
            return false;
        }
    }
    static const struct {
        const char *name;
        Fault fault;
    } names[] = {
        {"no-echo", Fault::NoEcho},       {"wrong-echo", Fault::WrongEcho},
        {"silent", Fault::Silent},        {"hang-up", Fault::HangUp},
        {"no-prompt", Fault::NoPrompt},   {"garbage", Fault::Garbage},
        {"long-reply", Fault::LongReply}, {"long-reply-no-prompt", Fault::LongReply},
    };
    for (const auto &entry : names) {
        if (name != QLatin1String(entry.name))
            continue;
        opt.fault = entry.fault;
        if (entry.fault == Fault::LongReply) {
            if (!arg.isEmpty())
                opt.longReplyBytes = n;
            opt.longReplyPrompt = name == QLatin1String("long-reply");
        } else {
            opt.faultAfter = n;
        }
        return true;
    }
    error = QStringLiteral("unknown fault %1").arg(name);
    return false;
}

} // namespace

void addSimOptions(QCommandLineParser &p)
{
    p.addOptions({
        {QStringLiteral("double-echo"), QStringLiteral("Answer every byte with two echoes.")},
        {QStringLiteral("ident"), QStringLiteral("Identification text."), QStringLiteral("TEXT")},
        {QStringLiteral("baud"), QStringLiteral("Pace bytes at this bit rate (0: unpaced)."), QStringLiteral("N"),
         QStringLiteral("0")},
        {QStringLiteral("reg"), QStringLiteral("Initial register value, hex (repeatable)."), QStringLiteral("ADDR=VAL")},
        {QStringLiteral("cr-in-replies"), QStringLiteral("Put a CR after every reply character.")},
        {QStringLiteral("fault"),
         QStringLiteral("Fault: no-echo, wrong-echo, silent, hang-up, no-prompt, garbage "
                        "(N: received bytes before it starts), long-reply, "
                        "long-reply-no-prompt (N: reply length)."),
         QStringLiteral("NAME[:N]")},
        {QStringLiteral("moving"), QStringLiteral("Let TMR0 (001) count every 10 ms and ADRESH (01E) follow a "
                                                  "20 s wave, as the demo port does.")},
    });
}

bool readSimOptions(const QCommandLineParser &p, SimSettings &settings, QString &error)
{
    TargetOptions &opt = settings.target;
    opt.doubleEcho = p.isSet(QStringLiteral("double-echo"));
    opt.crInReplies = p.isSet(QStringLiteral("cr-in-replies"));
    opt.moving = p.isSet(QStringLiteral("moving"));
    if (p.isSet(QStringLiteral("ident")))
        opt.ident = p.value(QStringLiteral("ident")).toLocal8Bit();
    for (const QString &r : p.values(QStringLiteral("reg"))) {
        unsigned addr = 0, value = 0;
        const QStringList parts = r.split(QLatin1Char('='));
        if (parts.size() != 2 || !parseHexNumber(parts[0], 0xFFF, addr) || !parseHexNumber(parts[1], 0xFF, value)) {
            error = QStringLiteral("bad --reg %1 (want ADDR=VAL in hex, ADDR up to FFF)").arg(r);
            return false;
        }
        opt.registers[addr] = uint8_t(value);
    }
    if (p.isSet(QStringLiteral("fault")) && !parseFault(p.value(QStringLiteral("fault")), opt, error))
        return false;
    bool ok = false;
    const QString baud = p.value(QStringLiteral("baud"));
    settings.pacing = baud.toInt(&ok);
    if (!ok || settings.pacing < 0) {
        error = QStringLiteral("bad --baud %1").arg(baud);
        return false;
    }
    return true;
}

} // namespace vek::sim
