// The window as a person at a desk drives it: the menu bar, every mouse
// button, Ctrl keys, radio groups by keyboard, clicks given while the window
// waits for the target, fields left by a mouse click, and the label chooser
// by keyboard. Real key and mouse events, offscreen, on the scripted line.

#include "frmlabels.h"
#include "portbox.h"
#include "radiogroup.h"
#include "windowfixture.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QMenuBar>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTemporaryFile>
#include <QTimer>
#include <optional>

using namespace vek;
using namespace vek::testing;

namespace {


void click(QWidget *w, Qt::MouseButton button = Qt::LeftButton) { QTest::mouseClick(w, button); }

// Keys go where the keyboard is: an open popup's focus, else the focus.
QWidget *keyboard()
{
    QWidget *popup = QApplication::activePopupWidget();
    return !popup ? QApplication::focusWidget() : popup->focusWidget() ? popup->focusWidget() : popup;
}
void key(int k, Qt::KeyboardModifiers mods = {}) { QTest::keyClick(keyboard(), Qt::Key(k), mods); }
void keys(const QString &text) { QTest::keyClicks(keyboard(), text); }

enum class Field { Addr, Data, Test };
// An entry typed, a menu opened (a click on the bar when the key is unknown)
// and closed by Escape, then one more digit and Enter.
struct MenuCase { Field which; QKeyCombination menu; QString typed; Lines onEnter; };
// A double click with a button (none: no click) and keys pressed on the
// data or address field; then a click elsewhere.
struct NotKey { Qt::MouseButton dblClick; QList<QKeyCombination> pressed; bool dataField; QString shown; Lines sent; };
// What a load sends and shows when closed during it, or broken part-way.
struct LoadStop { bool close; Lines sent; QStringList shown; };
// Keys in the chooser ('\x1b' Escape, '\x01' Home, '\x04' Ctrl+End, '*' a
// click on PORTB), the address taken, and whether it is still up after them.
struct Choice { QString typed, addr; bool stillUp = false; };

} // namespace

Q_DECLARE_METATYPE(MenuCase)
Q_DECLARE_METATYPE(NotKey)
Q_DECLARE_METATYPE(LoadStop)
Q_DECLARE_METATYPE(Choice)

class TestDesk : public QObject {
    Q_OBJECT
    std::unique_ptr<WindowFixture> f;
    std::optional<TfrmVekComm::Probe> w;

    QLineEdit *field(Field which) const { return which == Field::Addr ? w->rows[0].edtAddr : which == Field::Data ? w->rows[0].edtData : w->edtTest; }
    void loadTable(const QByteArray &entries)
    {
        QTemporaryFile inc(QDir::tempPath() + QStringLiteral("/XXXXXX.inc"));
        QVERIFY(inc.open() && inc.write("Register Files\n" + entries + ";--\n") > 0);
        inc.close();
        QVERIFY(w->Labels->loadIncFile(inc.fileName()));
    }

private slots:
    void initTestCase() { QApplication::setStyle(QStringLiteral("Fusion")); }
    void init()
    {
        f = std::make_unique<WindowFixture>();
        w.emplace(f->probe());
        f->target.setReg(0x02A, 0x3C);
        QVERIFY(f->connect());
        w->rows[0].chkHex->setChecked(true);
        click(w->rows[0].edtAddr);
        keys(QStringLiteral("2A\r"));   // row 1 watches 02A, holding 3C
        f->takeLines();
    }
    void cleanup() { w.reset(); f.reset(); }

