// The trend: its scheduler on the virtual clock over the scripted line (what
// is read, in which order, when, and what stops it), the history it keeps
// by register, the CSV and the chart's lines made of it, and in the window,
// input given during a trend read and where the window opens.

#include "trend.h"
#include "windowfixture.h"

#include <QAction>
#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>

using namespace vek;
using namespace vek::testing;
using namespace Qt::StringLiterals;

namespace {

// A time span in virtual ms, [from, to).
struct Span { qint64 from, to; };
using Spans = QList<Span>;

// A scheduler over the scripted line and a simulated target; every byte on
// the host sends takes 1 ms, so a register read takes 5 ms. Rows 1-8 show
// registers 010-017 unless told otherwise; -1 is a row never given one.
struct SchedulerRig {
    VirtualClock clock;
    FakeLine line{clock};
    FakeHost host{clock};
    sim::TargetMonitor target;
    Link link{line, host};
    qint64 closedAt = -1;   // the link closed from then on
    Spans busy;             // when the window is not quiet
    std::array<int, TrendRows> addrs{0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17};
    std::array<QString, TrendRows> labels;
    QStringList reads;      // "ms:addr" of every read, when it began
    QStringList shown;      // "row=value" of every value put into a row
    QStringList failures;
    std::unique_ptr<TrendScheduler> trend;

    explicit SchedulerRig(const sim::TargetOptions &options = {}) : target(options)
    {
        line.respond = [this](uint8_t b) {
            if (b == 'A')
                reads << u"%1:"_s.arg(clock.nowMs);
            else if (!reads.isEmpty() && reads.back().size() < 8 && b != '\r')
                reads.back() += QChar(b).toLower();
            clock.nowMs += 1;
            return target.feed(b);
        };
        TrendScheduler::Window w;
        w.linkOpen = [this] { return closedAt < 0 || clock.nowMs < closedAt; };
        w.quiet = [this] {
            return std::none_of(busy.begin(), busy.end(), [this](const Span &s) { return clock.nowMs >= s.from && clock.nowMs < s.to; });
        };
        w.given = [this](int row) { return addrs[size_t(row)] >= 0; };
        w.address = [this](int row) { return uint16_t(addrs[size_t(row)]); };
        w.label = [this](int row) { return labels[size_t(row)]; };
        w.show = [this](int row, uint8_t value) { shown << u"%1=%2"_s.arg(row + 1).arg(value, 2, 16, QChar(u'0')); };
        w.read = [this](uint16_t addr, uint8_t &value, QString &message) {
            return TrendScheduler::readOnLink(link, addr, value, message);
        };
        w.baudRate = [this] { return link.BaudRate; };
        w.doubleEcho = [this] { return link.DoubleEcho; };
        trend = std::make_unique<TrendScheduler>(w, [this] { return clock.nowMs; }, [] { return qint64(0); });
        trend->failed = [this](int, uint16_t, const QString &text) { failures << text; };
    }
    // Events at their times: "addr R HEX", "label R TEXT", "tick R", "untick R",
    // "pause", "start", "clear", "heal" (the target's fault ends), "write ...".
    void apply(const QString &event)
    {
        const QStringList w = event.split(u' ');
        const int row = w.size() > 1 ? w[1].toInt() - 1 : 0;
        if (w[0] == u"addr")
            addrs[size_t(row)] = w[2].toInt(nullptr, 16);
        else if (w[0] == u"label")
            labels[size_t(row)] = w.mid(2).join(u' ');
        else if (w[0] == u"tick" || w[0] == u"untick")
            trend->setTicked(row, w[0] == u"tick");
        else if (w[0] == u"pause")
            trend->pause();
        else if (w[0] == u"start")
            trend->start();
        else if (w[0] == u"heal")
            target.setOptions({});
        else if (w[0] == u"clear")
            trend->clear();
        else if (w[0] == u"write")   // "write ADDR HEX [xN]": a write told of N times
            for (int n = w.size() > 3 ? w[3].mid(1).toInt() : 1; n > 0; --n)
                trend->wrote(uint16_t(w[1].toInt(nullptr, 16)), uint8_t(w[2].toInt(nullptr, 16)));
    }
    // Steps until `until` ms, the events ("MS EVENT") applied when due.
    void runUntil(qint64 until, QStringList events = {})
    {
        for (int guard = 0; guard < 100000; ++guard) {
            while (!events.isEmpty() && events.front().section(u' ', 0, 0).toLongLong() <= clock.nowMs)
                apply(events.takeFirst().section(u' ', 1));
            const qint64 next = events.isEmpty() ? until : std::min(until, events.front().section(u' ', 0, 0).toLongLong());
            const int wait = trend->step();
            if (wait < 0 && next >= until)
                return;
            if (wait >= 0 && clock.nowMs + wait >= until)
                return;
            clock.nowMs = wait < 0 ? next : std::min(clock.nowMs + wait, std::max(next, clock.nowMs));
        }
        QFAIL("the scheduler never waited");
    }
};

// A line's runs as "NAME from-to" in ms, its hold included.
QString describeRuns(const TrendHistory &h, const std::vector<TrendRun> &runs)
{
    QStringList out;
    for (const TrendRun &run : runs)
        out << u"%1 %2-%3"_s.arg(h.lines()[size_t(run.line)].name())
                   .arg(qRound(run.points.front().x() * 1000))
                   .arg(qRound(run.points.back().x() * 1000));
    return out.join(u" | ");
}

} // namespace

