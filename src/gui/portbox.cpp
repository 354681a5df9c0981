#include "portbox.h"

#include <QAbstractItemView>
#include <QStyleOptionComboBox>
#include <QStylePainter>

namespace vek {

namespace {
constexpr int ArrowWidth = 10;
constexpr int Margin = 2;
constexpr int SmallestPixelSize = 9;
}

PortBox::PortBox(QWidget *parent) : QComboBox(parent)
{
    connect(this, &QComboBox::currentIndexChanged, this, [this] { setToolTip(currentText()); });
}

QRect PortBox::textRect() const { return rect().adjusted(Margin, 1, -(ArrowWidth + Margin), -1); }

// The box's own font, a pixel or two smaller if the name needs it.
QFont PortBox::textFont() const
{
    QFont f = font();
    const int room = textRect().width();
    for (int px = f.pixelSize(); px > SmallestPixelSize; --px) {
        if (QFontMetrics(f).horizontalAdvance(currentText()) <= room)
            break;
        f.setPixelSize(px - 1);
    }
    return f;
}

QString PortBox::shownText() const
{
    return QFontMetrics(textFont()).elidedText(currentText(), Qt::ElideMiddle, textRect().width());
}

void PortBox::fitList()
{
    int widest = 0;
    const QFontMetrics fm = view()->fontMetrics();
    for (int i = 0; i < count(); ++i)
        widest = qMax(widest, fm.horizontalAdvance(itemText(i)));
    view()->setMinimumWidth(qMax(160, widest + 32));
}

void PortBox::paintEvent(QPaintEvent *)
{
    QStylePainter p(this);
    QStyleOptionComboBox opt;
    initStyleOption(&opt);
    opt.currentText.clear();
    opt.currentIcon = QIcon();
    opt.subControls = QStyle::SC_ComboBoxFrame;   // the slim arrow is drawn below
    p.drawComplexControl(QStyle::CC_ComboBox, opt);

    QStyleOption arrow;
    arrow.initFrom(this);
    arrow.rect = QRect(width() - ArrowWidth - Margin, 0, ArrowWidth, height());
    p.drawPrimitive(QStyle::PE_IndicatorArrowDown, arrow);

    p.setFont(textFont());
    p.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::ButtonText));
    p.drawText(textRect(), Qt::AlignLeft | Qt::AlignVCenter, shownText());
}

} // namespace vek
