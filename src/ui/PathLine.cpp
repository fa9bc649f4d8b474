#include "PathLine.h"

#include <QPainter>

namespace gd {

TPathLine::TPathLine(QWidget* parent) : QLabel(parent) {
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
}

void TPathLine::SetPath(const QString& path) {
    setText(path);
    setToolTip(path);
}

QRect TPathLine::TextRect() const {
    const int pad = fontMetrics().horizontalAdvance(u'x') / 2;
    return contentsRect().adjusted(pad, 0, -pad, 0);
}

QString TPathLine::ShownText() const {
    return fontMetrics().elidedText(text(), Qt::ElideMiddle, TextRect().width());
}

QSize TPathLine::sizeHint() const {
    return {0, QLabel::sizeHint().height()};
}

QSize TPathLine::minimumSizeHint() const {
    return {0, QLabel::minimumSizeHint().height()};
}

void TPathLine::paintEvent(QPaintEvent* e) {
    QFrame::paintEvent(e); // the border
    QPainter p(this);
    p.setPen(palette().color(foregroundRole()));
    p.drawText(TextRect(), Qt::AlignLeft | Qt::AlignVCenter, ShownText());
}

} // namespace gd