    // Menus as in GTK programs: Alt alone takes nothing, F10 and Alt+F open a
    // menu, Escape in it gives the keyboard back to the field. The entry stays
    // as it was (nothing committed, dropped or sent) and typing goes on in it.
    void menusAreNotALeave_data()
    {
        QTest::addColumn<MenuCase>("c");
        const std::pair<QKeyCombination, const char *> menus[] = {
            {Qt::Key_Alt, "Alt"}, {Qt::Key_F10, "F10"}, {QKeyCombination(), "click, Escape"}, {Qt::ALT | Qt::Key_F, "Alt+F, Escape"}};
        for (auto [menu, name] : menus) {
            QTest::addRow("address, %s", name) << MenuCase{Field::Addr, menu, "3", {"A031"}};
            QTest::addRow("data, %s", name) << MenuCase{Field::Data, menu, "5", {"A02A=51"}};
            QTest::addRow("test, %s", name) << MenuCase{Field::Test, menu, "12", {"T79"}};
        }
    }
    void menusAreNotALeave()
    {
        QFETCH(MenuCase, c);
        QLineEdit *e = field(c.which);
        click(e);
        keys(c.typed);
        QMenuBar *bar = w->window.menuBar();
        if (c.menu.key() == Qt::Key_unknown)
            QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(bar->actions().first()).center());
        else
            key(c.menu.key(), c.menu.keyboardModifiers());
        const bool alt = c.menu.key() == Qt::Key_Alt;
        QCOMPARE(QApplication::activePopupWidget() != nullptr, !alt);
        if (!alt)
            key(Qt::Key_Escape);
        QVERIFY(QApplication::focusWidget() == e && isRed(e) && w->Editing);
        const auto before = std::pair(e->text(), f->takeLines());
        keys(QStringLiteral("1\r"));
        QCOMPARE(std::tuple(before, f->takeLines(), f->prompts.log), std::tuple(std::pair(c.typed, Lines{}), c.onEnter, QStringList{}));
    }

    // A click into another field while a menu is open closes the menu and
    // lands where it was aimed: the field left commits once, and typing goes
    // to the field clicked. Given to the window, as the popup must see it.
    void clickThroughAnOpenMenu()
    {
        click(w->rows[3].edtData);
        keys(QStringLiteral("1"));
        QTest::keyClick(w->window.windowHandle(), Qt::Key_F, Qt::AltModifier);
        QVERIFY(QApplication::activePopupWidget());
        QLineEdit *to = w->rows[0].edtData;
        QTest::mouseClick(w->window.windowHandle(), Qt::LeftButton, {}, to->mapTo(&w->window, to->rect().center()));
        QCoreApplication::processEvents();
        QVERIFY(QApplication::focusWidget() == to && !QApplication::activePopupWidget() && !isRed(w->rows[3].edtData));
        keys(QStringLiteral("AA\r"));
        QCOMPARE(std::pair(f->takeLines(), f->prompts.log), std::pair(Lines{"A000=01", "A02A=AA"}, QStringList{}));
    }

    // Gestures that start no entry: only a left double click commits again (a
    // middle one pastes at most), and only a key that changes the text starts
    // an entry: a paste by Ctrl+V or Shift+Insert does, committed when the
    // field is left; Ctrl with a digit, select-all and copy do not.
    void notKeys_data()
    {
        QTest::addColumn<NotKey>("c");
        const Qt::MouseButton none = Qt::NoButton;
        QTest::newRow("left double click, address") << NotKey{Qt::LeftButton, {}, false, "02A", {"A02A"}};
        QTest::newRow("left double click, data") << NotKey{Qt::LeftButton, {}, true, "3C", {"A02A=3C"}};
        QTest::newRow("middle double click, address") << NotKey{Qt::MiddleButton, {}, false, "02A", {}};
        QTest::newRow("middle double click, data") << NotKey{Qt::MiddleButton, {}, true, "3C", {}};
        QTest::newRow("right double click, data") << NotKey{Qt::RightButton, {}, true, "3C", {}};
        QTest::newRow("Ctrl+1, address") << NotKey{none, {Qt::CTRL | Qt::Key_1}, false, "02A", {}};
        QTest::newRow("Ctrl+A, Ctrl+C") << NotKey{none, {Qt::CTRL | Qt::Key_A, Qt::CTRL | Qt::Key_C}, true, "3C", {}};
        QTest::newRow("Ctrl+V appends") << NotKey{none, {Qt::CTRL | Qt::Key_V}, true, "3C5D", {"A02A=5D"}};
        QTest::newRow("Ctrl+A, Shift+Insert replaces") << NotKey{none, {Qt::CTRL | Qt::Key_A, Qt::SHIFT | Qt::Key_Insert}, true, "5D", {"A02A=5D"}};
    }
    void notKeys()
    {
        QFETCH(NotKey, c);
        QApplication::clipboard()->setText(QStringLiteral("5D"));
        QLineEdit *e = c.dataField ? w->rows[0].edtData : w->rows[0].edtAddr;
        click(e);
        QTest::keyClick(e, Qt::Key_End);
        if (c.dblClick != Qt::NoButton)
            QTest::mouseDClick(e, c.dblClick);
        if (QWidget *popup = QApplication::activePopupWidget())
            popup->close();   // the right button's context menu
        for (QKeyCombination k : c.pressed)
            key(k.key(), k.keyboardModifiers());
        const bool entry = c.shown != (c.dataField ? "3C" : "02A");
        const auto state = std::tuple(e->text(), w->Editing, isRed(e));
        click(w->rows[7].edtLabel);
        QCOMPARE(std::tuple(state, f->takeLines(), f->prompts.log), std::tuple(std::tuple(c.shown, entry, entry), c.sent, QStringList{}));
    }

    // A radio group is one stop of the tab chain, on its selected item;
    // Space there changes nothing and the arrows select as a click does.
    void bitPanel()
    {
        click(w->edtBitAddr);
        keys(QStringLiteral("2A\r"));
        key(Qt::Key_Backtab);   // onto bit 0, selected "0"
        QWidget *stop = QApplication::focusWidget();
        key(Qt::Key_Space);
        key(Qt::Key_Down);      // wraps to "1": bit 0 set and written
        QCOMPARE(std::tuple(stop, f->takeLines(), QApplication::focusWidget()),
                 std::tuple(static_cast<QWidget *>(w->rgBits[0]->button(1)), Lines{"A02A", "A02A=3D"}, static_cast<QWidget *>(w->rgBits[0]->button(0))));

        // Then failed commands: a failed read keeps the copy and the groups,
        // a failed write keeps the new bit.
        f->setFault(sim::Fault::Silent);
        click(w->edtBitAddr);
        keys(QStringLiteral("10\r"));
        const auto afterRead = std::tuple(int(w->BitAddr), int(w->BitValue), w->rgBits[2]->itemIndex());
        click(w->rgBits[0]->button(1));
        QCOMPARE(std::tuple(afterRead, int(w->BitValue), w->rgBits[0]->itemIndex(), f->prompts.messages()),
                 std::tuple(std::tuple(0x010, 0x3D, 0), 0x3C, 1, QStringList{"Echo not received", "File read failed", Link::PartialText("A"), Link::PartialText("A")}));
    }

    // Clicks and keys given while a command waits for the target are dropped
    // when it ends, never replayed: a double click on OpenComm opens once.
    void inputDuringWaitIsDropped_data()
    {
        QTest::addColumn<bool>("onOpen");
        QTest::newRow("second click on OpenComm") << true;
        QTest::newRow("bit click and keys during a read") << false;
    }
    void inputDuringWaitIsDropped()
    {
        QFETCH(bool, onOpen);
        if (onOpen)
            click(w->btnOpenClose);   // closed first
        QWidget *target = onOpen ? static_cast<QWidget *>(w->btnOpenClose) : w->rgBits[4]->button(0);
        bool posted = false;
        f->line.respond = [&](uint8_t b) {
            if (!std::exchange(posted, true)) {
                const QPointF at = QRectF(target->rect()).center();
                for (auto type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease})
                    QCoreApplication::postEvent(target, new QMouseEvent(type, at, target->mapToGlobal(at), Qt::LeftButton, type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, {}));
                QCoreApplication::postEvent(w->edtTest, new QKeyEvent(QEvent::KeyPress, Qt::Key_Minus, {}, QStringLiteral("-")));
            }
            return f->target.feed(b);
        };
        onOpen ? click(w->btnOpenClose) : QTest::mouseDClick(w->rows[0].edtAddr, Qt::LeftButton);
        QCoreApplication::processEvents();
        QCOMPARE(std::tuple(w->CommOpen, f->takeLines(), int(w->TestValue), f->line.log.count(QStringLiteral("close"))),
                 std::tuple(true, onOpen ? Lines{"V"} : Lines{"A02A"}, 0, qsizetype(onOpen ? 1 : 0)));
    }

    // The toggle button takes one action per double click: a second click
    // within the double-click interval after the state changed is dropped.
    // The events carry their own timestamps.
    void toggleOncePerDoubleClick_data()
    {
        // open before the clicks; ms from the first release to the second press; toggled twice
        QTest::addColumn<QList<int>>("c");
        QTest::newRow("double click on CloseComm") << QList<int>{true, 120, false};
        QTest::newRow("double click on OpenComm") << QList<int>{false, 120, false};
        QTest::newRow("two clicks on CloseComm") << QList<int>{true, 600, true};
    }
    void toggleOncePerDoubleClick()
    {
        QFETCH(QList<int>, c);
        const bool open = c[0], twice = c[2];
        if (!open)
            click(w->btnOpenClose);
        QPushButton *b = w->btnOpenClose;
        f->line.log.clear();
        const quint64 t = quint64(QTest::lastMouseTimestamp) + 10000, gapMs = quint64(c[1]);
        const auto send = [b](QEvent::Type type, quint64 at) {
            const QPointF pos = QRectF(b->rect()).center();
            QMouseEvent e(type, pos, b->mapToGlobal(pos), Qt::LeftButton, type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton, {});
            e.setTimestamp(at);
            QApplication::sendEvent(b, &e);
        };
        send(QEvent::MouseButtonPress, t);
        send(QEvent::MouseButtonRelease, t + 60);
        send(c[1] < QApplication::doubleClickInterval() ? QEvent::MouseButtonDblClick : QEvent::MouseButtonPress, t + 60 + gapMs);
        send(QEvent::MouseButtonRelease, t + 120 + gapMs);
        QCOMPARE(std::pair(w->CommOpen, f->line.log.filter(QRegularExpression("^(open|close)")).size()), std::pair(twice ? open : !open, qsizetype(twice ? 2 : 1)));
    }

    // A load ends at its first failed write; closed during a load, the window
    // lets the write under way end and sends and shows nothing more. A write
    // broken part-way leaves the line refused, one box a command, until the
    // connection is made again.
    void loadStops_data()
    {
        QTest::addColumn<LoadStop>("c");
        QTest::newRow("closed during the load") << LoadStop{true, {"A023=44"}, {}};
        QTest::newRow("a write broken part-way") << LoadStop{false, {}, {"File write failed", Link::PartialText("A023")}};
    }
    void loadStops()
    {
        QFETCH(LoadStop, c);
        const auto &[close, sent, shown] = c;
        QTemporaryFile vek(QDir::tempPath() + QStringLiteral("/XXXXXX.vek"));
        QVERIFY(vek.open() && vek.write("023\n44\n024\n55\n025\n66\n" + QByteArray("000\n00\n").repeated(5)) > 0);
        vek.close();
        bool closed = false;
        if (!close)
            f->setFault(sim::Fault::WrongEcho, 3);
        else
            f->line.respond = [&](uint8_t b) {
                if (!std::exchange(closed, true))
                    QMetaObject::invokeMethod(&w->window, &QWidget::close, Qt::QueuedConnection);
                return f->target.feed(b);
            };
        f->prompts.fileAnswers.enqueue(vek.fileName());
        w->mnuOpen->trigger();
        QCOMPARE(std::tuple(f->takeLines(), f->prompts.messages(), w->window.isVisible()), std::tuple(sent, shown, !close));
        if (close)
            return;
        f->prompts.clear();
        const auto enterOnRow1 = [&] { click(w->rows[0].edtAddr); key(Qt::Key_Return); };
        enterOnRow1();
        const QStringList refused = f->prompts.messages();
        f->target = sim::TargetMonitor();   // reset
        click(w->btnOpenClose);
        click(w->btnOpenClose);
        f->line.written.clear();
        enterOnRow1();
        // row 1 holds the loaded address
        QCOMPARE(std::tuple(refused, f->line.written, f->prompts.messages().size()), std::tuple(QStringList{Link::PartialText("A023")}, QByteArray("A023\r"), qsizetype(1)));
    }

    // The wheel changes no closed choice: the port box (from its middle
    // entry, so that either way would change it), a radio group, the label
    // chooser (which a change of its name would accept). Seen after each notch.
    void wheelChoosesNothing()
    {
        click(w->btnOpenClose);   // closed, so the port and bit rate could change
        w->cbPorts->setCurrentIndex(1);
        loadTable("A EQU H'0001'\nB EQU H'0002'\n");
        w->Labels->show();
        QStringList seen;
        for (QWidget *at : QList<QWidget *>{w->cbPorts, w->rgBaudRate->button(1), w->Labels->cbLabels})
            for (int notch : {-120, 120}) {
                const QPointF pos = QRectF(at->rect()).center();
                QWheelEvent e(pos, at->mapToGlobal(pos), {}, {0, notch}, Qt::NoButton, {}, Qt::NoScrollPhase, false);
                QApplication::sendEvent(at, &e);
                seen << QStringLiteral("%1 %2 %3 %4").arg(w->cbPorts->currentText()).arg(w->rgBaudRate->itemIndex())
                            .arg(w->Labels->isVisible()).arg(w->Labels->cbLabels->currentIndex());
            }
        QCOMPARE(seen, QStringList(6, QStringLiteral("ttyS1 2 1 -1")));
        w->Labels->hide();
    }

    // The shared entry flag across fields left by mouse clicks: after a
    // refused address the next field's first key neither empties nor turns
    // it red, and + is text in the test field. Then a label field is looked
    // up again only when its row's address changes.
    void sharedEntryAndLabelLookup()
    {
        click(w->rows[1].edtAddr);
        keys(QStringLiteral("1000\r"));
        click(w->edtTest);   // leaving commits again: refused again, entry still open
        QVERIFY(w->Editing && !isRed(w->edtTest));
        keys(QStringLiteral("+"));
        const auto typed = std::pair(w->edtTest->text(), int(w->TestValue));
        click(w->rows[2].edtAddr);   // leaving the test field drops: the value shows
        QCOMPARE(std::tuple(f->prompts.messages(), typed, w->edtTest->text()),
                 std::tuple(QStringList(2, "Maximum data memory address is 0xFFF"), std::pair(QStringLiteral("+"), 0), QStringLiteral("000")));


        QLineEdit *label = w->rows[0].edtLabel;
        click(label);
        keys(QStringLiteral("mine"));
        click(w->rows[0].edtAddr);
        keys(QStringLiteral("10\r"));   // no table: a typed name stays
        QStringList labels{label->text()};
        loadTable("OTHER EQU H'0010'\nPORTB EQU H'002A'\n");
        keys(QStringLiteral("010\r"));
        QTest::mouseDClick(w->rows[0].edtAddr, Qt::LeftButton);
        labels << label->text();
        keys(QStringLiteral("2a\r"));
        // and no line before
        QCOMPARE(std::pair(labels << label->text(), f->takeLines()), std::pair(QStringList{"mine", "mine", "PORTB"}, Lines{"A010", "A010", "A010", "A02A"}));
    }

    // The chooser by keyboard and mouse: typing follows the list, Enter takes
    // the highlighted name, Escape with the list down cancels, and a click on
    // the name already selected (PORTB, from the last choice) accepts it.
    void chooser_data()
    {
        QTest::addColumn<Choice>("c");
        QTest::newRow("start of a name") << Choice{"portb\r", "006"};
        QTest::newRow("the first name so starting") << Choice{"port\r", "005"};
        QTest::newRow("any case, Backspace") << Choice{"OPX\bT\r", "081"};
        QTest::newRow("Escape with the list down") << Choice{"p\x1b", "000"};
        QTest::newRow("Escape with the list up") << Choice{"\x1b", "000", true};
        QTest::newRow("no name starts so") << Choice{"zz\r", "000", true};
        QTest::newRow("click on the selected name") << Choice{"*", "006"};
        QTest::newRow("Home") << Choice{"\x01\r", "081"};
        QTest::newRow("Home, Ctrl+End") << Choice{"\x01\x04\r", "006"};
    }
    void chooser()
    {
        QFETCH(Choice, c);
        const auto &[typed, addr, stillUp] = c;
        loadTable("OPTION_REG EQU H'0081'\nPORTA EQU H'0005'\nPORTB EQU H'0006'\n");
        w->Labels->cbLabels->setCurrentIndex(2);
        bool up = false;
        QTimer::singleShot(0, w->Labels, [&] {
            QApplication::setActiveWindow(w->Labels);   // as the window manager does
            QComboBox *names = w->Labels->cbLabels;
            for (QChar c : typed)
                if (c == u'*') {
                    names->showPopup();
                    QTest::mouseClick(names->view()->viewport(), Qt::LeftButton, {}, names->view()->visualRect(names->model()->index(2, 0)).center());
                } else
                    c == u'\x01' ? key(Qt::Key_Home) : c == u'\x04' ? key(Qt::Key_End, Qt::ControlModifier) : keys(QString(c));
            if ((up = w->Labels->isVisible()))
                w->Labels->close();
        });
        QTest::mouseDClick(w->rows[4].edtLabel, Qt::LeftButton);
        QCOMPARE(std::pair(up, w->rows[4].edtAddr->text()), std::pair(stillUp, addr));
    }

    // Port names show whole in the narrow box; a longer one keeps its end.
    void portNamesReadable()
    {
        auto *box = qobject_cast<PortBox *>(w->cbPorts);
        QVERIFY(box);
        const QString byId = QStringLiteral("serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
        box->clear();
        box->addItems({"ttyS0", "ttyUSB0", "ttyUSB10", "ttyACM0", "rfcomm0", "pts/12", byId});
        box->fitList();
        for (int i = 0; i < box->count(); ++i) {   // the last, elided, below
            box->setCurrentIndex(i);
            QCOMPARE(std::pair(box->toolTip(), i < box->count() - 1 ? box->shownText() : box->itemText(i)), std::pair(box->itemText(i), box->itemText(i)));
        }
        const QString shown = box->shownText();
        QVERIFY2(shown.startsWith(QStringLiteral("se")) && shown.contains(u'\u2026') && shown.endsWith(QStringLiteral("rt0")), qPrintable(shown));
        QVERIFY(box->view()->minimumWidth() > QFontMetrics(box->view()->font()).horizontalAdvance(byId));
        // A second adapter of that kind: the closed box shows each one's serial number.
        box->addItem(QString(byId).replace("A50285BI", "A10K3Z9Q"));
        for (const char *serial : {"A10K3Z9Q", "A50285BI"}) {
            box->setCurrentIndex(box->findText(serial, Qt::MatchContains));
            QVERIFY2(box->shownText().contains(serial), qPrintable(box->shownText()));
        }
    }
};

QTEST_MAIN(TestDesk)
#include "tst_desk.moc"
