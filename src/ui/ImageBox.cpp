#include "ImageBox.h"

#include "document/ImageServices.h"
#include "ui/FitMath.h"

#include <QPaintEvent>
#include <QPainter>

namespace gd {

TImageBox::TImageBox(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("ImageBox"));
    setAttribute(Qt::WA_OpaquePaintEvent, false);
}

void TImageBox::SetPicture(const QImage& picture) {
    FPicture = picture;
    FMessage.clear();
    FScaled = QImage();
    if (!FFit)
        resize(sizeHint());
    update();
}

void TImageBox::SetMessage(const QString& text) {
    FMessage = text;
    FPicture = QImage();
    FScaled = QImage();
    if (!FFit)
        resize(sizeHint());
    update();
}

void TImageBox::PictureEdited() {
    FScaled = QImage();
    if (!FFit)
        resize(sizeHint());
    update();
}

void TImageBox::SetFitInWindow(bool fit) {
    FFit = fit;
    FScaled = QImage();
    if (!fit)
        resize(sizeHint());
    update();
}

QSize TImageBox::sizeHint() const {
    if (FPicture.isNull())
        return FMessage.isEmpty() ? QSize(0, 0) : QSize(480, 120);
    return FPicture.size();
}

QRect TImageBox::DrawRect() const {
    if (FPicture.isNull())
        return {};
    if (!FFit)
        return QRect(QPoint(0, 0), FPicture.size());
    return FitInWindowRect(FPicture.size(), size());
}

const QImage& TImageBox::Scaled(const QSize& size) {
    const qint64 key = FPicture.cacheKey();
    if (FScaled.size() != size || FScaledKey != key) {
        // Area averaging keeps thin strokes of a 1-bit page readable when it
        // is reduced to the window; enlarging (never needed when fitting) is
        // left to Qt.
        if (size.width() <= FPicture.width() && size.height() <= FPicture.height())
            FScaled = BoxDownscale(FPicture, size);
        else
            FScaled = FPicture.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        FScaledKey = key;
    }
    return FScaled;
}

void TImageBox::paintEvent(QPaintEvent* e) {
    if (FPicture.isNull()) {
        if (!FMessage.isEmpty()) {
            QPainter p(this);
            p.drawText(rect().adjusted(8, 8, -8, -8), Qt::AlignCenter | Qt::TextWordWrap, FMessage);
        }
        return;
    }
    QPainter p(this);
    const QRect r = DrawRect();
    if (r.size() == FPicture.size()) {
        const QRect exposed = e->rect().intersected(r);
        p.drawImage(exposed.topLeft(), FPicture, exposed.translated(-r.topLeft()));
        return;
    }
    if (r.isEmpty())
        return;
    p.drawImage(r.topLeft(), Scaled(r.size()));
}

} // namespace gd
