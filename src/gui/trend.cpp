#include "trend.h"

#include "frmvekcom.h"
#include "prompts.h"
#include "setupfile.h"
#include "textconv.h"

#include <QApplication>
#include <QBuffer>
#include <QChart>
#include <QChartView>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLegend>
#include <QLineEdit>
#include <QLineSeries>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QSpinBox>
#include <QSvgGenerator>
#include <QTimer>
#include <QVBoxLayout>
#include <QValueAxis>
#include <QWheelEvent>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

namespace vek {

// ---------------------------------------------------------------- history

void TrendHistory::append(const TrendRound &round)
{
    m_seen = uint8_t(m_seen | round.mask);
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
    m_seen = 0;
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

QByteArray TrendCsv(const TrendHistory &history, const std::array<QString, TrendRows> &names)
{
    const uint8_t seen = history.rowsSeen();
    QByteArray out = "ms";
    for (int r = 0; r < TrendRows; ++r) {
        if ((seen >> r) & 1)
            out += ',' + csvField(names[size_t(r)]);
    }
    out += '\n';
    for (qsizetype i = 0; i < history.size(); ++i) {
        const TrendRound &round = history.at(i);
        out += QByteArray::number(round.ms);
        for (int r = 0; r < TrendRows; ++r) {
            if (!((seen >> r) & 1))
                continue;
            out += ',';
            if ((round.mask >> r) & 1)
                out += HexByte(round.values[size_t(r)]).toLatin1();
        }
        out += '\n';
    }
    return out;
}

// ---------------------------------------------------------------- scheduler

namespace {

// The link's host while a trend read runs: its messages are kept, to be
// shown as one box once the read has failed; waits still go through.
class GatheringHost final : public Host {
public:
    explicit GatheringHost(Host &inner) : m_inner(inner) {}
    QStringList messages;
    void showMessage(const QString &text) override { messages << text; }
    void sleepMs(int ms) override { m_inner.sleepMs(ms); }

private:
    Host &m_inner;
};

} // namespace

TrendScheduler::TrendScheduler(Link &link, Window window, std::function<qint64()> clockMs)
    : m_link(link), m_window(std::move(window)), m_clock(std::move(clockMs))
{
}

void TrendScheduler::setTicked(int row, bool on)
{
    m_ticked = uint8_t(on ? m_ticked | (1u << row) : m_ticked & ~(1u << row));
    setIntervalMs(m_intervalMs);
}

int TrendScheduler::tickedCount() const { return std::popcount(m_ticked); }

void TrendScheduler::setIntervalMs(int ms) { m_intervalMs = std::max(ms, minimumIntervalMs()); }

int TrendScheduler::intervalMs() const { return std::max(m_intervalMs, minimumIntervalMs()); }

double TrendScheduler::readLineMs(int baud, bool doubleEcho)
{
    const int bytes = 5 * (doubleEcho ? 3 : 2) + 3;
    return baud > 0 ? bytes * 10000.0 / baud : 0;
}

int TrendScheduler::minimumIntervalMs() const
{
    return std::max(1, int(std::ceil(tickedCount() * readLineMs(m_link.BaudRate, m_link.DoubleEcho))));
}

bool TrendScheduler::start()
{
    if (m_running)
        return true;
    if (m_ticked == 0 || !m_window.linkOpen())
        return false;
    const qint64 now = m_clock();
    if (!m_started) {
        m_origin = now;
        m_started = true;
    }
    m_running = true;
    m_inRound = false;
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
    if (stateChanged)
        stateChanged();
}

void TrendScheduler::clear()
{
    m_history.clear();
    m_inRound = false;
    m_started = m_running;
    m_origin = m_clock();
}

qint64 TrendScheduler::elapsedMs() const { return m_started ? m_clock() - m_origin : 0; }

void TrendScheduler::finishRound()
{
    m_inRound = false;
    if (m_round.mask == 0)
        return;
    m_history.append(m_round);
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
        if (!m_window.quiet())
            return WaitQuietMs;
        // A round that starts a whole interval late begins a new beat: the
        // rounds missed while it waited are not made up.
        m_due = now - m_due >= intervalMs() ? now + intervalMs() : m_due + intervalMs();
        m_round = TrendRound{now - m_origin, 0, {}};
        m_nextRow = 0;
        m_inRound = true;
    }
    if (!m_window.quiet())
        return WaitQuietMs;
    while (m_nextRow < TrendRows && !ticked(m_nextRow))
        ++m_nextRow;
    if (m_nextRow >= TrendRows) {
        finishRound();
        return int(std::max<qint64>(0, m_due - m_clock()));
    }
    const int row = m_nextRow++;
    GatheringHost gather(m_link.host());
    Host &own = m_link.host();
    m_link.setHost(gather);
    uint8_t value = 0;
    const bool ok = m_link.ReadRegister(m_window.address(row), value);
    m_link.setHost(own);
    if (!ok) {
        pause();
        if (failed)
            failed(gather.messages.isEmpty() ? QStringLiteral("Reading row %1 failed").arg(row + 1)
                                             : gather.messages.join(u'\n'));
        return -1;
    }
    m_round.values[size_t(row)] = value;
    m_round.mask = uint8_t(m_round.mask | (1u << row));
    m_window.show(row, value);
    return 0;
}

// ---------------------------------------------------------------- window

namespace {

const QString CsvFilter = QStringLiteral("CSV (*.csv)");
const QString ImageFilter = QStringLiteral("PNG image (*.png);;SVG image (*.svg)");
constexpr int DrawEveryMs = 100;

} // namespace

TrendWindow::TrendWindow(TfrmVekComm &main, Prompts *prompts, QWidget *parent)
    : QWidget(parent, Qt::Window), m_main(main), m_prompts(prompts)
{
    setObjectName("frmTrend");
    setWindowTitle(QStringLiteral("Trend"));
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    TrendScheduler::Window hooks;
    hooks.linkOpen = [this] { return m_main.commOpen(); };
    hooks.quiet = [this] { return m_main.trendMayRead(); };
    hooks.address = [this](int row) { return m_main.rowAddress(row); };
    hooks.show = [this](int row, uint8_t value) { m_main.showTrendValue(row, value); };
    m_scheduler = std::make_unique<TrendScheduler>(main.link(), hooks, [clock] { return clock->elapsed(); });

    auto *controls = new QVBoxLayout;
    for (int r = 0; r < TrendRows; ++r) {
        chkRows[size_t(r)] = new QCheckBox(this);
        chkRows[size_t(r)]->setObjectName(QStringLiteral("chkTrend%1").arg(r + 1));
        controls->addWidget(chkRows[size_t(r)]);
        connect(chkRows[size_t(r)], &QCheckBox::toggled, this, [this, r](bool on) {
            m_scheduler->setTicked(r, on);
            refreshControls();
        });
    }
    auto *intervalRow = new QHBoxLayout;
    auto *intervalCaption = new QLabel(QStringLiteral("I&nterval"), this);
    edtInterval = new QSpinBox(this);
    edtInterval->setObjectName("edtInterval");
    edtInterval->setRange(1, 3600000);
    edtInterval->setSuffix(QStringLiteral(" ms"));
    edtInterval->setValue(TrendScheduler::DefaultIntervalMs);
    intervalCaption->setBuddy(edtInterval);
    intervalRow->addWidget(intervalCaption);
    intervalRow->addWidget(edtInterval);
    controls->addLayout(intervalRow);
    lblMinimum = new QLabel(this);
    lblMinimum->setObjectName("lblMinimum");
    controls->addWidget(lblMinimum);
    connect(edtInterval, &QSpinBox::valueChanged, this, [this](int ms) { m_scheduler->setIntervalMs(ms); });

    btnStart = new QPushButton(QStringLiteral("&Start"), this);
    btnStart->setObjectName("btnStart");
    btnClear = new QPushButton(QStringLiteral("&Clear"), this);
    btnClear->setObjectName("btnClear");
    btnExport = new QPushButton(QStringLiteral("&Export CSV..."), this);
    btnExport->setObjectName("btnExport");
    btnImage = new QPushButton(QStringLiteral("Save &Image..."), this);
    btnImage->setObjectName("btnImage");
    for (QPushButton *b : {btnStart, btnClear, btnExport, btnImage})
        controls->addWidget(b);
    connect(btnStart, &QPushButton::clicked, this, &TrendWindow::btnStartClick);
    connect(btnClear, &QPushButton::clicked, this, &TrendWindow::btnClearClick);
    connect(btnExport, &QPushButton::clicked, this, &TrendWindow::btnExportClick);
    connect(btnImage, &QPushButton::clicked, this, &TrendWindow::btnImageClick);
    lblStatus = new QLabel(this);
    lblStatus->setObjectName("lblStatus");
    controls->addWidget(lblStatus);
    controls->addStretch(1);

    m_chart = new QChart;
    m_chart->legend()->setAlignment(Qt::AlignBottom);
    m_axisTime = new QValueAxis(m_chart);
    m_axisTime->setTitleText(QStringLiteral("seconds since Start"));
    m_axisTime->setTickType(QValueAxis::TicksDynamic);
    m_axisValue = new QValueAxis(m_chart);
    m_axisHex = new QValueAxis(m_chart);
    for (QValueAxis *axis : {m_axisValue, m_axisHex}) {
        axis->setRange(0, 255);
        axis->setTickType(QValueAxis::TicksDynamic);
        axis->setTickAnchor(0);
        axis->setTickInterval(0x40);
    }
    m_axisValue->setLabelFormat(QStringLiteral("%d"));
    m_axisHex->setLabelFormat(QStringLiteral("%02X"));
    m_chart->addAxis(m_axisTime, Qt::AlignBottom);
    m_chart->addAxis(m_axisValue, Qt::AlignLeft);
    m_chart->addAxis(m_axisHex, Qt::AlignRight);
    for (int r = 0; r < TrendRows; ++r) {
        auto *series = new QLineSeries(m_chart);
        m_chart->addSeries(series);
        series->attachAxis(m_axisTime);
        series->attachAxis(m_axisValue);
        series->setVisible(false);
        m_series[size_t(r)] = series;
    }
    chartView = new QChartView(m_chart, this);
    chartView->setObjectName("chartTrend");
    chartView->setMinimumSize(560, 360);
    chartView->viewport()->setMouseTracking(true);
    chartView->viewport()->installEventFilter(this);
    lblReadout = new QLabel(this);
    lblReadout->setObjectName("lblReadout");
    lblReadout->setTextFormat(Qt::PlainText);

    auto *right = new QVBoxLayout;
    right->addWidget(chartView, 1);
    right->addWidget(lblReadout);
    auto *layout = new QHBoxLayout(this);
    layout->addLayout(controls);
    layout->addLayout(right, 1);

    m_stepTimer = new QTimer(this);
    m_stepTimer->setSingleShot(true);
    m_stepTimer->setTimerType(Qt::PreciseTimer);
    connect(m_stepTimer, &QTimer::timeout, this, &TrendWindow::stepNow);

    m_scheduler->stateChanged = [this] { refreshControls(); };
    m_scheduler->roundDone = [this] { roundDone(); };

    for (int r = 0; r < TrendRows; ++r) {
        connect(m_main.row(r).edtLabel, &QLineEdit::textChanged, this, &TrendWindow::refreshNames);
        connect(m_main.row(r).edtAddr, &QLineEdit::textChanged, this, &TrendWindow::refreshNames);
    }
    refreshNames();
    refreshControls();
    redraw();
    chkRows[0]->setFocus();
}

TrendWindow::~TrendWindow() = default;

QString TrendWindow::rowName(int row) const
{
    const QString label = m_main.row(row).edtLabel->text().trimmed();
    return label.isEmpty() ? AddrDisplay(m_main.rowAddress(row)) : label;
}

void TrendWindow::refreshNames()
{
    for (int r = 0; r < TrendRows; ++r) {
        chkRows[size_t(r)]->setText(rowName(r));
        m_series[size_t(r)]->setName(rowName(r));
    }
}

void TrendWindow::refreshControls()
{
    const int minimum = m_scheduler->minimumIntervalMs();
    edtInterval->setMinimum(minimum);
    m_scheduler->setIntervalMs(edtInterval->value());
    lblMinimum->setText(QStringLiteral("at least %1 ms at %2 bit/s").arg(minimum).arg(m_main.link().BaudRate));
    btnStart->setText(m_scheduler->running() ? QStringLiteral("&Pause") : QStringLiteral("&Start"));
    if (m_scheduler->running())
        lblStatus->setText(QStringLiteral("Reading"));
    else if (!m_main.commOpen())
        lblStatus->setText(QStringLiteral("Paused: connection closed"));
    else if (m_scheduler->tickedCount() == 0)
        lblStatus->setText(QStringLiteral("Tick the rows to read"));
    else
        lblStatus->setText(QStringLiteral("Paused"));
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
    m_scheduler->failed = [&failure](const QString &text) { failure = text; };
    const int next = m_scheduler->step();
    m_scheduler->failed = nullptr;
    schedule(next);
    if (!failure.isEmpty()) {
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
        lblStatus->setText(m_main.commOpen() ? QStringLiteral("Tick the rows to read")
                                           : QStringLiteral("Open the connection first"));
        return;
    }
    follow();
    schedule(0);
}

void TrendWindow::btnClearClick()
{
    m_scheduler->clear();
    follow();
}

void TrendWindow::commChanged(bool open)
{
    if (!open) {
        m_scheduler->pause();
        schedule(-1);
        redraw();
    }
    refreshControls();
}

void TrendWindow::btnExportClick()
{
    QString path = m_prompts->saveFileName(CsvFilter);
    if (path.isEmpty())
        return;
    if (QFileInfo(path).suffix().isEmpty())
        path += QLatin1String(".csv");
    std::array<QString, TrendRows> names;
    for (int r = 0; r < TrendRows; ++r)
        names[size_t(r)] = rowName(r);
    QString error;
    if (!SaveFile(path, TrendCsv(m_scheduler->history(), names), &error))
        m_prompts->showMessage(QStringLiteral("Could not write %1: %2").arg(path, error));
}

void TrendWindow::btnImageClick()
{
    QString path = m_prompts->saveFileName(ImageFilter);
    if (path.isEmpty())
        return;
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix.isEmpty())
        path += QLatin1String(".png");
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    if (suffix == QLatin1String("svg")) {
        QSvgGenerator svg;
        svg.setOutputDevice(&buffer);
        svg.setSize(chartView->size());
        svg.setViewBox(chartView->rect());
        svg.setTitle(QStringLiteral("Trend"));
        QPainter painter(&svg);
        chartView->render(&painter);
    } else {
        chartView->grab().save(&buffer, "PNG");
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

std::pair<double, double> TrendWindow::span() const { return m_span; }

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
        const double last = h.size() > 0 ? h.at(h.size() - 1).ms / 1000.0 : 0;
        const double width = std::clamp(last, 10.0, FollowSeconds);
        const double end = std::max(last, width);
        m_span = {end - width, end};
    }
    const auto [t0, t1] = m_span;
    m_axisTime->setRange(t0, t1);
    // Ticks at round numbers of seconds, five to ten of them.
    double tick = 0.1;
    for (const double step : {0.1, 0.2, 0.5, 1.0, 2.0, 5.0, 10.0, 20.0, 30.0, 60.0, 120.0, 300.0, 600.0, 1200.0, 1800.0, 3600.0}) {
        tick = step;
        if ((t1 - t0) / step <= 10)
            break;
    }
    while ((t1 - t0) / tick > 10)
        tick *= 2;
    m_axisTime->setTickAnchor(0);
    m_axisTime->setTickInterval(tick);
    m_axisTime->setLabelFormat(tick < 1 ? QStringLiteral("%.1f") : QStringLiteral("%.0f"));

