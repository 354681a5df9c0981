#include "serve.h"

#include "interrupt.h"
#include "session.h"
#include "shareserver.h"

#include <QEventLoop>
#include <QSocketNotifier>

#ifdef Q_OS_UNIX
#include <csignal>
#endif

namespace vek::cli {

int runServe(Session &session, const Command &)
{
    const Options &opt = session.options();
    ShareServer server(*session.target);
    QString why;
    if (!server.listen(opt.port, &why)) {
        session.warn(why);
        return 3;
    }
    if (!opt.quiet) {
        session.warn(QStringLiteral("serving %1 at %2 until SIGINT, SIGTERM or SIGHUP")
                         .arg(opt.port, server.socketPath()));
    }
#ifdef Q_OS_UNIX
    // A client that goes away while its reply is written must not end the
    // serving.
    struct sigaction ignore {}, old {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &old);
#endif
    if (!interrupt::pending()) {
        QEventLoop loop;
        QSocketNotifier stop(interrupt::wakeFd(), QSocketNotifier::Read);
        QObject::connect(&stop, &QSocketNotifier::activated, &loop, &QEventLoop::quit);
        loop.exec();
    }
    server.close();
#ifdef Q_OS_UNIX
    sigaction(SIGPIPE, &old, nullptr);
#endif
    return 128 + interrupt::pending();
}

} // namespace vek::cli
