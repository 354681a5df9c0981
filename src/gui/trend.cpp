#include "trend.h"

#include "prompts.h"
#include "setupfile.h"
#include "textconv.h"

#include <QApplication>
#include <QBuffer>
#include <QCheckBox>
#include <QDateTime>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QImageWriter>
#include <QKeySequence>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QShortcut>
#include <QSpinBox>
#include <QSvgGenerator>
#include <QTimer>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

namespace vek {

// ---------------------------------------------------------------- history

QString TrendLine::name() const
{
    const QString a = AddrDisplay(addr);
    const QString l = label.trimmed();
    return l.isEmpty() ? a : QStringLiteral("%1 (%2)").arg(l, a);
}

void TrendHistory::append(const TrendRound &round)
{
    // Every register kept has its line.
    for (int s = 0; s < round.count; ++s) {
        if (lineOf(round.samples[size_t(s)].addr) < 0)
            touchLine(round.samples[size_t(s)].addr, QString());
    }
    ++m_unexported;
    if (m_rounds.capacity() < size_t(m_capacity))
        m_rounds.reserve(size_t(m_capacity));   // once: the ring never moves or grows past it
    if (qsizetype(m_rounds.size()) < m_capacity) {
        m_rounds.push_back(round);
        ++m_size;
        return;
    }
    m_rounds[size_t(m_first)] = round;   // the oldest makes room
    m_first = (m_first + 1) % m_capacity;
}

void TrendHistory::clear()
{
    m_rounds.clear();
    m_rounds.shrink_to_fit();
    m_first = m_size = 0;
    m_unexported = 0;
    m_lines.clear();
    m_lineOf.clear();
}

qsizetype TrendHistory::lowerBound(qint64 ms) const
{
    qsizetype lo = 0, hi = m_size;
    while (lo < hi) {
        const qsizetype mid = (lo + hi) / 2;
        if (at(mid).ms < ms)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

bool TrendHistory::mark(uint16_t addr, qint64 ms, uint8_t value)
{
    const int line = lineOf(addr);
    if (line < 0)
        return false;
    std::deque<TrendMark> &marks = m_lines[size_t(line)].marks;
    if (marks.size() >= MarksPerLine)
        marks.pop_front();
    marks.push_back({ms, value});
    return true;
}

int TrendHistory::lineOf(uint16_t addr) const
{
    return addr < m_lineOf.size() ? m_lineOf[addr] : -1;
}

int TrendHistory::touchLine(uint16_t addr, const QString &label)
{
    if (m_lineOf.empty())
        m_lineOf.assign(0x10000, -1);
    const int found = lineOf(addr);
    if (found >= 0) {
        m_lines[size_t(found)].label = label;
        return found;
    }
    m_lines.push_back({addr, label, false, {}});
    m_lineOf[addr] = int32_t(m_lines.size() - 1);
    return int(m_lines.size() - 1);
}

namespace {

QByteArray csvField(const QString &text)
{
    QByteArray utf8 = text.toUtf8();
    if (!utf8.contains(',') && !utf8.contains('"') && !utf8.contains('\n') && !utf8.contains('\r')
        && utf8.trimmed() == utf8)
        return utf8;
    return '"' + utf8.replace("\"", "\"\"") + '"';
}

} // namespace

QByteArray TrendCsv(const TrendHistory &history, qint64 startEpochMs)
{
    // A column for each register the kept rounds read, in the order of the lines.
    std::vector<int> column(history.lines().size(), -1);
    for (qsizetype i = 0; i < history.size(); ++i) {
        const TrendRound &round = history.at(i);
        for (int s = 0; s < round.count; ++s)
            column[size_t(history.lineOf(round.samples[size_t(s)].addr))] = 0;
    }
    QByteArray out;
    if (startEpochMs >= 0)
        out += "# Start " + IsoTimeText(startEpochMs).toLatin1() + '\n';
    out += "ms";
    int columns = 0;
    for (size_t l = 0; l < column.size(); ++l) {
        if (column[l] < 0)
            continue;
        column[l] = columns++;
        out += ',' + csvField(history.lines()[l].name());
    }
    out += '\n';
    QByteArrayList cells(columns);
    for (qsizetype i = 0; i < history.size(); ++i) {
        const TrendRound &round = history.at(i);
        for (QByteArray &c : cells)
            c.clear();
        for (int s = 0; s < round.count; ++s) {
            const TrendSample &sample = round.samples[size_t(s)];
            cells[column[size_t(history.lineOf(sample.addr))]] = HexByte(sample.value).toLatin1();
        }
        out += QByteArray::number(round.ms);
        for (const QByteArray &c : cells)
            out += ',' + c;
        out += '\n';
    }
    return out;
}

// ---------------------------------------------------------------- runs

namespace {

// The read of a line in a round, -1 when the round did not read it.
int sampleOf(const TrendRound &round, uint16_t addr)
{
    for (int s = 0; s < round.count; ++s) {
        if (round.samples[size_t(s)].addr == addr)
            return s;
    }
    return -1;
}

// Whether the line's read in round i goes on to round i + 1 without a break.
bool continues(const TrendHistory &h, qsizetype i, uint16_t addr)
{
    return i + 1 < h.size() && h.at(i + 1).joined && sampleOf(h.at(i + 1), addr) >= 0;
}

} // namespace

std::vector<TrendRun> TrendRuns(const TrendHistory &h, double fromSeconds, double toSeconds, int columns)
{
    std::vector<TrendRun> runs;
    if (h.size() == 0)
        return runs;
    const double perColumn = std::max(1e-9, (toSeconds - fromSeconds) / std::max(1, columns));
    // One round before the span: its value may hold into it.
    const qsizetype first = std::max<qsizetype>(0, h.lowerBound(qint64(std::floor(fromSeconds * 1000))) - 1);
    const qsizetype end = std::min(h.size(), h.lowerBound(qint64(std::ceil(toSeconds * 1000)) + 1) + 1);

    struct Open {
        int run = -1;             // index into runs, -1: none open
        qint64 column = 0;
        QPointF low, high, last;  // the column's lowest, highest and latest read
        bool lowFirst = true;
        bool lastKept = false;    // the latest read is the latest point kept
        QPointF kept;             // the latest point kept
        qint64 holdEndMs = 0;
    };
    std::vector<Open> open(h.lines().size());
    const auto keep = [&](Open &o, QPointF p) {
        QList<QPointF> &pts = runs[size_t(o.run)].points;
        if (!pts.isEmpty()) {
            if (p == o.kept)
                return;
            pts << QPointF(p.x(), o.kept.y());   // the step
        }
        pts << p;
        o.kept = p;
    };
    const auto flushColumn = [&](Open &o) {
        if (o.low == o.high) {
            keep(o, o.low);
        } else if (o.lowFirst) {
            keep(o, o.low);
            keep(o, o.high);
        } else {
            keep(o, o.high);
            keep(o, o.low);
        }
    };
    // The step of a line's latest read holds one interval, up to the next
    // round's start at most.
    const auto close = [&](Open &o, qint64 limitMs) {
        if (o.run < 0)
            return;
        o.holdEndMs = std::min(o.holdEndMs, limitMs);
        flushColumn(o);
        keep(o, o.last);   // the value that holds is the latest read
        QList<QPointF> &pts = runs[size_t(o.run)].points;
        pts << QPointF(o.holdEndMs / 1000.0, o.last.y());
        o.run = -1;
    };
    for (qsizetype i = first; i < end; ++i) {
        const TrendRound &round = h.at(i);
        // Lines the round does not carry on end here.
        for (size_t l = 0; l < open.size(); ++l) {
            if (open[l].run >= 0 && (!round.joined || sampleOf(round, h.lines()[l].addr) < 0))
                close(open[l], round.ms);
        }
        for (int s = 0; s < round.count; ++s) {
            const TrendSample &sample = round.samples[size_t(s)];
            const int line = h.lineOf(sample.addr);
            Open &o = open[size_t(line)];
            const double x = round.readMs(s) / 1000.0;
            const QPointF p(x, sample.value);
            const qint64 c = qint64(std::floor((x - fromSeconds) / perColumn));
            if (o.run < 0) {
                runs.push_back({line, {}});
                o.run = int(runs.size() - 1);
                keep(o, p);   // a line starts at its first read
                o.column = c;
                o.low = o.high = p;
                o.lowFirst = true;
            } else if (c != o.column) {
                flushColumn(o);
                o.column = c;
                o.low = o.high = p;
                o.lowFirst = true;
            } else if (p.y() < o.low.y()) {
                o.low = p;
                o.lowFirst = false;
            } else if (p.y() > o.high.y()) {
                o.high = p;
                o.lowFirst = true;
            }
            o.last = p;
            // Held until the next read, at most one interval.
            o.holdEndMs = round.readMs(s) + round.intervalMs;
        }
    }
    // Past the span a line ends at its next read, or at the next round.
    for (size_t l = 0; l < open.size(); ++l) {
        Open &o = open[l];
        if (o.run < 0)
            continue;
        qint64 limit = std::numeric_limits<qint64>::max();
        if (end < h.size()) {
            const TrendRound &next = h.at(end);
            const int s = sampleOf(next, h.lines()[l].addr);
            if (continues(h, end - 1, h.lines()[l].addr))
                o.holdEndMs = limit = next.readMs(s);
            else
                limit = next.ms;
        }
        close(o, limit);
    }
    return runs;
}

QList<TrendReading> TrendReadout(const TrendHistory &h, qint64 ms)
{
    QList<TrendReading> out;
    const qsizetype i = h.lowerBound(ms + 1) - 1;   // the latest round started by then
    if (i < 0)
        return out;
    for (size_t l = 0; l < h.lines().size(); ++l) {
        const uint16_t addr = h.lines()[l].addr;
        for (qsizetype k = i; k >= std::max<qsizetype>(0, i - 1); --k) {
            const TrendRound &round = h.at(k);
            const int s = sampleOf(round, addr);
            if (s < 0 || round.readMs(s) > ms)
                continue;
            qint64 holdEnd = round.readMs(s) + round.intervalMs;
            if (continues(h, k, addr)) {
                const TrendRound &next = h.at(k + 1);
                holdEnd = next.readMs(sampleOf(next, addr));
            } else if (k + 1 < h.size()) {
                holdEnd = std::min(holdEnd, h.at(k + 1).ms);
            }
            if (ms < holdEnd)
                out << TrendReading{int(l), round.samples[size_t(s)].value, round.readMs(s)};
            break;
        }
    }
    return out;
}

// ---------------------------------------------------------------- scheduler

TrendScheduler::TrendScheduler(Window window, std::function<qint64()> clockMs, std::function<qint64()> wallMs)
    : m_window(std::move(window)), m_clock(std::move(clockMs)), m_wall(std::move(wallMs))
{
    if (!m_wall)
        m_wall = [] { return QDateTime::currentMSecsSinceEpoch(); };
}

bool TrendScheduler::readOnLink(Link &link, uint16_t addr, uint8_t &value, QString &message)
{
    GatheringHost gather(link.host());
    Host &own = link.host();
    link.setHost(gather);
    const bool ok = link.ReadRegister(addr, value);
    link.setHost(own);
    if (!ok)
        message = gather.messages.join(u'\n');
    return ok;
}

bool TrendScheduler::setTicked(int row, bool on)
{
    if (on && !m_window.given(row))
        return false;
    m_ticked = uint8_t(on ? m_ticked | (1u << row) : m_ticked & ~(1u << row));
    return true;
}

int TrendScheduler::registerCount() const
{
    std::array<uint16_t, TrendRows> seen{};
    int n = 0;
    for (int r = 0; r < TrendRows; ++r) {
        if (!ticked(r) || !m_window.given(r))
            continue;
        const uint16_t a = m_window.address(r);
        if (std::find(seen.begin(), seen.begin() + n, a) == seen.begin() + n)
            seen[size_t(n++)] = a;
    }
    return n;
}

double TrendScheduler::readLineMs(int baud, bool doubleEcho)
{
    const int bytes = 5 * (doubleEcho ? 3 : 2) + 3;
    return baud > 0 ? bytes * 10000.0 / baud : 0;
}

int TrendScheduler::minimumIntervalMs() const
{
    return std::max(1, int(std::ceil(registerCount() * readLineMs(m_window.baudRate(), m_window.doubleEcho()))));
}

bool TrendScheduler::start()
{
    if (m_running)
        return true;
    if (registerCount() == 0 || !m_window.linkOpen())
        return false;
    const qint64 now = m_clock();
    if (!m_started) {
        m_origin = now;
        m_originWall = m_wall();
        m_started = true;
    }
    m_running = true;
    m_inRound = false;
    m_lastMade = false;   // the first round after a start begins a new line
    m_due = now;
    if (stateChanged)
        stateChanged();
    return true;
}

void TrendScheduler::pause()
{
    if (!m_running)
        return;
    m_running = false;
    m_inRound = false;   // a round cut short is not kept
    m_lastMade = false;
    if (stateChanged)
        stateChanged();
}

void TrendScheduler::clear()
{
    m_history.clear();
    m_inRound = false;
    m_lastMade = false;
    m_started = m_running;
    m_origin = m_clock();
    m_originWall = m_wall();
}

bool TrendScheduler::wrote(uint16_t addr, uint8_t value)
{
    return m_started && m_history.mark(addr, elapsedMs(), value);
}

qint64 TrendScheduler::elapsedMs() const { return m_started ? m_clock() - m_origin : 0; }

void TrendScheduler::finishRound()
{
    m_inRound = false;
    if (m_round.count == 0) {
        m_lastMade = false;
        return;
    }
    m_history.append(m_round);
    m_lastMade = true;
    if (roundDone)
        roundDone();
}

int TrendScheduler::step()
{
    if (!m_running)
        return -1;
    if (!m_window.linkOpen()) {
        pause();
        return -1;
    }
    const qint64 now = m_clock();
    if (!m_inRound) {
        if (now < m_due)
            return int(m_due - now);
        if (!m_window.quiet()) {
            m_waited = true;
            return WaitQuietMs;
        }
        // A round that starts a whole interval late begins a new beat: the
        // rounds missed while it waited are not made up, and the lines break.
        const bool late = now - m_due >= intervalMs();
        m_round = TrendRound{now - m_origin, intervalMs(), 0, m_lastMade && !m_waited && !late, false, {}};
        m_due = late ? now + intervalMs() : m_due + intervalMs();
        m_waited = false;
        m_nextRow = 0;
        m_inRound = true;
    }
    if (!m_window.quiet()) {
        m_round.joined = false;   // its reads come late
        m_lastMade = false;       // and so will the next round's
        return WaitQuietMs;
    }
    // The next ticked row; a register an earlier row read this round is shown, not read again.
    for (; m_nextRow < TrendRows; ++m_nextRow) {
        if (!ticked(m_nextRow) || !m_window.given(m_nextRow))
            continue;
        const uint16_t addr = m_window.address(m_nextRow);
        const int s = sampleOf(m_round, addr);
        if (s < 0)
            break;
        m_window.show(m_nextRow, m_round.samples[size_t(s)].value);
    }
    if (m_nextRow >= TrendRows) {
        finishRound();
        return int(std::max<qint64>(0, m_due - m_clock()));
    }
    const int row = m_nextRow++;
    const uint16_t addr = m_window.address(row);
    const qint64 readAt = m_clock() - m_origin;
    uint8_t value = 0;
    QString message;
    const bool ok = m_window.read(addr, value, message);
    if (!ok) {
        // The failed round is kept empty: the lines break there.
        m_round.count = 0;
        m_round.failed = true;
        m_round.joined = false;
        m_history.append(m_round);
        pause();
        if (failed)
            failed(row, addr, message.isEmpty() ? QStringLiteral("Read Failure") : message);
        return -1;
    }
    m_history.touchLine(addr, m_window.label(row));
    TrendSample &sample = m_round.samples[m_round.count++];
    sample = {addr, value, uint16_t(std::clamp<qint64>(readAt - m_round.ms, 0, 0xFFFF))};
    m_window.show(row, value);
    return 0;
}

// ---------------------------------------------------------------- chart

namespace {

const QString CsvFilter = QStringLiteral("CSV (*.csv)");
const QString ImageFilter = QStringLiteral("PNG image (*.png);;SVG image (*.svg);;JPEG image (*.jpg *.jpeg)");
constexpr int DrawEveryMs = 100;

// Eight colours that stay apart for the common kinds of colour blindness
// (Okabe and Ito), the yellow darkened to show on white. Lines past the
// eighth repeat them dashed.
const std::array<QColor, 8> Palette{QColor(0x00, 0x72, 0xB2), QColor(0xE6, 0x9F, 0x00), QColor(0x00, 0x9E, 0x73),
                                    QColor(0xD5, 0x5E, 0x00), QColor(0x56, 0xB4, 0xE9), QColor(0xCC, 0x79, 0xA7),
                                    QColor(0xB8, 0xA8, 0x00), QColor(0x00, 0x00, 0x00)};

QPen linePen(int line)
{
    QPen pen(Palette[size_t(line) % Palette.size()], 2);
    if (line >= int(Palette.size()))
        pen.setStyle(Qt::DashLine);
    return pen;
}

} // namespace

// The chart: a value axis in the rows' form, a time axis in mm:ss since
// Start, the lines, a legend whose entries hide and show their lines, and
// a cursor line under the mouse. Drawn the same on screen and in images.
class TrendPlot final : public QWidget {
public:
    explicit TrendPlot(TrendWindow &w) : QWidget(&w), m_w(w)
    {
        setObjectName("plotTrend");
        setMouseTracking(true);
        setMinimumSize(320, 200);
        setAttribute(Qt::WA_OpaquePaintEvent);
        setAccessibleName(QStringLiteral("Trend chart"));
    }
    std::vector<TrendRun> runs;
    // The plotting area inside a widget of `size`, below it the legend.
    QRect plotRect(QSize size) const
    {
        const QFontMetrics fm(font());
        const int left = fm.horizontalAdvance(QStringLiteral("255")) + 14;
        const int legend = legendHeight(size.width());
        // Room on the right for half of the last time label.
        const int right = fm.horizontalAdvance(QStringLiteral("00:00.0")) / 2 + 4;
        return QRect(QPoint(left, 8), QPoint(size.width() - right, size.height() - legend - 2 * fm.height() - 12));
    }
    int plotColumns() const { return std::max(1, plotRect(size()).width()); }
    void render(QPainter &p, QSize size) const;
    QString legendAt(QPoint pos) const;

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        render(p, size());
    }
    void mouseMoveEvent(QMouseEvent *e) override;
    void leaveEvent(QEvent *) override
    {
        m_cursorX = -1;
        m_w.lblReadout->clear();
        update();
    }
    void mousePressEvent(QMouseEvent *e) override;
    void mouseDoubleClickEvent(QMouseEvent *) override { m_w.follow(); }
    void wheelEvent(QWheelEvent *e) override
    {
        const double steps = e->angleDelta().y() / 120.0;
        if (steps != 0)
            m_w.zoom(std::pow(0.8, steps), secondsAt(e->position().x()));
        e->accept();
    }

private:
    struct Entry {
        int line;
        QRect rect;
    };
    std::vector<Entry> legend(int width) const;
    int legendHeight(int width) const
    {
        const std::vector<Entry> es = legend(width);
        return es.empty() ? 0 : es.back().rect.bottom() - es.front().rect.top() + 8;
    }
    double secondsAt(double x) const
    {
        const QRect r = plotRect(size());
        const auto [t0, t1] = m_w.span();
        return t0 + (x - r.left()) / std::max(1, r.width()) * (t1 - t0);
    }
    std::pair<int, int> valueRange() const;

    TrendWindow &m_w;
    int m_cursorX = -1;
};

std::vector<TrendPlot::Entry> TrendPlot::legend(int width) const
{
    std::vector<Entry> es;
    const QFontMetrics fm(font());
    const auto &lines = m_w.m_scheduler->history().lines();
    int x = 8, y = 0;
    const int h = fm.height() + 4;
    for (size_t l = 0; l < lines.size(); ++l) {
        const int w = 26 + fm.horizontalAdvance(lines[l].name());
        if (x > 8 && x + w > width - 8) {
            x = 8;
            y += h;
        }
        es.push_back({int(l), QRect(x, y, w, h)});
        x += w + 12;
    }
    // Placed at the bottom of the widget.
    const int top = height() - (y + h) - 4;
    for (Entry &e : es)
        e.rect.translate(0, top);
    return es;
}

QString TrendPlot::legendAt(QPoint pos) const
{
    for (const Entry &e : legend(width())) {
        if (e.rect.contains(pos))
            return m_w.m_scheduler->history().lines()[size_t(e.line)].name();
    }
    return QString();
}

std::pair<int, int> TrendPlot::valueRange() const
{
    if (!m_w.chkFit->isChecked())
        return {0, 255};
    int lo = 255, hi = 0;
    const auto &lines = m_w.m_scheduler->history().lines();
    const auto [t0, t1] = m_w.span();
    for (const TrendRun &run : runs) {
        if (lines[size_t(run.line)].hidden)
            continue;
        for (const QPointF &p : run.points) {
            if (p.x() >= t0 && p.x() <= t1) {
                lo = std::min(lo, int(p.y()));
                hi = std::max(hi, int(p.y()));
            }
        }
    }
    if (lo > hi)
        return {0, 255};
    lo = lo / 16 * 16;
    hi = std::min(255, (hi / 16 + 1) * 16 - 1);
    return {lo, hi};
}

void TrendPlot::render(QPainter &p, QSize size) const
{
    p.fillRect(QRect(QPoint(0, 0), size), Qt::white);
    p.setFont(font());
    const QFontMetrics fm(font());
    const QRect r = plotRect(size);
    if (r.width() < 10 || r.height() < 10)
        return;
    const auto [t0, t1] = m_w.span();
    const auto [v0, v1] = valueRange();
    const auto xOf = [&](double t) { return r.left() + (t - t0) / (t1 - t0) * r.width(); };
    const auto yOf = [&](double v) { return r.bottom() - (v - v0) / double(std::max(1, v1 - v0)) * r.height(); };
    const bool decimal = m_w.chkDecimal->isChecked();

    // Value axis: ticks at powers of two, at most nine of them.
    int vstep = 1;
    while ((v1 - v0) / vstep > 8)
        vstep *= 2;
    p.setPen(QColor(0xE0, 0xE0, 0xE0));
    for (int v = (v0 + vstep - 1) / vstep * vstep; v <= v1 + 1; v += vstep) {
        const int vv = std::min(v, 255);
        const double y = yOf(vv);
        p.setPen(QColor(0xE0, 0xE0, 0xE0));
        p.drawLine(QPointF(r.left(), y), QPointF(r.right(), y));
        p.setPen(Qt::black);
        const QString text = decimal ? QString::number(vv) : QString::asprintf("%02X", unsigned(vv));
        p.drawText(QRectF(0, y - fm.height() / 2.0, r.left() - 6, fm.height()), Qt::AlignRight | Qt::AlignVCenter, text);
        if (vv == 255)
            break;
    }
    // Time axis: round steps, about one a 80 pixels.
    double tick = 0.1;
    for (const double step : {0.1, 0.2, 0.5, 1.0, 2.0, 5.0, 10.0, 15.0, 30.0, 60.0, 120.0, 300.0, 600.0, 900.0,
                              1800.0, 3600.0, 7200.0, 14400.0, 28800.0}) {
        tick = step;
        if ((t1 - t0) / step <= std::max(2, r.width() / 80))
            break;
    }
    for (double t = std::ceil(t0 / tick) * tick; t <= t1 + 1e-9; t += tick) {
        const double x = xOf(t);
        p.setPen(QColor(0xE0, 0xE0, 0xE0));
        p.drawLine(QPointF(x, r.top()), QPointF(x, r.bottom()));
        p.setPen(Qt::black);
        p.drawText(QRectF(x - 50, r.bottom() + 4, 100, fm.height()), Qt::AlignHCenter | Qt::AlignTop,
                   TrendWindow::clockText(t, tick < 1));
    }
    const qint64 startEpoch = m_w.m_scheduler->startEpochMs();
    const QString caption = startEpoch < 0 ? QStringLiteral("time since Start (mm:ss)")
                                           : QStringLiteral("time since Start (mm:ss); Start at %1")
                                                 .arg(QDateTime::fromMSecsSinceEpoch(startEpoch)
                                                          .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
    p.drawText(QRectF(r.left(), r.bottom() + 4 + fm.height(), r.width(), fm.height() + 4), Qt::AlignHCenter, caption);
    p.setPen(Qt::gray);
    p.drawRect(r);

    // The lines, clipped to the plotting area.
    const auto &lines = m_w.m_scheduler->history().lines();
    p.save();
    p.setClipRect(r.adjusted(0, -2, 0, 2));
    p.setRenderHint(QPainter::Antialiasing, false);
    // Segment by segment: a wide pen strokes one long polyline as a whole
    // path, which costs far more than its segments.
    QList<QLineF> segments;
    for (const TrendRun &run : runs) {
        if (lines[size_t(run.line)].hidden)
            continue;
        segments.clear();
        QPointF prev(xOf(run.points.front().x()), yOf(run.points.front().y()));
        for (qsizetype i = 1; i < run.points.size(); ++i) {
            const QPointF next(xOf(run.points[i].x()), yOf(run.points[i].y()));
            segments << QLineF(prev, next);
            prev = next;
        }
        p.setPen(linePen(run.line));
        if (segments.isEmpty())
            p.drawPoint(prev);
        else
            p.drawLines(segments);
    }
    // A write: a small triangle in the line's colour pointing at the value
    // written, at the time it was written (pointing up where there is no
    // room above).
    p.setRenderHint(QPainter::Antialiasing, true);
    for (size_t l = 0; l < lines.size(); ++l) {
        const TrendLine &line = lines[l];
        if (line.hidden || line.marks.empty())
            continue;
        const QColor colour = Palette[l % Palette.size()];
        p.setPen(QPen(colour, 1));
        p.setBrush(colour);
        const auto from = std::lower_bound(line.marks.begin(), line.marks.end(), qint64(std::floor(t0 * 1000)),
                                           [](const TrendMark &m, qint64 ms) { return m.ms < ms; });
        for (auto m = from; m != line.marks.end() && m->ms <= t1 * 1000; ++m) {
            const double x = xOf(m->ms / 1000.0);
            const double y = std::clamp(yOf(m->value), double(r.top()), double(r.bottom()));
            const double d = y - 8 < r.top() ? 8 : -8;
            const QPointF tri[3] = {{x, y}, {x - 4.5, y + d}, {x + 4.5, y + d}};
            p.drawPolygon(tri, 3);
        }
    }
    p.restore();
    if (m_cursorX >= r.left() && m_cursorX <= r.right()) {
        p.setPen(QPen(Qt::darkGray, 1, Qt::DashLine));
        p.drawLine(m_cursorX, r.top(), m_cursorX, r.bottom());
    }

    // The legend: a swatch and the full name; a hidden line greyed.
    for (const Entry &e : legend(size.width())) {
        const TrendLine &line = lines[size_t(e.line)];
        const int mid = e.rect.center().y();
        p.setPen(line.hidden ? QPen(Qt::lightGray, 2) : linePen(e.line));
        p.drawLine(e.rect.left(), mid, e.rect.left() + 20, mid);
        p.setPen(line.hidden ? Qt::gray : Qt::black);
        p.drawText(e.rect.adjusted(26, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter, line.name());
    }
}

void TrendPlot::mouseMoveEvent(QMouseEvent *e)
{
    const QRect r = plotRect(size());
    const QPoint pos = e->position().toPoint();
    if (r.contains(pos)) {
        m_cursorX = pos.x();
        m_w.lblReadout->setText(m_w.readoutAt(secondsAt(pos.x())));
    } else {
        m_cursorX = -1;
        m_w.lblReadout->clear();
    }
    setCursor(legendAt(pos).isEmpty() ? Qt::ArrowCursor : Qt::PointingHandCursor);
    update();
}

void TrendPlot::mousePressEvent(QMouseEvent *e)
{
    for (const Entry &en : legend(width())) {
        if (en.rect.contains(e->position().toPoint())) {
            TrendHistory &h = m_w.m_scheduler->history();
            h.setHidden(en.line, !h.lines()[size_t(en.line)].hidden);
            m_w.redraw();
            return;
        }
    }
}

// ---------------------------------------------------------------- window

TrendWindow::TrendWindow(TrendRowSource &rows, Prompts *prompts, QWidget *parent)
    : QWidget(parent, Qt::Window), m_rows(rows), m_prompts(prompts)
{
    setObjectName("frmTrend");
    setWindowTitle(QStringLiteral("Trend"));
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    TrendScheduler::Window hooks;
    hooks.linkOpen = [this] { return m_rows.linkOpen(); };
    hooks.quiet = [this] { return m_rows.mayRead(); };
    hooks.given = [this](int row) { return m_rows.addressGiven(row); };
    hooks.address = [this](int row) { return m_rows.address(row); };
    hooks.label = [this](int row) { return m_rows.label(row); };
    hooks.show = [this](int row, uint8_t value) { m_rows.show(row, value); };
    hooks.read = [this](uint16_t addr, uint8_t &value, QString &message) { return m_rows.read(addr, value, message); };
    hooks.baudRate = [this] { return m_rows.baudRate(); };
    hooks.doubleEcho = [this] { return m_rows.doubleEcho(); };
    m_scheduler = std::make_unique<TrendScheduler>(hooks, [clock] { return clock->elapsed(); });

    // The controls scroll where the screen is too small for them.
    auto *panel = new QWidget;
    auto *controls = new QVBoxLayout(panel);
    for (int r = 0; r < TrendRows; ++r) {
        QCheckBox *box = chkRows[size_t(r)] = new QCheckBox(panel);
        box->setObjectName(QStringLiteral("chkTrend%1").arg(r + 1));
        box->setAccessibleName(QStringLiteral("Read row %1").arg(r + 1));
        controls->addWidget(box);
        connect(box, &QCheckBox::toggled, this, [this, r, box](bool on) {
            if (!m_scheduler->setTicked(r, on)) {
                const QSignalBlocker block(box);
                box->setChecked(false);
            }
            refreshControls();
        });
    }
    auto *intervalRow = new QHBoxLayout;
    auto *intervalCaption = new QLabel(QStringLiteral("I&nterval"), panel);
    edtInterval = new QSpinBox(panel);
    edtInterval->setObjectName("edtInterval");
    edtInterval->setAccessibleName(QStringLiteral("Interval"));
    edtInterval->setRange(1, 3600000);
    edtInterval->setSuffix(QStringLiteral(" ms"));
    edtInterval->setValue(TrendScheduler::DefaultIntervalMs);
    edtInterval->setKeyboardTracking(false);
    intervalCaption->setBuddy(edtInterval);
    intervalRow->addWidget(intervalCaption);
    intervalRow->addWidget(edtInterval);
    controls->addLayout(intervalRow);
    lblMinimum = new QLabel(panel);
    lblMinimum->setObjectName("lblMinimum");
    lblMinimum->setWordWrap(true);
    controls->addWidget(lblMinimum);
    connect(edtInterval, &QSpinBox::valueChanged, this, &TrendWindow::intervalEdited);

    chkDecimal = new QCheckBox(QStringLiteral("&Decimal values"), panel);
    chkDecimal->setObjectName("chkDecimal");
    chkFit = new QCheckBox(QStringLiteral("&Fit to values"), panel);
    chkFit->setObjectName("chkFit");
    for (QCheckBox *b : {chkDecimal, chkFit}) {
        b->setAccessibleName(b->text().remove(u'&'));
        controls->addWidget(b);
        connect(b, &QCheckBox::toggled, this, [this] { redraw(); });
    }

    btnStart = new QPushButton(QStringLiteral("&Start"), panel);
    btnStart->setObjectName("btnStart");
    btnClear = new QPushButton(QStringLiteral("&Clear"), panel);
    btnClear->setObjectName("btnClear");
    btnExport = new QPushButton(QStringLiteral("&Export CSV..."), panel);
    btnExport->setObjectName("btnExport");
    btnImage = new QPushButton(QStringLiteral("Save &Image..."), panel);
    btnImage->setObjectName("btnImage");
    for (QPushButton *b : {btnStart, btnClear, btnExport, btnImage}) {
        b->setAccessibleName(b->text().remove(u'&').remove(QStringLiteral("...")));
        controls->addWidget(b);
    }
    btnStart->setAccessibleName(QStringLiteral("Start or pause"));
    connect(btnStart, &QPushButton::clicked, this, &TrendWindow::btnStartClick);
    connect(btnClear, &QPushButton::clicked, this, &TrendWindow::btnClearClick);
    connect(btnExport, &QPushButton::clicked, this, &TrendWindow::btnExportClick);
    connect(btnImage, &QPushButton::clicked, this, &TrendWindow::btnImageClick);
    // The status stays in sight below the controls, however they scroll.
    lblStatus = new QLabel(this);
    lblStatus->setObjectName("lblStatus");
    lblStatus->setWordWrap(true);
    lblStatus->setTextFormat(Qt::PlainText);
    lblStart = new QLabel(panel);
    lblStart->setObjectName("lblStart");
    lblStart->setWordWrap(true);
    controls->addWidget(lblStart);
    controls->addStretch(1);
    m_controls = new QScrollArea(this);
    m_controls->setWidget(panel);
    m_controls->setWidgetResizable(true);
    m_controls->setFrameShape(QFrame::NoFrame);
    m_controls->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_controls->setFocusPolicy(Qt::NoFocus);
    m_controls->setMinimumWidth(panel->sizeHint().width() + 20);
    m_controls->setMaximumWidth(panel->sizeHint().width() + 40);

    plot = m_plot = new TrendPlot(*this);
    lblReadout = new QLabel(this);
    lblReadout->setObjectName("lblReadout");
    lblReadout->setTextFormat(Qt::PlainText);
    lblReadout->setMinimumHeight(lblReadout->fontMetrics().height());

    auto *right = new QVBoxLayout;
    right->addWidget(plot, 1);
    right->addWidget(lblReadout);
    auto *left = new QVBoxLayout;
    left->addWidget(m_controls, 1);
    left->addWidget(lblStatus);
    lblStatus->setMaximumWidth(m_controls->maximumWidth());
    auto *layout = new QHBoxLayout(this);
    layout->addLayout(left);
    layout->addLayout(right, 1);
    resize(860, 560);

    // Its own short Tab chain: the tick boxes, the interval, the buttons.
    QWidget *prev = nullptr;
    for (QWidget *w : std::initializer_list<QWidget *>{chkRows[0], chkRows[1], chkRows[2], chkRows[3], chkRows[4],
                                                        chkRows[5], chkRows[6], chkRows[7], edtInterval, chkDecimal,
                                                        chkFit, btnStart, btnClear, btnExport, btnImage}) {
        if (prev)
            setTabOrder(prev, w);
        prev = w;
    }
    for (const QKeySequence &keys : {QKeySequence(Qt::Key_Escape), QKeySequence(QKeySequence::Close),
                                     QKeySequence(Qt::CTRL | Qt::Key_W)}) {
        auto *shortcut = new QShortcut(keys, this);
        shortcut->setContext(Qt::WindowShortcut);
        connect(shortcut, &QShortcut::activated, this, &QWidget::close);
    }

    m_stepTimer = new QTimer(this);
    m_stepTimer->setSingleShot(true);
    m_stepTimer->setTimerType(Qt::PreciseTimer);
    connect(m_stepTimer, &QTimer::timeout, this, &TrendWindow::stepNow);

    m_scheduler->stateChanged = [this] { refreshControls(); };
    m_scheduler->roundDone = [this] { roundDone(); };
    m_rows.changed = [this] {
        refreshNames();
        refreshControls();
    };
    m_rows.wrote = [this](uint16_t addr, uint8_t value) {
        if (m_scheduler->wrote(addr, value))
            m_plot->update();
    };
    refreshNames();
    refreshControls();
    redraw();
    chkRows[0]->setFocus();
}

TrendWindow::~TrendWindow()
{
    m_rows.changed = nullptr;
    m_rows.wrote = nullptr;
}

QString TrendWindow::rowName(int row) const
{
    if (!m_rows.addressGiven(row))
        return QStringLiteral("Row %1").arg(row + 1);
    const QString label = m_rows.label(row).trimmed();
    return label.isEmpty() ? AddrDisplay(m_rows.address(row)) : label;
}

void TrendWindow::refreshNames()
{
    for (int r = 0; r < TrendRows; ++r) {
        QCheckBox *box = chkRows[size_t(r)];
        const bool given = m_rows.addressGiven(r);
        box->setText(rowName(r));
        box->setEnabled(given);
        box->setToolTip(given ? QString()
                              : QStringLiteral("Row %1 has no address yet: give it one in the main window to read it").arg(r + 1));
    }
}

void TrendWindow::intervalEdited(int ms)
{
    m_scheduler->setIntervalMs(ms);
    refreshControls();
}

void TrendWindow::refreshControls()
{
    // The interval shown is the one used; below the minimum it is raised,
    // and lowered again to the one asked for when the minimum falls.
    const int minimum = m_scheduler->minimumIntervalMs();
    const int used = m_scheduler->intervalMs();
    {
        const QSignalBlocker block(edtInterval);
        edtInterval->setValue(used);
    }
    const int n = m_scheduler->registerCount();
    const int baud = m_rows.baudRate();
    const QString round = QStringLiteral("one round of %1 register%2 takes %3 ms at %4 bit/s")
                              .arg(n)
                              .arg(n == 1 ? "" : "s")
                              .arg(minimum)
                              .arg(baud);
    if (n == 0)
        lblMinimum->setText(QStringLiteral("At least %1 ms a ticked register at %2 bit/s")
                                .arg(std::ceil(TrendScheduler::readLineMs(baud, m_rows.doubleEcho())))
                                .arg(baud));
    else
        lblMinimum->setText(m_scheduler->requestedIntervalMs() < minimum
                                ? QStringLiteral("Raised from %1 ms: %2").arg(m_scheduler->requestedIntervalMs()).arg(round)
                                : QStringLiteral("At least %1 ms: %2").arg(minimum).arg(round));
    btnStart->setText(m_scheduler->running() ? QStringLiteral("&Pause") : QStringLiteral("&Start"));
    QString status;
    if (m_scheduler->running())
        status = QStringLiteral("Reading");
    else if (!m_failure.isEmpty())
        status = QStringLiteral("Paused: ") + m_failure;
    else if (!m_scheduler->everStarted() && m_scheduler->history().size() == 0)
        status = QStringLiteral("Stopped");
    else if (m_linkClosed)
        status = QStringLiteral("Paused: connection closed");
    else
        status = QStringLiteral("Paused");
    lblStatus->setText(status);
    const qint64 start = m_scheduler->startEpochMs();
    lblStart->setText(start < 0 ? QString()
                                : QStringLiteral("Start at %1")
                                      .arg(QDateTime::fromMSecsSinceEpoch(start).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))));
}

void TrendWindow::schedule(int ms)
{
    if (ms < 0)
        m_stepTimer->stop();
    else
        m_stepTimer->start(ms);
}

void TrendWindow::stepNow()
{
    QString failure;
    m_scheduler->failed = [&failure](int, uint16_t addr, const QString &text) {
        failure = AddrDisplay(addr) + QStringLiteral(": ") + text;
    };
    const int next = m_scheduler->step();
    m_scheduler->failed = nullptr;
    schedule(next);
    if (!failure.isEmpty()) {
        m_failure = failure.section(u'\n', 0, 0);
        refreshControls();
        redraw();
        m_prompts->showMessage(failure);   // once, after the read has ended
    }
}

void TrendWindow::btnStartClick()
{
    if (m_scheduler->running()) {
        m_scheduler->pause();
        schedule(-1);
        redraw();
        return;
    }
    if (!m_scheduler->start()) {
        lblStatus->setText(m_rows.linkOpen() ? QStringLiteral("Tick the rows to read")
                                             : QStringLiteral("Open the connection first"));
        return;
    }
    m_failure.clear();
    m_linkClosed = false;
    refreshControls();
    follow();
    schedule(0);
}

void TrendWindow::btnClearClick()
{
    const qsizetype left = m_scheduler->history().unexported();
    if (left > 0
        && m_prompts->messageBox(QStringLiteral("%1 round%2 not yet exported. Clear them?").arg(left).arg(left == 1 ? " is" : "s are"),
                                 QStringLiteral("Clear Trend"), Prompts::MbOkCancel | Prompts::MbIconExclamation)
               != Prompts::IdOk)
        return;
    m_scheduler->clear();
    refreshControls();
    follow();
}

void TrendWindow::commChanged(bool open)
{
    if (!open) {
        m_linkClosed = m_scheduler->running() || m_scheduler->everStarted();
        m_scheduler->pause();
        schedule(-1);
        redraw();
    }
    refreshControls();
}

bool TrendWindow::askReplace(const QString &path, const QString &caption)
{
    if (!QFileInfo::exists(path))
        return true;
    return m_prompts->messageBox(QStringLiteral("%1 already exists.\nReplace it?").arg(path), caption,
                                 Prompts::MbOkCancel | Prompts::MbIconExclamation)
           == Prompts::IdOk;
}

void TrendWindow::btnExportClick()
{
    QString path = m_prompts->saveFileName(CsvFilter);
    if (path.isEmpty())
        return;
    if (QFileInfo(path).suffix().isEmpty())
        path += QLatin1String(".csv");
    if (!askReplace(path, QStringLiteral("Export CSV")))
        return;
    QString error;
    if (!SaveFile(path, TrendCsv(m_scheduler->history(), m_scheduler->startEpochMs()), &error))
        m_prompts->showMessage(QStringLiteral("Could not write %1: %2").arg(path, error));
    else
        m_scheduler->history().markExported();
}

void TrendWindow::btnImageClick()
{
    QString path = m_prompts->saveFileName(ImageFilter);
    if (path.isEmpty())
        return;
    QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix.isEmpty()) {
        path += QLatin1String(".png");
        suffix = QStringLiteral("png");
    }
    QByteArray format;
    if (suffix == u"png")
        format = "png";
    else if (suffix == u"jpg" || suffix == u"jpeg")
        format = "jpeg";
    else if (suffix != u"svg") {
        m_prompts->showMessage(QStringLiteral("Cannot save %1: the name must end in .png, .svg, .jpg or .jpeg").arg(path));
        return;
    }
    if (!format.isEmpty() && !QImageWriter::supportedImageFormats().contains(format)) {
        m_prompts->showMessage(QStringLiteral("Cannot save %1: this installation cannot write %2 images; use .png or .svg")
                                   .arg(path, QString::fromLatin1(format).toUpper()));
        return;
    }
    if (!askReplace(path, QStringLiteral("Save Image")))
        return;
    redraw();
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    const QSize size = plot->size();
    if (format.isEmpty()) {
        QSvgGenerator svg;
        svg.setOutputDevice(&buffer);
        svg.setSize(size);
        svg.setViewBox(QRect(QPoint(0, 0), size));
        svg.setTitle(QStringLiteral("Trend"));
        QPainter painter(&svg);
        m_plot->render(painter, size);
    } else {
        QImage image(size, QImage::Format_RGB32);
        {
            QPainter painter(&image);
            m_plot->render(painter, size);
        }
        QImageWriter writer(&buffer, format);
        if (!writer.write(image)) {
            m_prompts->showMessage(QStringLiteral("Could not make %1: %2").arg(path, writer.errorString()));
            return;
        }
    }
    QString error;
    if (!SaveFile(path, buffer.data(), &error))
        m_prompts->showMessage(QStringLiteral("Could not write %1: %2").arg(path, error));
}

// The chart is redrawn between rounds, never between the reads of one, so
// that its painting never stretches a round; at most every DrawEveryMs.
void TrendWindow::roundDone()
{
    if (!m_lastDraw.isValid() || m_lastDraw.elapsed() >= DrawEveryMs)
        redraw();
}

void TrendWindow::follow()
{
    m_following = true;
    redraw();
}

void TrendWindow::zoom(double factor, double about)
{
    auto [t0, t1] = m_span;
    const double width = std::clamp((t1 - t0) * factor, 0.05, 1e7);
    const double share = t1 > t0 ? std::clamp((about - t0) / (t1 - t0), 0.0, 1.0) : 1.0;
    t0 = about - share * width;
    m_span = {t0, t0 + width};
    m_following = false;
    redraw();
}

void TrendWindow::redraw()
{
    m_lastDraw.start();
    const TrendHistory &h = m_scheduler->history();
    if (m_following) {
        const double last = h.size() > 0 ? (h.at(h.size() - 1).ms + h.at(h.size() - 1).intervalMs) / 1000.0 : 0;
        const double width = std::clamp(last, 10.0, FollowSeconds);
        const double end = std::max(last, width);
        m_span = {end - width, end};
    }
    m_plot->runs = TrendRuns(h, m_span.first, m_span.second, m_plot->plotColumns());
    plot->update();
}

QString TrendWindow::clockText(double seconds, bool tenths)
{
    const qint64 tenthsAll = qint64(std::llround(seconds * 10));
    const qint64 s = tenthsAll / 10;
    QString text = s >= 3600 ? QStringLiteral("%1:%2:%3").arg(s / 3600).arg(s / 60 % 60, 2, 10, QLatin1Char('0')).arg(s % 60, 2, 10, QLatin1Char('0'))
                             : QStringLiteral("%1:%2").arg(s / 60, 2, 10, QLatin1Char('0')).arg(s % 60, 2, 10, QLatin1Char('0'));
    if (tenths)
        text += u'.' + QString::number(tenthsAll % 10);
    return text;
}

QString TrendWindow::readoutAt(double seconds) const
{
    if (seconds < 0)
        return QString();
    const TrendHistory &h = m_scheduler->history();
    QStringList parts;
    for (const TrendReading &r : TrendReadout(h, qint64(std::floor(seconds * 1000)))) {
        const TrendLine &line = h.lines()[size_t(r.line)];
        const uint8_t v = r.value;
        parts << QStringLiteral("%1 %2 at %3")
                     .arg(line.name(), chkDecimal->isChecked() ? QString::number(v) : HexByte(v),
                          clockText(r.readMs / 1000.0, true));
    }
    return clockText(seconds, true) + QStringLiteral("   ") + (parts.isEmpty() ? QStringLiteral("no read") : parts.join(QStringLiteral("   ")));
}

void TrendWindow::placeBeside(const QRect &mainFrame, const QRect &available)
{
    // Room for the window manager's frame, not known before the window shows.
    const QSize frame(8, 34);
    QSize inner = size().boundedTo(available.size() - frame).expandedTo(minimumSizeHint());
    resize(inner);
    const QSize outer = inner + frame;
    QPoint at;
    if (mainFrame.right() + 8 + outer.width() <= available.right() + 1)
        at = QPoint(mainFrame.right() + 8, mainFrame.top());
    else if (mainFrame.left() - 8 - outer.width() >= available.left())
        at = QPoint(mainFrame.left() - 8 - outer.width(), mainFrame.top());
    else
        at = mainFrame.topLeft() + QPoint(24, 24);   // over it
    const int x = std::clamp(at.x(), available.left(), std::max(available.left(), available.right() + 1 - outer.width()));
    const int y = std::clamp(at.y(), available.top(), std::max(available.top(), available.bottom() + 1 - outer.height()));
    move(x, y);
}

bool TrendWindow::focusNextPrevChild(bool next)
{
    // Tab stays in this window's own controls.
    QList<QWidget *> chain;
    for (QWidget *w : std::initializer_list<QWidget *>{chkRows[0], chkRows[1], chkRows[2], chkRows[3], chkRows[4],
                                                        chkRows[5], chkRows[6], chkRows[7], edtInterval, chkDecimal,
                                                        chkFit, btnStart, btnClear, btnExport, btnImage}) {
        if (w->isEnabled() && w->isVisibleTo(this))
            chain << w;
    }
    if (chain.isEmpty())
        return false;
    QWidget *focus = focusWidget();
    while (focus && !chain.contains(focus) && focus != this)
        focus = focus->parentWidget();
    qsizetype i = chain.indexOf(focus);
    i = i < 0 ? (next ? 0 : chain.size() - 1) : (i + (next ? 1 : chain.size() - 1)) % chain.size();
    chain[i]->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
    m_controls->ensureWidgetVisible(chain[i]);
    return true;
}

void TrendWindow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    refreshNames();
    refreshControls();
    redraw();
}

void TrendWindow::closeEvent(QCloseEvent *event)
{
    m_scheduler->pause();
    schedule(-1);
    QWidget::closeEvent(event);
}

} // namespace vek
