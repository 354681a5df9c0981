#pragma once
// How input from a real desk becomes the window's events: which focus
// changes leave a field, which mouse gesture is a double click, which
// character a key carries for the entry rules, and input that arrived while
// the window was busy with the target, which is dropped instead of being
// replayed afterwards.

#include <QObject>
#include <optional>

class QAbstractButton;
class QEvent;
class QFocusEvent;
class QKeyEvent;
class QLineEdit;
class QMenuBar;
class QMouseEvent;
class QWidget;

namespace vek::desk {

// A focus change that leaves the field: a box, a dialog, another
// application, a popup or the menu bar taking the focus is not one.
bool leavesField(const QFocusEvent *event);
// Only the left button makes a double click.
bool isDoubleClick(const QMouseEvent *event);
// The character a key press gives the entry rules: 13 Enter, 27 Escape, or
// a typed character. Nothing for every other key: Backspace, Delete and the
// paste keys start an entry only by changing the field's text (the window
// looks), and Ctrl, Alt or Meta combinations are shortcuts, copy and
// select-all among them, which type nothing.
std::optional<char> entryChar(const QKeyEvent *event);

// Up and Down move among the fields of one column of rows.
enum class ColumnMove { Up, Down };
std::optional<ColumnMove> columnMove(const QKeyEvent *event);

// A key that gives no entry character, delivered to the field itself: true
// when it changed the field's text (Backspace, Delete, a paste), which
// starts an entry; copy, select-all and the other shortcuts change none.
// While it is delivered, isDelivering() is true and the field's own filters
// let it through.
bool deliverKey(QLineEdit *field, QKeyEvent *event);
bool isDelivering();

// The field keeps its text unselected when it gets the focus by Tab,
// Backtab or a shortcut (a line edit would select it all), so a first
// Backspace takes one digit.
void noSelectionOnFocus(QLineEdit *field);

// The wheel changes no choice whose list is closed: a port box, a radio
// group's items, the label chooser. Its list, once open, scrolls as usual.
void ignoreWheel(QWidget *widget);

// The menu bar as GTK programs have it: Alt alone does not take the
// keyboard, Alt with a menu's letter opens that menu, F10 opens the first
// one, and Escape in a menu gives the keyboard back to the field it came
// from. A click outside an open menu closes it and lands where it was aimed
// (Qt drops such a press where it grabs no pointer, and on X11 always).
// Call once the bar's menus are built.
void setUpMenuBar(QMenuBar *bar);

// A two-state button takes one action per double click: a press within the
// double-click interval after the click that changed the button's state is
// dropped, with its release, measured on the events' own timestamps. (A
// second click given while the action still waits for the target is stale
// input, dropped anyway.)
class OneActionPerDoubleClick : public QObject {
public:
    explicit OneActionPerDoubleClick(QAbstractButton *button);
    // The button's action calls this when it changed the button's state.
    void stateChanged();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    std::optional<quint64> m_releaseAt;   // the mouse release that clicked, if one did
    std::optional<quint64> m_changedAt;   // that release, once the state changed
    bool m_eating = false;                 // the press was dropped: so is its release
};

// Shows the wait cursor while the window talks to the target; input given
// meanwhile is dropped when the wait ends (StaleInput).
class Busy {
public:
    Busy();
    ~Busy();
    Busy(const Busy &) = delete;
    Busy &operator=(const Busy &) = delete;
    // Commands under way; the trend reads none meanwhile.
    static int depth() { return s_depth; }
    // Counts the outermost waits begun: a new count is a new command.
    static quint64 serial() { return s_serial; }

private:
    static inline int s_depth = 0;
    static inline quint64 s_serial = 0;
};

// While the window talks to the target it takes no input. Input queued in
// that time is dropped when the wait ends, so a second click or a key given
// during a command never acts afterwards.
class StaleInput : public QObject {
public:
    // Begins and ends a wait; waits may nest, the outermost end drops.
    static void begin();
    static void end();
    // Drops every mouse and key event queued so far.
    static void drop();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    static StaleInput &instance();
    int m_depth = 0;
    bool m_dropping = false;
};

} // namespace vek::desk
