#include "PrintImage.h"

#include "document/ImageServices.h"

#include <QImage>
#include <QPainter>
#include <algorithm>

namespace gd {

namespace {
constexpr QRgb kBlack = 0xff000000;
constexpr QRgb kWhite = 0xffffffff;
} // namespace

QImage PrintableImage(const QImage& image) {
    if (image.format() != QImage::Format_Mono && image.format() != QImage::Format_MonoLSB)
        return image;
    const QList<QRgb> table = image.colorTable();
    if (table.size() != 2)
        return image;
    const QRgb c0 = table[0] | 0xff000000, c1 = table[1] | 0xff000000;
    QImage mono =
        image.format() == QImage::Format_Mono ? image : image.convertToFormat(QImage::Format_Mono);
    if (c0 == kBlack && c1 == kWhite) {
        if (table[0] != kBlack || table[1] != kWhite)
            mono.setColorTable({kBlack, kWhite});
        return mono;
    }
    if (c0 == kWhite && c1 == kBlack) {
        // invertPixels on a 1-bit image flips the indexes, not the table.
        mono.invertPixels();
        mono.setColorTable({kBlack, kWhite});
        return mono;
    }
    return image; // two other colours: leave it to the writer
}

QImage PrintPageImage(const QImage& image, QSize target) {
    if (image.width() <= target.width() && image.height() <= target.height())
        return PrintableImage(image);
    const QSize size(std::max(1, std::min(image.width(), target.width())),
                     std::max(1, std::min(image.height(), target.height())));
    QImage reduced = BoxDownscale(image, size);
    if (image.depth() == 1)
        reduced = reduced.convertToFormat(QImage::Format_Mono, Qt::ThresholdDither);
    return PrintableImage(reduced);
}

void DrawPrintImage(QPainter& painter, const QRect& target, const QImage& image) {
    painter.drawImage(target, PrintPageImage(image, target.size()));
}

} // namespace gd
