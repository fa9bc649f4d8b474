#include "ui/ZoomMath.h"

#include <QtMath>
#include <algorithm>

namespace gd {

namespace {
// A zoom that shows as a step's whole percentage counts as that step, so
// that 33.3 % steps down to 25 %, not to 33 %.
constexpr double kSame = 0.5;
} // namespace

const std::vector<double>& ZoomSteps() {
    static const std::vector<double> steps{10,  15,  20,  25,  33,  50,  67,  75,
                                           100, 125, 150, 200, 300, 400, 600, 800};
    return steps;
}

double NextZoomStep(double zoom) {
    for (double s : ZoomSteps())
        if (s > zoom + kSame)
            return s;
    return kMaxZoom;
}

double PreviousZoomStep(double zoom) {
    const std::vector<double>& steps = ZoomSteps();
    for (auto it = steps.rbegin(); it != steps.rend(); ++it)
        if (*it < zoom - kSame)
            return *it;
    return kMinZoom;
}

QSize ZoomedSize(QSize image, double zoom, double devicePixelRatio) {
    if (image.isEmpty())
        return QSize(0, 0);
    const double s = ZoomScale(zoom, devicePixelRatio);
    return QSize(std::max(1, qRound(image.width() * s)), std::max(1, qRound(image.height() * s)));
}

double FitWidthZoom(QSize image, QSize viewport, int scrollBarWidth, double devicePixelRatio) {
    if (image.isEmpty() || viewport.isEmpty())
        return 100;
    const double dpr = devicePixelRatio > 0 ? devicePixelRatio : 1.0;
    auto zoomFor = [&](int width) { return 100.0 * width * dpr / image.width(); };
    double zoom = zoomFor(viewport.width());
    if (ZoomedSize(image, zoom, dpr).height() > viewport.height())
        zoom = zoomFor(std::max(1, viewport.width() - scrollBarWidth));
    return std::clamp(zoom, kMinZoom, kMaxZoom);
}

QPoint MaxScroll(QSize picture, QSize viewport) {
    return QPoint(std::max(0, picture.width() - viewport.width()),
                  std::max(0, picture.height() - viewport.height()));
}

QPoint ScrollForZoomAt(QSize image, QSize viewport, QPoint origin, QPointF mouse, double oldZoom,
                       double newZoom, double devicePixelRatio) {
    const QSize before = ZoomedSize(image, oldZoom, devicePixelRatio);
    const QSize after = ZoomedSize(image, newZoom, devicePixelRatio);
    if (before.isEmpty() || after.isEmpty())
        return QPoint(0, 0);
    // The point under the mouse as a fraction of the picture, which zooming
    // does not change.
    const double fx = (mouse.x() - origin.x()) / before.width();
    const double fy = (mouse.y() - origin.y()) / before.height();
    const QPoint top = MaxScroll(after, viewport);
    return QPoint(std::clamp(qRound(fx * after.width() - mouse.x()), 0, top.x()),
                  std::clamp(qRound(fy * after.height() - mouse.y()), 0, top.y()));
}

int WheelZoomSteps(int& pending, int angleDelta) {
    pending += angleDelta;
    const int steps = pending / 120; // toward zero: the rest keeps its sign
    pending -= steps * 120;
    return steps;
}

} // namespace gd