    // A line keeps two points a pixel column, its lowest and highest value
    // there in the order they came: the chart repaints every point it holds.
    const int columns = std::max(1, int(m_chart->plotArea().width()));
    const double perColumn = (t1 - t0) / columns;
    const qsizetype first = std::max<qsizetype>(0, h.lowerBound(qint64(std::floor(t0 * 1000))) - 1);
    const qsizetype end = std::min(h.size(), h.lowerBound(qint64(std::ceil(t1 * 1000)) + 1) + 1);
    const uint8_t seen = h.rowsSeen();
    struct Line {
        QList<QPointF> points;
        qint64 column = std::numeric_limits<qint64>::min();
        QPointF low, high;
        void flush()
        {
            if (column == std::numeric_limits<qint64>::min())
                return;
            if (low == high)
                points << low;
            else if (low.x() <= high.x())
                points << low << high;
            else
                points << high << low;
        }
    };
    std::array<Line, TrendRows> lines;
    for (qsizetype i = first; i < end; ++i) {
        const TrendRound &round = h.at(i);
        const double x = round.ms / 1000.0;
        const qint64 c = qint64(std::floor((x - t0) / perColumn));
        for (int r = 0; r < TrendRows; ++r) {
            if (!((round.mask >> r) & 1))
                continue;
            Line &line = lines[size_t(r)];
            const QPointF p(x, round.values[size_t(r)]);
            if (c != line.column) {
                line.flush();
                line.column = c;
                line.low = line.high = p;
            } else if (p.y() < line.low.y()) {
                line.low = p;
            } else if (p.y() > line.high.y()) {
                line.high = p;
            }
        }
    }
    for (int r = 0; r < TrendRows; ++r) {
        QLineSeries *series = m_series[size_t(r)];
        if (!((seen >> r) & 1)) {
            series->setVisible(false);
            series->clear();
            continue;
        }
        lines[size_t(r)].flush();
        series->replace(lines[size_t(r)].points);
        series->setName(rowName(r));
        series->setVisible(true);
    }
}

