// Saving a file so that nothing but an ordinary file is ever replaced.

#include "setupfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace vek {

namespace {

#ifdef Q_OS_UNIX
// Paths that stand for open descriptors of this process rather than files.
bool descriptorPath(const QString &path)
{
    for (const char *root : {"/proc", "/dev/fd"}) {
        const QString r = QLatin1String(root);
        if (path == r || path.startsWith(r + u'/'))
            return true;
    }
    return false;
}

// Whether the path, a link on the way to its file, or the folder of either
// lies in /proc or /dev/fd: /dev/stdout and its kind name whatever the
// descriptor has open, a device or another program's log.
bool throughDescriptors(const QString &path)
{
    QString p = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    for (int hops = 0; hops < 40; ++hops) {
        const QFileInfo info(p);
        if (descriptorPath(p) || descriptorPath(info.absolutePath())
            || descriptorPath(QFileInfo(info.absolutePath()).canonicalFilePath()))
            return true;
        if (!info.isSymLink())
            return false;
        const QString target = info.symLinkTarget();
        if (target.isEmpty())
            return false;
        p = QDir::cleanPath(QDir(info.absolutePath()).absoluteFilePath(target));
    }
    return true;   // a loop of links; the open would fail anyway
}

const char *kindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISSOCK(mode))
        return "a socket";
    return "not an ordinary file";
}
#endif

// Empty when the path may be saved to, else why not. A save replaces the
// file at the path by a new one; only an ordinary file may be replaced so.
QString RefusedTarget(const QString &path)
{
#ifdef Q_OS_UNIX
    const QByteArray native = QFile::encodeName(path);
    if (throughDescriptors(path))
        return QStringLiteral("a path through /proc or /dev/fd, not a file to replace");
    struct stat st {};
    if (::stat(native.constData(), &st) != 0)
        return {};   // a new file, or one that cannot be reached: the open says why
    if (!S_ISREG(st.st_mode))
        return QStringLiteral("%1, not an ordinary file; nothing written").arg(QLatin1String(kindOf(st.st_mode)));
    const char *streams[] = {"standard input", "standard output", "standard error"};
    for (int fd = 0; fd < 3; ++fd) {
        struct stat s {};
        if (::fstat(fd, &s) == 0 && s.st_dev == st.st_dev && s.st_ino == st.st_ino)
            return QStringLiteral("the same file as %1; nothing written").arg(QLatin1String(streams[fd]));
    }
    return {};
#else
    const QFileInfo info(path);
    if (info.exists() && !info.isFile())
        return QStringLiteral("not an ordinary file; nothing written");
    return {};
#endif
}

} // namespace

bool SaveFile(const QString &path, const QByteArray &content, QString *error)
{
    auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    if (const QString why = RefusedTarget(path); !why.isEmpty())
        return fail(why);
    // The file is opened unbuffered: a short write shows in write()'s
    // result, not only in a flush that a later close would not report.
    // Empty when all was written, else the reason.
    auto writeWhole = [&content](QFileDevice &file) {
        if (file.write(content) == content.size())
            return QString();
        return file.error() == QFileDevice::NoError ? QStringLiteral("the file could not be written whole")
                                                    : file.errorString();
    };

    QSaveFile file(path);
    // A folder that lets no new file be made, while the file itself may be
    // written: the file is then written in place.
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return fail(file.errorString());
    if (const QString why = writeWhole(file); !why.isEmpty()) {
        file.cancelWriting();
        file.commit();   // discards the new file
        return fail(why);
    }
    if (file.commit()) {
        if (error)
            error->clear();
        return true;
    }
    if (file.error() != QFileDevice::RenameError)
        return fail(file.errorString());

    // The new file was written whole, but the folder does not let it take
    // the old one's place (a sticky folder and a file of another user); the
    // new file is gone again. Written in place, as the fallback above does.
    QFile direct(path);
    if (!direct.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
        return fail(file.errorString());
    if (const QString why = writeWhole(direct); !why.isEmpty())
        return fail(why);
    direct.close();
    if (direct.error() != QFileDevice::NoError)
        return fail(direct.errorString());
    if (error)
        error->clear();
    return true;
}

QString SaveRefusal(const QString &path)
{
    if (path.isEmpty())
        return QStringLiteral("the file name is empty");
    if (const QString why = RefusedTarget(path); !why.isEmpty())
        return why;
    const QFileInfo file(path);
    if (file.isDir())
        return QStringLiteral("a folder, not a file");
    const QFileInfo folder(file.absolutePath());
    if (!folder.isDir())
        return QStringLiteral("the folder %1 does not exist").arg(QDir::toNativeSeparators(folder.filePath()));
#ifdef Q_OS_UNIX
    const bool canMake = ::access(QFile::encodeName(folder.filePath()).constData(), W_OK | X_OK) == 0;
    const bool canWrite = file.exists() && ::access(QFile::encodeName(path).constData(), W_OK) == 0;
#else
    const bool canMake = folder.isWritable();
    const bool canWrite = file.exists() && file.isWritable();
#endif
    if (!canMake && !canWrite)
        return QStringLiteral("the folder %1 may not be written").arg(QDir::toNativeSeparators(folder.filePath()));
    return {};
}

} // namespace vek
