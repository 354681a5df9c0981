// trendbench: what the trend costs.
//  1. A round of N ticked rows against the simulated target on a
//     pseudo-terminal, paced at 9600 bit/s, driven by the trend window's own
//     timer in the event loop: from the first byte of its first read to the
//     prompt of its last, against N reads' line time. Goal: at most 1.05.
//     Beside it, where the rest goes: the time inside the reads (the line and
//     the pseudo-terminal's wake-ups) and between them (the event loop, the
//     timer, the chart's redraw).
//  2. Drawing: 8 lines of 100,000 rounds; the time to thin them into the
//     chart and paint one frame, following the newest 10 minutes and showing
//     the whole history. Goal: a frame within 50 ms.
//  3. Memory: 200,000 rounds of 8 rows through the scheduler on a virtual
//     clock, the chart's lines made every 50 rounds as the window makes
//     them; resident memory at 10, 50, 100 and 200 % of the ring. Goal:
//     flat once the ring is full.
// Figures only; nothing is asserted.

#include "benchsupport.h"
#include "frmvekcom.h"
#include "setupfile.h"
#include "targetmonitor.h"
#include "ptytarget.h"
#include "qtserialline.h"
#include "recordingprompts.h"
#include "trend.h"

#include <QApplication>
#include <QTemporaryDir>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <deque>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// CPU time of the calling thread, in ms: the drawing's own work, whatever
// else the machine runs.
double threadCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

using vekbench::median;

// The platform's port with the moment each register read starts (its 'A'
// is written) and ends (its prompt arrives).
class TimedLine final : public vek::SerialLine {
public:
    std::vector<std::pair<Clock::time_point, Clock::time_point>> reads;
    OpenResult open(const QString &name, int32_t baud) override { return m_line.open(name, baud); }
    bool isOpen() const override { return m_line.isOpen(); }
    bool close() override { return m_line.close(); }
    bool writeByte(uint8_t b) override
    {
        if (b == 'A' && m_counting)
            m_start = Clock::now();
        return m_line.writeByte(b);
    }
    ReadResult readByte(uint8_t &b) override
    {
        const ReadResult r = m_line.readByte(b);
        if (r == ReadResult::Byte && b == '>' && m_counting)
            reads.emplace_back(m_start, Clock::now());
        return r;
    }
    void purgeRx() override { m_line.purgeRx(); }
    void purgeTx() override { m_line.purgeTx(); }
    bool setBreak(bool on) override { return m_line.setBreak(on); }
    void count(bool on) { m_counting = on; }

private:
    vek::QtSerialLine m_line;
    Clock::time_point m_start;
    bool m_counting = false;
};

void runFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

