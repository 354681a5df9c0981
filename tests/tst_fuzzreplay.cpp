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
    void replay_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("path");
        int found = 0;
        for (const char *target : {"incfile", "setupfile", "protocol"}) {
            for (const char *kind : {"corpus", "crashes"}) {
                const QString sub = QLatin1String(kind) + u'/' + QLatin1String(target);
                QDirIterator it(QStringLiteral(VEK_FUZZ_DIR "/") + sub, QDir::Files);
                for (; it.hasNext(); ++found) {
                    const QString path = it.next();
                    QTest::newRow(qPrintable(sub + u'/' + it.fileName())) << QString::fromLatin1(target) << path;
                }
            }
        }
        QVERIFY2(found > 0, "no corpus found under " VEK_FUZZ_DIR);
    }

    void replay()
    {
        QFETCH(QString, target);
        QFETCH(QString, path);
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray data = f.readAll();
        const auto *bytes = reinterpret_cast<const uint8_t *>(data.constData());
        const size_t size = size_t(data.size());
        if (target == QLatin1String("incfile"))
            vek::fuzz::incFile(bytes, size);
        else if (target == QLatin1String("setupfile"))
            vek::fuzz::setupFile(bytes, size);
        else
            vek::fuzz::protocol(bytes, size);
    }
};

QTEST_GUILESS_MAIN(TestFuzzReplay)
#include "tst_fuzzreplay.moc"
