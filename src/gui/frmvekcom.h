#pragma once
// The main window: connection control, eight register watch rows, the bit
// panel, the test field and the setup files.

#include "comport.h"
#include "deskinput.h"
#include "setupfile.h"
#include "host.h"
#include "serialline.h"

#include <QMainWindow>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <QHash>
#include <QStringList>

namespace vek {
class LinkTarget;
class ShareServer;
class SharedTarget;
struct Result;
}

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressDialog;
class QPushButton;

namespace vek {

class Prompts;
class RadioGroup;
class TLabels;
class TrendWindow;

struct WindowDeps {
    SerialLine *line = nullptr;        // not owned
    Prompts *prompts = nullptr;        // not owned
    std::function<void(int)> sleepMs;  // the link's fixed waits; default sleeps for real
    QStringList extraPorts;            // listed first (--demo, --port)
    std::optional<QStringList> platformPorts; // replaces the platform's list (tests)
    std::function<qint64()> nowMs;     // OpenComm's clock, in ms; default the monotonic clock
    HeldCommands *held = nullptr;      // cut commands kept beyond a connection; not owned, may be null
};

class TfrmVekComm : public QMainWindow {
    Q_OBJECT
public:
    explicit TfrmVekComm(const WindowDeps &deps, QWidget *parent = nullptr);
    ~TfrmVekComm() override;

    struct Row {
        QLineEdit *edtLabel = nullptr;
        QLineEdit *edtAddr = nullptr;
        QLineEdit *edtData = nullptr;
        QCheckBox *chkHex = nullptr;
    };

    // The window's one connection to its target.
    Link &link() { return *m_link; }
    QWidget *control(const QString &name) const;
    // Places the window inside a screen's available area (see placeOnScreen).
    void placeWithin(const QRect &available);
    // Room for the window manager's frame, unknown before the window shows.
    static constexpr int FrameBorder = 4;
    static constexpr int FrameTitle = 30;
    // An OpenComm that takes longer shows a box whose Cancel (or Escape) ends it.
    static constexpr int ProgressAfterMs = 1000;

    // What the trend window reads and shows. It reads only while no entry is
    // open, no command runs and no box or dialog is up, and shows what it
    // read in the row's data field.
    bool commOpen() const { return CommOpen; }
    uint16_t rowAddress(int r) const { return RowAddr[size_t(r)]; }
    const Row &row(int r) const { return rows[size_t(r)]; }
    // One trend read on the window's connection, its messages handed back.
    bool trendRead(uint16_t addr, uint8_t &value, QString &message);
    bool trendMayRead() const;
    void showTrendValue(int r, uint8_t value);

    // While connected the window serves its connection to other programs
    // of the user (vekctl, scripts); nullptr while closed or when another
    // process serves the port.
    ShareServer *server() const { return m_server.get(); }
    // A port that another program serves (vekctl -p PORT serve) is joined
    // instead of opened: the window's commands go through that program's
    // connection. nullptr while the window has a line of its own or none.
    SharedTarget *joined() const { return m_joined.get(); }

    // The tests' view of the window: the controls a person clicks and types
    // into, and the state kept between events, read-only.
    struct Probe;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    friend struct Probe;
    class GuiHost;
    class CancelGate;
    class TrendRows;
    enum class FieldKind { Label, Addr, Data, BitAddr, BitLabel, Test };
    struct FieldRef {
        FieldKind kind;
        int row;
    };

    // State between events.
    bool CommOpen = false;
    bool Editing = false;
    std::array<uint16_t, RowCount> RowAddr{};
    std::array<uint8_t, RowCount> RowValue{};
    std::array<bool, RowCount> RowAddrGiven{};   // the address field has shown an address
    uint16_t BitAddr = 0;
    uint8_t BitValue = 0;
    bool BitUpdating = false;
    uint8_t TestValue = 0;
    QString SetupFileName;

