#pragma once

// Zoom of the page view, without widgets. A zoom is a percentage of the
// image's own pixels: 100 % shows one image pixel per device pixel, so on a
// screen scaled by a device pixel ratio above 1 a page takes fewer logical
// pixels than it has image pixels.

#include <QPoint>
#include <QPointF>
#include <QSize>
#include <vector>

namespace gd {

constexpr double kMinZoom = 10;
constexpr double kMaxZoom = 800;

// The zoom steps in percent, ascending, from kMinZoom to kMaxZoom.
const std::vector<double>& ZoomSteps();
// The first step above `zoom` (a zoom between steps, such as a fitted one,
// goes to the next step up; one within half a percent of a step counts as
// that step); kMaxZoom at and above the top.
double NextZoomStep(double zoom);
// The first step below `zoom`; kMinZoom at and below the bottom.
double PreviousZoomStep(double zoom);

// Logical pixels per image pixel.
inline double ZoomScale(double zoom, double devicePixelRatio) {
    return zoom / 100.0 / (devicePixelRatio > 0 ? devicePixelRatio : 1.0);
}
// The picture's size in logical pixels at `zoom` (at least 1 by 1 for a
// picture that has pixels).
QSize ZoomedSize(QSize image, double zoom, double devicePixelRatio);

// The zoom at which the page's width fills the viewport (logical pixels).
// When the page at that zoom is taller than the viewport, a vertical scroll
// bar of `scrollBarWidth` appears and takes its width from the page.
// Limited to kMinZoom..kMaxZoom; 100 for an empty page or viewport.
double FitWidthZoom(QSize image, QSize viewport, int scrollBarWidth, double devicePixelRatio);

// The scroll range's maxima for the picture in the viewport.
QPoint MaxScroll(QSize picture, QSize viewport);

// The scroll position after zooming from `oldZoom` to `newZoom` that keeps
// the image point under `mouse` where it is, within the new scroll range.
// `origin` is where the picture's top-left corner was drawn at the old zoom
// and `mouse` is in the same viewport coordinates.
QPoint ScrollForZoomAt(QSize image, QSize viewport, QPoint origin, QPointF mouse, double oldZoom,
                       double newZoom, double devicePixelRatio);

// Ctrl+wheel: the whole steps in `angleDelta` (120 per notch) added to what
// `pending` held, positive for zooming in; the rest stays in `pending`, so a
// touchpad's small deltas add up to steps too.
int WheelZoomSteps(int& pending, int angleDelta);

} // namespace gd
