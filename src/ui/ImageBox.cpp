#include "ImageBox.h"

#include "document/ImageServices.h"
#include "ui/FitMath.h"
#include "ui/ZoomMath.h"

#include <QPaintEvent>
#include <QPainter>
#include <QtMath>
#include <algorithm>

namespace gd {

TImageBox::TImageBox(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("ImageBox"));
    setAttribute(Qt::WA_OpaquePaintEvent, false);
}

void TImageBox::Changed() {
    FScaled = QImage();
    if (!FFit)
        resize(sizeHint());
    update();
    emit PictureChanged();
}

void TImageBox::SetPicture(const QImage& picture) {
    FPicture = picture;
    FMessage.clear();
    Changed();
}

void TImageBox::SetMessage(const QString& text) {
    FMessage = text;
    FPicture = QImage();
    Changed();
}

void TImageBox::PictureEdited() {
    Changed();
}

void TImageBox::SetFitInWindow(bool fit) {
    FFit = fit;
    if (!fit)
        resize(sizeHint());
    update();
}

void TImageBox::SetZoom(double percent) {
    FZoom = std::clamp(percent, kMinZoom, kMaxZoom);
    if (!FFit)
        resize(sizeHint());
    update();
}

double TImageBox::Zoom() const {
    if (!FFit || FPicture.isNull())
        return FZoom;
    // The side that limits the fit fills the area exactly; the other one was
    // truncated, so the larger ratio is the true one.
    const QRect r = DrawRect();
    if (r.isEmpty()) // not laid out yet
        return FZoom;
    const double ratio =
        std::max(double(r.width()) / FPicture.width(), double(r.height()) / FPicture.height());
    return 100.0 * ratio * devicePixelRatioF();
}

QSize TImageBox::sizeHint() const {
    if (FPicture.isNull())
        return FMessage.isEmpty() ? QSize(0, 0) : QSize(480, 120);
    return ZoomedSize(FPicture.size(), FZoom, devicePixelRatioF());
}

QRect TImageBox::DrawRect() const {
    if (FPicture.isNull())
        return {};
    if (!FFit)
        return QRect(QPoint(0, 0), sizeHint());
    return FitInWindowRect(FPicture.size(), size());
}

const QImage& TImageBox::Reduced(const QSize& deviceSize) {
    const qint64 key = FPicture.cacheKey();
    if (FScaled.size() != deviceSize || FScaledKey != key) {
        // Area averaging keeps thin strokes of a 1-bit page readable.
        FScaled = BoxDownscale(FPicture, deviceSize);
        FScaled.setDevicePixelRatio(devicePixelRatioF());
        FScaledKey = key;
    }
    return FScaled;
}

void TImageBox::DrawEnlarged(QPainter& p, const QRect& r, const QRect& exposed) {
    // Only the image pixels under the exposed part (one more on each side for
    // the rounding), unsmoothed: one zooms in to see the pixels themselves.
    const double sx = double(r.width()) / FPicture.width();
    const double sy = double(r.height()) / FPicture.height();
    const int x0 = std::max(0, qFloor((exposed.left() - r.left()) / sx) - 1);
    const int y0 = std::max(0, qFloor((exposed.top() - r.top()) / sy) - 1);
    const int x1 = std::min(FPicture.width(), qCeil((exposed.right() + 1 - r.left()) / sx) + 1);
    const int y1 = std::min(FPicture.height(), qCeil((exposed.bottom() + 1 - r.top()) / sy) + 1);
    if (x1 <= x0 || y1 <= y0)
        return;
    const QRectF target(r.left() + x0 * sx, r.top() + y0 * sy, (x1 - x0) * sx, (y1 - y0) * sy);
    p.setClipRect(exposed);
    p.drawImage(target, FPicture.copy(x0, y0, x1 - x0, y1 - y0));
}

void TImageBox::paintEvent(QPaintEvent* e) {
    if (FPicture.isNull()) {
        if (!FMessage.isEmpty()) {
            QPainter p(this);
            p.drawText(rect().adjusted(8, 8, -8, -8), Qt::AlignCenter | Qt::TextWordWrap, FMessage);
        }
        return;
    }
    const QRect r = DrawRect();
    const QRect exposed = e->rect().intersected(r);
    if (exposed.isEmpty())
        return;
    QPainter p(this);
    const double dpr = devicePixelRatioF();
    const QSize device(qRound(r.width() * dpr), qRound(r.height() * dpr));
    if (device == FPicture.size()) {
        const QRectF source(QPointF(exposed.topLeft() - r.topLeft()) * dpr,
                            QSizeF(exposed.size()) * dpr);
        p.drawImage(QRectF(exposed), FPicture, source);
    } else if (device.width() <= FPicture.width() && device.height() <= FPicture.height()) {
        p.drawImage(r.topLeft(), Reduced(device));
    } else {
        DrawEnlarged(p, r, exposed);
    }
}

} // namespace gd
