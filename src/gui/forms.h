#pragma once
// The layouts of the two windows as tables: every control with its name,
// kind, parent, geometry, caption, items, hint and font, and the tab order.

#include <QFont>
#include <QHash>
#include <QList>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>

class QWidget;

namespace vek::forms {

enum class Kind { Label, Edit, Button, CheckBox, RadioGroup, ComboList, ComboEdit, GroupBox };
enum class FontKind { Proportional, Fixed };

struct Control {
    QString name;
    Kind kind = Kind::Label;
    QString parent;          // empty: the window's client area
    QRect geometry;          // client coordinates of the parent; a label's size is its text's
    QString caption;
    QStringList items;
    int itemIndex = -1;
    QString hint;
    FontKind font = FontKind::Proportional;
};

inline constexpr QSize MainClientSize{376, 401};
inline constexpr QPoint MainPosition{217, 132};
inline const QString MainCaption = QStringLiteral("VEK MCU Communicator, Ver 2.1.0.1");
inline const QString LabelHint = QStringLiteral("Double click for list");

// The bit panel's toggle buttons, for bits 0 to 7, keep their given names.
inline constexpr const char *ToggleNames[8] = {"btn0Tog", "btn1Tog", "bnt2Tog", "btn3Tog",
                                               "btn4Tog", "btn5Tog", "btn6tog", "btn7Tog"};

inline constexpr QPoint LabelsPosition{192, 107};
inline constexpr QSize LabelsOuterSize{181, 84};
inline const QString LabelsCaption = QStringLiteral("Labels");

// Where a window whose outer size (frame included) is `outer` goes: at
// `wanted` where it fits inside the screen's `available` area, else moved
// in until it does, its top left corner first where it is too large.
QPoint placeInside(const QRect &available, const QSize &outer, const QPoint &wanted);

QList<Control> mainWindowControls();
QStringList mainWindowTabOrder();
QList<Control> labelsControls();

// Label fields and captions.
QFont proportionalFont();
// Address, data, bit-address and test fields.
QFont fixedFont();

// Creates the controls under `root` (parents before children) and returns
// them by name; each widget also carries its name as objectName.
QHash<QString, QWidget *> build(QWidget *root, const QList<Control> &controls);
// Chains the focus in the given order; a radio group stands for its items.
void applyTabOrder(const QHash<QString, QWidget *> &widgets, const QStringList &order);

} // namespace vek::forms
