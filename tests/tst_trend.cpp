// The trend: its scheduler on the virtual clock over the scripted line (what
// is read, in which order, when, and what stops it), the CSV export, and in
// the window, input given during a trend read.

#include "trend.h"
#include "windowfixture.h"

#include <QAction>
#include <QCheckBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

using namespace vek;
using namespace vek::testing;
using namespace Qt::StringLiterals;

namespace {

// A time span in virtual ms, [from, to).
struct Span { qint64 from, to; };
using Spans = QList<Span>;

// A scheduler over the scripted line and a simulated target; every byte on
// the host sends takes 1 ms, so a register read takes 5 ms.
struct SchedulerRig {
    VirtualClock clock;
    FakeLine line{clock};
    FakeHost host{clock};
    sim::TargetMonitor target;
    Link link{line, host};
    qint64 closedAt = -1;   // the link closed from then on
    Spans busy;             // when the window is not quiet
    QStringList reads;      // "ms:addr" of every read, when it began
    QStringList failures;
    std::unique_ptr<TrendScheduler> trend;

    explicit SchedulerRig(const sim::TargetOptions &options = {}) : target(options)
    {
        line.respond = [this](uint8_t b) {
            clock.nowMs += 1;
            return target.feed(b);
        };
        TrendScheduler::Window w;
        w.linkOpen = [this] { return closedAt < 0 || clock.nowMs < closedAt; };
        w.quiet = [this] {
            return std::none_of(busy.begin(), busy.end(), [this](const Span &s) { return clock.nowMs >= s.from && clock.nowMs < s.to; });
        };
        w.address = [this](int row) {
            reads << QStringLiteral("%1:%2").arg(clock.nowMs).arg(0x10 + row, 3, 16, QLatin1Char('0'));
            return uint16_t(0x10 + row);
        };
        w.show = [](int, uint8_t) {};
        trend = std::make_unique<TrendScheduler>(link, w, [this] { return clock.nowMs; });
        trend->failed = [this](const QString &text) { failures << text; };
    }
    // Steps until `until` ms or until the scheduler pauses.
    void runUntil(qint64 until)
    {
        for (int guard = 0; guard < 100000; ++guard) {
            const int wait = trend->step();
            if (wait < 0 || clock.nowMs + wait >= until)
                return;
            clock.nowMs += wait;
        }
        QFAIL("the scheduler never waited");
    }
};

} // namespace

class TstTrend : public QObject {
    Q_OBJECT
private slots:
    // A failing target fails at its 10th byte: after two good rounds.
    void rounds_data()
    {
        QTest::addColumn<QList<int>>("ticked");
        QTest::addColumn<Spans>("busy");
        QTest::addColumn<int>("closedAt");
        QTest::addColumn<int>("fault");
        QTest::addColumn<QStringList>("reads");
        QTest::addColumn<QString>("end");   // running, rounds kept, the failure reported
        const auto row = [](const char *name, QList<int> ticked, Spans busy, QStringList reads, QString end,
                            int closedAt = -1, sim::Fault fault = sim::Fault::None) {
            QTest::newRow(name) << ticked << busy << closedAt << int(fault) << reads << end;
        };
        row("rows in order, a round every interval", {0, 2}, {},
            {"0:010", "5:012", "200:010", "205:012", "400:010", "405:012", "600:010", "605:012"}, "1 4 ");
        row("only the ticked rows", {7}, {}, {"0:017", "200:017", "400:017", "600:017"}, "1 4 ");
        row("a round waits for the window, once, then keeps a new beat", {1}, {{150, 530}}, {"0:011", "530:011"}, "1 2 ");
        row("a round cut by an entry goes on after it", {0, 1}, {{5, 100}},
            {"0:010", "105:011", "200:010", "205:011", "400:010", "405:011", "600:010", "605:011"}, "1 4 ");
        row("nothing read while the window is busy", {0}, {{0, 1000}}, {}, "1 0 ");
        row("a closed link pauses", {3}, {}, {"0:013", "200:013"}, "0 2 ", 300);
        row("no echo pauses", {0}, {}, {"0:010", "200:010", "400:010"}, "0 2 Echo not received\nFile read failed\n"
            "The target may hold part of a command, A; reset the target or reconnect", -1, sim::Fault::NoEcho);
        row("not a value pauses", {0}, {}, {"0:010", "200:010", "400:010"}, "0 2 Invalid reply from target", -1, sim::Fault::Garbage);
    }
    void rounds()
    {
        QFETCH(QList<int>, ticked);
        QFETCH(Spans, busy);
        QFETCH(int, closedAt);
        QFETCH(int, fault);

        SchedulerRig rig({.fault = sim::Fault(fault), .faultAfter = 10});
        rig.busy = busy;
        rig.closedAt = closedAt;
        for (int r : ticked)
            rig.trend->setTicked(r, true);
        QVERIFY(rig.trend->start());
        rig.runUntil(700);
        QTEST(rig.reads, "reads");
        // A failure is told once, and nothing goes past the trend to the host.
        QTEST(u"%1 %2 "_s.arg(rig.trend->running()).arg(rig.trend->history().size()) + rig.failures.join(u'|'), "end");
        QVERIFY(rig.host.messages.isEmpty());
    }

