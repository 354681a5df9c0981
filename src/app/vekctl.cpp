// vekctl: the serial link to a VEK target's monitor, from the command line.

#include "vekctl.h"

#include <QCoreApplication>
#include <QTextStream>
#include <cstdio>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

// A standard descriptor that is closed at start gets /dev/null in its place
// before anything else is opened, so that no port or lock file becomes
// descriptor 1 and receives the printed lines. Output goes to a /dev/null
// opened for reading: every write to it fails and is reported, as a closed
// output was meant to be noticed, not written into nothing.
static void fillClosedStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        const int n = ::open("/dev/null", fd == 2 ? O_WRONLY : O_RDONLY);
        if (n >= 0 && n != fd) {
            ::dup2(n, fd);
            ::close(n);
        }
    }
}
#else
static void fillClosedStandardDescriptors() {}
#endif

// Whatever Qt has to say goes to standard error as vekctl's other messages
// do, after the program's name; debug output is not for users.
static void qtMessage(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type == QtDebugMsg)
        return;
    const QByteArray line = "vekctl: " + text.toLocal8Bit() + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}

int main(int argc, char *argv[])
{
    fillClosedStandardDescriptors();
    qInstallMessageHandler(qtMessage);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vekctl"));
    QTextStream out(stdout);
    QTextStream err(stderr);
    return vek::cli::runVekctl(QCoreApplication::arguments(), out, err);
}
