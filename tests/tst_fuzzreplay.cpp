// Runs every committed fuzz seed and every past finding through the fuzz
// entry points, so that the regressions are checked by every build, with or
// without clang. An entry aborts on a broken invariant.

#include "entries.h"

#include <QDirIterator>
#include <QFile>
#include <QtTest>

namespace {
using Entry = int (*)(const uint8_t *, size_t);
const std::pair<const char *, Entry> Targets[] = {
    {"incfile", vek::fuzz::incFile}, {"setupfile", vek::fuzz::setupFile}, {"protocol", vek::fuzz::protocol}};
}

class TestFuzzReplay : public QObject {
    Q_OBJECT
private slots:
    void replay_data()
    {
        QTest::addColumn<int>("target");
        QTest::addColumn<QString>("path");
        int found = 0;
        for (int t = 0; t < 3; ++t) {
            for (const char *kind : {"/corpus/", "/crashes/"}) {
                for (QDirIterator it(QString(VEK_FUZZ_DIR) + kind + Targets[t].first, QDir::Files); it.hasNext();) {
                    const QString path = it.next();
                    QTest::newRow(qPrintable(path.mid(sizeof VEK_FUZZ_DIR))) << t << path;
                    ++found;
                }
            }
        }
        QVERIFY2(found > 0, "no corpus found under " VEK_FUZZ_DIR);
    }

    void replay()
    {
        QFETCH(int, target);
        QFETCH(QString, path);
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray data = f.readAll();
        Targets[target].second(reinterpret_cast<const uint8_t *>(data.constData()), size_t(data.size()));
    }
};

QTEST_GUILESS_MAIN(TestFuzzReplay)
#include "tst_fuzzreplay.moc"
