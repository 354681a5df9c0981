// vekctl: the serial link to a VEK target's monitor, from the command line.

#include "vekctl.h"

#include <QCoreApplication>
#include <QTextStream>
#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vekctl"));
    QTextStream out(stdout);
    QTextStream err(stderr);
    return vek::cli::runVekctl(QCoreApplication::arguments(), out, err);
}
