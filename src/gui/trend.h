#pragma once
// The trend: the registers of chosen watch rows read round after round and
// drawn over time. A line is one register, whichever rows showed it.
// TrendHistory keeps the rounds, TrendScheduler decides when to read what;
// neither owns a widget, and the scheduler runs on any clock, so tests drive
// it on a virtual one. TrendWindow is the window around them: tick boxes,
// interval, the chart and the exports. It sees the main window only through
// TrendRowSource.

#include "comport.h"

#include <QElapsedTimer>
#include <QPointF>
#include <QRect>
#include <QWidget>
#include <array>
#include <deque>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

class QCheckBox;
class QLabel;
class QPushButton;
class QScrollArea;
class QSpinBox;
class QTimer;

namespace vek {

class Prompts;
class TrendPlot;

inline constexpr int TrendRows = 8;

// What the trend needs of the window whose rows it reads.
class TrendRowSource {
public:
    virtual ~TrendRowSource() = default;
    virtual bool linkOpen() const = 0;
    // Reads one register on the window's connection: its own link, or the
    // server of a port it joined. False with what the line said.
    virtual bool read(uint16_t addr, uint8_t &value, QString &message) = 0;
    // The bit rate and echo the reads run at, for the minimum interval.
    virtual int baudRate() const = 0;
    virtual bool doubleEcho() const = 0;
    // No entry, no command, no box or dialog: a read may go out now.
    virtual bool mayRead() const = 0;
    // Whether the row's address field has shown an address in this run.
    virtual bool addressGiven(int row) const = 0;
    virtual uint16_t address(int row) const = 0;
    virtual QString label(int row) const = 0;
    // Puts a value the trend read into the row's data field.
    virtual void show(int row, uint8_t value) = 0;
    // Set by the trend; the source calls it when an address or label changed.
    std::function<void()> changed;
    // Set by the trend; the source calls it for every write to a register
    // (its own or one a client of its connection made), with the value written.
    std::function<void(uint16_t addr, uint8_t value)> wrote;
};

// One read: the register, its value and when it was read (ms after the
// start of its round).
struct TrendSample {
    uint16_t addr = 0;
    uint8_t value = 0;
    uint16_t offsetMs = 0;
};

// One round: when it started (ms since Start), each register it read once.
struct TrendRound {
    qint64 ms = 0;
    int32_t intervalMs = 0;   // the interval it was read at: how long a value holds
    uint8_t count = 0;
    bool joined = false;      // made on the beat right after the round before
    bool failed = false;      // a read failed: nothing of it is kept
    std::array<TrendSample, TrendRows> samples{};
    qint64 readMs(int i) const { return ms + samples[size_t(i)].offsetMs; }
};

// A write to a register while the trend ran: when (ms since Start) and
// the value written.
struct TrendMark {
    qint64 ms = 0;
    uint8_t value = 0;
};

// A register the trend read, with the label it had when last read.
struct TrendLine {
    uint16_t addr = 0;
    QString label;
    bool hidden = false;   // not drawn; still read
    std::deque<TrendMark> marks;   // the newest writes, at most TrendHistory::MarksPerLine
    // "LABEL (ADDR)", or the address display alone.
    QString name() const;
};

// The newest rounds, at most `capacity` of them, in a ring (64 bytes a round:
// 6.4 MB at 100,000 however long the trend runs), and the lines, one a
// register read since the last clear, in the order first read.
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

    // The line of a register, -1 before its first read.
    int lineOf(uint16_t addr) const;
    // The register's line, made at its first read; the label follows the row.
    int touchLine(uint16_t addr, const QString &label);
    const std::vector<TrendLine> &lines() const { return m_lines; }
    void setHidden(int line, bool hidden) { m_lines[size_t(line)].hidden = hidden; }
    // Marks a write on the register's line; false (nothing kept) for a
    // register without a line. The oldest mark makes room past the bound.
    static constexpr size_t MarksPerLine = 1000;
    bool mark(uint16_t addr, qint64 ms, uint8_t value);

