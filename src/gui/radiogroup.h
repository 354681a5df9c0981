#pragma once
// A titled group of radio items with one selected index. Its clicked()
// signal fires on every change of the selected item, whether the user or
// the program made it. The group takes the focus as one control: Tab lands
// on the selected item and leaves the group, and the arrow keys move the
// selection as a click would.

#include "groupframe.h"

#include <QList>
#include <QStringList>

class QRadioButton;

namespace vek {

class RadioGroup : public GroupFrame {
    Q_OBJECT
public:
    explicit RadioGroup(QWidget *parent = nullptr);

    void setItems(const QStringList &items);
    QStringList items() const { return m_items; }
    int itemIndex() const { return m_index; }
    // Selects item `index` (-1 for none); fires clicked() when it changes.
    void setItemIndex(int index);
    QRadioButton *button(int index) const { return m_buttons.value(index); }
    const QList<QRadioButton *> &buttons() const { return m_buttons; }

signals:
    void clicked();

protected:
    void resizeEvent(QResizeEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void placeButtons();
    void updateTabStop();
    QStringList m_items;
    QList<QRadioButton *> m_buttons;
    int m_index = -1;
};

} // namespace vek
