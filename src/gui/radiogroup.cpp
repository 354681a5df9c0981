#include "radiogroup.h"

#include <QRadioButton>

namespace vek {

RadioGroup::RadioGroup(QWidget *parent) : QGroupBox(parent) {}

void RadioGroup::setItems(const QStringList &items)
{
    qDeleteAll(m_buttons);
    m_buttons.clear();
    m_items = items;
    m_index = -1;
    for (int i = 0; i < items.size(); ++i) {
        auto *b = new QRadioButton(items.at(i), this);
        b->setAutoExclusive(true);
        connect(b, &QRadioButton::toggled, this, [this, i](bool on) {
            if (on && m_index != i) {
                m_index = i;
                emit clicked();
            }
        });
        m_buttons << b;
    }
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
        emit clicked();
        return;
    }
    m_buttons.at(index)->setChecked(true);   // toggled() updates m_index and fires clicked()
}

void RadioGroup::resizeEvent(QResizeEvent *event)
{
    QGroupBox::resizeEvent(event);
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
