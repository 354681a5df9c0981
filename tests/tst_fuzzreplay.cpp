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
    void replay_data();
    void replay();
};

void TestFuzzReplay::replay_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("path");
    int found = 0;
    for (const char *target : {"incfile", "setupfile", "protocol"}) {
        for (const char *kind : {"corpus", "crashes"}) {
            const QString dir = QStringLiteral(VEK_FUZZ_DIR "/%1/%2").arg(QLatin1String(kind), QLatin1String(target));
            QDirIterator it(dir, QDir::Files);
            while (it.hasNext()) {
                const QString path = it.next();
                QTest::newRow(qPrintable(QStringLiteral("%1/%2/%3").arg(QLatin1String(kind), QLatin1String(target),
                                                                         it.fileName())))
                    << QString::fromLatin1(target) << path;
                ++found;
            }
        }
    }
    QVERIFY2(found > 0, "no corpus found under " VEK_FUZZ_DIR);
}

void TestFuzzReplay::replay()
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

QTEST_GUILESS_MAIN(TestFuzzReplay)
#include "tst_fuzzreplay.moc"
