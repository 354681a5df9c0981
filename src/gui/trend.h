#pragma once
// The trend: chosen watch rows read round after round and drawn over time.
// TrendScheduler decides when to read what and keeps the history; it owns
// no widget and runs on any clock, so tests drive it on a virtual one.
// TrendWindow is the window around it: tick boxes, interval, the chart and
// the exports.

#include "comport.h"

#include <QElapsedTimer>
#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

class QCheckBox;
class QChart;
class QChartView;
class QLabel;
class QLineSeries;
class QPushButton;
class QSpinBox;
class QTimer;
class QValueAxis;

namespace vek {

class TfrmVekComm;
class Prompts;

inline constexpr int TrendRows = 8;

// One round: when it started (ms since Start) and the value of each row it read.
struct TrendRound {
    qint64 ms = 0;
    uint8_t mask = 0;   // bit r: row r was read
    std::array<uint8_t, TrendRows> values{};
};

// The newest rounds, at most `capacity` of them, in a ring: 100,000 rounds
// of 24 bytes each hold 2.4 MB however long the trend runs.
class TrendHistory {
public:
    static constexpr qsizetype Capacity = 100000;
    explicit TrendHistory(qsizetype capacity = Capacity) : m_capacity(capacity) {}
    void append(const TrendRound &round);
    void clear();
    qsizetype size() const { return m_size; }
    const TrendRound &at(qsizetype i) const   // 0 is the oldest kept
    {
        return m_rounds[size_t((m_first + i) % m_capacity)];
    }
    // The first round that started at or after `ms`; size() when none did.
    qsizetype lowerBound(qint64 ms) const;
    // The rows read in any round since the last clear.
    uint8_t rowsSeen() const { return m_seen; }

private:
    qsizetype m_capacity;
    std::vector<TrendRound> m_rounds;
    qsizetype m_first = 0;
    qsizetype m_size = 0;
    uint8_t m_seen = 0;
};

// The history in the form of `vekctl watch --csv`: a header "ms" and one
// column a row read (named by `names`, quoted where needed), then a line a
// round, each value as two hex digits; a row a round did not read is empty.
QByteArray TrendCsv(const TrendHistory &history, const std::array<QString, TrendRows> &names);

// When to read what. One register read per step, rows in row order, a
// round every interval. It reads only while started, only the ticked rows,
// only while the link is open and the window is quiet; a round that falls
// due while the window is not waits, and is not repeated for the time it
// waited. The first failed read pauses it and reports what the link said,
// gathered into one text.
class TrendScheduler {
public:
    // What it asks of the window.
    struct Window {
        std::function<bool()> linkOpen;
        std::function<bool()> quiet;                  // no entry, no command, no box
        std::function<uint16_t(int row)> address;
        std::function<void(int row, uint8_t value)> show;
    };
    static constexpr int DefaultIntervalMs = 200;
    static constexpr int WaitQuietMs = 10;   // how soon to look again while the window is busy

    TrendScheduler(Link &link, Window window, std::function<qint64()> clockMs);

    void setTicked(int row, bool on);
    bool ticked(int row) const { return (m_ticked >> row) & 1; }
    int tickedCount() const;
    // Never below minimumIntervalMs(): a change of ticks or bit rate raises it.
    void setIntervalMs(int ms);
    int intervalMs() const;
    // One round of the ticked rows on the line at the link's bit rate.
    int minimumIntervalMs() const;
    // One register read's line time: the five characters and their echoes,
    // then two digits and the prompt, ten bit times a byte.
    static double readLineMs(int baud, bool doubleEcho);

    // False (and stays paused) while the link is closed or no row is ticked.
    bool start();
    void pause();
    bool running() const { return m_running; }
    // Empties the history; the next Start begins the time axis again.
    void clear();

    // Does what is due now: at most one register read. Returns the time in
    // ms until it wants to be called again (0: at once), -1 when paused.
    int step();

    const TrendHistory &history() const { return m_history; }
    TrendHistory &history() { return m_history; }
    qint64 elapsedMs() const;   // since Start, on the clock

    std::function<void(const QString &)> failed;   // the first failed read
    std::function<void()> stateChanged;            // started or paused
    std::function<void()> roundDone;

private:
    void finishRound();

    Link &m_link;
    Window m_window;
    std::function<qint64()> m_clock;
    TrendHistory m_history;
    uint8_t m_ticked = 0;
    int m_intervalMs = DefaultIntervalMs;
    bool m_running = false;
    bool m_started = false;   // the time axis has its origin
    qint64 m_origin = 0;
    qint64 m_due = 0;
    bool m_inRound = false;
    int m_nextRow = 0;
    TrendRound m_round;
};

// The trend window: beside the main window, never modal.
class TrendWindow : public QWidget {
    Q_OBJECT
public:
    static constexpr double FollowSeconds = 600;   // the newest 10 minutes

    TrendWindow(TfrmVekComm &main, Prompts *prompts, QWidget *parent = nullptr);
    ~TrendWindow() override;

    TrendScheduler &scheduler() { return *m_scheduler; }
    // The row's name in the tick box, the legend and the CSV: its label, or
    // without one its address.
    QString rowName(int row) const;

    // Controls, named like the main window's.
    std::array<QCheckBox *, TrendRows> chkRows{};
    QSpinBox *edtInterval = nullptr;
    QLabel *lblMinimum = nullptr;
    QPushButton *btnStart = nullptr, *btnClear = nullptr, *btnExport = nullptr, *btnImage = nullptr;
    QLabel *lblStatus = nullptr;
    QLabel *lblReadout = nullptr;
    QChartView *chartView = nullptr;

    void btnStartClick();
    void btnClearClick();
    void btnExportClick();
    void btnImageClick();
    // The main window's connection opened or closed.
    void commChanged(bool open);
    // Redraws the chart from the history now.
    void redraw();
    // The time span shown, in seconds since Start.
    std::pair<double, double> span() const;
    bool following() const { return m_following; }
    void zoom(double factor, double aboutSeconds);
    void follow();
    // The readout at a time: "12.3 s  TMR0 4F  PORTB 80".
    QString readoutAt(double seconds) const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    // Closing the window pauses the trend: nothing is read that no window shows.
    void closeEvent(QCloseEvent *event) override;

private:
    void schedule(int ms);
    void stepNow();
    void refreshNames();
    void refreshControls();
    void roundDone();

    TfrmVekComm &m_main;
    Prompts *m_prompts;
    std::unique_ptr<TrendScheduler> m_scheduler;
    QTimer *m_stepTimer = nullptr;
    QElapsedTimer m_lastDraw;
    QChart *m_chart = nullptr;
    QValueAxis *m_axisTime = nullptr, *m_axisValue = nullptr, *m_axisHex = nullptr;
    std::array<QLineSeries *, TrendRows> m_series{};
    bool m_following = true;
    std::pair<double, double> m_span{0, 10};
};

} // namespace vek
