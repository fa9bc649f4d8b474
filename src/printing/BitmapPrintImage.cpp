#include "BitmapPrintImage.h"

#include "common/Exception.h"
#include "document/GdipExt.h"
#include "document/Loading.h"

#include <QImage>

namespace gd {

namespace {

class TOwnedBitmapPrintImage : public TBitmapPrintImage {
public:
    explicit TOwnedBitmapPrintImage(std::unique_ptr<TGPBitmapExt> bitmap)
        : TBitmapPrintImage(*bitmap), FOwned(std::move(bitmap)) {}

private:
    std::unique_ptr<TGPBitmapExt> FOwned;
};

} // namespace

int TBitmapPrintImage::FrameCount() const {
    return GetFrameCount(FBitmap);
}

int TBitmapPrintImage::ActiveFrame() const {
    return FBitmap.FActiveFrame;
}

void TBitmapPrintImage::SelectFrame(int index) {
    gd::SelectFrame(FBitmap, index);
}

QSize TBitmapPrintImage::FrameSize() const {
    return QSize(FBitmap.GetWidth(), FBitmap.GetHeight());
}

void TBitmapPrintImage::DrawFrame(QPainter& painter, const QRect& target) {
    const QImage frame = FBitmap.ToQImage();
    // A page that did not decode whole is never printed as a blank or partial
    // sheet.
    if (frame.isNull() || FBitmap.FrameStatus() != GpStatus::Ok)
        throw Exception(QStringLiteral("Страница %1 не напечатана: %2")
                            .arg(FBitmap.FActiveFrame + 1)
                            .arg(FrameFailureText(FBitmap)));
    if (!target.isEmpty())
        DrawPrintImage(painter, target, frame);
}

std::unique_ptr<IPrintImage> OpenPrintImage(const QString& path) {
    return std::make_unique<TOwnedBitmapPrintImage>(OpenBitmap(path));
}

} // namespace gd
