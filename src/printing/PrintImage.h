#pragma once

#include <QSize>

class QImage;
class QPainter;
class QRect;

namespace gd {

// A multi-frame picture as printing sees it: each frame is one page. The
// document library's bitmap reaches printing through an adapter of this.
class IPrintImage {
public:
    virtual ~IPrintImage() = default;
    // Number of frames; 0 when they cannot be counted.
    virtual int FrameCount() const = 0;
    virtual int ActiveFrame() const = 0;
    // Makes frame index (0-based) the active one; throws gd::Exception when
    // there is no such frame.
    virtual void SelectFrame(int index) = 0;
    // Pixel size of the active frame.
    virtual QSize FrameSize() const = 0;
    // Draws the active frame scaled into target (nothing into an empty one);
    // throws gd::Exception when the frame does not decode whole, drawing
    // nothing.
    virtual void DrawFrame(QPainter& painter, const QRect& target) = 0;
};

// A 1-bit page whose colour table is not exactly {black, white} is expanded
// by the PDF writer to a lossy colour image tens of times larger. Returns the
// same picture as a 1-bit image with that table (pixels inverted for a
// min-is-white table); any other image is returned unchanged.
QImage PrintableImage(const QImage& image);

// The page image as it goes to the job for a target of the given size: a
// page larger than the target is first reduced to it by area averaging (a
// 1-bit page stays 1-bit, thresholded at half), so no job holds more pixels
// than the device has for the page; then PrintableImage.
QImage PrintPageImage(const QImage& image, QSize target);

// Draws a page image for printing: PrintPageImage drawn into target.
void DrawPrintImage(QPainter& painter, const QRect& target, const QImage& image);

} // namespace gd