    // Rounds appended since the last export (or clear).
    qsizetype unexported() const { return m_unexported; }
    void markExported() { m_unexported = 0; }

private:
    qsizetype m_capacity;
    std::vector<TrendRound> m_rounds;
    qsizetype m_first = 0;
    qsizetype m_size = 0;
    qsizetype m_unexported = 0;
    std::vector<TrendLine> m_lines;
    std::vector<int32_t> m_lineOf;   // by address, any 16-bit one
};

// The history in the form of `vekctl watch --csv`: a comment with the wall-
// clock time of Start, a header "ms" and a column a register read (named
// as its line, quoted where needed), then a line a round, each value as two
// hex digits; a register a round did not read is empty, and so is every
// column of a failed round. `startEpochMs` < 0 leaves the comment out.
QByteArray TrendCsv(const TrendHistory &history, qint64 startEpochMs);

// What the chart draws of one line: runs of steps. A value holds until the
// register's next read, at most one interval; where a round was not made
// (a pause, an entry, a box, a failed read, a closed link) the line breaks.
// Each pixel column of the span keeps its lowest and highest read in the
// order they were read. Points are (seconds since Start, value).
struct TrendRun {
    int line = 0;
    QList<QPointF> points;
};
std::vector<TrendRun> TrendRuns(const TrendHistory &history, double fromSeconds, double toSeconds, int columns);

// What holds at a moment: each line's value with the time of its read;
// nothing for a line that is in a gap there.
struct TrendReading {
    int line = 0;
    uint8_t value = 0;
    qint64 readMs = 0;
};
QList<TrendReading> TrendReadout(const TrendHistory &history, qint64 ms);

// When to read what. One register read per step, rows in row order, a
// register shown by two rows read once, a round every interval. It reads
// only while started, only the ticked rows, only while the link is open and
// the window is quiet; a round that falls due while the window is not
// waits, is not repeated for the time it waited, and breaks the lines. The
// first failed read pauses it and reports what the link said, gathered
// into one text.
class TrendScheduler {
public:
    // What it asks of the window.
    struct Window {
        std::function<bool()> linkOpen;
        std::function<bool()> quiet;   // no entry, no command, no box
        std::function<bool(int row)> given;
        std::function<uint16_t(int row)> address;
        std::function<QString(int row)> label;
        std::function<void(int row, uint8_t value)> show;
        // One register read; on failure what the line said, gathered into one text.
        std::function<bool(uint16_t addr, uint8_t &value, QString &message)> read;
        std::function<int()> baudRate;
        std::function<bool()> doubleEcho;
    };
    static constexpr int DefaultIntervalMs = 200;
    static constexpr int WaitQuietMs = 10;   // how soon to look again while the window is busy

    TrendScheduler(Window window, std::function<qint64()> clockMs, std::function<qint64()> wallMs = {});
    // A read on a link of one's own, its messages gathered instead of shown.
    static bool readOnLink(Link &link, uint16_t addr, uint8_t &value, QString &message);

    // A row whose address was never given cannot be ticked: false.
    bool setTicked(int row, bool on);
    bool ticked(int row) const { return (m_ticked >> row) & 1; }
    // The registers one round reads: the ticked rows', each once.
    int registerCount() const;
    // The interval asked for; the one used is never below the minimum.
    void setIntervalMs(int ms) { m_requestedMs = std::max(1, ms); }
    int requestedIntervalMs() const { return m_requestedMs; }
    int intervalMs() const { return std::max(m_requestedMs, minimumIntervalMs()); }
    // One round of the ticked registers on the line at the link's bit rate.
    int minimumIntervalMs() const;
    // One register read's line time: the five characters and their echoes,
    // then two digits and the prompt, ten bit times a byte.
    static double readLineMs(int baud, bool doubleEcho);

    // False (and stays paused) while the link is closed or no row is ticked.
    bool start();
    void pause();
    bool running() const { return m_running; }
    bool everStarted() const { return m_started; }
    // Empties the history; the next Start begins the time axis again.
    void clear();
    // A write to a register: marked on its line at the time now, if the
    // trend has a time axis and the register a line. True when marked.
    bool wrote(uint16_t addr, uint8_t value);

