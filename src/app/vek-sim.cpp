// vek-sim: a simulated VEK target on a pseudo-terminal. Prints the device
// path to open and serves until SIGINT or SIGTERM.

#include "interrupt.h"
#include "ptytarget.h"
#include "simoptions.h"
#include "vekversion.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <cstdio>

int main(int argc, char *argv[])
{
    // Caught from the start, so that an early signal still ends us cleanly.
    if (!vek::interrupt::install()) {
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
    vek::sim::addSimOptions(parser);
    parser.process(app);

    auto die = [](const QString &message) {
        std::fprintf(stderr, "vek-sim: %s\n", qPrintable(message));
        return 2;
    };
    vek::sim::SimSettings settings;
    QString error;
    if (!vek::sim::readSimOptions(parser, settings, error))
        return die(error);

    vek::sim::PtyTarget target(settings.target, settings.pacing);
    if (!target.start(&error))
        return die(error);
    std::printf("%s\n", qPrintable(target.devicePath()));
    std::fflush(stdout);

    // A signal noted before the loop runs is still in the pipe.
    QSocketNotifier stop(vek::interrupt::wakeFd(), QSocketNotifier::Read);
    QObject::connect(&stop, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    const int rc = app.exec();
    target.stop();
    return rc;
}
