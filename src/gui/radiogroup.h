#pragma once
// A titled group of radio items with one selected index. Its clicked()
// signal fires on every change of the selected item, whether the user or
// the program made it.

#include <QGroupBox>
#include <QList>
#include <QStringList>

class QRadioButton;

namespace vek {

class RadioGroup : public QGroupBox {
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

private:
    void placeButtons();
    QStringList m_items;
    QList<QRadioButton *> m_buttons;
    int m_index = -1;
};

} // namespace vek
