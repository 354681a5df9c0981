#include "portbox.h"

#include "netline.h"
#include "prompts.h"

#include <QAbstractItemView>
#include <QStyleOptionComboBox>
#include <QStylePainter>

namespace vek {

namespace {
constexpr int ArrowWidth = 10;
constexpr int Margin = 2;
constexpr int SmallestPixelSize = 9;
}

const QString PortBox::NetworkEntry = QStringLiteral("Network port...");
const QString PortBox::SharedMark = QStringLiteral(" (shared)");

namespace {
constexpr int PortRole = Qt::UserRole + 1;
}

QString PortBox::portAt(int index) const
{
    if (index < 0 || index >= count())
        return {};
    const QVariant port = itemData(index, PortRole);
    return port.isValid() ? port.toString() : itemText(index);
}

int PortBox::findPort(const QString &name) const
{
    for (int i = 0; i < count(); ++i) {
        if (portAt(i) == name)
            return i;
    }
    return -1;
}

void PortBox::markShared()
{
    if (!m_served)
        return;
    const int ports = m_prompts ? count() - 1 : count();   // not the network entry
    bool changed = false;
    for (int i = 0; i < ports; ++i) {
        const QString port = portAt(i);
        const QString text = m_served(port) ? port + SharedMark : port;
        if (text != itemText(i)) {
            setItemData(i, port, PortRole);
            setItemText(i, text);
            changed = true;
        }
    }
    if (changed) {
        setToolTip(currentText());
        fitList();
        update();
    }
}

void PortBox::showPopup()
{
    markShared();
    QComboBox::showPopup();
}

PortBox::PortBox(QWidget *parent) : QComboBox(parent)
{
    connect(this, &QComboBox::currentIndexChanged, this, [this](int index) {
        setToolTip(currentText());
        if (!m_prompts || index != count() - 1)
            m_chosen = index;
    });
    connect(this, &QComboBox::activated, this, [this](int index) {
        if (m_prompts && index == count() - 1)
            askNetworkPort();
    });
}

void PortBox::addNetworkEntry(Prompts &prompts)
{
    const bool none = count() == 0;
    m_prompts = &prompts;
    addItem(NetworkEntry);
    if (none)
        setCurrentIndex(-1);
    m_chosen = currentIndex();
}

void PortBox::askNetworkPort()
{
    setCurrentIndex(m_chosen);
    QString name;
    for (;;) {
        const QString typed = m_prompts->inputText(NetworkEntry.chopped(3),
                                                   QStringLiteral("Host and port of an RFC 2217 server (HOST:PORT):"),
                                                   m_typed)
                                  .trimmed();
        if (typed.isEmpty())
            return;
        m_typed = typed;
        name = NetLine::isNetName(typed) ? typed : QLatin1String(NetLine::Scheme) + typed;
        QString why;
        if (NetLine::parseName(name, &why))
            break;
        m_prompts->showMessage(why);   // then the box again, to mend the text
    }
    int at = findPort(name);
    if (at < 0) {
        at = count() - 1;
        insertItem(at, name);
        setItemData(at, name, Qt::ToolTipRole);
        fitList();
    }
    setCurrentIndex(at);
}

void PortBox::markFailed(const QString &name, const QString &why)
{
    const int at = findPort(name);
    if (at < 0)
        return;
    setItemData(at, why.isEmpty() ? QVariant() : QVariant(style()->standardIcon(QStyle::SP_MessageBoxWarning)),
                Qt::DecorationRole);
    setItemData(at, why.isEmpty() ? name : name + QStringLiteral("\nfailed to open: ") + why, Qt::ToolTipRole);
    setItemData(at, !why.isEmpty(), Qt::UserRole);
    fitList();
}

bool PortBox::isMarkedFailed(int index) const { return itemData(index, Qt::UserRole).toBool(); }

QRect PortBox::textRect() const { return rect().adjusted(Margin, 1, -(ArrowWidth + Margin), -1); }

// The box's own font, a pixel or two smaller if the name needs it.
QFont PortBox::textFont() const
{
    QFont f = font();
    // A shared port's name in italics: the mark goes when there is no room for it.
    f.setItalic(isShared(currentIndex()));
    const int room = textRect().width();
    for (int px = f.pixelSize(); px > SmallestPixelSize; --px) {
        if (QFontMetrics(f).horizontalAdvance(currentPort()) <= room)
            break;
        f.setPixelSize(px - 1);
    }
    return f;
}

namespace {

bool isSeparator(QChar c) { return c == u'_' || c == u'-' || c == u'/' || c == u'.' || c == u':'; }

// The part of `name` that sets it apart from the look-alike names `others`
// (they share its start and end): what lies between the longest start and
// the longest end it shares with any of them, widened to whole words, such
// as an adapter's serial number in a by-id path.
QString distinguishingPart(const QString &name, const QStringList &others, bool &cutStart, bool &cutEnd)
{
    const qsizetype n = name.size();
    qsizetype head = 0, tail = 0;
    for (const QString &o : others) {
        qsizetype p = 0;
        while (p < n && p < o.size() && name.at(p) == o.at(p))
            ++p;
        qsizetype q = 0;
        while (q < n - p && q < o.size() - p && name.at(n - 1 - q) == o.at(o.size() - 1 - q))
            ++q;
        head = qMax(head, p);
        tail = qMax(tail, q);
    }
    qsizetype start = qMin(head, n);
    qsizetype end = qMax(start, n - tail);
    while (start > 0 && !isSeparator(name.at(start - 1)))
        --start;
    while (end < n && !isSeparator(name.at(end)))
        ++end;
    cutStart = start > 0;
    cutEnd = end < n;
    return name.mid(start, end - start);
}

} // namespace

QString PortBox::shownText() const
{
    const QFontMetrics fm(textFont());
    const int room = textRect().width();
    if (fm.horizontalAdvance(currentText()) <= room)
        return currentText();
    const QString name = currentPort();
    if (fm.horizontalAdvance(name) <= room)
        return name;
    const QString cut = fm.elidedText(name, Qt::ElideMiddle, room);
    QStringList alike;
    for (int i = 0; i < count(); ++i) {
        if (i != currentIndex() && fm.elidedText(portAt(i), Qt::ElideMiddle, room) == cut)
            alike << portAt(i);
    }
    if (alike.isEmpty())
        return cut;
    // Names that look the same cut in the middle show what tells them apart.
    bool cutStart = false, cutEnd = false;
    const QString part = distinguishingPart(name, alike, cutStart, cutEnd);
    const QString dots(QChar(0x2026));
    const QString marked = (cutStart ? dots : QString()) + part + (cutEnd ? dots : QString());
    if (fm.horizontalAdvance(marked) <= room)
        return marked;
    return fm.elidedText(part, Qt::ElideRight, room);
}

void PortBox::fitList()
{
    int widest = 0;
    const QFontMetrics fm = view()->fontMetrics();
    for (int i = 0; i < count(); ++i)
        widest = qMax(widest, fm.horizontalAdvance(itemText(i)));
    // Room for the mark of a port that failed to open, beside its name.
    view()->setMinimumWidth(qMax(160, widest + 32 + iconSize().width() + 6));
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