void rounds(double seconds)
{
    std::printf("1. A round's cost against its line time, 9600 bit/s, paced simulated target, the window's timer\n");
    std::printf("%5s %8s %10s %11s %8s %8s %11s %8s %10s %10s\n", "rows", "rounds", "line [ms]", "round [ms]", "ratio",
                "worst", "reads [ms]", "ratio", "in reads", "between");
    vek::sim::PtyTarget target({}, 9600);
    QString error;
    if (!target.start(&error)) {
        std::printf("cannot start the target: %s\n", qPrintable(error));
        return;
    }
    TimedLine line;
    vek::testing::RecordingPrompts prompts;
    vek::WindowDeps deps{&line, &prompts, {}, {target.devicePath()}, QStringList{}, {}};
    vek::TfrmVekComm window(deps);
    const vek::TfrmVekComm::Probe probe(window);
    window.show();
    probe.btnOpenClose->click();
    if (!probe.CommOpen) {
        std::printf("cannot connect: %s\n", qPrintable(prompts.log.join(u' ')));
        return;
    }
    // The rows' addresses from a setup file, as a user would load them.
    QTemporaryDir dir;
    const QString setup = dir.filePath(QStringLiteral("rows.vek"));
    std::array<vek::SetupRow, vek::RowCount> rowsSetup{};
    for (int r = 0; r < vek::RowCount; ++r)
        rowsSetup[size_t(r)] = {uint16_t(0x20 + r), 0};
    vek::SaveFile(setup, vek::FormatSetup(rowsSetup, {}));
    prompts.fileAnswers << setup;
    probe.mnuOpen->trigger();
    probe.mnuTrend->trigger();
    vek::TrendWindow &trend = *probe.trend();
    for (int n : {1, 2, 4, 8}) {
        // Every row at its first address: a read costs the same at any.
        for (int r = 0; r < vek::TrendRows; ++r)
            trend.chkRows[size_t(r)]->setChecked(r < n);
        trend.edtInterval->setValue(0);   // the minimum: rounds back to back
        line.reads.clear();
        line.count(true);
        trend.btnStartClick();
        runFor(int(seconds * 1000));
        trend.btnStartClick();   // pause
        line.count(false);
        const double lineMs = n * vek::TrendScheduler::readLineMs(9600, false);
        const auto costs = [&] {
            std::vector<double> c;
            for (size_t i = 0; i + size_t(n) <= line.reads.size(); i += size_t(n))
                c.push_back(std::chrono::duration<double, std::milli>(line.reads[i + size_t(n) - 1].second
                                                                      - line.reads[i].first)
                                .count());
            return c;
        };
        const std::vector<double> trendCosts = costs();
        // Within the trend's rounds: the time inside the reads, the rest between them.
        std::vector<double> inside;
        for (size_t i = 0; i + size_t(n) <= line.reads.size(); i += size_t(n)) {
            double sum = 0;
            for (size_t k = i; k < i + size_t(n); ++k)
                sum += std::chrono::duration<double, std::milli>(line.reads[k].second - line.reads[k].first).count();
            inside.push_back(sum);
        }
        // The same reads back to back through the link alone: what the line
        // and the operating system allow.
        line.reads.clear();
        line.count(true);
        uint8_t value = 0;
        for (size_t i = 0; i < trendCosts.size() * size_t(n); ++i)
            window.link().ReadRegister(0x000, value);
        line.count(false);
        const std::vector<double> linkCosts = costs();
        const double m = median(trendCosts), l = median(linkCosts);
        const double worst = trendCosts.empty() ? 0 : *std::max_element(trendCosts.begin(), trendCosts.end());
        const double in = median(inside);
        std::printf("%5d %8zu %10.2f %11.2f %8.3f %8.3f %11.2f %8.3f %10.2f %10.2f\n", n, trendCosts.size(), lineMs, m,
                    m / lineMs, worst / lineMs, l, l / lineMs, in, m - in);
    }
    probe.btnOpenClose->click();
    target.stop();
    std::printf("line: N reads of 13 bytes (5 sent, 5 echoes, 2 digits, the prompt), 10 bit times each.\n"
                "round: median from the first read's 'A' to the last read's prompt; reads: the same reads by the\n"
                "link alone, back to back. Goal: ratio at most 1.05. in reads: the median sum of the round's reads,\n"
                "each from its 'A' to its prompt; between: the rest of the round (event loop, timer, redraw).\n\n");
}

void drawing(int runs)
{
    std::printf("2. Drawing 8 lines of 100,000 rounds (a round every 200 ms: 5.6 hours)\n");
    vek::testing::RecordingPrompts prompts;
    vek::QtSerialLine line;
    vek::WindowDeps deps{&line, &prompts, {}, {}, QStringList{}, {}};
    vek::TfrmVekComm window(deps);
    const vek::TfrmVekComm::Probe probe(window);
    probe.mnuTrend->trigger();
    vek::TrendWindow &trend = *probe.trend();
    trend.resize(1000, 560);
    QApplication::processEvents();
    vek::TrendHistory &h = trend.scheduler().history();
    for (int r = 0; r < vek::TrendRows; ++r)
        h.touchLine(uint16_t(r), QString());
    for (int i = 0; i < vek::TrendHistory::Capacity; ++i) {
        vek::TrendRound round{qint64(i) * 200, 200, vek::TrendRows, i > 0, false, {}};
        for (int r = 0; r < vek::TrendRows; ++r)
            round.samples[size_t(r)] = {uint16_t(r), uint8_t(127.5 + 127.5 * std::sin(i / (50.0 + 13 * r) + r)),
                                        uint16_t(r * 14)};
        h.append(round);
    }
    std::printf("%-22s %10s %11s %11s %15s\n", "span shown", "thin [ms]", "paint [ms]", "frame [ms]",
                "frame cpu [ms]");
    const auto measure = [&](const char *name, const std::function<void()> &show) {
        std::vector<double> thin, paint, cpu;
        for (int run = 0; run < runs; ++run) {
            show();
            const double cpu0 = threadCpuMs();
            QElapsedTimer t;
            t.start();
            trend.redraw();
            thin.push_back(t.nsecsElapsed() / 1e6);
            t.restart();
            trend.plot->repaint();
            paint.push_back(t.nsecsElapsed() / 1e6);
            cpu.push_back(threadCpuMs() - cpu0);
        }
        std::printf("%-22s %10.2f %11.2f %11.2f %15.2f\n", name, median(thin), median(paint),
                    median(thin) + median(paint), median(cpu));
    };
    measure("newest 10 minutes", [&] { trend.follow(); });
    measure("all 100,000 rounds", [&] {
        trend.follow();
        const auto [t0, t1] = trend.span();
        trend.zoom(h.at(h.size() - 1).ms / 1000.0 / (t1 - t0), t1);
    });
    std::printf("thin: the history into two points a pixel column and line; paint: one repaint of the chart.\n"
                "Goal: a frame within 50 ms. Median of %d runs.\n",
                runs);
}

