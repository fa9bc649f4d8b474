#pragma once

#include "PrintImage.h"

#include <QString>
#include <memory>

namespace gd {

class TGPBitmapExt;

// A document bitmap as printing sees it: its frames, its remembered frame
// (FActiveFrame) and its frame selection, borrowed for the job.
class TBitmapPrintImage : public IPrintImage {
public:
    explicit TBitmapPrintImage(TGPBitmapExt& bitmap) : FBitmap(bitmap) {}

    int FrameCount() const override;
    int ActiveFrame() const override;
    void SelectFrame(int index) override;
    QSize FrameSize() const override;
    // The frame's pixels go to the job (1-bit pages as 1-bit), reduced to
    // the target first when larger; a frame that does not decode whole
    // throws with the page number and why.
    void DrawFrame(QPainter& painter, const QRect& target) override;

private:
    TGPBitmapExt& FBitmap;
};

// A document file opened as a bitmap of its own for one job; the bitmap and
// its file are released with the object.
std::unique_ptr<IPrintImage> OpenPrintImage(const QString& path);

} // namespace gd
