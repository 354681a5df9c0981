#pragma once
// The main window: connection control, eight register watch rows, the bit
// panel, the test field and the setup files.

#include "comport.h"
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

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;

namespace vek {

class Prompts;
class RadioGroup;
class TLabels;
class TrendWindow;
namespace desk {
class OneActionPerDoubleClick;
}

struct WindowDeps {
    SerialLine *line = nullptr;        // not owned
    Prompts *prompts = nullptr;        // not owned
    std::function<void(int)> sleepMs;  // the link's fixed waits; default sleeps for real
    QStringList extraPorts;            // listed first (--demo, --port)
    std::optional<QStringList> platformPorts; // replaces the platform's list (tests)
};

class TfrmVekComm : public QMainWindow {
    Q_OBJECT
public:
    explicit TfrmVekComm(const WindowDeps &deps, QWidget *parent = nullptr);
    ~TfrmVekComm() override;

    // The window's one connection to its target.
    Link &link() { return *m_link; }

    struct Row {
        QLineEdit *edtLabel = nullptr;
        QLineEdit *edtAddr = nullptr;
        QLineEdit *edtData = nullptr;
        QCheckBox *chkHex = nullptr;
    };

    // State between events.
    bool CommOpen = false;
    bool Editing = false;
    std::array<uint16_t, 8> RowAddr{};
    std::array<uint8_t, 8> RowValue{};
    uint16_t BitAddr = 0;
    uint8_t BitValue = 0;
    bool BitUpdating = false;
    uint8_t TestValue = 0;
    QString SetupFileName;

    // Controls.
    std::array<Row, 8> rows;
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

    QWidget *control(const QString &name) const;
    // Places the window inside a screen's available area (see placeOnScreen).
    void placeWithin(const QRect &available);
    // Room for the window manager's frame, unknown before the window shows.
    static constexpr int FrameBorder = 4;
    static constexpr int FrameTitle = 30;

    // Connection.
    void FormCreate();
    void btnOpenCloseClick();
    void rgBaudRateClick();
    void mnuCal0Click();
    void mnuCal1Click();
    void mnuExitClick();
    bool GetVersion();
    void BuildPortList();

    // Rows (index 0..7 for rows 1..8).
    bool edtAddrKeyPress(int r, char &key);
    void edtAddrExit(int r);
    bool edtDataKeyPress(int r, char &key);
    void edtDataExit(int r);
    void edtAddrKeyDown(int r, int key);
    void edtDataKeyDown(int r, int key);
    void edtLabelKeyDown(int r, int key);
    void edtAddrDblClick(int r);
    void edtDataDblClick(int r);
    void edtLabelDblClick(int r);
    void chkAddrHexChanged(int r);
    bool ReadRegValue(uint16_t addr, uint8_t &value);
    void ShowRowValue(QLineEdit *field, uint8_t value, bool hex);
    bool CheckValueText(QLineEdit *field, QCheckBox *chk);
    uint32_t ParseValueText(QLineEdit *field, QCheckBox *chk);

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

    // Setup files.
    void mnuSaveClick();
    void mnuOpenClick();
    void ApplySetup();
    void LookUpRowLabels();

    // Trend: View > Trend opens it beside the window. It reads only while no
    // entry is open, no command runs and no box or dialog is up, and shows
    // what it read in the row's data field.
    void mnuTrendClick();
    bool trendMayRead() const;
    void showTrendValue(int r, uint8_t value);
    TrendWindow *trend() const { return m_trend; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    class GuiHost;
    enum class FieldKind { Label, Addr, Data, BitAddr, BitLabel, Test };
    struct FieldRef {
        FieldKind kind;
        int row;
    };

    void buildMenu();
    void setEntryColour(QLineEdit *field, bool red);
    bool entryKeyPress(QLineEdit *field, char &key, const std::function<void()> &leaveField);
    void moveInColumn(QLineEdit *Row::*column, int r, int key);
    void commitAddress(QLineEdit *field, QLineEdit *label, uint16_t &stored, const std::function<void()> &read);
    bool keyPress(const FieldRef &f, char &key);
    void leave(const FieldRef &f);
    void sendTestValue();
    void placeOnScreen();

    WindowDeps m_deps;
    std::unique_ptr<GuiHost> m_host;
    std::unique_ptr<Link> m_link;
    TrendWindow *m_trend = nullptr;   // a child window, made when first asked for
    QHash<QString, QWidget *> m_widgets;
    QHash<QObject *, FieldRef> m_fields;
    desk::OneActionPerDoubleClick *m_toggleClicks = nullptr;   // on btnOpenClose
    bool m_forwardingKey = false;
    bool m_closing = false;   // closed; a command may still be ending
};

} // namespace vek
