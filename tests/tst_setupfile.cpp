// The setup file: reading with checks, the labels' rules, atomic saving.
// (Its exact bytes and round trip are checked through the File menu.)

#include "setupfile.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace vek;

namespace {

// Sixteen value words, one a line, with row 1 at 006/3F.
const QByteArray Values = "006\r\n3F\r\n" + QByteArray("000\r\n00\r\n").repeated(RowCount - 1);

ino_t inode(const QString &path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : "<unreadable>";
}

} // namespace

class TstSetupFile : public QObject {
    Q_OBJECT
private slots:
    void parse_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("error");        // empty: the file is good, row 1 at 006/3F
        QTest::addColumn<QStringList>("labels");   // empty: labels absent
        const auto labels = [](QStringList l) { return l << QStringList(RowCount - int(l.size()), QString()); };
        const std::array<QString, RowCount> lineEnd{"A\r\nB", "C"};   // a line end would shift the later labels
        const auto row = [](const char *name, const QByteArray &content, const QString &error, const QStringList &l = {}) {
            QTest::newRow(name) << content << error << l;
        };
        row("sixteen values only", Values, "");
        row("empty or blank label lines", Values + "\r\n  \r\n\t\r\n \n", "");
        row("lower case, any white space, bare LF", "  6\t3f\n\n 0 0 0 0\t\t0 0\n0 0 0 0 0 0 0 0\nOne\n", "", labels({"One"}));
        row("empty first label, second kept exactly, more lines ignored",
            Values + "\r\n  x y  \r\n3\r\n4\r\n5\r\n6\r\n7\r\n8\r\n9\r\n", "", {"", "  x y  ", "3", "4", "5", "6", "7", "8"});
        row("written label with a line end", FormatSetup({SetupRow{6, 0x3F}}, lineEnd), "", labels({"A  B", "C"}));
        row("Latin-1 label", Values + "\xe9t\xe9\r\n", "", labels({QString::fromUtf8("\xc3\xa9t\xc3\xa9")}));
        row("byte order mark at the start", "\xEF\xBB\xBF" + Values + "One\r\n", "", labels({"One"}));
        row("not hexadecimal", "006\r\n3F\r\nZZ\r\n00\r\n", "line 3: 'ZZ' is not a hexadecimal number");
        // Bytes that cannot be seen are named, in a text read as UTF-8 or, failing that, byte by byte.
        row("byte order mark elsewhere, line separator", "006\r\n\xEF\xBB\xBF" "3F\xE2\x80\xA8\xC3\xA9\r\n",
            "line 2: '\\xEF\\xBB\\xBF3F\\xE2\\x80\\xA8\u00e9' is not a hexadecimal number");
        row("NUL, control characters, not UTF-8", QByteArray("006\r\n3") + '\0' + "\x7f\x1b\x85\xe9\r\n",
            "line 2: '3\\x00\\x7F\\x1B\\x85\u00e9' is not a hexadecimal number");
        row("address above FFF", "0006\r\n3F\r\n1000\r\n00\r\n", "line 3: address '1000' is above FFF");
        row("ends early", Values.left(40), "it ends before the 16th value");
        row("word over 35 characters", "\n\n" + QByteArray(36, '0') + "\n" + Values,
            "line 3: a value of 36 characters is longer than 35");
    }

    void parse()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, error);
        QFETCH(QStringList, labels);
        Setup setup;
        setup.rows[1] = {0x123, 0x45};
        QString reason;
        const bool ok = error.isEmpty();
        QCOMPARE(std::pair(ParseSetup(content, setup, reason), reason), std::pair(ok, error));
        // A failed read leaves the setup alone; labels read are always eight.
        const QStringList got = setup.labels ? QStringList(setup.labels->begin(), setup.labels->end()) : QStringList();
        QCOMPARE(std::tuple(int(setup.rows[0].addr), int(setup.rows[0].value), int(setup.rows[1].addr), got),
                 std::tuple(ok ? 6 : 0, ok ? 0x3F : 0, ok ? 0 : 0x123, labels));
    }

    // Saving replaces the file only by a whole new one, or, in a folder that
    // lets no new file take the old one's place, writes a file that may be
    // written in place. On a failure the old file stays and no temporary file
    // is left. Saved by a child process, which as root first becomes "nobody".
    void save_data()
    {
        QTest::addColumn<int>("folderMode");
        QTest::addColumn<int>("fileMode");
        QTest::addColumn<QString>("expected");   // in place, replaced, refused
        QTest::addColumn<bool>("fullDisk");      // a 16 KiB file system, 64 KiB to save
        QTest::newRow("read-only folder, writable file") << 0555 << 0666 << "in place" << false;
        // The new file could be made, but not renamed over a file of another user.
        QTest::newRow("sticky folder, writable file of another user") << 01777 << 0666 << "in place" << false;
        QTest::newRow("writable folder") << 0777 << 0666 << "replaced" << false;
        QTest::newRow("read-only folder, read-only file") << 0555 << 0444 << "refused" << false;
        QTest::newRow("full disk") << 0777 << 0666 << "refused" << true;
    }

    void save()
    {
        QFETCH(int, folderMode);
        QFETCH(int, fileMode);
        QFETCH(QString, expected);
        QFETCH(bool, fullDisk);
        const bool root = geteuid() == 0;
        if (!root && (fullDisk || (folderMode & S_ISVTX)))
            QSKIP("needs root to mount a small file system or make a file of another user");
        QTemporaryDir dir;
        const QString folder = dir.filePath("folder"), path = folder + "/rows.vek";
        QVERIFY(QDir().mkdir(folder));
        if (fullDisk)
            QVERIFY(QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=16k", "tmpfs", folder}) == 0);
        const auto unmount = qScopeGuard([&] { if (fullDisk) QProcess::execute("umount", {folder}); });
        const QByteArray old = "old contents that are longer", content = fullDisk ? QByteArray(64 * 1024, 'x') : Values;
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(old) > 0);
        file.close();
        const auto chmod = [](const QString &p, int mode) { return ::chmod(QFile::encodeName(p).constData(), mode_t(mode)) == 0; };
        QVERIFY(chmod(dir.path(), 0755) && chmod(path, fileMode) && chmod(folder, folderMode));
        const auto restore = qScopeGuard([&] { chmod(folder, 0755); });
        const ino_t before = inode(path);

        const pid_t child = fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            if (root && (setgid(65534) != 0 || setuid(65534) != 0 || access(QFile::encodeName(folder).constData(), X_OK) != 0))
                _exit(2);
            QString error;
            const bool saved = SaveFile(path, content, &error);
            _exit(saved == error.isEmpty() ? !saved : 3);
        }
        int status = 0;
        QVERIFY(waitpid(child, &status, 0) == child && WIFEXITED(status));
        if (WEXITSTATUS(status) == 2)
            QSKIP("cannot become the user nobody, or nobody cannot reach the temporary folder");
        QVERIFY2(WEXITSTATUS(status) != 3, "a reason given for a save that worked, or none for one that failed");
        const bool saved = WEXITSTATUS(status) == 0;
        QCOMPARE(saved, expected != "refused");
        QCOMPARE(readFile(path), saved ? content : old);
        QCOMPARE(inode(path) == before, expected != "replaced");
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{"rows.vek"});
    }
};

QTEST_GUILESS_MAIN(TstSetupFile)
#include "tst_setupfile.moc"
