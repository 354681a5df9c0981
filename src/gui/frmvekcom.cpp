#include "frmvekcom.h"

#include "comport.h"
#include "deskinput.h"
#include "forms.h"
#include "frmlabels.h"
#include "netline.h"
#include "portbox.h"
#include "prompts.h"
#include "radiogroup.h"
#include "setupfile.h"
#include "shareclient.h"
#include "shareserver.h"
#include "targetsession.h"
#include "textconv.h"
#include "trend.h"

#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QCheckBox>
#include <QComboBox>
#include <QFocusEvent>
#include <QJsonObject>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocalSocket>
#include <QMenuBar>
#include <QMouseEvent>
#include <QElapsedTimer>
#include <QProgressDialog>
#include <QPushButton>
#include <QScreen>
#include <QThread>
#include <QTimer>

#include <algorithm>

namespace vek {

using desk::Busy;

namespace {

constexpr char KeyEnter = 13;
constexpr char KeyEscape = 27;
constexpr int EventRetryMs = 50;   // a joined server's events wait so long while a command or box is up

// Port names are listed as short names: "/dev/ttyUSB0" shows as "ttyUSB0",
// which the port opens just as well.
QString shortPortName(const QString &name)
{
    return name.startsWith(QLatin1String("/dev/")) ? name.mid(5) : name;
}

QByteArray latin(const QString &s) { return s.toLatin1(); }

} // namespace

// The link's messages go to the window's boxes (with the normal cursor), the
// first with the reason when the line was lost, and its fixed waits block
// the user-interface thread as every command does; during OpenComm they go
// in slices, after each of which the progress box may take its Cancel.
class TfrmVekComm::GuiHost final : public Host {
public:
    explicit GuiHost(TfrmVekComm &window) : m_w(window) {}
    void showMessage(const QString &text) override
    {
        // A key or click given during the wait must not answer the box.
        desk::StaleInput::drop();
        if (m_w.m_closing || m_w.m_cancelled)
            return;   // nobody would read it, or the user stopped what it is about
        const QString why = m_w.causeToTell();
        int restored = 0;
        while (QApplication::overrideCursor()) {
            QApplication::restoreOverrideCursor();
            ++restored;
        }
        m_w.m_deps.prompts->showMessage(text, why);
        while (restored-- > 0)
            QApplication::setOverrideCursor(Qt::WaitCursor);
    }
    void sleepMs(int ms) override
    {
        while (ms > 0) {
            const int step = m_w.m_openStart ? qMin(ms, SliceMs) : ms;
            if (m_w.m_deps.sleepMs)
                m_w.m_deps.sleepMs(step);
            else
                QThread::msleep(ulong(step));
            ms -= step;
            if (!m_w.keepWaiting())
                return;
        }
    }

private:
    static constexpr int SliceMs = 50;
    TfrmVekComm &m_w;
};

// Between the link and the window's line. Before each step of OpenComm it
// lets the progress box take its Cancel; once cancelled it refuses every
// call but close(), so that the connection sequence ends at once and sends
// nothing more. Outside OpenComm it passes everything through.
class TfrmVekComm::CancelGate final : public SerialLine {
public:
    CancelGate(SerialLine &line, TfrmVekComm &window) : m_line(line), m_w(window) {}
    OpenResult open(const QString &name, int32_t baud) override
    {
        return m_w.keepWaiting() ? m_line.open(name, baud) : OpenResult::CannotOpen;
    }
    bool isOpen() const override { return m_line.isOpen(); }
    OpenFailure openFailure() const override { return m_line.openFailure(); }
    QString lostReason() const override { return m_line.lostReason(); }
    void setWaitCheck(WaitCheck check) override { m_line.setWaitCheck(std::move(check)); }
    bool close() override { return m_line.close(); }
    bool writeByte(uint8_t b) override { return m_w.keepWaiting() && m_line.writeByte(b); }
    ReadResult readByte(uint8_t &b) override { return m_w.keepWaiting() ? m_line.readByte(b) : ReadResult::Timeout; }
    void purgeRx() override
    {
        if (m_w.keepWaiting())
            m_line.purgeRx();
    }
    void purgeTx() override
    {
        if (m_w.keepWaiting())
            m_line.purgeTx();
    }
    bool setBreak(bool on) override
    {
        // A break under way is always ended.
        if (!on)
            return m_line.setBreak(false) && m_w.keepWaiting();
        return m_w.keepWaiting() && m_line.setBreak(true);
    }

private:
    SerialLine &m_line;
    TfrmVekComm &m_w;
};

TfrmVekComm::TfrmVekComm(const WindowDeps &deps, QWidget *parent)
    : QMainWindow(parent), m_deps(deps), m_host(std::make_unique<GuiHost>(*this)),
      m_gate(std::make_unique<CancelGate>(*deps.line, *this)), m_link(std::make_unique<Link>(*m_gate, *m_host))
{
    if (!m_deps.nowMs) {
        m_deps.nowMs = [clock = std::make_shared<QElapsedTimer>()] {
            if (!clock->isValid())
                clock->start();
            return clock->elapsed();
        };
    }
    m_gate->setWaitCheck([this] { return keepWaiting(); });
    setObjectName("frmVekComm");
    m_link->setHeldCommands(deps.held);
    // A window of fixed size has no maximize button.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                   | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setWindowTitle(forms::MainCaption);
    setFont(forms::proportionalFont());
    auto *client = new QWidget(this);
    client->setObjectName("client");
    client->setFixedSize(forms::MainClientSize);
    setCentralWidget(client);
    m_widgets = forms::build(client, forms::mainWindowControls());
    forms::applyTabOrder(m_widgets, forms::mainWindowTabOrder());
    buildMenu();
    desk::setUpMenuBar(menuBar());

    for (int r = 0; r < RowCount; ++r) {
        const int n = r + 1;
        Row &row = rows[r];
        row.edtLabel = qobject_cast<QLineEdit *>(control(QStringLiteral("edtLabel%1").arg(n)));
        row.edtAddr = qobject_cast<QLineEdit *>(control(QStringLiteral("edtAddr%1").arg(n)));
        row.edtData = qobject_cast<QLineEdit *>(control(QStringLiteral("edtData%1").arg(n)));
        row.chkHex = qobject_cast<QCheckBox *>(control(QStringLiteral("chkAddr%1Hex").arg(n)));
        m_fields.insert(row.edtLabel, {FieldKind::Label, r});
        m_fields.insert(row.edtAddr, {FieldKind::Addr, r});
        m_fields.insert(row.edtData, {FieldKind::Data, r});
        // The display follows the box whatever changed it: mouse, Space key
        // or program. A commit never reads old-form text in the new mode.
        connect(row.chkHex, &QCheckBox::toggled, this, [this, r] { chkAddrHexChanged(r); });
        row.edtLabel->setAccessibleName(QStringLiteral("Row %1 label").arg(n));
        row.edtAddr->setAccessibleName(QStringLiteral("Row %1 address").arg(n));
        row.edtData->setAccessibleName(QStringLiteral("Row %1 value").arg(n));
        row.chkHex->setAccessibleName(QStringLiteral("Row %1 hex").arg(n));
        connect(row.edtLabel, &QLineEdit::textChanged, this, &TfrmVekComm::trendRowsChanged);
        connect(row.edtAddr, &QLineEdit::textChanged, this, &TfrmVekComm::trendRowsChanged);
    }
    btnOpenClose = qobject_cast<QPushButton *>(control("btnOpenClose"));
    cbPorts = qobject_cast<QComboBox *>(control("cbPorts"));
    rgBaudRate = qobject_cast<RadioGroup *>(control("rgBaudRate"));
    lblVekVer = qobject_cast<QLabel *>(control("lblVekVer"));
    edtBitAddr = qobject_cast<QLineEdit *>(control("edtBitAddr"));
    edtBitLabel = qobject_cast<QLineEdit *>(control("edtBitLabel"));
    edtTest = qobject_cast<QLineEdit *>(control("edtTest"));
    m_fields.insert(edtBitAddr, {FieldKind::BitAddr, -1});
    m_fields.insert(edtBitLabel, {FieldKind::BitLabel, -1});
    m_fields.insert(edtTest, {FieldKind::Test, -1});
    for (auto it = m_fields.cbegin(); it != m_fields.cend(); ++it) {
        auto *field = static_cast<QLineEdit *>(it.key());
        field->installEventFilter(this);
        // Numeric fields take every character as a key press: no input method.
        if (it->kind != FieldKind::Label && it->kind != FieldKind::BitLabel)
            field->setAttribute(Qt::WA_InputMethodEnabled, false);
        if (it->kind == FieldKind::Addr || it->kind == FieldKind::Data)
            desk::noSelectionOnFocus(field);
    }

    for (int bit = 0; bit < 8; ++bit) {
        rgBits[bit] = qobject_cast<RadioGroup *>(control(QStringLiteral("rg%1").arg(bit)));
        btnToggles[bit] = qobject_cast<QPushButton *>(control(forms::ToggleNames[bit]));
        connect(rgBits[bit], &RadioGroup::clicked, this, [this, bit] { rgClick(bit); });
        connect(btnToggles[bit], &QPushButton::clicked, this, [this, bit] { btnTogClick(bit); });
    }
    connect(btnOpenClose, &QPushButton::clicked, this, &TfrmVekComm::btnOpenCloseClick);
    m_toggleClicks = new desk::OneActionPerDoubleClick(btnOpenClose);
    desk::ignoreWheel(cbPorts);
    connect(rgBaudRate, &RadioGroup::clicked, this, &TfrmVekComm::rgBaudRateClick);
    lblVekVer->setTextFormat(Qt::PlainText);

    setFixedSize(forms::MainClientSize.width(), forms::MainClientSize.height() + menuBar()->sizeHint().height());
    placeOnScreen();

    FormCreate();
    Labels = new TLabels(m_deps.prompts, this);
}

TfrmVekComm::~TfrmVekComm()
{
    leaveJoined();
    serve(false);
    delete m_trend;   // before the rows it sees
    m_trend = nullptr;
}

// At the layout's position where the window fits inside the screen's
// available area (a small screen, a large scale factor), else moved in.
void TfrmVekComm::placeOnScreen()
{
    QScreen *screen = QGuiApplication::screenAt(forms::MainPosition);
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (screen)
        placeWithin(screen->availableGeometry());
    else
        move(forms::MainPosition);
}

void TfrmVekComm::placeWithin(const QRect &available)
{
    // The window manager's frame is not known before the window shows:
    // room is left for a title bar and borders.
    const QSize frame(2 * FrameBorder, FrameTitle + FrameBorder);
    move(forms::placeInside(available, size() + frame, forms::MainPosition));
}

void TfrmVekComm::closeEvent(QCloseEvent *event)
{
    // Closed while a command waits for the target: the command ends, nothing
    // more is sent or shown, and the program ends when it returns.
    m_closing = true;
    QMainWindow::closeEvent(event);
}

QWidget *TfrmVekComm::control(const QString &name) const { return m_widgets.value(name); }

void TfrmVekComm::buildMenu()
{
    QMenu *file = menuBar()->addMenu(QStringLiteral("&File"));
    file->setObjectName("mnuFile");
    mnuOpen = file->addAction(QStringLiteral("Open..."), this, &TfrmVekComm::mnuOpenClick);
    mnuOpen->setObjectName("mnuOpen");
    mnuSave = file->addAction(QStringLiteral("Save..."), this, &TfrmVekComm::mnuSaveClick);
    mnuSave->setObjectName("mnuSave");
    mnuOpenInc = file->addAction(QStringLiteral("Open *.inc..."), this, &TfrmVekComm::mnuOpenIncClick);
    mnuOpenInc->setObjectName("mnuOpenInc");
    file->addSeparator()->setObjectName("N2");
    QMenu *cal = file->addMenu(QStringLiteral("Cal Char"));
    cal->setObjectName("mnuCal");
    auto *calGroup = new QActionGroup(this);
    calGroup->setExclusive(true);
    mnuCal0 = cal->addAction(QStringLiteral("\"?\""), this, &TfrmVekComm::mnuCal0Click);
    mnuCal0->setObjectName("mnuCal0");
    mnuCal1 = cal->addAction(QStringLiteral("0x80"), this, &TfrmVekComm::mnuCal1Click);
    mnuCal1->setObjectName("mnuCal1");
    for (QAction *a : {mnuCal0, mnuCal1}) {
        a->setCheckable(true);
        calGroup->addAction(a);
    }
    mnuCal0->setChecked(true);
    QFont bold = cal->font();
    bold.setBold(true);
    mnuCal0->setFont(bold);   // the default item
    file->addSeparator()->setObjectName("N1");
    mnuExit = file->addAction(QStringLiteral("Exit"), this, &TfrmVekComm::mnuExitClick);
    mnuExit->setObjectName("mnuExit");

    QMenu *view = menuBar()->addMenu(QStringLiteral("&View"));
    view->setObjectName("mnuView");
    mnuTrend = view->addAction(QStringLiteral("Trend"), this, &TfrmVekComm::mnuTrendClick);
    mnuTrend->setObjectName("mnuTrend");
}

// ---------------------------------------------------------------- connection

void TfrmVekComm::FormCreate()
{
    m_link->DoubleEcho = false;
    SetupFileName.clear();
    BuildPortList();
    m_link->BaudRate = rgBaudRate->items().value(rgBaudRate->itemIndex()).toInt();
    m_link->CalChar = 0x3F;
}

void TfrmVekComm::BuildPortList()
{
    // The ports named on the command line first, in their order, the first
    // of them chosen; then the platform's ports.
    QStringList names;
    const QStringList platform = m_deps.platformPorts ? *m_deps.platformPorts : Link::PortNames();
    for (const QString &p : m_deps.extraPorts + platform) {
        if (const QString name = shortPortName(p); !names.contains(name))
            names << name;
    }
    cbPorts->clear();
    cbPorts->addItems(names);
    for (int i = 0; i < cbPorts->count(); ++i)
        cbPorts->setItemData(i, cbPorts->itemText(i), Qt::ToolTipRole);
    if (auto *box = qobject_cast<PortBox *>(cbPorts))
        box->fitList();
    if (cbPorts->count() > 0)
        cbPorts->setCurrentIndex(0);
    if (auto *box = qobject_cast<PortBox *>(cbPorts); box && m_deps.prompts)
        box->addNetworkEntry(*m_deps.prompts);
    if (auto *box = qobject_cast<PortBox *>(cbPorts)) {
        box->setSharedCheck([](const QString &port) { return share::isServed(port); });
        box->markShared();
    }
}

QString TfrmVekComm::chosenPort() const
{
    if (auto *box = qobject_cast<PortBox *>(cbPorts))
        return box->currentPort();
    return cbPorts->currentText();
}

void TfrmVekComm::btnOpenCloseClick()
{
    if (CommOpen) {
        if (m_joined) {
            leaveJoined();   // the owner keeps serving
        } else {
            serve(false);
            m_link->ClosePort();
        }
        CommOpen = false;
        btnOpenClose->setText(QStringLiteral("OpenComm"));
        rgBaudRate->setEnabled(true);
        cbPorts->setEnabled(true);
        if (m_trend)
            m_trend->commChanged(false);
        m_link->VerText.clear();
        showVerText(QString());
        m_toggleClicks->stateChanged();
        if (auto *box = qobject_cast<PortBox *>(cbPorts))
            box->markShared();
        return;
    }
    const QString name = chosenPort();
    // Another program serves the port: its connection is joined, with no
    // connection sequence.
    if (share::isServed(name)) {
        join(name);
        return;
    }
    // A command an earlier connection cut is not to be completed by the
    // connection sequence: only once the user has reset the target.
    if (const QByteArray held = m_link->HeldOn(name); !held.isEmpty()) {
        if (m_deps.prompts->messageBox(Link::HeldText(name, held)
                                           + QStringLiteral(".\n\nReset the target, then press OK to connect."),
                                       QStringLiteral("OpenComm"), Prompts::MbOkCancel | Prompts::MbIconExclamation)
            != Prompts::IdOk)
            return;
        m_link->TargetWasReset(name);
    }
    bool opened;
    SerialLine::OpenResult result;
    {
        Busy busy;
        m_openStart = m_deps.nowMs();
        m_openName = name;
        result = m_link->OpenLine(name);
        opened = result == SerialLine::OpenResult::Ok && m_link->ConnectionSequence();
        endOpening();
        if (opened && !m_closing)
            GetVersion();
    }
    const bool cancelled = std::exchange(m_cancelled, false);
    auto *box = qobject_cast<PortBox *>(cbPorts);
    if (opened) {
        showVerText(QString::fromLatin1(m_link->VerText));
        btnOpenClose->setText(QStringLiteral("CloseComm"));
        CommOpen = true;
        rgBaudRate->setEnabled(false);
        cbPorts->setEnabled(false);
        if (m_trend)
            m_trend->commChanged(true);
        m_toggleClicks->stateChanged();
        if (box)
            box->markFailed(name, QString());
        showLineLost();
        serve(true);
        return;
    }
    m_link->ClosePort();
    if (m_closing || cancelled)
        return;   // the user stopped it: nothing to tell
    if (result == SerialLine::OpenResult::CannotOpen) {
        // The reason the line gives ("Connection refused (is ser2net running
        // there?)", an unknown host) goes below the box's own text.
        const QString why = m_link->line().openFailure().text;
        if (box && NetLine::isNetName(name))
            box->markFailed(name, why.isEmpty() ? QStringLiteral("no connection") : why);
        // Built whole: a long name never cuts or overruns the message.
        m_deps.prompts->showMessage(QStringLiteral("Cannot open ") + name, why);
    }
    m_deps.prompts->showMessage(name + QStringLiteral(" is not responding"), causeToTell());
}

bool TfrmVekComm::keepWaiting()
{
    if (!m_openStart)
        return true;
    if (m_closing)
        m_cancelled = true;
    if (m_cancelled)
        return false;
    if (!m_progress && m_deps.nowMs() - *m_openStart < ProgressAfterMs)
        return true;
    if (!m_progress) {
        m_progress = new QProgressDialog(QStringLiteral("Connecting to %1...").arg(m_openName), QStringLiteral("Cancel"),
                                         0, 0, this);
        m_progress->setObjectName("dlgConnecting");
        m_progress->setWindowTitle(AppTitle);
        m_progress->setWindowModality(Qt::ApplicationModal);
        m_progress->setAutoReset(false);
        m_progress->setAutoClose(false);
        m_progress->setMinimumDuration(0);
        // Escape rejects the box, the button cancels it: either ends the wait.
        connect(m_progress, &QProgressDialog::canceled, this, [this] { m_cancelled = true; });
        connect(m_progress, &QDialog::rejected, this, [this] { m_cancelled = true; });
        // The box is to be clicked: the normal cursor while it is up.
        while (QApplication::overrideCursor()) {
            QApplication::restoreOverrideCursor();
            ++m_cursorsLifted;
        }
        m_progress->show();
    }
    QCoreApplication::processEvents();
    return !m_cancelled && !m_closing;
}

void TfrmVekComm::endOpening()
{
    m_openStart.reset();
    delete std::exchange(m_progress, nullptr);
    for (; m_cursorsLifted > 0; --m_cursorsLifted)
        QApplication::setOverrideCursor(Qt::WaitCursor);
}

QString TfrmVekComm::causeToTell()
{
    const QString lost = m_link->line().lostReason();
    if (lost.isEmpty() || m_toldSerial == Busy::serial())
        return {};
    m_toldSerial = Busy::serial();
    showLineLost();
    return lost;
}

void TfrmVekComm::showLineLost()
{
    const QString lost = m_link->line().lostReason();
    if (CommOpen && !lost.isEmpty())
        showVerText(QStringLiteral("line lost: ") + lost, true);
}

void TfrmVekComm::showVerText(const QString &text, bool warning)
{
    QPalette p = lblVekVer->palette();
    p.setColor(QPalette::WindowText, warning ? QColor(255, 0, 0) : palette().color(QPalette::WindowText));
    lblVekVer->setPalette(p);
    // Cut at the window's edge with an ellipsis; the tool tip holds it whole.
    lblVekVer->setText(lblVekVer->fontMetrics().elidedText(text, Qt::ElideRight, lblVekVer->width()));
    lblVekVer->setToolTip(text);
}

bool TfrmVekComm::GetVersion() { return m_link->GetVersion(); }

void TfrmVekComm::rgBaudRateClick()
{
    m_link->BaudRate = rgBaudRate->items().value(rgBaudRate->itemIndex()).toInt();
}

void TfrmVekComm::mnuCal0Click()
{
    m_link->CalChar = 0x3F;
    mnuCal0->setChecked(true);
}

void TfrmVekComm::mnuCal1Click()
{
    m_link->CalChar = 0x80;
    mnuCal1->setChecked(true);
}

void TfrmVekComm::mnuExitClick() { close(); }

// ---------------------------------------------------------------- events

bool TfrmVekComm::eventFilter(QObject *watched, QEvent *event)
{
    const auto it = m_fields.constFind(watched);
    if (it == m_fields.cend())
        return QMainWindow::eventFilter(watched, event);
    const FieldRef f = it.value();
    switch (event->type()) {
    case QEvent::KeyPress: {
        auto *ke = static_cast<QKeyEvent *>(event);
        if (const auto move = desk::columnMove(ke)) {
            if (f.kind == FieldKind::Addr)
                moveInColumn(&Row::edtAddr, f.row, *move);
            else if (f.kind == FieldKind::Data)
                moveInColumn(&Row::edtData, f.row, *move);
            else if (f.kind == FieldKind::Label)
                moveInColumn(&Row::edtLabel, f.row, *move);
            return false;
        }
        if (std::optional<char> key = desk::entryChar(ke))
            return keyPress(f, *key);
        if (desk::isDelivering() || f.kind == FieldKind::Label || f.kind == FieldKind::BitLabel
            || ke->key() == Qt::Key_Tab || ke->key() == Qt::Key_Backtab)
            return false;
        // Any other key starts an entry only by changing the text.
        auto *field = static_cast<QLineEdit *>(watched);
        if (desk::deliverKey(field, ke) && !Editing && field->hasFocus()) {
            setEntryColour(field, true);
            Editing = true;
        }
        return true;
    }
    case QEvent::FocusOut:
        if (desk::leavesField(static_cast<QFocusEvent *>(event)))
            leave(f);
        return false;
    case QEvent::MouseButtonDblClick:
        if (!desk::isDoubleClick(static_cast<QMouseEvent *>(event)))
            return true;   // a middle or right double click is no gesture
        switch (f.kind) {
        case FieldKind::Addr: edtAddrDblClick(f.row); break;
        case FieldKind::Data: edtDataDblClick(f.row); break;
        case FieldKind::Label: edtLabelDblClick(f.row); break;
        case FieldKind::BitLabel: edtBitLabelDblClick(); break;
        case FieldKind::BitAddr:
        case FieldKind::Test: break;
        }
        return false;
    default:
        return false;
    }
}

bool TfrmVekComm::keyPress(const FieldRef &f, char &key)
{
    switch (f.kind) {
    case FieldKind::Addr: return edtAddrKeyPress(f.row, key);
    case FieldKind::Data: return edtDataKeyPress(f.row, key);
    case FieldKind::BitAddr: return edtBitAddrKeyPress(key);
    case FieldKind::Test: return edtTestKeyPress(key);
    case FieldKind::Label:
    case FieldKind::BitLabel: return false;
    }
    return false;
}

void TfrmVekComm::leave(const FieldRef &f)
{
    switch (f.kind) {
    case FieldKind::Addr: edtAddrExit(f.row); break;
    case FieldKind::Data: edtDataExit(f.row); break;
    case FieldKind::BitAddr: edtBitAddrExit(); break;
    case FieldKind::Test: edtTestExit(); break;
    case FieldKind::Label:
    case FieldKind::BitLabel: break;
    }
}

void TfrmVekComm::setEntryColour(QLineEdit *field, bool red)
{
    QPalette p = field->palette();
    p.setColor(QPalette::Text, red ? QColor(255, 0, 0) : QColor(0, 0, 0));
    field->setPalette(p);
}

// ---------------------------------------------------------------- rows

// The entry convention of the address and data fields: the first key of an
// entry turns the field red (a hex digit also empties it), Escape abandons,
// Enter commits. Returns true when the field must not receive the key.
bool TfrmVekComm::entryKeyPress(QLineEdit *field, char &key, const std::function<void()> &leaveField)
{
    if (!Editing) {
        if (IsHexChar(QChar(key)))
            field->setText(QString());
        setEntryColour(field, true);
        Editing = true;
    }
    if (key == KeyEscape) {
        Editing = false;
        leaveField();
        return true;
    }
    if (key == KeyEnter) {
        key = 0;
        Editing = true;
        leaveField();
        return true;
    }
    return false;
}

bool TfrmVekComm::edtAddrKeyPress(int r, char &key)
{
    return entryKeyPress(rows[r].edtAddr, key, [this, r] { edtAddrExit(r); });
}

// The commit of an address field, shared by the rows and the bit panel. An
// address above 0xFFF keeps the entry open; text that is not hexadecimal is
// dropped. `read` runs for an accepted address while the link is open.
void TfrmVekComm::commitAddress(QLineEdit *field, QLineEdit *label, uint16_t &stored,
                                const std::function<void()> &read)
{
    const uint16_t oldAddr = stored;
    if (Editing) {
        uint16_t addr = 0;
        switch (CheckAddressText(field->text(), addr)) {
        case AddrCheck::NotHex:
            break;   // the entry is dropped
        case AddrCheck::TooLarge:
            m_deps.prompts->showMessage(QStringLiteral("Maximum data memory address is 0xFFF"));
            return;  // the typed text stays, red, and the entry stays open
        case AddrCheck::Ok:
            stored = addr;
            if (CommOpen)
                read();
            break;
        }
    }
    Editing = false;
    setEntryColour(field, false);
    field->setText(AddrDisplay(stored));
    if (stored != oldAddr)
        ShowLabelForAddr(label, field);
}

void TfrmVekComm::edtAddrExit(int r)
{
    Row &row = rows[r];
    commitAddress(row.edtAddr, row.edtLabel, RowAddr[r], [this, r, &row] {
        // A failed read leaves the stored value, shown again.
        ReadRegValue(RowAddr[r], RowValue[r]);
        ShowRowValue(row.edtData, RowValue[r], row.chkHex->isChecked());
    });
    if (!Editing && !RowAddrGiven[r]) {
        RowAddrGiven[r] = true;
        trendRowsChanged();
    }
}

bool TfrmVekComm::edtDataKeyPress(int r, char &key)
{
    return entryKeyPress(rows[r].edtData, key, [this, r] { edtDataExit(r); });
}

void TfrmVekComm::edtDataExit(int r)
{
    Row &row = rows[r];
    if (Editing && CheckValueText(row.edtData, row.chkHex)) {
        RowValue[r] = uint8_t(ParseValueText(row.edtData, row.chkHex) & 0xFF);
        if (CommOpen)
            writeReg(RowAddr[r], RowValue[r]);
    }
    Editing = false;
    setEntryColour(row.edtData, false);
    ShowRowValue(row.edtData, RowValue[r], row.chkHex->isChecked());
}

bool TfrmVekComm::ReadRegValue(uint16_t addr, uint8_t &value)
{
    if (!CommOpen)
        return true;
    Busy busy;
    if (m_joined) {
        const Result r = m_joined->read(addr);
        if (!joinedResult(r))
            return false;
        value = r.value();
        return true;
    }
    if (!m_link->ReadRegister(addr, value))
        return false;
    announce("read", addr, value);
    return true;
}

void TfrmVekComm::serve(bool on)
{
    if (!on) {
        m_server.reset();   // its socket goes with it
        m_served.reset();
        return;
    }
    m_served = std::make_unique<LinkTarget>(*m_link);
    m_server = std::make_unique<ShareServer>(*m_served);
    // A client's command waits while the window's own runs, and while a box
    // of it is up: its nested event loop must not run one inside it.
    m_server->setGate([this] { return Busy::depth() == 0 && !QApplication::activeModalWidget() && !m_closing; });
    connect(m_server.get(), &ShareServer::written, this, &TfrmVekComm::clientWrote);
    QString why;
    // Another process serves the port (the demo target of a vekctl serve):
    // the window keeps its connection to itself.
    if (!m_server->listen(chosenPort(), &why)) {
        m_server.reset();
        m_served.reset();
    }
}

bool TfrmVekComm::writeReg(uint16_t addr, uint8_t value)
{
    Busy busy;
    if (m_joined) {
        if (!joinedResult(m_joined->write(addr, value)))
            return false;
        trendWrote(addr, value);   // the server tells the others, not us
        return true;
    }
    if (!m_link->WriteRegister(addr, value))
        return false;
    announce("write", addr, value);
    return true;
}

bool TfrmVekComm::join(const QString &port)
{
    auto target = std::make_unique<SharedTarget>();
    QString why;
    {
        Busy busy;
        if (!target->connect(port, &why)) {
            m_deps.prompts->showMessage(QStringLiteral("Cannot join ") + port, why);
            return false;
        }
        target->setStopCheck([this] { return m_closing; });
        // Writes by the server's other clients (and its own) come as events.
        target->request({{QStringLiteral("cmd"), QStringLiteral("subscribe")}});
    }
    QLocalSocket &socket = target->socket();
    connect(&socket, &QLocalSocket::readyRead, this, &TfrmVekComm::joinedEvents, Qt::QueuedConnection);
    connect(&socket, &QLocalSocket::disconnected, this,
            [this] { joinedLost(QStringLiteral("the server of this port went away")); }, Qt::QueuedConnection);
    m_joined = std::move(target);
    m_joinedLost.clear();
    CommOpen = true;
    btnOpenClose->setText(QStringLiteral("CloseComm"));
    rgBaudRate->setEnabled(false);
    cbPorts->setEnabled(false);
    if (m_trend)
        m_trend->commChanged(true);
    m_toggleClicks->stateChanged();
    showVerText(m_joined->identification());
    afterJoinedCommand();
    return true;
}

void TfrmVekComm::leaveJoined()
{
    if (!m_joined)
        return;
    m_joined->socket().disconnect(this);
    m_joined->socket().abort();
    m_joined.reset();
    m_joinedLost.clear();
}

void TfrmVekComm::afterJoinedCommand()
{
    // Events that came with the replies; those still on the way wake readyRead.
    QMetaObject::invokeMethod(this, &TfrmVekComm::joinedEvents, Qt::QueuedConnection);
}

void TfrmVekComm::joinedEvents()
{
    if (!m_joined)
        return;
    // Inside a command of ours the socket belongs to it: it takes the events
    // it meets, and they are shown once it and its boxes are done.
    if (Busy::depth() > 0) {
        QTimer::singleShot(EventRetryMs, this, &TfrmVekComm::joinedEvents);
        return;
    }
    for (const QJsonObject &e : m_joined->takeEvents()) {
        if (e.value(QStringLiteral("event")).toString() != QLatin1String("write"))
            continue;
        uint16_t addr = 0;
        if (CheckAddressText(e.value(QStringLiteral("addr")).toString(), addr) != AddrCheck::Ok)
            continue;
        const QString value = e.value(QStringLiteral("value")).toString();
        if (!IsHexText(value) || value.isEmpty() || value.size() > 2)
            continue;
        clientWrote(addr, uint8_t(HexToInt(latin(value))));
    }
    if (m_joined->socket().state() != QLocalSocket::ConnectedState)
        joinedLost(QStringLiteral("the server of this port went away"));
}

void TfrmVekComm::joinedLost(const QString &why)
{
    if (!m_joined || !CommOpen || m_closing || !m_joinedLost.isEmpty())
        return;
    m_joinedLost = why;
    showVerText(QStringLiteral("line lost: ") + why, true);
}

bool TfrmVekComm::joinedResult(const Result &r)
{
    afterJoinedCommand();
    if (r.ok())
        return true;
    if (m_closing)
        return false;
    QStringList lines = r.messages;
    if (lines.isEmpty())
        lines << QStringLiteral("The command failed");
    if (m_joined->socket().state() != QLocalSocket::ConnectedState)
        joinedLost(QStringLiteral("the server of this port went away"));
    for (const QString &line : std::as_const(lines)) {
        desk::StaleInput::drop();
        m_deps.prompts->showMessage(line);
    }
    return false;
}

void TfrmVekComm::clientWrote(uint16_t addr, uint8_t value)
{
    for (int r = 0; r < RowCount; ++r) {
        if (RowAddrGiven[size_t(r)] && RowAddr[size_t(r)] == addr) {
            RowValue[size_t(r)] = value;
            ShowRowValue(rows[size_t(r)].edtData, value, rows[size_t(r)].chkHex->isChecked());
        }
    }
    if (BitAddr == addr) {
        BitValue = value;
        ShowBits();
    }
    trendWrote(addr, value);
}

void TfrmVekComm::announce(const char *what, uint16_t addr, uint8_t value)
{
    if (m_server)
        m_server->announce(QLatin1String(what), addr, QByteArray(1, char(value)));
    if (qstrcmp(what, "write") == 0)
        trendWrote(addr, value);
}

void TfrmVekComm::ShowRowValue(QLineEdit *field, uint8_t value, bool hex)
{
    field->resize(hex ? 25 : 73, field->height());
    field->setText(ValueDisplay(value, hex));
}

bool TfrmVekComm::CheckValueText(QLineEdit *field, QCheckBox *chk)
{
    const QString text = field->text();
    if (chk->isChecked() ? IsHexText(text) : IsBinText(text))
        return true;
    m_deps.prompts->showMessage(QStringLiteral("Invalid Entry"));
    return false;
}

uint32_t TfrmVekComm::ParseValueText(QLineEdit *field, QCheckBox *chk)
{
    return chk->isChecked() ? uint32_t(HexToInt(latin(field->text()))) : BinToInt(field->text());
}

void TfrmVekComm::chkAddrHexChanged(int r)
{
    ShowRowValue(rows[r].edtData, RowValue[r], rows[r].chkHex->isChecked());
}

// Up and Down move among the fields of one column, wrapping from row 1 to
// row 8 and back; leaving the field commits it.
void TfrmVekComm::moveInColumn(QLineEdit *Row::*column, int r, desk::ColumnMove move)
{
    const int next = move == desk::ColumnMove::Up ? (r + RowCount - 1) % RowCount : (r + 1) % RowCount;
    (rows[size_t(next)].*column)->setFocus(Qt::OtherFocusReason);
}

void TfrmVekComm::edtAddrDblClick(int r)
{
    Editing = true;
    edtAddrExit(r);
}

void TfrmVekComm::edtDataDblClick(int r)
{
    Editing = true;
    edtDataExit(r);
}

// ---------------------------------------------------------------- labels

void TfrmVekComm::ShowLabelForAddr(QLineEdit *label, QLineEdit *addr)
{
    const RegisterTable &table = Labels->table();
    if (table.isEmpty())
        return;
    const qsizetype i = table.find(latin(addr->text()));
    label->setText(i >= 0 ? NameText(table.name(i)) : QString());
}

void TfrmVekComm::ChooseLabel(QLineEdit * /*label*/, QLineEdit *addr)
{
    if (Labels->count() == 0)
        Labels->OpenIncFile();
    if (Labels->count() == 0)
        return;
    if (Labels->exec() != TLabels::ResultOk)
        return;
    const int i = Labels->cbLabels->currentIndex();
    if (i < 0 || i >= Labels->count())
        return;
    Editing = true;
    addr->setText(NameText(Labels->table().addr(i)));
}

void TfrmVekComm::edtLabelDblClick(int r)
{
    ChooseLabel(rows[r].edtLabel, rows[r].edtAddr);
    edtAddrExit(r);
}

void TfrmVekComm::mnuOpenIncClick() { Labels->OpenIncFile(); }

// ---------------------------------------------------------------- bit panel

bool TfrmVekComm::edtBitAddrKeyPress(char &key)
{
    return entryKeyPress(edtBitAddr, key, [this] { edtBitAddrExit(); });
}

void TfrmVekComm::edtBitAddrExit()
{
    // Every accepted commit reads, also of the same address: Enter refreshes the bits.
    commitAddress(edtBitAddr, edtBitLabel, BitAddr, [this] {
        if (ReadRegValue(BitAddr, BitValue))
            ShowBits();
    });
}

void TfrmVekComm::ShowBits()
{
    BitUpdating = true;
    for (int n = 0; n < 8; ++n)
        rgBits[n]->setItemIndex(1 - ((BitValue >> n) & 1));
    BitUpdating = false;
}

void TfrmVekComm::rgClick(int bit)
{
    if (BitUpdating)
        return;
    const int index = rgBits[bit]->itemIndex();
    if (index < 0)
        return;
    if (index == 0)
        BitValue = uint8_t(BitValue | (1u << bit));
    else
        BitValue = uint8_t(BitValue & ~(1u << bit));
    if (CommOpen)
        writeReg(BitAddr, BitValue);
}

void TfrmVekComm::btnTogClick(int bit)
{
    // Selecting the item opposite to the bit lets the group's click flip and write it.
    rgBits[bit]->setItemIndex((BitValue >> bit) & 1);
}

void TfrmVekComm::edtBitLabelDblClick()
{
    ChooseLabel(edtBitLabel, edtBitAddr);
    edtBitAddrExit();
}

// ---------------------------------------------------------------- test field

void TfrmVekComm::sendTestValue()
{
    if (!CommOpen)
        return;
    Busy busy;
    if (m_joined) {
        joinedResult(m_joined->test(TestValue));
        return;
    }
    m_link->SendCommand("T" + latin(HexByte(TestValue)) + char(Link::CR));
}

bool TfrmVekComm::edtTestKeyPress(char &key)
{
    if (!Editing && (key == '+' || key == '-')) {
        TestValue = uint8_t(key == '+' ? TestValue + 1 : TestValue - 1);
        sendTestValue();
        key = 0;
        edtTestExit();
        return true;
    }
    if (!Editing) {
        if (key >= '0' && key <= '9')
            edtTest->setText(QString());
        setEntryColour(edtTest, true);
        Editing = true;
    }
    if (key == KeyEscape) {
        edtTestExit();
        return true;
    }
    if (key == KeyEnter) {
        key = 0;
        const QString text = edtTest->text();
        const bool plain = !text.isEmpty() && std::all_of(text.cbegin(), text.cend(), [](QChar c) {
            return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('+') || c == QLatin1Char('-');
        });
        if (!plain)
            return true;
        bool ok = false;
        const int number = text.toInt(&ok, 10);
        if (!ok) {
            m_deps.prompts->showError(QStringLiteral("'%1' is not a valid integer value").arg(text));
            return true;
        }
        TestValue = uint8_t(number & 0xFF);
        sendTestValue();
        edtTestExit();
        return true;
    }
    return false;
}

void TfrmVekComm::edtTestExit()
{
    edtTest->setText(QString::asprintf("%.3u", unsigned(TestValue)));
    Editing = false;
    setEntryColour(edtTest, false);
}

// ---------------------------------------------------------------- trend

// The rows as the trend sees them.
class TfrmVekComm::TrendRows final : public TrendRowSource {
public:
    explicit TrendRows(TfrmVekComm &w) : m_w(w) {}
    // Its own link or the server of a port it joined.
    bool linkOpen() const override { return m_w.CommOpen; }
    bool read(uint16_t addr, uint8_t &value, QString &message) override { return m_w.trendRead(addr, value, message); }
    // The server does not say its bit rate: the window's stands for it.
    int baudRate() const override { return m_w.m_link->BaudRate; }
    bool doubleEcho() const override { return m_w.m_link->DoubleEcho; }
    bool mayRead() const override { return m_w.trendMayRead(); }
    bool addressGiven(int row) const override { return m_w.RowAddrGiven[size_t(row)]; }
    uint16_t address(int row) const override { return m_w.RowAddr[size_t(row)]; }
    QString label(int row) const override { return m_w.rows[size_t(row)].edtLabel->text(); }
    void show(int row, uint8_t value) override { m_w.showTrendValue(row, value); }

private:
    TfrmVekComm &m_w;
};

void TfrmVekComm::trendRowsChanged()
{
    if (m_trendRows && m_trendRows->changed)
        m_trendRows->changed();
}

void TfrmVekComm::trendWrote(uint16_t addr, uint8_t value)
{
    if (m_trendRows && m_trendRows->wrote)
        m_trendRows->wrote(addr, value);
}

void TfrmVekComm::mnuTrendClick()
{
    if (!m_trend) {
        m_trendRows = std::make_unique<TrendRows>(*this);
        m_trend = new TrendWindow(*m_trendRows, m_deps.prompts, this);
        QScreen *screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
        if (screen)
            m_trend->placeBeside(frameGeometry(), screen->availableGeometry());
    }
    m_trend->show();
    m_trend->raise();
    m_trend->activateWindow();
}
bool TfrmVekComm::trendRead(uint16_t addr, uint8_t &value, QString &message)
{
    if (!m_joined)
        return TrendScheduler::readOnLink(*m_link, addr, value, message);
    // One command queued at the server like any client's; its messages go
    // into the trend's one box, not a box each.
    Result r;
    {
        Busy busy;
        r = m_joined->read(addr);
    }
    afterJoinedCommand();
    if (r.ok()) {
        value = r.value();
        return true;
    }
    if (m_joined->socket().state() != QLocalSocket::ConnectedState)
        joinedLost(QStringLiteral("the server of this port went away"));
    message = r.messages.join(u'\n');
    return false;
}

bool TfrmVekComm::trendMayRead() const
{
    return !Editing && Busy::depth() == 0 && !QApplication::activeModalWidget();
}

void TfrmVekComm::showTrendValue(int r, uint8_t value)
{
    RowValue[size_t(r)] = value;
    ShowRowValue(rows[size_t(r)].edtData, value, rows[size_t(r)].chkHex->isChecked());
}

} // namespace vek