class TstTrend : public QObject {
    Q_OBJECT
private slots:
    // A failing target fails at its 10th byte: after two good rounds.
    void rounds_data()
    {
        QTest::addColumn<QList<int>>("ticked");
        QTest::addColumn<QList<int>>("addrs");
        QTest::addColumn<Spans>("busy");
        QTest::addColumn<int>("closedAt");
        QTest::addColumn<int>("fault");
        QTest::addColumn<QStringList>("reads");
        QTest::addColumn<QString>("end");   // running, rounds kept, the failure reported
        const auto row = [](const char *name, QList<int> ticked, Spans busy, QStringList reads, QString end,
                            int closedAt = -1, sim::Fault fault = sim::Fault::None, QList<int> addrs = {}) {
            QTest::newRow(name) << ticked << addrs << busy << closedAt << int(fault) << reads << end;
        };
        row("rows in order, a round every interval", {0, 2}, {},
            {"0:010", "5:012", "200:010", "205:012", "400:010", "405:012", "600:010", "605:012"}, "1 4 ");
        row("only the ticked rows", {7}, {}, {"0:017", "200:017", "400:017", "600:017"}, "1 4 ");
        row("a register on two rows read once", {0, 1, 2}, {},
            {"0:010", "5:012", "200:010", "205:012", "400:010", "405:012", "600:010", "605:012"}, "1 4 ", -1,
            sim::Fault::None, {0x10, 0x12, 0x10, -1, -1, -1, -1, -1});
        row("a row never given an address is not ticked", {0, 1}, {}, {"0:010", "200:010", "400:010", "600:010"}, "1 4 ", -1,
            sim::Fault::None, {0x10, -1, -1, -1, -1, -1, -1, -1});
        row("a round waits for the window, once, then keeps a new beat", {1}, {{150, 530}}, {"0:011", "530:011"}, "1 2 ");
        row("a round cut by an entry goes on after it", {0, 1}, {{5, 100}},
            {"0:010", "105:011", "200:010", "205:011", "400:010", "405:011", "600:010", "605:011"}, "1 4 ");
        row("nothing read while the window is busy", {0}, {{0, 1000}}, {}, "1 0 ");
        row("a closed link pauses", {3}, {}, {"0:013", "200:013"}, "0 2 ", 300);
        // The failed round is kept, empty.
        row("no echo pauses", {0}, {}, {"0:010", "200:010", "400:"}, "0 3 Echo not received\nFile read failed\n"
            "The target may hold part of a command, A; reset the target before the next connection", -1, sim::Fault::NoEcho);
        row("not a value pauses", {0}, {}, {"0:010", "200:010", "400:010"}, "0 3 Invalid reply from target", -1, sim::Fault::Garbage);
    }
    void rounds()
    {
        QFETCH(QList<int>, ticked);
        QFETCH(QList<int>, addrs);
        QFETCH(Spans, busy);
        QFETCH(int, closedAt);
        QFETCH(int, fault);

        SchedulerRig rig({.fault = sim::Fault(fault), .faultAfter = 10});
        rig.busy = busy;
        rig.closedAt = closedAt;
        for (int r = 0; r < addrs.size(); ++r)
            rig.addrs[size_t(r)] = addrs[r];
        for (int r : ticked)
            rig.trend->setTicked(r, true);
        QVERIFY(rig.trend->start());
        rig.runUntil(700);
        if (QByteArray(QTest::currentDataTag()).startsWith("a register on two"))
            QCOMPARE(rig.shown.mid(0, 3), QStringList({"1=00", "2=00", "3=00"}));
        QTEST(rig.reads, "reads");
        // A failure is told once, and nothing goes past the trend to the host.
        QTEST(u"%1 %2 "_s.arg(rig.trend->running()).arg(rig.trend->history().size()) + rig.failures.join(u'|'), "end");
        QVERIFY(rig.host.messages.isEmpty());
    }

