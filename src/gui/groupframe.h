#pragma once
// A group box drawn with its caption set into the top edge of its frame, so
// that controls placed a little below the top lie clear of the frame line
// and of the caption.

#include <QGroupBox>

namespace vek {

class GroupFrame : public QGroupBox {
    Q_OBJECT
public:
    explicit GroupFrame(const QString &title = QString(), QWidget *parent = nullptr);

    // The height of the frame's top line, and the caption's place on it.
    int frameTop() const;
    QRect captionRect() const;

protected:
    void paintEvent(QPaintEvent *event) override;
};

} // namespace vek