    void csv()
    {
        TrendHistory h(3);
        h.append({0, 0b101, {0x01, 0, 0xA0}});
        h.append({200, 0b001, {0x02}});
        h.append({400, 0b101, {0x03, 0, 0xFF}});
        h.append({600, 0b101, {0x04, 0, 0x0F}});   // the ring drops the oldest
        std::array<QString, TrendRows> names{"TMR0", "unused", "gain, \"raw\"", "", "", "", "", ""};
        QCOMPARE(TrendCsv(h, names), QByteArray("ms,TMR0,\"gain, \"\"raw\"\"\"\n"
                                                "200,02,\n"
                                                "400,03,FF\n"
                                                "600,04,0F\n"));
        QCOMPARE(h.lowerBound(300), 1);
    }

    // The window: a key posted part-way through a trend read reaches its field
    // after the read, which starts an entry, and the trend then waits; a box
    // of a main-window command holds it too; CloseComm pauses it.
    void window()
    {
        sim::TargetOptions options;
        options.registers[0x20] = 0x5A;
        WindowFixture f(options);
        const TfrmVekComm::Probe w = f.probe();
        press(w.rows[0].edtAddr, "20\r");
        QVERIFY(f.connect());
        w.mnuTrend->trigger();
        TrendWindow *trend = w.trend();
        QVERIFY(trend && trend->isVisible() && trend->chkRows[0]->text() == u"020"_s);
        trend->chkRows[0]->setChecked(true);
        // Its timer stays off: the test steps it.
        QVERIFY(trend->scheduler().start() && trend->btnStart->text() == u"&Pause"_s);

        QLineEdit *field = w.rows[2].edtData;
        field->setFocus();
        const auto respond = f.line.respond;
        f.line.respond = [&](uint8_t b) {
            if (b == 'A')
                QCoreApplication::postEvent(field, new QKeyEvent(QEvent::KeyPress, Qt::Key_1, Qt::NoModifier, "1"));
            return respond(b);
        };
        // The step's wait, what went out, the row's value, whether an entry is on.
        const auto state = [&] {
            return u"%1 %2 %3 %4"_s.arg(trend->scheduler().step()).arg(QString::fromLatin1(f.takeLines().join(' '))).arg(w.rows[0].edtData->text())
                .arg(w.Editing);
        };
        QCOMPARE(state(), u"0 A020 01011010 0"_s);
        QCoreApplication::sendPostedEvents();
        QVERIFY(w.Editing && isRed(field) && field->text() == u"1"_s);
        QCOMPARE(state(), u"%1  01011010 1"_s.arg(TrendScheduler::WaitQuietMs));
        f.line.respond = respond;
        QTest::keyClick(field, Qt::Key_Escape);

        // A box shown by a command of the main window holds the trend.
        bool mayRead = true;
        f.prompts.whileShown = [&] { mayRead = w.window.trendMayRead(); };
        f.target.setOptions({.fault = sim::Fault::NoEcho});
        w.edtTest->setFocus();
        QTest::keyClick(w.edtTest, '+');   // the test command, which fails
        QVERIFY(!w.Editing && !f.prompts.messages().isEmpty() && !mayRead);

        w.btnOpenClose->click();   // CloseComm
        QCOMPARE(u"%1 %2 %3 %4"_s.arg(w.CommOpen).arg(trend->scheduler().running()).arg(trend->btnStart->text()).arg(trend->scheduler().step()),
                 u"0 0 &Start -1"_s);
    }
};

QTEST_MAIN(TstTrend)
#include "tst_trend.moc"
