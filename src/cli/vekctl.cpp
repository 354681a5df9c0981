#include "vekctl.h"

#include "check.h"
#include "comport.h"
#include "heldcommand.h"
#include "interrupt.h"
#include "multi.h"
#include "netline.h"
#include "qtserialline.h"
#include "session.h"
#include "shareclient.h"
#include "shareserver.h"
#include "targetsession.h"
#include "simline.h"

#include <QFileInfo>
#include <QTextStream>

#include <memory>

namespace vek::cli {

namespace {

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

int connectTarget(const Options &opt, CliHost &host, vek::Session &target)
{
    Result r = target.connect(opt.port, opt.baud, opt.cal, opt.targetReset);
    if (const int sig = interrupt::pending(); sig && !r.ok())
        return 128 + sig;
    if (!r.held.isEmpty())
        r.messages.last() += QStringLiteral(": reset the target, then run again with --target-reset");
    for (const QString &m : r.messages)
        host.showMessage(m);
    return r.status;
}

Reconnected reconnectTarget(const Options &opt, vek::Session &target, QString &why)
{
    target.close();
    // --target-reset spoke of the target before the run, not of a command
    // cut since.
    const Result r = target.connect(opt.port, opt.baud, opt.cal, false);
    // The last word says most: "cannot open ..." or "... is not responding".
    why = r.messages.isEmpty() ? QString() : r.messages.last();
    if (!r.held.isEmpty())
        why += QStringLiteral(": reset the target, then run again with --target-reset");
    return r.ok() ? Reconnected::Yes : r.held.isEmpty() ? Reconnected::NotYet : Reconnected::Never;
}

namespace {

// Connects when a command needs the port, runs the commands in order until
// one fails, closes the port. The exit status.
int runTarget(const Options &opt, const QList<Command> &cmds, bool needsPort, QTextStream &out,
              QTextStream &err)
{
    CliHost host(err);
    Session session(opt, out, err, host);
    HeldCommandFiles held;
    std::unique_ptr<SerialLine> line;
    std::unique_ptr<vek::Session> target;
    std::unique_ptr<SharedTarget> shared;
    int status = ExitOk;
    const bool serves = !cmds.isEmpty() && cmds.first().info->kind == Kind::Serve;
    if (needsPort && !opt.noShare && !serves && QFileInfo::exists(share::socketPath(opt.port))) {
        // Another process holds the connection and serves it: join it.
        shared = std::make_unique<SharedTarget>();
        shared->setStopCheck([] { return interrupt::pending() != 0; });
        QString why;
        if (shared->connect(opt.port, &why)) {
            session.target = shared.get();
            if (opt.verbose)
                host.showMessage(opt.port + QStringLiteral(" is served by another program: using its connection"));
        } else if (shared->socket().error() != QLocalSocket::ConnectionRefusedError) {
            host.showMessage(QStringLiteral("%1 is served by another program, which refused: %2").arg(opt.port, why));
            return ExitNoConnection;
        } else {
            shared.reset();   // a socket left by a server that has ended
        }
    }
    if (needsPort && !shared) {
        line = lineFor(opt.port);
        // A signal ends the waits of opening (a network server's answer).
        line->setWaitCheck([] { return interrupt::pending() == 0; });
        target = std::make_unique<vek::Session>(*line, host);
        target->setHeldCommands(&held);
        session.target = target.get();
        status = connectTarget(opt, host, *target);
        session.reopen = [&](QString &why) { return reconnectTarget(opt, *target, why); };
        if (status == ExitOk && interrupt::pending())
            status = 128 + interrupt::pending();
    }

    if (status == ExitOk) {
        for (const Command &c : cmds) {
            if ((status = session.run(c)) != ExitOk)
                break;
        }
    }

    if (target && target->isOpen()) {
        const Result r = target->close();
        for (const QString &m : r.messages)
            host.showMessage(m);
        if (!r.ok() && status == ExitOk)
            status = ExitTargetFailed;
    }
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