    // What a run keeps, by register: the CSV, the lines the chart draws and
    // what the readout says at a moment. Registers 02A = 5C, 030 = A5,
    // 040 = 10; rows 1 and 2 ticked at 02A (TMR0) and 030.
    void histories_data()
    {
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<Spans>("busy");
        QTest::addColumn<int>("fault");
        QTest::addColumn<QByteArray>("csv");
        QTest::addColumn<QString>("runs");
        QTest::addColumn<int>("at");
        QTest::addColumn<QString>("readout");
        QTest::addColumn<QString>("marks");   // "LINE:COUNT@FIRST-LAST=LASTVALUE" a line written to
        QTest::newRow("an address changed mid-run starts a line, the old one ends")
            << QStringList{"450 addr 2 040"} << Spans{} << 0
            << QByteArray("ms,TMR0 (02A),030,040\n0,5C,A5,\n200,5C,A5,\n400,5C,A5,\n600,5C,,10\n")
            << u"TMR0 (02A) 0-800 | 030 5-600 | 040 605-805"_s << 620 << u"0=5C@600 2=10@605"_s << QString();
        QTest::newRow("back to a register: its one line goes on, broken where it was not read")
            << QStringList{"250 addr 2 040", "450 addr 2 030"} << Spans{} << 0
            << QByteArray("ms,TMR0 (02A),030,040\n0,5C,A5,\n200,5C,A5,\n400,5C,,10\n600,5C,A5,\n")
            << u"TMR0 (02A) 0-800 | 030 5-400 | 040 405-600 | 030 605-805"_s << 500 << u"0=5C@400 2=10@405"_s << QString();
        QTest::newRow("a pause breaks the lines; untick and tick keep one column")
            << QStringList{"250 pause", "250 untick 2", "500 tick 2", "500 start"} << Spans{} << 0
            << QByteArray("ms,TMR0 (02A),030\n0,5C,A5\n200,5C,A5\n500,5C,A5\n700,5C,A5\n")
            << u"TMR0 (02A) 0-400 | 030 5-405 | TMR0 (02A) 500-900 | 030 505-905"_s << 450 << u""_s << QString();
        QTest::newRow("an entry: the round waits and the lines break")
            << QStringList{} << Spans{{380, 450}} << 0
            << QByteArray("ms,TMR0 (02A),030\n0,5C,A5\n200,5C,A5\n450,5C,A5\n600,5C,A5\n")
            << u"TMR0 (02A) 0-400 | 030 5-405 | TMR0 (02A) 450-800 | 030 455-805"_s << 420 << u""_s << QString();
        QTest::newRow("a failed round is an empty row; Start goes on after it")
            << QStringList{"500 heal", "500 start"} << Spans{} << int(sim::Fault::Garbage)
            << QByteArray("ms,TMR0 (02A),030\n0,5C,A5\n200,,\n500,5C,A5\n700,5C,A5\n")
            << u"TMR0 (02A) 0-200 | 030 5-200 | TMR0 (02A) 500-900 | 030 505-905"_s << 100 << u"0=5C@0 1=A5@5"_s << QString();
        QTest::newRow("a label given later names the register's column")
            << QStringList{"300 label 2 PORTA"} << Spans{} << 0
            << QByteArray("ms,TMR0 (02A),PORTA (030)\n0,5C,A5\n200,5C,A5\n400,5C,A5\n600,5C,A5\n")
            << u"TMR0 (02A) 0-800 | PORTA (030) 5-805"_s << 210 << u"0=5C@200 1=A5@205"_s << QString();
        QTest::newRow("writes marked on their lines at their time, the oldest dropped past the bound; CSV unchanged")
            << QStringList{"100 write 030 77", "150 write 050 01", "450 write 02A 11 x1500"} << Spans{} << 0
            << QByteArray("ms,TMR0 (02A),030\n0,5C,A5\n200,5C,A5\n400,5C,A5\n600,5C,A5\n")
            << u"TMR0 (02A) 0-800 | 030 5-805"_s << 210 << u"0=5C@200 1=A5@205"_s << u"0:1000@450-450=11 1:1@100-100=77"_s;
        QTest::newRow("a clear drops the marks; the next Start's are on its axis")
            << QStringList{"100 write 030 77", "250 pause", "260 clear", "270 write 02A 11", "500 start", "600 write 02A 12"}
            << Spans{} << 0 << QByteArray("ms,TMR0 (02A),030\n0,5C,A5\n200,5C,A5\n")
            << u"TMR0 (02A) 0-400 | 030 5-405"_s << 100 << u"0=5C@0 1=A5@5"_s << u"0:1@100-100=12"_s;
    }
    void histories()
    {
        QFETCH(QStringList, events);
        QFETCH(Spans, busy);
        QFETCH(int, fault);
        QFETCH(int, at);
        sim::TargetOptions options{.fault = sim::Fault(fault), .faultAfter = 16};
        options.registers[0x2A] = 0x5C;
        options.registers[0x30] = 0xA5;
        options.registers[0x40] = 0x10;
        SchedulerRig rig(options);
        rig.addrs = {0x2A, 0x30, -1, -1, -1, -1, -1, -1};
        rig.labels[0] = u"TMR0"_s;
        rig.busy = busy;
        rig.trend->setTicked(0, true);
        rig.trend->setTicked(1, true);
        QVERIFY(rig.trend->start());
        rig.runUntil(800, events);
        const TrendHistory &h = rig.trend->history();
        QTEST(TrendCsv(h, -1), "csv");
        QTEST(describeRuns(h, TrendRuns(h, 0, 1, 100000)), "runs");
        QStringList readout;
        for (const TrendReading &r : TrendReadout(h, at))
            readout << u"%1=%2@%3"_s.arg(r.line).arg(r.value, 2, 16, QChar(u'0')).arg(r.readMs).toUpper();
        QTEST(readout.join(u' '), "readout");
        QStringList marks;
        for (size_t l = 0; l < h.lines().size(); ++l) {
            const auto &m = h.lines()[l].marks;
            if (!m.empty())
                marks << u"%1:%2@%3-%4=%5"_s.arg(l).arg(m.size()).arg(m.front().ms).arg(m.back().ms)
                             .arg(m.back().value, 2, 16, QChar(u'0')).toUpper();
        }
        QTEST(marks.join(u' '), "marks");
    }

