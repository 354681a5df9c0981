#include "radiogroup.h"

#include <QKeyEvent>
#include <QRadioButton>

namespace vek {

RadioGroup::RadioGroup(QWidget *parent) : GroupFrame(QString(), parent) {}

void RadioGroup::setItems(const QStringList &items)
{
    qDeleteAll(m_buttons);
    m_buttons.clear();
    m_items = items;
    m_index = -1;
    for (int i = 0; i < items.size(); ++i) {
        auto *b = new QRadioButton(items.at(i), this);
        b->setAutoExclusive(true);
        b->installEventFilter(this);
        connect(b, &QRadioButton::toggled, this, [this, i](bool on) {
            if (on && m_index != i) {
                m_index = i;
                updateTabStop();
                emit clicked();
            }
        });
        m_buttons << b;
    }
    updateTabStop();
    placeButtons();
}

void RadioGroup::setItemIndex(int index)
{
    if (index < -1 || index >= m_buttons.size() || index == m_index)
        return;
    if (index == -1) {
        for (auto *b : m_buttons) {
            b->setAutoExclusive(false);
            b->setChecked(false);
            b->setAutoExclusive(true);
        }
        m_index = -1;
        updateTabStop();
        emit clicked();
        return;
    }
    m_buttons.at(index)->setChecked(true);   // toggled() updates m_index and fires clicked()
}

// Only the selected item (the first while none is) is a tab stop; the
// others still take the focus from a click.
void RadioGroup::updateTabStop()
{
    const int stop = m_index >= 0 ? m_index : 0;
    for (int i = 0; i < m_buttons.size(); ++i)
        m_buttons.at(i)->setFocusPolicy(i == stop ? Qt::StrongFocus : Qt::ClickFocus);
}

bool RadioGroup::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::KeyPress || m_buttons.isEmpty())
        return GroupFrame::eventFilter(watched, event);
    const int key = static_cast<QKeyEvent *>(event)->key();
    int step = 0;
    if (key == Qt::Key_Down || key == Qt::Key_Right)
        step = 1;
    else if (key == Qt::Key_Up || key == Qt::Key_Left)
        step = -1;
    if (step == 0)
        return GroupFrame::eventFilter(watched, event);
    // The arrows move the selection within the group, wrapping, as a click would.
    const int n = int(m_buttons.size());
    const int from = m_buttons.indexOf(static_cast<QRadioButton *>(watched));
    const int to = ((from < 0 ? 0 : from) + step + n) % n;
    setItemIndex(to);
    m_buttons.at(to)->setFocus(Qt::OtherFocusReason);
    return true;
}

void RadioGroup::resizeEvent(QResizeEvent *event)
{
    GroupFrame::resizeEvent(event);
    placeButtons();
}

void RadioGroup::placeButtons()
{
    if (m_buttons.isEmpty())
        return;
    // Items share the height below the title evenly, as a column.
    const int top = title().isEmpty() ? 4 : 16;
    const int avail = height() - top - 4;
    const int step = avail / int(m_buttons.size());
    const int h = qMin(step, 17);
    for (int i = 0; i < m_buttons.size(); ++i)
        m_buttons.at(i)->setGeometry(title().isEmpty() ? 4 : 8, top + i * step + (step - h) / 2,
                                     width() - (title().isEmpty() ? 5 : 12), h);
}

} // namespace vek
