// Runs every committed fuzz seed and every past finding through the fuzz
// entry points, so that the regressions are checked by every build, with or
// without clang. An entry aborts on a broken invariant.

#include "entries.h"

#include <QDirIterator>
#include <QFile>
#include <QtTest>

class TestFuzzReplay : public QObject {
    Q_OBJECT
private slots:
    // Files under corpus/TARGET and crashes/TARGET.
    void replay_data()
    {
        QTest::addColumn<QString>("path");
        int found = 0;
        for (const char *kind : {"/corpus", "/crashes"}) {
            for (QDirIterator it(VEK_FUZZ_DIR + QString(kind), QDir::Files, QDirIterator::Subdirectories); it.hasNext();) {
                const QString path = it.next();
                QTest::newRow(qPrintable(path.mid(sizeof VEK_FUZZ_DIR))) << path;
                ++found;
            }
        }
        QVERIFY2(found > 0, "no corpus found under " VEK_FUZZ_DIR);
    }

    void replay()
    {
        QFETCH(QString, path);
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray data = f.readAll();
        const auto *bytes = reinterpret_cast<const uint8_t *>(data.constData());
        const QString target = QFileInfo(path).dir().dirName();
        if (target == QLatin1String("incfile"))
            vek::fuzz::incFile(bytes, size_t(data.size()));
        else if (target == QLatin1String("setupfile"))
            vek::fuzz::setupFile(bytes, size_t(data.size()));
        else if (target == QLatin1String("protocol"))
            vek::fuzz::protocol(bytes, size_t(data.size()));
        else
            QFAIL("a file outside the three targets' folders");
    }
};

QTEST_GUILESS_MAIN(TestFuzzReplay)
#include "tst_fuzzreplay.moc"