    // A round's reads on the line bound the interval: 13 bytes of 10 bits a
    // register, a register on two rows counted once.
    void minimumInterval_data()
    {
        QTest::addColumn<int>("baud");
        QTest::addColumn<QList<int>>("addrs");   // of the ticked rows
        QTest::addColumn<int>("minimum");
        QTest::newRow("300, 1") << 300 << QList<int>{0x10} << 434;
        QTest::newRow("300, 2") << 300 << QList<int>{0x10, 0x11} << 867;
        QTest::newRow("4800, 4") << 4800 << QList<int>{1, 2, 3, 4} << 109;
        QTest::newRow("9600, 3") << 9600 << QList<int>{1, 2, 3} << 41;
        QTest::newRow("9600, 8 rows on 7 registers") << 9600 << QList<int>{1, 2, 3, 4, 5, 6, 7, 7} << 95;
        QTest::newRow("9600, none") << 9600 << QList<int>{} << 1;
    }
    void minimumInterval()
    {
        QFETCH(int, baud);
        QFETCH(QList<int>, addrs);
        QFETCH(int, minimum);
        SchedulerRig rig;
        rig.link.BaudRate = baud;
        for (int r = 0; r < addrs.size(); ++r) {
            rig.addrs[size_t(r)] = addrs[r];
            rig.trend->setTicked(r, true);
        }
        rig.trend->setIntervalMs(10);
        QCOMPARE(rig.trend->minimumIntervalMs(), minimum);
        // Raised while the rows need it, the interval asked for once they do not.
        QCOMPARE(rig.trend->intervalMs(), std::max(10, minimum));
        for (int r = 0; r < TrendRows; ++r)
            rig.trend->setTicked(r, false);
        QCOMPARE(rig.trend->intervalMs(), 10);
    }

