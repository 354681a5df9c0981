#include "vekctl.h"

#include "check.h"
#include "comport.h"
#include "interrupt.h"
#include "linewatch.h"
#include "multi.h"
#include "netline.h"
#include "qtserialline.h"
#include "session.h"
#include "simline.h"

#include <QTextStream>

#include <memory>

namespace vek::cli {

namespace {

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
        // Unless the reason names the program already.
        if (!f.text.endsWith(QLatin1String("has it open")))
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

} // namespace

int connectTarget(const Options &opt, CliHost &host, Link &link, LineWatch &watched, bool &versionOk)
{
    link.BaudRate = opt.baud;
    link.CalChar = opt.cal;
    watched.startCommand();
    const auto opened = link.OpenLine(opt.port);
    if (opened == SerialLine::OpenResult::CannotOpen) {
        host.showMessage(openFailureText(opt.port, link.line().openFailure()));
        return ExitNoConnection;
    }
    if (opened != SerialLine::OpenResult::Ok || !link.ConnectionSequence()) {
        link.ClosePort();
        host.showMessage(opt.port + QStringLiteral(" is not responding"));
        return ExitNoConnection;
    }
    versionOk = link.GetVersion();
    watched.echoes = link.DoubleEcho ? 2 : 1;
    return ExitOk;
}

bool reconnectTarget(const Options &opt, CliHost &host, Link &link, LineWatch &watched, bool &versionOk,
                     QString &why)
{
    QStringList said;
    host.capture(&said);
    link.ClosePort();
    const bool ok = connectTarget(opt, host, link, watched, versionOk) == ExitOk;
    host.capture(nullptr);
    // The last word says most: "cannot open ..." or "... is not responding".
    why = said.isEmpty() ? QString() : said.last();
    return ok;
}

namespace {

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
        status = connectTarget(opt, host, *link, *watched, session.versionOk);
        session.reopen = [&](QString &why) {
            return reconnectTarget(opt, host, *link, *watched, session.versionOk, why);
        };
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
    Invocation inv;
    try {
        inv = checkInvocation(args);
    } catch (const UsageError &e) {
        err << Program << ": " << e.message << '\n';
        err.flush();
        return ExitUsage;
    }
    if (inv.action != Invocation::Action::Run) {
        out << inv.text;
        out.flush();
        return ExitOk;
    }
    const Options &opt = inv.options;
    const QList<Command> &cmds = inv.commands;
    if (!inv.needsPort)
        return runTarget(opt, cmds, false, out, err);
    // From here on a signal ends the run between two commands, with the
    // port closed.
    interrupt::install();
    const int status = inv.ports.size() > 1
        ? runOnEach(inv.ports, opt,
                    [&cmds](const Options &target, QTextStream &targetOut, QTextStream &targetErr) {
                        return runTarget(target, cmds, true, targetOut, targetErr);
                    },
                    out, err)
        : runTarget(opt, cmds, true, out, err);
    interrupt::restore();
    return status;
}

} // namespace vek::cli
