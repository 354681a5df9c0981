#include "deskinput.h"

#include <QCoreApplication>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QMouseEvent>

namespace vek::desk {

bool leavesField(const QFocusEvent *event)
{
    switch (event->reason()) {
    case Qt::ActiveWindowFocusReason:
    case Qt::PopupFocusReason:
    case Qt::MenuBarFocusReason:
        return false;
    default:
        return true;
    }
}

bool isDoubleClick(const QMouseEvent *event) { return event->button() == Qt::LeftButton; }

std::optional<char> entryChar(const QKeyEvent *event)
{
    const int key = event->key();
    const auto mods = event->modifiers();
    if (mods & (Qt::AltModifier | Qt::MetaModifier))
        return std::nullopt;
    switch (key) {
    case Qt::Key_Return:
    case Qt::Key_Enter: return char(13);
    case Qt::Key_Escape: return char(27);
    case Qt::Key_Backspace: return char(8);
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
    case Qt::Key_Delete: return std::nullopt;
    default: break;
    }
    if (mods & Qt::ControlModifier) {
        // Ctrl with a letter is a control character (Ctrl+V is 22, the
        // paste); with anything else, a digit included, it types nothing.
        if (key >= Qt::Key_A && key <= Qt::Key_Z)
            return char(key - Qt::Key_A + 1);
        if (key >= Qt::Key_BracketLeft && key <= Qt::Key_BracketRight)
            return char(key - Qt::Key_BracketLeft + 27);
        return std::nullopt;
    }
    const QString text = event->text();
    if (text.isEmpty())
        return std::nullopt;
    const char16_t c = text.at(0).unicode();
    // Characters beyond ASCII are never digits; they still start an entry.
    return c < 0x80 ? char(c) : char(0x7F);
}

StaleInput &StaleInput::instance()
{
    static StaleInput gate;
    return gate;
}

void StaleInput::begin() { ++instance().m_depth; }

void StaleInput::end()
{
    StaleInput &gate = instance();
    if (gate.m_depth > 0 && --gate.m_depth == 0)
        drop();
}

void StaleInput::drop()
{
    StaleInput &gate = instance();
    auto *app = QCoreApplication::instance();
    if (!app || gate.m_dropping)
        return;
    gate.m_dropping = true;
    app->installEventFilter(&gate);
    // Input that arrived meanwhile waits in the window system's queue and
    // among the posted events; a few passes deliver all of it here.
    for (int pass = 0; pass < 3; ++pass)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    app->removeEventFilter(&gate);
    gate.m_dropping = false;
}

bool StaleInput::eventFilter(QObject *, QEvent *event)
{
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::ContextMenu:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::InputMethod:
        return true;
    default:
        return false;
    }
}

} // namespace vek::desk
