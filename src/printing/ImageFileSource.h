#pragma once

#include "PrintImage.h"

#include <QImage>
#include <QImageReader>

namespace gd {

// The frames of an image file read with Qt's image readers, decoded one at a
// time. The file stays open while the object lives.
class TImageFileSource : public IPrintImage {
public:
    explicit TImageFileSource(const QString& path);

    int FrameCount() const override { return FCount; }
    int ActiveFrame() const override { return FActive; }
    void SelectFrame(int index) override;
    QSize FrameSize() const override;
    void DrawFrame(QPainter& painter, const QRect& target) override;

private:
    void Decode() const;

    mutable QImageReader FReader;
    int FCount = 0;
    int FActive = 0;
    mutable QImage FFrame;
    mutable bool FDecoded = false;
};

} // namespace gd
