#include "ImageFileSource.h"

#include "common/Exception.h"

namespace gd {

TImageFileSource::TImageFileSource(const QString& path) : FReader(path) {
    FReader.setAutoTransform(false);
    if (FReader.canRead()) {
        // Readers that cannot count frames report 0 for a still image.
        FCount = FReader.imageCount();
        if (FCount <= 0)
            FCount = 1;
    }
}

void TImageFileSource::SelectFrame(int index) {
    if (index == FActive)
        return;
    if (index < 0 || index >= FCount)
        throw Exception(QStringLiteral("Страница %1 рисунка не существует").arg(index));
    FActive = index;
    FDecoded = false;
    FFrame = QImage();
}

void TImageFileSource::Decode() const {
    if (FDecoded)
        return;
    FDecoded = true;
    if (FCount == 0)
        return;
    if (FCount > 1 && !FReader.jumpToImage(FActive))
        return;
    FFrame = FReader.read();
}

QSize TImageFileSource::FrameSize() const {
    Decode();
    return FFrame.size();
}

void TImageFileSource::DrawFrame(QPainter& painter, const QRect& target) {
    Decode();
    if (!FFrame.isNull())
        DrawPrintImage(painter, target, FFrame);
}

} // namespace gd