QString TrendWindow::readoutAt(double seconds) const
{
    const TrendHistory &h = m_scheduler->history();
    const qsizetype i = h.lowerBound(qint64(std::floor(seconds * 1000)) + 1) - 1;
    if (i < 0)
        return QString();
    const TrendRound &round = h.at(i);
    QString text = QString::number(seconds, 'f', 1) + QStringLiteral(" s");
    for (int r = 0; r < TrendRows; ++r) {
        if ((round.mask >> r) & 1)
            text += QStringLiteral("   %1 %2").arg(rowName(r), HexByte(round.values[size_t(r)]));
    }
    return text;
}

bool TrendWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != chartView->viewport())
        return QWidget::eventFilter(watched, event);
    const auto secondsAt = [this](QPointF pos) {
        return m_chart->mapToValue(m_chart->mapFromScene(chartView->mapToScene(pos.toPoint())), m_series[0]).x();
    };
    switch (event->type()) {
    case QEvent::MouseMove: {
        const QPointF pos = static_cast<QMouseEvent *>(event)->position();
        lblReadout->setText(m_chart->plotArea().contains(m_chart->mapFromScene(chartView->mapToScene(pos.toPoint())))
                                ? readoutAt(secondsAt(pos))
                                : QString());
        return false;
    }
    case QEvent::Wheel: {
        auto *we = static_cast<QWheelEvent *>(event);
        const double steps = we->angleDelta().y() / 120.0;
        if (steps != 0)
            zoom(std::pow(0.8, steps), secondsAt(we->position()));
        return true;
    }
    case QEvent::MouseButtonDblClick:
        follow();
        return true;
    default:
        return false;
    }
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