    // Controls.
    std::array<Row, RowCount> rows;
    QPushButton *btnOpenClose = nullptr;
    QComboBox *cbPorts = nullptr;
    RadioGroup *rgBaudRate = nullptr;
    QLabel *lblVekVer = nullptr;
    QLineEdit *edtBitAddr = nullptr;
    QLineEdit *edtBitLabel = nullptr;
    std::array<RadioGroup *, 8> rgBits{};        // rgBits[n] is rg<n>
    std::array<QPushButton *, 8> btnToggles{};   // btnToggles[n] toggles bit n
    QLineEdit *edtTest = nullptr;
    QAction *mnuOpen = nullptr, *mnuSave = nullptr, *mnuOpenInc = nullptr;
    QAction *mnuCal0 = nullptr, *mnuCal1 = nullptr, *mnuExit = nullptr;
    TLabels *Labels = nullptr;
    QAction *mnuTrend = nullptr;

    // Connection.
    void FormCreate();
    void btnOpenCloseClick();
    void rgBaudRateClick();
    void mnuCal0Click();
    void mnuCal1Click();
    void mnuExitClick();
    bool GetVersion();
    void BuildPortList();
    // OpenComm's waits: false once it was cancelled (the progress box, the
    // window closed); true at once outside OpenComm.
    bool keepWaiting();
    void endOpening();
    // Why the line was lost, the first time a box of the command under way
    // asks (empty after that, and while the line works); the window then
    // shows "line lost: REASON" until CloseComm.
    QString causeToTell();
    void showLineLost();
    // In red when it warns.
    void showVerText(const QString &text, bool warning = false);

    // Rows (index 0..RowCount-1 for rows 1..8).
    bool edtAddrKeyPress(int r, char &key);
    void edtAddrExit(int r);
    bool edtDataKeyPress(int r, char &key);
    void edtDataExit(int r);
    void edtAddrDblClick(int r);
    void edtDataDblClick(int r);
    void edtLabelDblClick(int r);
    void chkAddrHexChanged(int r);
    bool ReadRegValue(uint16_t addr, uint8_t &value);
    void ShowRowValue(QLineEdit *field, uint8_t value, bool hex);
    bool CheckValueText(QLineEdit *field, QCheckBox *chk);
    uint32_t ParseValueText(QLineEdit *field, QCheckBox *chk);
    void moveInColumn(QLineEdit *Row::*column, int r, desk::ColumnMove move);

    // Labels.
    void ShowLabelForAddr(QLineEdit *label, QLineEdit *addr);
    void ChooseLabel(QLineEdit *label, QLineEdit *addr);
    void mnuOpenIncClick();

    // Bit panel.
    bool edtBitAddrKeyPress(char &key);
    void edtBitAddrExit();
    void ShowBits();
    void rgClick(int bit);
    void btnTogClick(int bit);
    void edtBitLabelDblClick();

    // Test field.
    bool edtTestKeyPress(char &key);
    void edtTestExit();

    // Setup files (frmvekcom_setup.cpp).
    void mnuSaveClick();
    void mnuOpenClick();
    void ApplySetup();
    void LookUpRowLabels();

    // Trend: View > Trend opens it beside the window.
    void mnuTrendClick();

    void buildMenu();
    void setEntryColour(QLineEdit *field, bool red);
    bool entryKeyPress(QLineEdit *field, char &key, const std::function<void()> &leaveField);
    void commitAddress(QLineEdit *field, QLineEdit *label, uint16_t &stored, const std::function<void()> &read);
    bool keyPress(const FieldRef &f, char &key);
    void leave(const FieldRef &f);
    void sendTestValue();
    void placeOnScreen();

