#include "heldcommand.h"

#include "netline.h"
#include "qtserialline.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cctype>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace vek {

namespace {

constexpr qsizetype MaxFileSize = 1024;
constexpr qsizetype MaxPartial = 64;   // far beyond the longest command line

// The name the record is kept under: the network address, or the device's
// path with every spelling of it resolved.
QString keyOf(const QString &port)
{
    if (NetLine::isNetName(port)) {
        const auto a = NetLine::parseName(port);
        return a ? QStringLiteral("rfc2217://%1:%2").arg(a->host.toLower()).arg(a->port) : QString();
    }
    return port.isEmpty() ? QString() : QtSerialLine::devicePath(port);
}

bool isHexText(const QByteArray &text)
{
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    }
    return text.size() % 2 == 0;
}

} // namespace

QString HeldCommandFiles::defaultFolder()
{
    for (const QString &dir : {QStringLiteral("/run/lock"), qEnvironmentVariable("XDG_RUNTIME_DIR")}) {
        const QFileInfo info(dir);
        if (!dir.isEmpty() && info.isDir() && info.isWritable())
            return dir;
    }
    return QDir::tempPath();
}

QString HeldCommandFiles::identity(const QString &port)
{
    const QString key = keyOf(port);
    if (key.isEmpty())
        return {};
    if (NetLine::isNetName(port))
        return QStringLiteral("net ") + key;
#ifdef Q_OS_UNIX
    struct stat st {};
    if (::stat(QFile::encodeName(key).constData(), &st) != 0 || !S_ISCHR(st.st_mode))
        return {};
    // A node made anew (a pseudo-terminal opened again, an adapter plugged
    // in) has a new creation time even where its number is reused.
#ifdef Q_OS_LINUX
    const qint64 nanoseconds = st.st_ctim.tv_nsec;
#else
    const qint64 nanoseconds = 0;
#endif
    return QStringLiteral("dev %1 %2 %3.%4")
        .arg(key)
        .arg(quint64(st.st_rdev))
        .arg(qint64(st.st_ctime))
        .arg(nanoseconds, 9, 10, QLatin1Char('0'));
#else
    return QFileInfo(key).exists() ? QStringLiteral("dev ") + key : QString();
#endif
}

QString HeldCommandFiles::fileOf(const QString &port) const
{
    QString key = keyOf(port);
    if (key.isEmpty())
        return {};
    if (key.startsWith(QLatin1String("/dev/")))
        key.remove(0, 5);
    for (QChar &c : key) {
        if (!c.isLetterOrNumber() && c != u'.' && c != u'-')
            c = u'_';
    }
    return m_folder + QStringLiteral("/VEKHELD..") + key;
}

QByteArray HeldCommandFiles::find(const QString &port)
{
    const QString path = fileOf(port);
    if (path.isEmpty() || QFileInfo(path).isSymLink())
        return {};
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QList<QByteArray> lines = f.read(MaxFileSize).split('\n');
    f.close();
    const QString id = identity(port);
    if (lines.size() < 2 || id.isEmpty() || QString::fromUtf8(lines[0]) != id) {
        // Left for a device that is no longer there under this name.
        QFile::remove(path);
        return {};
    }
    const QByteArray hex = lines[1].trimmed();
    if (!isHexText(hex) || hex.isEmpty() || hex.size() > 2 * MaxPartial)
        return {};
    return QByteArray::fromHex(hex);
}

void HeldCommandFiles::note(const QString &port, const QByteArray &partial)
{
    const QString path = fileOf(port);
    const QString id = identity(port);
    if (path.isEmpty() || id.isEmpty())
        return;
    if (partial.isEmpty()) {
        QFile::remove(path);
        return;
    }
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return;
    f.write(id.toUtf8() + '\n' + partial.left(MaxPartial).toHex().toUpper() + '\n');
    if (f.commit()) {
        // Whoever runs the next connection on the port reads and clears it.
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                                        | QFileDevice::WriteGroup | QFileDevice::ReadOther
                                        | QFileDevice::WriteOther);
    }
}

} // namespace vek
