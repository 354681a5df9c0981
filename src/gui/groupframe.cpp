#include "groupframe.h"

#include <QPainter>
#include <QStyle>
#include <qdrawutil.h>

namespace vek {

namespace {
constexpr int CaptionLeft = 6;
constexpr int CaptionPad = 2;
}

GroupFrame::GroupFrame(const QString &title, QWidget *parent) : QGroupBox(title, parent) {}

int GroupFrame::frameTop() const { return title().isEmpty() ? 0 : fontMetrics().height() / 2; }

QRect GroupFrame::captionRect() const
{
    if (title().isEmpty())
        return {};
    const QFontMetrics fm = fontMetrics();
    return QRect(CaptionLeft, 0, fm.horizontalAdvance(title()) + 2 * CaptionPad, fm.height());
}

void GroupFrame::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    // An etched line, drawn here: a style's own group frame leaves room
    // for the caption above its top line.
    qDrawShadeRect(&p, rect().adjusted(0, frameTop(), 0, 0), palette(), true, 1, 0);
    if (title().isEmpty())
        return;
    const QRect caption = captionRect();
    p.fillRect(caption, palette().brush(backgroundRole()));
    style()->drawItemText(&p, caption, Qt::AlignCenter | Qt::TextShowMnemonic, palette(), isEnabled(), title(),
                          QPalette::WindowText);
}

} // namespace vek
