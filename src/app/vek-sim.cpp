// vek-sim: a simulated VEK target on a pseudo-terminal. Prints the device
// path to open and serves until SIGINT or SIGTERM.

#include "ptytarget.h"
#include "stopsignals.h"
#include "vekversion.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

using vek::sim::Fault;
using vek::sim::PtyTarget;
using vek::sim::TargetOptions;

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

int main(int argc, char *argv[])
{
    // Caught from the start, so that an early signal still ends us cleanly.
    if (!vek::catchStopSignals()) {
        std::perror("vek-sim: pipe");
        return 2;
    }

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vek-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VEK_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Simulated VEK target monitor on a pseudo-terminal.\n"
        "Prints the device path to open, then serves until SIGINT or SIGTERM."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption doubleEcho(QStringLiteral("double-echo"),
                                        QStringLiteral("Answer every byte with two echoes."));
    const QCommandLineOption ident(QStringLiteral("ident"),
                                   QStringLiteral("Identification text."), QStringLiteral("TEXT"));
    const QCommandLineOption baud(QStringLiteral("baud"),
                                  QStringLiteral("Pace bytes at this bit rate (0: unpaced)."),
                                  QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption reg(QStringLiteral("reg"),
                                 QStringLiteral("Initial register value, hex (repeatable)."),
                                 QStringLiteral("ADDR=VAL"));
    const QCommandLineOption crInReplies(QStringLiteral("cr-in-replies"),
                                         QStringLiteral("Put a CR after every reply character."));
    const QCommandLineOption fault(
        QStringLiteral("fault"),
        QStringLiteral("Fault: no-echo, wrong-echo, silent, hang-up, no-prompt, garbage "
                       "(N: received bytes before it starts), long-reply, "
                       "long-reply-no-prompt (N: reply length)."),
        QStringLiteral("NAME[:N]"));
    const QCommandLineOption moving(QStringLiteral("moving"),
                                    QStringLiteral("Let TMR0 (001) count every 10 ms and ADRESH (01E) follow a "
                                                   "20 s wave, as the demo port does."));
    parser.addOptions({doubleEcho, ident, baud, reg, crInReplies, fault, moving});
    parser.process(app);

    auto die = [](const QString &message) {
        std::fprintf(stderr, "vek-sim: %s\n", qPrintable(message));
        return 2;
    };

    TargetOptions opt;
    opt.doubleEcho = parser.isSet(doubleEcho);
    opt.crInReplies = parser.isSet(crInReplies);
    opt.moving = parser.isSet(moving);
    if (parser.isSet(ident))
        opt.ident = parser.value(ident).toLocal8Bit();
    for (const QString &r : parser.values(reg)) {
        unsigned addr = 0, value = 0;
        const QStringList parts = r.split(QLatin1Char('='));
        if (parts.size() != 2 || !parseHexNumber(parts[0], 0xFFF, addr)
            || !parseHexNumber(parts[1], 0xFF, value))
            return die(QStringLiteral("bad --reg %1 (want ADDR=VAL in hex, ADDR up to FFF)").arg(r));
        opt.registers[addr] = uint8_t(value);
    }
    if (parser.isSet(fault)) {
        QString error;
        if (!parseFault(parser.value(fault), opt, error))
            return die(error);
    }
    bool ok = false;
    const int pacing = parser.value(baud).toInt(&ok);
    if (!ok || pacing < 0)
        return die(QStringLiteral("bad --baud %1").arg(parser.value(baud)));

    PtyTarget target(opt, pacing);
    QString error;
    if (!target.start(&error))
        return die(error);
    std::printf("%s\n", qPrintable(target.devicePath()));
    std::fflush(stdout);

    vek::quitOnStopSignals(app);
    const int rc = app.exec();
    target.stop();
    return rc;
}