    // Thinned to a pixel column of 10 ms, a line keeps the first read, each
    // column's lowest and highest in the order read, and the latest, which holds.
    void thinning_data()
    {
        QTest::addColumn<QList<int>>("values");   // one a ms
        QTest::addColumn<QString>("points");      // "ms:value"
        QTest::newRow("highest before lowest") << QList<int>{5, 9, 1, 7, 6, 6, 6, 6, 6, 6, 6, 6, 3}
            << u"0:5 1:5 1:9 2:9 2:1 10:1 10:6 12:6 12:3 22:3"_s;
        QTest::newRow("lowest before highest") << QList<int>{5, 1, 9, 7, 7, 7, 7, 7, 7, 7, 7}
            << u"0:5 1:5 1:1 2:1 2:9 10:9 10:7 20:7"_s;
    }
    void thinning()
    {
        QFETCH(QList<int>, values);
        TrendHistory h;
        for (int i = 0; i < values.size(); ++i) {
            TrendRound round{i, 10, 1, i > 0, false, {}};
            round.samples[0] = {0x10, uint8_t(values[i]), 0};
            h.append(round);
        }
        const std::vector<TrendRun> runs = TrendRuns(h, 0, 1, 100);
        QCOMPARE(runs.size(), size_t(1));
        QStringList points;
        for (const QPointF &p : runs[0].points)
            points << u"%1:%2"_s.arg(qRound(p.x() * 1000)).arg(p.y());
        QTEST(points.join(u' '), "points");
    }

    // The window: a key posted part-way through a trend read reaches its field
    // after the read, which starts an entry, and the trend then waits; a box
    // of a main-window command holds it too; CloseComm pauses it. A row
    // without an address cannot be ticked; Escape closes the window.
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
        QCOMPARE(trend->lblStatus->text(), u"Stopped"_s);
        QVERIFY(!trend->chkRows[1]->isEnabled() && trend->chkRows[1]->toolTip().contains(u"no address"_s));
        QCOMPARE(w.rows[2].edtAddr->accessibleName() + u'|' + w.rows[2].chkHex->accessibleName(), u"Row 3 address|Row 3 hex"_s);
        // Its own Tab chain: the one row with an address, then the interval.
        QTest::mouseClick(trend->chkRows[0], Qt::LeftButton, {}, QPoint(8, trend->chkRows[0]->height() / 2));   // ticks it
        QTest::keyClick(trend->chkRows[0], Qt::Key_Tab);
        QVERIFY(trend->chkRows[0]->isChecked() && trend->focusWidget() == trend->edtInterval);
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
        QVERIFY(trend->scheduler().step() >= 0 && trend->scheduler().history().size() == 1);   // the round ends
        // A write from the row is marked on the register's line.
        press(w.rows[0].edtData, u"1\r"_s);
        const auto &marks = trend->scheduler().history().lines()[0].marks;
        QVERIFY2(marks.size() == 1 && marks.back().value == 1, qPrintable(QString::number(marks.size())));

        // A box shown by a command of the main window holds the trend.
        bool mayRead = true;
        f.prompts.whileShown = [&] { mayRead = w.window.trendMayRead(); };
        f.target.setOptions({.fault = sim::Fault::NoEcho});
        w.edtTest->setFocus();
        QTest::keyClick(w.edtTest, '+');   // the test command, which fails
        QVERIFY(!w.Editing && !f.prompts.messages().isEmpty() && !mayRead);

