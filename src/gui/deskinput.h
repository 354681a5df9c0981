#pragma once
// How input from a real desk becomes the window's events: which focus
// changes leave a field, which mouse gesture is a double click, which
// character a key carries for the entry rules, and input that arrived while
// the window was busy with the target, which is dropped instead of being
// replayed afterwards.

#include <QObject>
#include <optional>

class QEvent;
class QFocusEvent;
class QKeyEvent;
class QMouseEvent;

namespace vek::desk {

// A focus change that leaves the field: a box, a dialog, another
// application, a popup or the menu bar taking the focus is not one.
bool leavesField(const QFocusEvent *event);
// Only the left button makes a double click.
bool isDoubleClick(const QMouseEvent *event);
// The character a key press gives the entry rules (13 Enter, 27 Escape, 8
// Backspace, control characters for Ctrl with a letter, as a terminal has
// them), or nothing: keys that type nothing, Ctrl with a digit, Alt and
// Meta combinations (the menus' keys), Tab and Delete.
std::optional<char> entryChar(const QKeyEvent *event);

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
