#include "forms.h"

#include "groupframe.h"
#include "portbox.h"
#include "radiogroup.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFontDatabase>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QRadioButton>

namespace vek::forms {

namespace {

Control label(const QString &name, const QString &parent, int left, int top, const QString &caption)
{
    Control c;
    c.name = name;
    c.kind = Kind::Label;
    c.parent = parent;
    c.geometry = QRect(left, top, 0, 0);
    c.caption = caption;
    return c;
}

Control edit(const QString &name, const QString &parent, QRect g, FontKind font, const QString &hint = {})
{
    Control c;
    c.name = name;
    c.kind = Kind::Edit;
    c.parent = parent;
    c.geometry = g;
    c.font = font;
    c.hint = hint;
    return c;
}

Control group(const QString &name, Kind kind, const QString &parent, QRect g, const QString &caption)
{
    Control c;
    c.name = name;
    c.kind = kind;
    c.parent = parent;
    c.geometry = g;
    c.caption = caption;
    return c;
}

} // namespace

QPoint placeInside(const QRect &available, const QSize &outer, const QPoint &wanted)
{
    const int x = qMax(available.left(), qMin(wanted.x(), available.left() + available.width() - outer.width()));
    const int y = qMax(available.top(), qMin(wanted.y(), available.top() + available.height() - outer.height()));
    return {x, y};
}

QList<Control> mainWindowControls()
{
    QList<Control> cs;
    cs << label("Label5", {}, 16, 16, "Label") << label("Label1", {}, 120, 16, "Addr")
       << label("Label2", {}, 168, 16, "Data");
    for (int n = 1; n <= 8; ++n) {
        const int top = 40 + 32 * (n - 1);
        cs << edit(QStringLiteral("edtLabel%1").arg(n), {}, QRect(16, top, 97, 21), FontKind::Proportional, LabelHint)
           << edit(QStringLiteral("edtAddr%1").arg(n), {}, QRect(120, top, 33, 23), FontKind::Fixed)
           << edit(QStringLiteral("edtData%1").arg(n), {}, QRect(168, top, 73, 23), FontKind::Fixed);
    }
    cs << group("GroupBox1", Kind::GroupBox, {}, QRect(248, 24, 33, 265), "Hex");
    for (int n = 1; n <= 8; ++n) {
        Control c;
        c.name = QStringLiteral("chkAddr%1Hex").arg(n);
        c.kind = Kind::CheckBox;
        c.parent = "GroupBox1";
        c.geometry = QRect(8, 16 + 32 * (n - 1), 17, 17);
        cs << c;
    }

    cs << group("GroupBox2", Kind::GroupBox, {}, QRect(8, 296, 361, 97), "Bit Control");
    cs << edit("edtBitLabel", "GroupBox2", QRect(8, 36, 97, 21), FontKind::Proportional, LabelHint)
       << edit("edtBitAddr", "GroupBox2", QRect(114, 35, 33, 23), FontKind::Fixed);
    for (int bit = 7; bit >= 0; --bit) {
        const int left = 152 + 24 * (7 - bit);
        Control rg = group(QStringLiteral("rg%1").arg(bit), Kind::RadioGroup, "GroupBox2",
                           QRect(left, 25, 25, 49), QString());
        rg.items = QStringList{"1", "0"};
        rg.itemIndex = 1;
        cs << rg;
        Control b;
        b.name = ToggleNames[bit];
        b.kind = Kind::Button;
        b.parent = "GroupBox2";
        b.geometry = QRect(left, 73, 25, 17);
        b.caption = "T";
        cs << b;
        // Label13 stands over bit 7, Label6 over bit 0.
        cs << label(QStringLiteral("Label%1").arg(6 + bit), "GroupBox2", left + 9, 12, QString::number(bit));
    }
    cs << label("Label3", "GroupBox2", 348, 33, "1") << label("Label4", "GroupBox2", 348, 53, "0");

    cs << group("GroupBox3", Kind::GroupBox, {}, QRect(320, 24, 49, 49), "Test");
    cs << edit("edtTest", "GroupBox3", QRect(8, 18, 33, 23), FontKind::Fixed);

    Control ver = label("lblVekVer", {}, 288, 80, QString());
    ver.geometry = QRect(288, 80, 86, 14);
    cs << ver;
    Control open;
    open.name = "btnOpenClose";
    open.kind = Kind::Button;
    open.geometry = QRect(288, 96, 81, 25);
    open.caption = "OpenComm";
    cs << open;
    Control baud = group("rgBaudRate", Kind::RadioGroup, {}, QRect(288, 128, 81, 89), "Baud Rate");
    baud.items = QStringList{"300", "4800", "9600"};
    baud.itemIndex = 2;
    cs << baud;
    cs << group("gbPorts", Kind::GroupBox, {}, QRect(288, 224, 81, 65), "Comm Port");
    Control ports;
    ports.name = "cbPorts";
    ports.kind = Kind::ComboList;
    ports.parent = "gbPorts";
    ports.geometry = QRect(8, 24, 65, 21);
    cs << ports;
    return cs;
}

QStringList mainWindowTabOrder()
{
    QStringList order;
    for (int n = 1; n <= 8; ++n)
        order << QStringLiteral("edtLabel%1").arg(n) << QStringLiteral("edtAddr%1").arg(n)
              << QStringLiteral("edtData%1").arg(n);
    for (int bit = 7; bit >= 0; --bit)
        order << QStringLiteral("rg%1").arg(bit);
    order << "edtBitAddr";
    for (int bit = 0; bit <= 7; ++bit)
        order << ToggleNames[bit];
    order << "edtBitLabel";
    for (int n = 1; n <= 8; ++n)
        order << QStringLiteral("chkAddr%1Hex").arg(n);
    order << "edtTest" << "btnOpenClose" << "rgBaudRate" << "cbPorts";
    return order;
}

QList<Control> labelsControls()
{
    Control c;
    c.name = "cbLabels";
    c.kind = Kind::ComboEdit;
    c.geometry = QRect(16, 16, 137, 21);
    return {c};
}

QFont proportionalFont()
{
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setStyleHint(QFont::SansSerif);
    f.setPixelSize(11);
    return f;
}

QFont fixedFont()
{
    QFont f = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    f.setFamilies({QStringLiteral("DejaVu Sans Mono"), f.family()});
    f.setStyleHint(QFont::Monospace);
    f.setFixedPitch(true);
    f.setPixelSize(11);
    return f;
}

QHash<QString, QWidget *> build(QWidget *root, const QList<Control> &controls)
{
    QHash<QString, QWidget *> made;
    for (const Control &c : controls) {
        QWidget *parent = c.parent.isEmpty() ? root : made.value(c.parent, root);
        QWidget *w = nullptr;
        switch (c.kind) {
        case Kind::Label: {
            auto *l = new QLabel(c.caption, parent);
            if (c.geometry.width() > 0)
                l->setGeometry(c.geometry);
            else {
                l->adjustSize();
                l->move(c.geometry.topLeft());
            }
            w = l;
            break;
        }
        case Kind::Edit: {
            auto *e = new QLineEdit(parent);
            e->setGeometry(c.geometry);
            e->setFont(c.font == FontKind::Fixed ? fixedFont() : proportionalFont());
            e->setTextMargins(0, 0, 0, 0);
            w = e;
            break;
        }
        case Kind::Button: {
            auto *b = new QPushButton(c.caption, parent);
            b->setGeometry(c.geometry);
            b->setAutoDefault(false);
            w = b;
            break;
        }
        case Kind::CheckBox: {
            auto *b = new QCheckBox(c.caption, parent);
            b->setGeometry(c.geometry);
            w = b;
            break;
        }
        case Kind::RadioGroup: {
            auto *g = new RadioGroup(parent);
            g->setTitle(c.caption);
            g->setGeometry(c.geometry);
            g->setItems(c.items);
            g->setItemIndex(c.itemIndex);
            w = g;
            break;
        }
        case Kind::ComboList:
        case Kind::ComboEdit: {
            auto *cb = c.kind == Kind::ComboList ? new PortBox(parent) : new QComboBox(parent);
            cb->setGeometry(c.geometry);
            if (c.kind == Kind::ComboEdit) {
                cb->setEditable(true);
                cb->setInsertPolicy(QComboBox::NoInsert);
                cb->setCompleter(nullptr);
            }
            // The closed box is narrow; its list shows whole names.
            cb->view()->setMinimumWidth(160);
            w = cb;
            break;
        }
        case Kind::GroupBox: {
            auto *g = new GroupFrame(c.caption, parent);
            g->setGeometry(c.geometry);
            w = g;
            break;
        }
        }
        w->setObjectName(c.name);
        if (!c.hint.isEmpty())
            w->setToolTip(c.hint);
        made.insert(c.name, w);
    }
    return made;
}

void applyTabOrder(const QHash<QString, QWidget *> &widgets, const QStringList &order)
{
    QList<QWidget *> chain;
    for (const QString &name : order) {
        QWidget *w = widgets.value(name);
        if (!w)
            continue;
        if (auto *rg = qobject_cast<RadioGroup *>(w)) {
            for (auto *b : rg->buttons())
                chain << b;
        } else {
            chain << w;
        }
    }
    for (qsizetype i = 1; i < chain.size(); ++i)
        QWidget::setTabOrder(chain.at(i - 1), chain.at(i));
}

} // namespace vek::forms