        w.btnOpenClose->click();   // CloseComm
        QCOMPARE(u"%1 %2 %3 %4 %5"_s.arg(w.CommOpen).arg(trend->scheduler().running()).arg(trend->btnStart->text()).arg(trend->scheduler().step())
                     .arg(trend->lblStatus->text()),
                 u"0 0 &Start -1 Paused: connection closed"_s);

        // Clear asks while rounds are not exported; Escape closes.
        f.prompts.clear();
        f.prompts.boxAnswers << Prompts::IdCancel;
        QTest::mouseClick(trend->btnClear, Qt::LeftButton);
        QVERIFY(trend->scheduler().history().size() > 0 && f.prompts.log.size() == 1 && f.prompts.log[0].startsWith(u"box Clear Trend|"_s));
        trend->activateWindow();
        QTest::keyClick(trend->chkRows[0], Qt::Key_Escape);
        QVERIFY(!trend->isVisible());
    }

    // Exports ask before replacing a file, and an image is written in the
    // form its name says, or refused.
    void exports()
    {
        WindowFixture f;
        f.probe().mnuTrend->trigger();
        TrendWindow *trend = f.probe().trend();
        QTemporaryDir dir;
        const QString old = dir.filePath(u"old.csv"_s);
        QFile file(old);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("other data\n") == 11);
        file.close();
        const auto save = [&](QPushButton *button, const QString &name, int answer = Prompts::IdOk) {
            f.prompts.clear();
            f.prompts.fileAnswers << dir.filePath(name);
            f.prompts.boxAnswers << answer;
            QTest::mouseClick(button, Qt::LeftButton);
            QFile written(dir.filePath(name));
            const QByteArray head = written.open(QIODevice::ReadOnly) ? written.read(4) : QByteArray("none");
            return u"%1 %2"_s.arg(QString::fromLatin1(head.toHex()), f.prompts.log.mid(1).join(u'|').section(u'|', 0, 0));
        };
        QCOMPARE(save(trend->btnExport, u"old.csv"_s, Prompts::IdCancel), u"6f746865 box Export CSV"_s);   // "othe", kept
        QCOMPARE(save(trend->btnExport, u"old.csv"_s), u"6d730a box Export CSV"_s);   // "ms\n"
        QCOMPARE(save(trend->btnImage, u"a.png"_s), u"89504e47 "_s);
        QCOMPARE(save(trend->btnImage, u"a.svg"_s).left(8), u"3c3f786d"_s);   // "<?xm"
        QCOMPARE(save(trend->btnImage, u"a.jpg"_s).left(4), u"ffd8"_s);
        QCOMPARE(save(trend->btnImage, u"a.gif"_s), u"6e6f6e65 msg Cannot save "_s + dir.filePath(u"a.gif"_s)
                                                      + u": the name must end in .png, .svg, .jpg or .jpeg"_s);
    }

    // On a small screen the window opens inside it, over the main window
    // where there is no room beside it; its smallest size fits 640x480.
    void placement_data()
    {
        QTest::addColumn<QRect>("available");
        QTest::addColumn<QRect>("main");
        QTest::addColumn<bool>("beside");
        QTest::newRow("1024x768") << QRect(0, 0, 1024, 740) << QRect(0, 0, 560, 460) << false;
        QTest::newRow("1920x1080") << QRect(0, 0, 1920, 1050) << QRect(0, 0, 560, 460) << true;
        QTest::newRow("scale 2 on 1280x1024") << QRect(0, 0, 640, 500) << QRect(0, 0, 560, 460) << false;
    }
    void placement()
    {
        QFETCH(QRect, available);
        QFETCH(QRect, main);
        WindowFixture f;
        f.probe().mnuTrend->trigger();
        TrendWindow *trend = f.probe().trend();
        trend->placeBeside(main, available);
        const QRect outer(trend->pos(), trend->size() + QSize(8, 34));   // with room for a frame
        QVERIFY2(available.contains(outer), qPrintable(u"%1,%2 %3x%4"_s.arg(outer.x()).arg(outer.y()).arg(outer.width()).arg(outer.height())));
        QTEST(outer.left() > main.right(), "beside");
        QVERIFY(trend->minimumSizeHint().width() <= 620 && trend->minimumSizeHint().height() <= 440);
    }
};

QTEST_MAIN(TstTrend)
#include "tst_trend.moc"
