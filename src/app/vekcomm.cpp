// vekcomm: the window. With --demo it serves a simulated target inside the
// process, behind the serial line, as the port "demo", listed first.

#include "frmvekcom.h"
#include "heldcommand.h"
#include "interrupt.h"
#include "lineswitch.h"
#include "prompts.h"
#include "qtserialline.h"
#include "simline.h"
#include "vekversion.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>
#include <QSocketNotifier>
#include <QStyleFactory>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>

int main(int argc, char *argv[])
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Reads and writes the registers of a VEK target over its serial monitor."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption demo(QStringLiteral("demo"),
                                  QStringLiteral("Serve a simulated target as the port 'demo', listed first."));
    const QCommandLineOption port(QStringList{QStringLiteral("port")},
                                  QStringLiteral("List NAME first (after demo) and choose it: a device the platform "
                                                 "does not list, or a network port rfc2217://HOST:PORT. Repeatable."),
                                  QStringLiteral("NAME"));
    parser.addOption(demo);
    parser.addOption(port);
    // The toolkit's own options (-platform offscreen, -style fusion), which
    // the window's application object takes out of the arguments, are known
    // to this first look, so that only other options count as mistakes.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    for (const char *name : {"platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry",
                             "qwindowicon", "qwindowtitle", "display", "geometry", "style", "stylesheet",
                             "session", "reverse", "widgetcount", "nograb", "dograb", "sync"}) {
        const bool flag = !std::strcmp(name, "reverse") || !std::strcmp(name, "widgetcount")
                          || !std::strcmp(name, "nograb") || !std::strcmp(name, "dograb") || !std::strcmp(name, "sync");
        QCommandLineOption qt(QString::fromLatin1(name), QString(), flag ? QString() : QStringLiteral("value"));
        qt.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(qt);
    }

    // The window's application object cannot start without a display: the
    // toolkit then ends the process at once. Help, the version and a mistake
    // on the command line are plain text and need none; the help that
    // includes the toolkit's options asks the display-less platform for them.
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    const bool parsed = parser.parse(args);
    if (parsed && parser.isSet(QStringLiteral("help-all")))
        qputenv("QT_QPA_PLATFORM", "minimal");
    const bool textOnly = !parsed || parser.isSet(help) || parser.isSet(version);
    const std::unique_ptr<QCoreApplication> app(textOnly ? new QCoreApplication(argc, argv)
                                                         : new QApplication(argc, argv));
    // The application name is also the class of the X11 window (WM_CLASS),
    // which the desktop entry's StartupWMClass names; the desktop file name
    // ties the window to its launcher and icon on Wayland.
    QApplication::setApplicationName(QStringLiteral("vekcomm"));
    QApplication::setApplicationVersion(QStringLiteral(VEK_VERSION));
    parser.process(*app);   // answers help and version, and ends
    QGuiApplication::setDesktopFileName(QStringLiteral("org.vekcomm.VekComm"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("org.vekcomm.VekComm"),
                                                 QIcon(QStringLiteral(":/icons/org.vekcomm.VekComm.png"))));
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));

    vek::QtSerialLine platformLine;
    vek::sim::SimLine demoLine;
    vek::LineSwitch line(platformLine);
    QStringList extra;
    if (parser.isSet(demo)) {
        line.add(QLatin1String(vek::sim::DemoPortName), demoLine);
        extra << QLatin1String(vek::sim::DemoPortName);
    }
    extra << parser.values(port);

    vek::QtPrompts prompts;
    vek::WindowDeps deps;
    deps.line = &line;
    deps.prompts = &prompts;
    vek::HeldCommandFiles held;
    deps.held = &held;
    deps.extraPorts = extra;
    vek::TfrmVekComm window(deps);
    prompts.setParent(&window);
    window.show();
    // For start-up timing (vekbench): report once the window is up, then quit.
    if (qEnvironmentVariableIntValue("VEK_EXIT_AFTER_SHOW") == 1) {
        QTimer::singleShot(0, app.get(), [] {
            std::printf("vekcomm: window shown\n");
            std::fflush(stdout);
            QApplication::quit();
        });
    }
    // SIGTERM, SIGHUP and SIGINT close the window as its close button does:
    // the command under way ends, nothing more is sent, and the socket the
    // window serves its connection on is removed as the window goes. The
    // exit status tells the signal, as vekctl's does.
    std::unique_ptr<QSocketNotifier> stop;
    if (vek::interrupt::install() && vek::interrupt::wakeFd() >= 0) {
#ifdef SIGPIPE
        // A client that went away in the middle of a reply is the server's
        // business, never a reason to end.
        std::signal(SIGPIPE, SIG_IGN);
#endif
        stop = std::make_unique<QSocketNotifier>(vek::interrupt::wakeFd(), QSocketNotifier::Read);
        QObject::connect(stop.get(), &QSocketNotifier::activated, &window, [&window, &stop] {
            stop->setEnabled(false);
            window.close();
            QApplication::closeAllWindows();
            QApplication::exit(128 + vek::interrupt::pending());
        });
    }
    return QApplication::exec();
}
