// vekcomm: the window. With --demo it serves a simulated target on a
// pseudo-terminal of its own and lists that first.

#include "comport.h"
#include "frmvekcom.h"
#include "prompts.h"
#include "ptytarget.h"
#include "qtserialline.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QStyleFactory>
#include <QTimer>
#include <cstdio>
#include <memory>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("vekcomm"));
    QApplication::setApplicationVersion(QStringLiteral("2.1.0.1"));
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Reads and writes the registers of a VEK target over its serial monitor."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption demo(QStringLiteral("demo"),
                                  QStringLiteral("Serve a simulated target on a pseudo-terminal and list it first."));
    const QCommandLineOption port(QStringList{QStringLiteral("port")},
                                  QStringLiteral("List NAME (a device the platform does not list) first; repeatable."),
                                  QStringLiteral("NAME"));
    parser.addOption(demo);
    parser.addOption(port);
    parser.process(app);

    std::unique_ptr<vek::sim::PtyTarget> target;
    QStringList extra;
    if (parser.isSet(demo)) {
        vek::sim::TargetOptions options;
        options.registers[0x006] = 0x3F;
        options.registers[0x010] = 0xA5;
        target = std::make_unique<vek::sim::PtyTarget>(options);
        QString error;
        if (!target->start(&error)) {
            std::fprintf(stderr, "vekcomm: cannot start the simulated target: %s\n", qPrintable(error));
            return 1;
        }
        extra << target->devicePath();
    }
    extra << parser.values(port);

    vek::QtSerialLine line;
    vek::QtPrompts prompts;
    vek::WindowDeps deps;
    deps.line = &line;
    deps.prompts = &prompts;
    deps.extraPorts = extra;
    vek::TfrmVekComm window(deps);
    prompts.setParent(&window);
    window.show();
    // For start-up timing (vekbench): report once the window is up, then quit.
    if (qEnvironmentVariableIntValue("VEK_EXIT_AFTER_SHOW") == 1) {
        QTimer::singleShot(0, &app, [] {
            std::printf("vekcomm: window shown\n");
            std::fflush(stdout);
            QApplication::quit();
        });
    }
    const int rc = QApplication::exec();
    if (target)
        target->stop();
    return rc;
}
