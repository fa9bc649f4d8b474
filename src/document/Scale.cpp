// Area-averaging (box filter) downscale used to fit pages into the window.

#include "document/ImageServices.h"

#include <algorithm>
#include <thread>
#include <vector>

namespace gd {

namespace {

// Output column of every source column, and how many source columns feed
// each output column.
void ColumnMap(int srcW, int dstW, std::vector<int>& map, std::vector<int>& span) {
    map.resize(size_t(srcW));
    span.assign(size_t(dstW), 0);
    for (int x = 0; x < srcW; ++x) {
        const int ox = int(qint64(x) * dstW / srcW);
        map[size_t(x)] = ox;
        ++span[size_t(ox)];
    }
}

int RowBegin(int oy, int srcH, int dstH) {
    return int((qint64(oy) * srcH + dstH - 1) / dstH);
}

// Runs rows [0, dstH) in two halves on two threads when the work is large.
template <class F> void SplitRows(int dstH, qint64 work, F&& rows) {
    if (dstH >= 2 && work >= 4'000'000 && std::thread::hardware_concurrency() >= 2) {
        const int mid = dstH / 2;
        std::thread t([&] { rows(mid, dstH); });
        rows(0, mid);
        t.join();
    } else {
        rows(0, dstH);
    }
}

template <int CH>
void BoxRows(const QImage& src, QImage& dst, const std::vector<int>& map,
             const std::vector<int>& span, int from, int to) {
    const int sw = src.width(), sh = src.height(), dw = dst.width(), dh = dst.height();
    std::vector<quint32> acc(size_t(dw) * CH);
    uchar* const bits = dst.bits(); // once: scanLine() detaches, not thread-safe
    const qsizetype bpl = dst.bytesPerLine();
    for (int oy = from; oy < to; ++oy) {
        const int y0 = RowBegin(oy, sh, dh),
                  y1 = std::min(std::max(RowBegin(oy + 1, sh, dh), y0 + 1), sh);
        std::fill(acc.begin(), acc.end(), 0u);
        for (int y = y0; y < y1; ++y) {
            const uchar* s = src.constScanLine(y);
            const int* m = map.data();
            for (int x = 0; x < sw; ++x, s += CH) {
                quint32* a = acc.data() + size_t(m[x]) * CH;
                for (int c = 0; c < CH; ++c)
                    a[c] += s[c];
            }
        }
        const int rows = y1 - y0;
        uchar* d = bits + bpl * oy;
        for (int ox = 0; ox < dw; ++ox) {
            const quint32 n = quint32(std::max(1, span[size_t(ox)] * rows));
            for (int c = 0; c < CH; ++c)
                d[ox * CH + c] = uchar((acc[size_t(ox) * CH + c] + n / 2) / n);
        }
    }
}

QImage DownscaleBytes(const QImage& src, QSize size, int channels) {
    QImage dst(size, src.format());
    if (dst.isNull())
        return dst;
    std::vector<int> map, span;
    ColumnMap(src.width(), size.width(), map, span);
    SplitRows(size.height(), qint64(src.width()) * src.height(), [&](int from, int to) {
        switch (channels) {
        case 1:
            BoxRows<1>(src, dst, map, span, from, to);
            break;
        case 3:
            BoxRows<3>(src, dst, map, span, from, to);
            break;
        default:
            BoxRows<4>(src, dst, map, span, from, to);
            break;
        }
    });
    return dst;
}

// 1-bit pages straight from their bits to gray: only set bits are counted,
// so the white of a document costs a byte test per eight pixels.
QImage DownscaleMono(const QImage& src, QSize size) {
    const int sw = src.width(), sh = src.height(), dw = size.width(), dh = size.height();
    QImage dst(dw, dh, QImage::Format_Grayscale8);
    if (dst.isNull())
        return dst;
    const int g0 = src.colorCount() > 0 ? qGray(src.color(0)) : 0;
    const int g1 = src.colorCount() > 1 ? qGray(src.color(1)) : 255;
    const bool lsb = src.format() == QImage::Format_MonoLSB;
    std::vector<int> map, span;
    ColumnMap(sw, dw, map, span);
    const int fullBytes = sw / 8;
    uchar* const bits = dst.bits(); // once: scanLine() detaches, not thread-safe
    const qsizetype bpl = dst.bytesPerLine();
    SplitRows(dh, qint64(sw) * sh / 8, [&](int from, int to) {
        std::vector<quint32> ones(static_cast<size_t>(dw));
        for (int oy = from; oy < to; ++oy) {
            const int y0 = RowBegin(oy, sh, dh), y1 = std::max(RowBegin(oy + 1, sh, dh), y0 + 1);
            std::fill(ones.begin(), ones.end(), 0u);
            for (int y = y0; y < std::min(y1, sh); ++y) {
                const uchar* s = src.constScanLine(y);
                for (int b = 0; b < fullBytes; ++b) {
                    const uchar v = s[b];
                    if (v == 0)
                        continue;
                    for (int k = 0; k < 8; ++k)
                        if (v & (lsb ? (1 << k) : (0x80 >> k)))
                            ++ones[size_t(map[size_t(b * 8 + k)])];
                }
                for (int x = fullBytes * 8; x < sw; ++x) {
                    const int k = x & 7;
                    if (s[x >> 3] & (lsb ? (1 << k) : (0x80 >> k)))
                        ++ones[size_t(map[size_t(x)])];
                }
            }
            const int rows = std::min(y1, sh) - y0;
            uchar* d = bits + bpl * oy;
            for (int ox = 0; ox < dw; ++ox) {
                const quint32 n = quint32(std::max(1, span[size_t(ox)] * rows));
                const quint32 k = std::min(ones[size_t(ox)], n);
                d[ox] = uchar((g0 * (n - k) + g1 * k + n / 2) / n);
            }
        }
    });
    return dst;
}

} // namespace

QImage BoxDownscale(const QImage& image, QSize size) {
    if (image.isNull() || size.width() <= 0 || size.height() <= 0)
        return QImage();
    if (size.width() > image.width() || size.height() > image.height())
        return image.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    QImage result;
    switch (image.format()) {
    case QImage::Format_Mono:
    case QImage::Format_MonoLSB:
        result = DownscaleMono(image, size);
        break;
    case QImage::Format_Grayscale8:
    case QImage::Format_Alpha8:
        result = DownscaleBytes(image, size, 1);
        break;
    case QImage::Format_RGB888:
    case QImage::Format_BGR888:
        result = DownscaleBytes(image, size, 3);
        break;
    case QImage::Format_RGB32:
    case QImage::Format_ARGB32_Premultiplied:
    case QImage::Format_RGBX8888:
    case QImage::Format_RGBA8888_Premultiplied:
        result = DownscaleBytes(image, size, 4);
        break;
    case QImage::Format_ARGB32:
        result =
            DownscaleBytes(image.convertToFormat(QImage::Format_ARGB32_Premultiplied), size, 4);
        break;
    case QImage::Format_RGBA8888:
        result =
            DownscaleBytes(image.convertToFormat(QImage::Format_RGBA8888_Premultiplied), size, 4);
        break;
    case QImage::Format_Indexed8:
        result =
            DownscaleBytes(image.convertToFormat(image.isGrayscale() ? QImage::Format_Grayscale8
                                                                     : QImage::Format_RGB888),
                           size, image.isGrayscale() ? 1 : 3);
        break;
    case QImage::Format_Grayscale16:
        result = DownscaleBytes(image.convertToFormat(QImage::Format_Grayscale8), size, 1);
        break;
    default:
        result =
            DownscaleBytes(image.convertToFormat(QImage::Format_ARGB32_Premultiplied), size, 4);
        break;
    }
    result.setDotsPerMeterX(image.dotsPerMeterX());
    result.setDotsPerMeterY(image.dotsPerMeterY());
    return result;
}

QImage FitImage(const QImage& image, QSize box) {
    if (image.isNull() || box.width() <= 0 || box.height() <= 0)
        return QImage();
    if (image.width() <= box.width() && image.height() <= box.height())
        return image;
    const double scale =
        std::min(double(box.width()) / image.width(), double(box.height()) / image.height());
    const QSize size(std::clamp(qRound(image.width() * scale), 1, box.width()),
                     std::clamp(qRound(image.height() * scale), 1, box.height()));
    return BoxDownscale(image, size);
}

} // namespace gd