    // Does what is due now: at most one register read. Returns the time in
    // ms until it wants to be called again (0: at once), -1 when paused.
    int step();

    const TrendHistory &history() const { return m_history; }
    TrendHistory &history() { return m_history; }
    qint64 elapsedMs() const;     // since Start, on the clock
    qint64 startEpochMs() const { return m_started ? m_originWall : -1; }

    std::function<void(int row, uint16_t addr, const QString &)> failed;   // the first failed read
    std::function<void()> stateChanged;                                  // started or paused
    std::function<void()> roundDone;

private:
    void finishRound();

    Window m_window;
    std::function<qint64()> m_clock;
    std::function<qint64()> m_wall;
    TrendHistory m_history;
    uint8_t m_ticked = 0;
    int m_requestedMs = DefaultIntervalMs;
    bool m_running = false;
    bool m_started = false;   // the time axis has its origin
    qint64 m_origin = 0;
    qint64 m_originWall = 0;
    qint64 m_due = 0;
    bool m_inRound = false;
    bool m_lastMade = false;  // the round before was made and kept
    bool m_waited = false;    // the round due waited for the window
    int m_nextRow = 0;
    TrendRound m_round;
};

// The trend window: beside the main window, never modal.
class TrendWindow : public QWidget {
    Q_OBJECT
public:
    static constexpr double FollowSeconds = 600;   // the newest 10 minutes

    TrendWindow(TrendRowSource &rows, Prompts *prompts, QWidget *parent = nullptr);
    ~TrendWindow() override;

    TrendScheduler &scheduler() { return *m_scheduler; }
    // The row's name in its tick box: its label, or without one its address.
    QString rowName(int row) const;

    // Controls, named like the main window's.
    std::array<QCheckBox *, TrendRows> chkRows{};
    QSpinBox *edtInterval = nullptr;
    QLabel *lblMinimum = nullptr;
    QCheckBox *chkDecimal = nullptr, *chkFit = nullptr;
    QPushButton *btnStart = nullptr, *btnClear = nullptr, *btnExport = nullptr, *btnImage = nullptr;
    QLabel *lblStatus = nullptr;
    QLabel *lblStart = nullptr;
    QLabel *lblReadout = nullptr;
    QWidget *plot = nullptr;   // the chart

    void btnStartClick();
    void btnClearClick();
    void btnExportClick();
    void btnImageClick();
    // The main window's connection opened or closed.
    void commChanged(bool open);
    // Redraws the chart from the history now.
    void redraw();
    // The time span shown, in seconds since Start.
    std::pair<double, double> span() const { return m_span; }
    bool following() const { return m_following; }
    void zoom(double factor, double aboutSeconds);
    void follow();
    // The readout at a time: "01:23.4  TMR0 (001) 4F  PORTB (006) 80 at 01:23.5".
    QString readoutAt(double seconds) const;
    // Opens beside `mainFrame` inside `available` where there is room, over
    // it where there is not, no larger than `available`.
    void placeBeside(const QRect &mainFrame, const QRect &available);
    // Time on the chart's axis: mm:ss, h:mm:ss past an hour.
    static QString clockText(double seconds, bool tenths);

protected:
    bool focusNextPrevChild(bool next) override;
    void showEvent(QShowEvent *event) override;
    // Closing the window pauses the trend: nothing is read that no window shows.
    void closeEvent(QCloseEvent *event) override;

private:
    friend class TrendPlot;
    void schedule(int ms);
    void stepNow();
    void refreshNames();
    void refreshControls();
    void roundDone();
    void intervalEdited(int ms);
    bool askReplace(const QString &path, const QString &caption);

    TrendRowSource &m_rows;
    Prompts *m_prompts;
    std::unique_ptr<TrendScheduler> m_scheduler;
    QTimer *m_stepTimer = nullptr;
    QElapsedTimer m_lastDraw;
    QScrollArea *m_controls = nullptr;
    TrendPlot *m_plot = nullptr;
    QString m_failure;   // the reason of the last pause by a failed read
    bool m_linkClosed = false;
    bool m_following = true;
    std::pair<double, double> m_span{0, 10};
};

} // namespace vek