    WindowDeps m_deps;
    std::unique_ptr<GuiHost> m_host;
    std::unique_ptr<CancelGate> m_gate;   // between the link and m_deps.line
    std::unique_ptr<Link> m_link;
    TrendWindow *m_trend = nullptr;   // a child window, made when first asked for
    std::unique_ptr<TrendRows> m_trendRows;   // what it sees of the rows
    void trendRowsChanged();
    void trendWrote(uint16_t addr, uint8_t value);   // a write, marked on the trend
    std::unique_ptr<LinkTarget> m_served;
    std::unique_ptr<ShareServer> m_server;
    void serve(bool on);
    // A client of the served connection wrote a register: the rows and the
    // bit panel that show it show the value.
    void clientWrote(uint16_t addr, uint8_t value);
    // The window's own command told to the clients that subscribed.
    void announce(const char *what, uint16_t addr, uint8_t value);
    // Joining a served port: the commands of the rows, the bit panel, the
    // test field and the setup files go through it; writes by the server's
    // other clients show as clientWrote() does.
    std::unique_ptr<SharedTarget> m_joined;
    bool join(const QString &port);
    void leaveJoined();
    void joinedEvents();
    // The server went away: "line lost: REASON" until CloseComm.
    void joinedLost(const QString &why);
    QString m_joinedLost;
    // Shows what a command through the joined connection said; true when it succeeded.
    bool joinedResult(const Result &r);
    // The window's register commands, on its own link or the joined connection.
    bool writeReg(uint16_t addr, uint8_t value);
    void afterJoinedCommand();
    // The port chosen in the box, without a mark.
    QString chosenPort() const;
    QHash<QString, QWidget *> m_widgets;
    QHash<QObject *, FieldRef> m_fields;
    desk::OneActionPerDoubleClick *m_toggleClicks = nullptr;   // on btnOpenClose
    bool m_closing = false;   // closed; a command may still be ending
    // OpenComm under way: since when, to which port, cancelled, its box.
    std::optional<qint64> m_openStart;
    QString m_openName;
    bool m_cancelled = false;
    QProgressDialog *m_progress = nullptr;
    int m_cursorsLifted = 0;   // wait cursors taken off while the box is up
    quint64 m_toldSerial = ~quint64(0);   // the command whose box told why the line was lost
};

struct TfrmVekComm::Probe {
    explicit Probe(TfrmVekComm &w)
        : window(w), rows(w.rows), btnOpenClose(w.btnOpenClose), cbPorts(w.cbPorts), rgBaudRate(w.rgBaudRate),
          lblVekVer(w.lblVekVer), edtBitAddr(w.edtBitAddr), edtTest(w.edtTest),
          rgBits(w.rgBits), btnToggles(w.btnToggles), mnuOpen(w.mnuOpen), mnuSave(w.mnuSave), mnuCal1(w.mnuCal1),
          mnuTrend(w.mnuTrend), Labels(w.Labels), CommOpen(w.CommOpen), Editing(w.Editing), RowAddr(w.RowAddr),
          RowValue(w.RowValue), BitAddr(w.BitAddr), BitValue(w.BitValue), TestValue(w.TestValue)
    {
    }
    TrendWindow *trend() const { return window.m_trend; }
    QProgressDialog *progress() const { return window.m_progress; }

    TfrmVekComm &window;
    const std::array<Row, RowCount> &rows;
    QPushButton *const btnOpenClose;
    QComboBox *const cbPorts;
    RadioGroup *const rgBaudRate;
    QLabel *const lblVekVer;
    QLineEdit *const edtBitAddr, *const edtTest;
    const std::array<RadioGroup *, 8> &rgBits;
    const std::array<QPushButton *, 8> &btnToggles;
    QAction *const mnuOpen, *const mnuSave, *const mnuCal1, *const mnuTrend;
    TLabels *const Labels;
    const bool &CommOpen, &Editing;
    const std::array<uint16_t, RowCount> &RowAddr;
    const std::array<uint8_t, RowCount> &RowValue;
    const uint16_t &BitAddr;
    const uint8_t &BitValue, &TestValue;
};

} // namespace vek