// The process's resident memory, in MB.
double residentMb()
{
    long pages = 0, resident = 0;
    if (FILE *f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return resident * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

// A line whose far end is the simulated monitor, answering at once and
// keeping nothing: what the scheduler and history cost, alone.
class InstantLine final : public vek::SerialLine {
public:
    explicit InstantLine(vek::sim::TargetMonitor &target) : m_target(target) {}
    OpenResult open(const QString &, int32_t) override { return OpenResult::Ok; }
    bool isOpen() const override { return true; }
    bool close() override { return true; }
    bool writeByte(uint8_t b) override
    {
        const QByteArray reply = m_target.feed(b);
        m_rx.insert(m_rx.end(), reply.begin(), reply.end());
        return true;
    }
    ReadResult readByte(uint8_t &b) override
    {
        if (m_rx.empty())
            return ReadResult::Timeout;
        b = m_rx.front();
        m_rx.pop_front();
        return ReadResult::Byte;
    }
    void purgeRx() override { m_rx.clear(); }
    void purgeTx() override {}
    bool setBreak(bool) override { return true; }

private:
    vek::sim::TargetMonitor &m_target;
    std::deque<uint8_t> m_rx;
};

class NoHost final : public vek::Host {
public:
    void showMessage(const QString &) override {}
    void sleepMs(int) override {}
};

void memory()
{
    std::printf("3. Memory: 8 rows through the scheduler on a virtual clock, a round every 200 ms\n");
    vek::sim::TargetOptions options;
    options.moving = true;
    vek::sim::TargetMonitor target(options);
    InstantLine line(target);
    NoHost host;
    vek::Link link(line, host);
    qint64 now = 0;
    vek::TrendScheduler::Window w;
    w.linkOpen = [] { return true; };
    w.quiet = [] { return true; };
    w.given = [](int) { return true; };
    w.address = [](int row) { return uint16_t(row == 0 ? 0x001 : row == 1 ? 0x01E : 0x20 + row); };
    w.label = [](int row) { return QStringLiteral("R%1").arg(row + 1); };
    w.show = [](int, uint8_t) {};
    w.read = [&link](uint16_t addr, uint8_t &value, QString &message) {
        return vek::TrendScheduler::readOnLink(link, addr, value, message);
    };
    w.baudRate = [&link] { return link.BaudRate; };
    w.doubleEcho = [&link] { return link.DoubleEcho; };
    vek::TrendScheduler trend(w, [&now] { return now; }, [] { return qint64(0); });
    for (int r = 0; r < vek::TrendRows; ++r)
        trend.setTicked(r, true);
    trend.start();
    const qsizetype ring = vek::TrendHistory::Capacity;
    std::printf("%10s %8s %10s %12s\n", "rounds", "of ring", "kept", "resident [MB]");
    std::printf("%10d %7d%% %10d %12.1f\n", 0, 0, 0, residentMb());
    qsizetype rounds = 0;
    trend.roundDone = [&] { ++rounds; };
    for (const int percent : {10, 50, 100, 150, 200}) {
        while (rounds < ring * percent / 100) {
            const int wait = trend.step();
            if (wait < 0)
                break;
            now += wait;
            target.setTime(std::chrono::milliseconds(now));
            if (wait > 0 && rounds % 50 == 0) {
                target.clearLog();   // the simulated target's own record of what it received
                // As the window redraws: the newest 10 minutes, 700 pixel columns.
                const double end = now / 1000.0;
                const auto runs = vek::TrendRuns(trend.history(), std::max(0.0, end - 600), end, 700);
                (void)runs;
            }
        }
        std::printf("%10lld %7d%% %10lld %12.1f\n", (long long)rounds, percent, (long long)trend.history().size(),
                    residentMb());
    }
    std::printf("Goal: flat once the ring of %lld rounds (%zu bytes each) is full.\n\n", (long long)ring,
                sizeof(vek::TrendRound));
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const bool quick = app.arguments().contains(QStringLiteral("--quick"));
    memory();   // first: the other parts leave freed memory the process keeps
    rounds(quick ? 1.0 : 3.0);
    drawing(quick ? 3 : 10);
    return 0;
}
