#include "PathLine.h"

#include <QPainter>

namespace gd {

TElidedLabel::TElidedLabel(Qt::TextElideMode mode, QWidget* parent) : QLabel(parent), FMode(mode) {
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

void TElidedLabel::SetText(const QString& text) {
    setText(text);
    setToolTip(text);
}

QRect TElidedLabel::TextRect() const {
    const int pad = fontMetrics().horizontalAdvance(u'x') / 2;
    return contentsRect().adjusted(pad, 0, -pad, 0);
}

QString TElidedLabel::ShownText() const {
    return fontMetrics().elidedText(text(), FMode, TextRect().width());
}

QSize TElidedLabel::sizeHint() const {
    return {0, QLabel::sizeHint().height()};
}

QSize TElidedLabel::minimumSizeHint() const {
    return {0, QLabel::minimumSizeHint().height()};
}

void TElidedLabel::paintEvent(QPaintEvent* e) {
    QFrame::paintEvent(e); // the border, if any
    QPainter p(this);
    p.setPen(palette().color(foregroundRole()));
    p.drawText(TextRect(), Qt::AlignLeft | Qt::AlignVCenter, ShownText());
}

TPathLine::TPathLine(QWidget* parent) : TElidedLabel(Qt::ElideMiddle, parent) {
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
}

} // namespace gd
