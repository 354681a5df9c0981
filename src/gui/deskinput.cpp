#include "deskinput.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPointer>
#include <QProxyStyle>
#include <QShortcut>
#include <QStyleHints>

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
    const auto mods = event->modifiers();
    if (mods & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))
        return std::nullopt;
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter: return char(13);
    case Qt::Key_Escape: return char(27);
    default: break;
    }
    const QString text = event->text();
    if (text.isEmpty() || !text.at(0).isPrint())
        return std::nullopt;
    const char16_t c = text.at(0).unicode();
    // Characters beyond ASCII are never digits; they still start an entry.
    return c < 0x80 ? char(c) : char(0x7F);
}

std::optional<ColumnMove> columnMove(const QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_Up: return ColumnMove::Up;
    case Qt::Key_Down: return ColumnMove::Down;
    default: return std::nullopt;
    }
}

namespace {
bool delivering = false;
}

bool isDelivering() { return delivering; }

bool deliverKey(QLineEdit *field, QKeyEvent *event)
{
    const QString before = field->text();
    delivering = true;
    QCoreApplication::sendEvent(field, event);
    delivering = false;
    return field->text() != before;
}

namespace {

class NoSelectionOnFocus : public QObject {
protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::FocusIn)
            return false;
        const auto reason = static_cast<QFocusEvent *>(event)->reason();
        if (reason != Qt::TabFocusReason && reason != Qt::BacktabFocusReason && reason != Qt::ShortcutFocusReason)
            return false;
        QFocusEvent plain(QEvent::FocusIn, Qt::OtherFocusReason);
        QCoreApplication::sendEvent(watched, &plain);
        return true;
    }
};

class WheelEater : public QObject {
protected:
    bool eventFilter(QObject *, QEvent *event) override { return event->type() == QEvent::Wheel; }
};

// Keeps the menu bar out of the keyboard: it takes it neither on Alt alone
// nor after Escape in one of its menus.
class NoAltNavigation : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;
    int styleHint(StyleHint hint, const QStyleOption *option, const QWidget *widget,
                  QStyleHintReturn *ret) const override
    {
        if (hint == SH_MenuBar_AltKeyNavigation)
            return 0;
        return QProxyStyle::styleHint(hint, option, widget, ret);
    }
};

// Passes a press outside the open menus on to the window's control under
// it, once the menu it closes is gone; Qt is told not to replay it itself.
class PressThrough : public QObject {
protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::MouseButtonPress)
            return false;
        auto *menu = static_cast<QWidget *>(watched);
        auto *me = static_cast<QMouseEvent *>(event);
        const QPoint at = me->globalPosition().toPoint();
        if (menu->rect().contains(me->position().toPoint()))
            return false;
        QWidget *target = QApplication::widgetAt(at);
        if (!target || target->window() != menu->parentWidget()->window() || qobject_cast<QMenu *>(target)
            || qobject_cast<QMenuBar *>(target))
            return false;   // a menu of the chain, the bar itself, or elsewhere
        // Once the menu is gone: the focus moves as a click would move it,
        // then the control gets the press (and the release, if that came first).
        QMetaObject::invokeMethod(
            target,
            [target = QPointer<QWidget>(target), global = me->globalPosition(), button = me->button(),
             mods = me->modifiers()] {
                if (!target)
                    return;
                for (QWidget *w = target; w; w = w->isWindow() ? nullptr : w->parentWidget()) {
                    if (w->isEnabled() && (w->focusPolicy() & Qt::ClickFocus)) {
                        w->setFocus(Qt::MouseFocusReason);
                        break;
                    }
                }
                const QPointF local = target->mapFromGlobal(global);
                QMouseEvent press(QEvent::MouseButtonPress, local, global, button, button, mods);
                QCoreApplication::sendEvent(target, &press);
                if (target && !(QGuiApplication::mouseButtons() & button)) {
                    QMouseEvent release(QEvent::MouseButtonRelease, local, global, button, Qt::NoButton, mods);
                    QCoreApplication::sendEvent(target, &release);
                }
            },
            Qt::QueuedConnection);
        return false;
    }
};

} // namespace

void noSelectionOnFocus(QLineEdit *field)
{
    static NoSelectionOnFocus filter;
    field->installEventFilter(&filter);
}

void ignoreWheel(QWidget *widget)
{
    static WheelEater eater;
    widget->installEventFilter(&eater);
}

void setUpMenuBar(QMenuBar *bar)
{
    auto *style = new NoAltNavigation(QApplication::style()->name());
    style->setParent(bar);
    bar->setStyle(style);
    auto *f10 = new QShortcut(QKeySequence(Qt::Key_F10), bar->window());
    QObject::connect(f10, &QShortcut::activated, bar, [bar] {
        const auto actions = bar->actions();
        if (!actions.isEmpty())
            bar->setActiveAction(actions.first());
    });
    auto *through = new PressThrough;
    through->setParent(bar);
    for (QMenu *menu : bar->findChildren<QMenu *>()) {
        menu->setAttribute(Qt::WA_NoMouseReplay);
        menu->installEventFilter(through);
    }
}

OneActionPerDoubleClick::OneActionPerDoubleClick(QAbstractButton *button) : QObject(button)
{
    button->installEventFilter(this);
}

void OneActionPerDoubleClick::stateChanged()
{
    m_changedAt = m_releaseAt;
    m_releaseAt.reset();
}

bool OneActionPerDoubleClick::eventFilter(QObject *, QEvent *event)
{
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick: {
        const quint64 at = static_cast<QMouseEvent *>(event)->timestamp();
        const quint64 interval = quint64(QGuiApplication::styleHints()->mouseDoubleClickInterval());
        m_releaseAt.reset();
        m_eating = m_changedAt && at >= *m_changedAt && at - *m_changedAt < interval;
        return m_eating;
    }
    case QEvent::MouseButtonRelease:
        if (m_eating) {
            m_eating = false;
            return true;
        }
        m_releaseAt = static_cast<QMouseEvent *>(event)->timestamp();
        return false;
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
        m_releaseAt.reset();   // a click by the keyboard
        return false;
    default:
        return false;
    }
}

Busy::Busy()
{
    if (s_depth++ == 0)
        ++s_serial;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    StaleInput::begin();
}

Busy::~Busy()
{
    --s_depth;
    QApplication::restoreOverrideCursor();
    StaleInput::end();
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
